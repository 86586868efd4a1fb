#include "tools/DeviceServer.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

namespace simdev {

namespace {

using Clock = std::chrono::steady_clock;

// Records are written every tick: small, steady chunks as a UART would
// deliver them, rather than bursts.
constexpr auto kTick = std::chrono::milliseconds(2);
// A chunked stream wakes for each piece, but never sooner than this: pieces
// due closer together go out back to back.
constexpr auto kMinPieceGap = std::chrono::microseconds(20);
// About 10 ms of records at the full rate; beyond that the reader is behind
// and records are dropped instead of queued.
constexpr size_t kQueueRecords = 64;
// How long to leave the terminal alone after it reports a hang-up or an
// error, so a broken line costs no CPU.
constexpr auto kBackOff = std::chrono::milliseconds(100);

void Log(std::FILE* log, const std::string& text) {
    std::fprintf(log, "tovrel-simdevice: %s\n", text.c_str());
    std::fflush(log);
}

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

    const QRegularExpression portPattern("^(?:COM)?([0-9]{1,2})$",
                                         QRegularExpression::CaseInsensitiveOption);
    const auto portMatch = portPattern.match(parser.value(port));
    const int portNumber = portMatch.hasMatch() ? portMatch.captured(1).toInt() : 0;
    if (portNumber < 1 || portNumber > 16) {
        message = "--port must be COM1 to COM16, not " + parser.value(port);
        return ParseResult::Error;
    }
    options.port = portNumber;
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

RecordSource::RecordSource(double rate, double bpm) : m_generator(rate, bpm) {}

RecordSource::RecordSource(std::vector<Record> replay, bool verbatim)
    : m_generator(kFullLineRate, 72), m_replay(std::move(replay)), m_verbatim(verbatim) {}

Record RecordSource::Next(const DeviceState& state) {
    const uint64_t index = m_index++;
    const auto number = static_cast<uint8_t>(index & 0xFF);
    if (m_replay.empty())
        return BuildRecord(number, m_generator.At(index, state));
    Record r = m_replay[index % m_replay.size()];
    if (!m_verbatim)
        Restamp(r, number);
    return r;
}

static void LogParseEvent(std::FILE* log, const ParseEvent& ev) {
    switch (ev.kind) {
    case ParseEvent::Kind::Frame:
        break;
    case ParseEvent::Kind::BadChecksum:
        Log(log, "ignored frame " + HexBytes(ev.bytes.data(), ev.length) + ": bad checksum");
        break;
    case ParseEvent::Kind::UnknownCommand:
        Log(log,
            "ignored start byte before unknown command byte " + HexBytes(ev.bytes.data() + 1, 1));
        break;
    case ParseEvent::Kind::Skipped:
        Log(log, "ignored " + std::to_string(ev.skipped) + " stray byte(s)");
        break;
    }
}

ServeStats ServeDevice(const Pty& pty, const Options& options, RecordSource& source, int stopFd,
                       std::FILE* log) {
    ServeStats stats;
    DeviceState state;
    state.sampling = options.startNow;
    FrameParser parser;
    WritePacer pacer(options.chunks, options.rate);
    // Room for a whole piece on top of the 10 ms of records.
    const size_t pieceRecords =
        pacer.Chunked() ? (size_t(options.chunks.size) + kRecordSize - 1) / kRecordSize + 1 : 0;
    OutputQueue queue(kQueueRecords + pieceRecords);
    std::vector<ParseEvent> events;
    bool firstRecord = true;
    bool blocked = false; // the line refused the last write

    const auto begin = Clock::now();
    const bool bounded = options.duration > 0;
    const auto deadline =
        begin + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(bounded ? options.duration : 0.0));
    auto origin = begin; // when the current sampling run started
    uint64_t paced = 0;  // records accounted for since origin
    auto nextTick = begin + kTick;
    auto quietUntil = begin; // back-off after a hang-up or an error
    bool troubleLogged = false;

    auto sinceOrigin = [&](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t - origin).count();
    };

