#pragma once
#include "platform/DialogTemplate.h"

#include <QIcon>
#include <QString>

// Dialog template 100: the About box.
const DialogTemplate& AboutTemplate();
// Dialog template 102: the panel.
const DialogTemplate& PanelTemplate();
// String table lookup; an unknown ID gives an empty string.
QString LoadString(int id);
// Icon 128 in all its sizes.
QIcon LoadAppIcon();
