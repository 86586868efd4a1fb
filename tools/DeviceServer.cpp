#include "tools/DeviceServer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <unistd.h>

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

} // namespace

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