    // Writes what the line takes of what may go now.
    auto writeDue = [&](Clock::time_point now) {
        const bool quiet = now < quietUntil;
        const int64_t elapsed = sinceOrigin(now);
        while (!quiet && queue.Size() > 0) {
            const size_t ready = pacer.Ready(queue.Size(), elapsed, state.sampling);
            if (ready == 0)
                break;
            const ssize_t n = write(pty.master, queue.Data(), ready);
            if (n > 0) {
                queue.Consume(static_cast<size_t>(n));
                pacer.Wrote(static_cast<size_t>(n));
                blocked = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                blocked = true;
                break;
            }
            if (!troubleLogged)
                Log(log, std::string("write failed: ") + std::strerror(errno) +
                             "; discarding records until the line recovers");
            troubleLogged = true;
            pacer.Pass(queue.Size());
            queue.Clear();
            quietUntil = now + kBackOff;
            break;
        }
    };

    for (;;) {
        auto now = Clock::now();
        if (bounded && now >= deadline)
            break;

        if (state.sampling) {
            // Cut into pieces, a record is queued from its first byte's time
            // on, so that a piece is queued whole once its last byte is due.
            const uint64_t due =
                RecordsDue(sinceOrigin(now), options.rate) + (pacer.Chunked() ? 1 : 0);
            while (paced < due) {
                // This process woken late (a busy machine) owes more records
                // than the queue holds: they go onto the line as they are
                // made, and are dropped only when the line refuses them, so
                // the device's own lateness costs the reader nothing.
                if (!queue.HasRoom())
                    writeDue(now);
                if (!queue.HasRoom()) {
                    const uint64_t lost = due - paced;
                    source.Skip(lost);
                    stats.dropped += lost;
                    pacer.Pass(lost * kRecordSize);
                    paced = due;
                    break;
                }
                queue.Push(source.Next(state));
                ++stats.sent;
                ++paced;
                if (firstRecord) {
                    firstRecord = false;
                    queue.Consume(size_t(options.startOffset));
                    pacer.Pass(uint64_t(options.startOffset));
                }
            }
        }
        writeDue(now);

        while (nextTick <= now)
            nextTick += kTick;
        auto wakeAt = state.sampling ? nextTick : now + std::chrono::milliseconds(200);
        if (state.sampling && pacer.Chunked() && !blocked)
            wakeAt = std::min(wakeAt, std::max(origin + std::chrono::nanoseconds(pacer.DueNs()),
                                               now + kMinPieceGap));
        if (now < quietUntil)
            wakeAt = std::min(wakeAt, quietUntil);
        if (bounded)
            wakeAt = std::min(wakeAt, deadline);

        pollfd fds[2] = {};
        fds[0].fd = stopFd;
        fds[0].events = POLLIN;
        fds[1].fd = pty.master;
        if (now < quietUntil)
            fds[1].fd = -1;
        fds[1].events = static_cast<short>(POLLIN | (blocked && queue.Size() > 0 ? POLLOUT : 0));
        const auto wait = std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - now).count());
        const timespec timeout{static_cast<time_t>(wait / 1000000000),
                               static_cast<long>(wait % 1000000000)};
        const int ready = ppoll(fds, 2, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Log(log, std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN)
            break;

        now = Clock::now();
        if (fds[1].revents & POLLIN) {
            uint8_t buf[512];
            const ssize_t n = read(pty.master, buf, sizeof buf);
            if (n > 0) {
                troubleLogged = false;
                events.clear();
                parser.Feed(buf, static_cast<size_t>(n), events);
                for (const ParseEvent& ev : events) {
                    if (ev.kind != ParseEvent::Kind::Frame) {
                        LogParseEvent(log, ev);
                        continue;
                    }
                    const bool wasSampling = state.sampling;
                    Log(log, ApplyFrame(state, ev.frame));
                    if (state.sampling && !wasSampling) {
                        origin = now;
                        paced = 0;
                        pacer.Restart(queue.Size());
                    } else if (!state.sampling && wasSampling) {
                        // Records never begun were never sent: the next run
                        // starts with them, so the running numbers go on
                        // without a gap.
                        const size_t unsent = queue.DropUnstarted();
                        source.Rewind(unsent);
                        stats.sent -= unsent;
                    }
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                quietUntil = now + kBackOff;
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            quietUntil = now + kBackOff;
        }
    }
    return stats;
}

} // namespace simdev
