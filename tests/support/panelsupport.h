#pragma once
// Start-up shared by the tests that build the panel.
#include "platform/Fonts.h"
#include "platform/PortMap.h"

#include <QStandardPaths>

inline void InitPanelTestApp() {
    QStandardPaths::setTestModeEnabled(true);
    SetTovrelApplicationNames();
    InstallFontSubstitutions();
}
