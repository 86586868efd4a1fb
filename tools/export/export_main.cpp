// tovrel-export: a recording made by the panel to EDF+ and CSV, for the tools
// people analyse such signals with (EDFbrowser, MNE-Python, EEGLAB, Matlab).

#include "tools/export/Export.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SExportOptions options;
    QString message;
    switch (ParseExportOptions(app.arguments(), options, message)) {
    case EParse::Help:
    case EParse::Version:
        std::fputs(qPrintable(message), stdout);
        return kExitOk;
    case EParse::Error:
        std::fprintf(stderr, "tovrel-export: %s (see --help)\n", qPrintable(message));
        return kExitUsage;
    case EParse::Ok:
        break;
    }
    options.progress = true; // shown only when stderr is a terminal
    return RunExport(options, stderr);
}
