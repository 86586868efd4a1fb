#pragma once
// Start-up shared by the tests that build the panel.
#include "platform/Fonts.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "shell/TovrelDlg.h"

#include <QAbstractButton>
#include <QComboBox>

#include <QFile>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

// Each test program keeps its per-user folders, the port map among them,
// under a home of its own, so that programs run side by side cannot repoint
// each other's COMn links. Programs it starts inherit that home. Message
// boxes are collected in boxes, when given, instead of being shown.
inline void InitPanelTestApp(QStringList* boxes = nullptr) {
    if (qEnvironmentVariableIsEmpty("TOVREL_TEST_HOME")) {
        static QTemporaryDir home;
        if (home.isValid()) {
            qputenv("HOME", QFile::encodeName(home.path()));
            qputenv("TOVREL_TEST_HOME", QFile::encodeName(home.path()));
        }
    }
    QStandardPaths::setTestModeEnabled(true);
    SetTovrelApplicationNames();
    InstallFontSubstitutions();
    if (boxes)
        SetMessageBoxHook([boxes](const QString& text) { *boxes << text; });
}

// A panel built and shown as its modal run shows it. Its worker, once
// started, is stopped on the way out, as the end of the run would.
struct PanelFixture {
    CTovrelDlg dlg;
    PanelFixture() {
        dlg.Create();
        dlg.show();
    }
    ~PanelFixture() { dlg.StopRecvThread(); }
    void Select(int com) { dlg.m_cbComPort->setCurrentIndex(com - 1); }
    void Press(int id) { qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id))->click(); }
};
