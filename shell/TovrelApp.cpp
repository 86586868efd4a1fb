#include "shell/TovrelApp.h"

#include "platform/Fonts.h"
#include "platform/PortMap.h"
#include "shell/CommandLine.h"
#include "shell/Language.h"
#include "shell/TovrelDlg.h"

CTovrelApp::CTovrelApp(int& argc, char** argv) : QApplication(argc, argv) {}

bool CTovrelApp::InitInstance() {
    // Common-control registration has nothing to do here: Qt's widgets need
    // no window classes registered before use.

    // The base start-up is QApplication's constructor, already run.

    // Embedded controls need no container support: the serial control is a
    // plain widget of the panel.

    // The profile key names the per-user folders (the port map lives there)
    // and the settings file, of which only RecordDir= is read.
    SetTovrelApplicationNames();
    ApplyRecordingDirChoice(m_strRecordDir);
    InstallFontSubstitutions();
    // English where the system asks for it, before any window takes its texts.
    SetUiLanguage(SystemUiLanguage());

    CTovrelDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
