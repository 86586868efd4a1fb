#pragma once
// Start-up shared by the tests that build the panel.
#include "platform/Fonts.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "shell/Language.h"
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

// The panel's texts in language while the scope lasts (windows built in it
// take them), Chinese again after it.
struct SLanguageScope {
    bool installed;
    explicit SLanguageScope(EUiLanguage language) : installed(SetUiLanguage(language)) {}
    ~SLanguageScope() { SetUiLanguage(EUiLanguage::Chinese); }
    SLanguageScope(const SLanguageScope&) = delete;
    SLanguageScope& operator=(const SLanguageScope&) = delete;
};

// The first character of text that is Chinese (ideographs, CJK punctuation,
// full-width forms), or a null character when there is none.
inline QChar FirstCjk(const QString& text) {
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if ((u >= 0x2E80 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) ||
            (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFFEF))
            return c;
    }
    return {};
}
