#include "platform/EventDispatcher.h"
#include "shell/CommandLine.h"
#include "shell/TovrelApp.h"

#include <QFile>
#include <cstdio>

int main(int argc, char** argv) {
    // Read before the application object: --help and --version answer
    // without a display, and a bad option is refused before a window opens.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QFile::decodeName(argv[i]);
    const SPanelCommandLine commandLine = ParsePanelCommandLine(args);
    switch (commandLine.action) {
    case SPanelCommandLine::EAction::Help:
        std::fputs(PanelUsage().toUtf8().constData(), stdout);
        return 0;
    case SPanelCommandLine::EAction::Version:
        std::printf("%s\n", PanelVersionLine().toUtf8().constData());
        return 0;
    case SPanelCommandLine::EAction::Error:
        std::fprintf(stderr, "tovrel: %s (see --help)\n", commandLine.message.toUtf8().constData());
        return 2;
    case SPanelCommandLine::EAction::Run:
        break;
    }

    UseQtEventDispatcher();
    // The application object cannot be a global here: QApplication needs the
    // command line, so it lives for main's whole run instead.
    CTovrelApp theApp(argc, argv);
    theApp.m_strRecordDir = commandLine.recordDir;
    theApp.InitInstance();
    return 0;
}
