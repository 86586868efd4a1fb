#include "tools/export/ExportOptions.h"

#include <QCommandLineParser>

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

namespace {

// What --help prints after the options, in a section help2man turns into a
// manual page's (the page's examples come from its own include file).
constexpr char kHelpEnd[] =
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  the export was refused or failed (the reason on stderr); nothing is written\n"
    "  2  bad options\n";

} // namespace

EParse ParseExportOptions(const QStringList& args, SExportOptions& o, QString& message) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Export a recording of the Tovrel panel to EDF+ and CSV.\n"
        "\n"
        "Reads REC.txt, a recording made by the panel, and its sidecar REC.json, and\n"
        "writes EDF+ (for EDFbrowser, MNE-Python, EEGLAB) and/or CSV. Each line of the\n"
        "recording is one sample period; the sample rate is the one the panel measured\n"
        "(in the sidecar), or --rate. Without either the export is refused.\n"
        "\n"
        "EDF+: one EDF+C file per stretch without a gap (a segment, or the part of one\n"
        "after the stream resumed): OUT.edf, then OUT-2.edf, OUT-3.edf, ...\n"
        "CSV: one file, one row per line; times in seconds from the first line.\n"
        "Markers, mode changes and gains sit on the line the sidecar gives them, in\n"
        "both. Outputs are written under a temporary name and renamed when whole; a\n"
        "failed or interrupted export leaves nothing behind.\n"
        "\n"
        "A rate above what the serial line carries, or a start time outside the years\n"
        "1985 to 2084, is refused unless --accept-odd.");
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version("version", "Show the program's version and exit.");
    const QCommandLineOption edf("edf", "Write EDF+ to OUT.edf (and OUT-2.edf, ...).", "OUT.edf");
    const QCommandLineOption csv("csv", "Write CSV to OUT.csv.", "OUT.csv");
    const QCommandLineOption rate(
        "rate", "Sample rate in records per second (0.1 to 100000); overrides the sidecar's.",
        "HZ");
    const QCommandLineOption force(
        "force", "Overwrite output files that exist (regular files only, never a device).");
    const QCommandLineOption acceptOdd(
        "accept-odd", "Export even at a rate the line cannot carry, or with a start time "
                      "outside 1985-2084 (then taken as unknown).");
    const QCommandLineOption skipBad(
        "skip-bad",
        "Skip malformed lines (counted and reported) instead of stopping at the first.");
    const QCommandLineOption noSidecar("no-sidecar", "Ignore the sidecar REC.json.");
    parser.addOptions({help, version, edf, csv, rate, force, acceptOdd, skipBad, noSidecar});
    parser.addPositionalArgument("REC.txt", "The recording.");

    if (!parser.parse(args)) {
        message = parser.errorText();
        return EParse::Error;
    }
    if (parser.isSet(help)) {
        // Qt names the program as it was started (a whole path, perhaps).
        message = parser.helpText();
        message.replace(0, message.indexOf(QLatin1Char('\n')),
                        QStringLiteral("Usage: tovrel-export [options] REC.txt"));
        message += QString::fromUtf8(kHelpEnd);
        return EParse::Help;
    }
    if (parser.isSet(version)) {
        message = QStringLiteral("tovrel-export " TOVREL_VERSION "\n");
        return EParse::Version;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        message = positional.isEmpty() ? QStringLiteral("which recording? (REC.txt is missing)")
                                       : QStringLiteral("one recording at a time, not %1")
                                             .arg(positional.join(QLatin1Char(' ')));
        return EParse::Error;
    }
    o.recording = positional.first();
    o.edfPath = parser.value(edf);
    o.csvPath = parser.value(csv);
    if ((parser.isSet(edf) && o.edfPath.isEmpty()) || (parser.isSet(csv) && o.csvPath.isEmpty())) {
        message = QStringLiteral("--edf and --csv need a file name");
        return EParse::Error;
    }
    if (o.edfPath.isEmpty() && o.csvPath.isEmpty()) {
        message = QStringLiteral("nothing to do: give --edf OUT.edf and/or --csv OUT.csv");
        return EParse::Error;
    }
    if (parser.isSet(rate)) {
        bool ok = false;
        const double hz = parser.value(rate).toDouble(&ok);
        if (!ok || !(hz >= 0.1 && hz <= 100000)) {
            message = QStringLiteral("--rate must be a number from 0.1 to 100000, not %1")
                          .arg(parser.value(rate));
            return EParse::Error;
        }
        o.rate = hz;
    }
    o.force = parser.isSet(force);
    o.acceptOdd = parser.isSet(acceptOdd);
    o.skipBad = parser.isSet(skipBad);
    o.noSidecar = parser.isSet(noSidecar);
    return EParse::Ok;
}
