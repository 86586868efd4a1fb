#include "tools/DeviceOptions.h"

#include "platform/PortMap.h"

#include <QCommandLineParser>

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

namespace simdev {

namespace {

bool ParseNumber(const QString& text, double min, double max, double& out) {
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !(v >= min && v <= max))
        return false;
    out = v;
    return true;
}

} // namespace

ParseResult ParseOptions(const QStringList& args, Options& options, QString& message) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Simulated Tovrel acquisition device. Serves a pseudo-terminal as COMn, answers\n"
        "the panel's command frames and streams 15-byte records.\n"
        "\n"
        "Pulse amplification g scales the pulse waves' amplitude by (1 + g/32).\n"
        "Zero calibration removes the pressure sensors' offsets (about 11300 and 7500).\n"
        "\n"
        "Environment: TOVREL_TEST_MODE=1 is for tests only: it moves the port-map folder\n"
        "to Qt's test location.\n"
        "\n"
        "Exit status: 0 when stopped by a signal or at the end of --duration, 1 when it\n"
        "cannot serve (the reason on stderr), 2 for a bad option.");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption version("version", "Show the version.");
    const QCommandLineOption port("port", "Port to serve, COM1..COM16 (default COM1).", "COMn",
                                  "COM1");
    const QCommandLineOption rate(
        "rate", QString("Records per second (default %1, the full line rate).").arg(kFullLineRate),
        "N");
    const QCommandLineOption bpm("bpm", "Heart rate of the synthetic waves (default 72).", "N");
    const QCommandLineOption duration("duration", "Stop after S seconds.", "S");
    const QCommandLineOption start("start", "Stream from the start, without a start frame.");
    const QCommandLineOption replay(
        "replay", "Stream the records of a recording made by the panel, looped.", "FILE");
    const QCommandLineOption verbatim(
        "verbatim", "With --replay: keep bytes 0 and 14 as recorded instead of renumbering.");
    const QCommandLineOption chunks(
        "chunks",
        QString("How the stream is cut into writes: 'records' (the default: the whole records "
                "due, every 2 ms), N (every write N bytes) or random:N (each write 1 to N bytes, "
                "the sizes drawn from --seed); N is 1 to %1. Records may then be split "
                "anywhere. The bytes per second stay those of --rate.")
            .arg(kMaxChunkBytes),
        "PIECES");
    const QCommandLineOption seed(
        "seed",
        "With --chunks random:N: the seed of the sizes (default 1); a seed gives the same "
        "sizes every run.",
        "S");
    const QCommandLineOption startOffset(
        "start-offset",
        "Leave out the first K bytes (0 to 14) of the first record, so the stream starts in the "
        "middle of a record.",
        "K");
    parser.addOptions({help, version, port, rate, bpm, duration, start, replay, verbatim, chunks,
                       seed, startOffset});

    if (!parser.parse(args)) {
        message = parser.errorText();
        return ParseResult::Error;
    }
    if (parser.isSet(help)) {
        message = parser.helpText();
        return ParseResult::Help;
    }
    if (parser.isSet(version)) {
        message = QStringLiteral("tovrel-simdevice " TOVREL_VERSION "\n");
        return ParseResult::Version;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = "unexpected argument: " + parser.positionalArguments().first();
        return ParseResult::Error;
    }

    // The panel's COM names, or the bare number.
    std::optional<int> portNumber = ParseComNumber(parser.value(port));
    if (!portNumber)
        portNumber = ParseComNumber(QStringLiteral("COM") + parser.value(port));
    if (!portNumber || !IsComInMap(*portNumber)) {
        message = "--port must be COM1 to COM16, not " + parser.value(port);
        return ParseResult::Error;
    }
    options.port = *portNumber;
    if (parser.isSet(rate) && !ParseNumber(parser.value(rate), 1, 1e6, options.rate)) {
        message = "--rate must be a number of records per second from 1 to 1000000";
        return ParseResult::Error;
    }
    if (parser.isSet(bpm) && !ParseNumber(parser.value(bpm), 20, 250, options.bpm)) {
        message = "--bpm must be from 20 to 250";
        return ParseResult::Error;
    }
    if (parser.isSet(duration) && !ParseNumber(parser.value(duration), 0, 1e9, options.duration)) {
        message = "--duration must be a number of seconds, 0 or more";
        return ParseResult::Error;
    }
    options.startNow = parser.isSet(start);
    options.replayPath = parser.value(replay);
    options.verbatim = parser.isSet(verbatim);
    if (options.verbatim && options.replayPath.isEmpty()) {
        message = "--verbatim only applies with --replay";
        return ParseResult::Error;
    }
    if (parser.isSet(chunks)) {
        const QString plan = parser.value(chunks).trimmed().toLower();
        const bool random = plan.startsWith("random:");
        bool ok = false;
        const int size = random ? plan.mid(7).toInt(&ok) : plan.toInt(&ok);
        if (plan == "records") {
            options.chunks = ChunkPlan{};
        } else if (ok && size >= 1 && size <= kMaxChunkBytes) {
            options.chunks.kind = random ? ChunkPlan::Kind::Random : ChunkPlan::Kind::Fixed;
            options.chunks.size = size;
        } else {
            message = QString("--chunks must be records, N or random:N with N from 1 to %1, not %2")
                          .arg(kMaxChunkBytes)
                          .arg(parser.value(chunks));
            return ParseResult::Error;
        }
    }
    if (parser.isSet(seed)) {
        bool ok = false;
        options.chunks.seed = parser.value(seed).toULongLong(&ok);
        if (!ok) {
            message = "--seed must be a whole number, 0 or more";
            return ParseResult::Error;
        }
        if (options.chunks.kind != ChunkPlan::Kind::Random) {
            message = "--seed only applies with --chunks random:N";
            return ParseResult::Error;
        }
    }
    if (parser.isSet(startOffset)) {
        bool ok = false;
        options.startOffset = parser.value(startOffset).toInt(&ok);
        if (!ok || options.startOffset < 0 || options.startOffset >= int(kRecordSize)) {
            message = "--start-offset must be from 0 to 14";
            return ParseResult::Error;
        }
    }
    return ParseResult::Ok;
}

} // namespace simdev
