#pragma once
// The simulated device's run: options, where its records come from, and the
// loop that answers commands and paces records onto the pseudo-terminal.

#include "tools/DevicePort.h"
#include "tools/SimDevice.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace simdev {

struct Options {
    int port = 1;                // COMn
    double rate = kFullLineRate; // records per second
    double bpm = 72;
    double duration = 0; // seconds; 0 runs until a signal
    bool startNow = false;
    QString replayPath;
    bool verbatim = false; // replay bytes 0 and 14 as recorded
    ChunkPlan chunks;      // how the stream is cut into writes
    int startOffset = 0;   // bytes of the first record never sent
};

enum class ParseResult { Ok, Help, Version, Error };
// args starts with the program name. On Help and Version, `message` holds the
// text to print; on Error, what was wrong.
ParseResult ParseOptions(const QStringList& args, Options& options, QString& message);

// Hands out the device's records one after the other: the synthetic waves, or
// the records of a recording, looped. Either way byte 0 counts every record the
// device produced, including those the reader was too slow to take, so a gap
// in it tells exactly how many were lost. A replayed record keeps its recorded
// bytes 1..13; unless `verbatim`, bytes 0 and 14 are renumbered.
class RecordSource {
public:
    RecordSource(double rate, double bpm);
    RecordSource(std::vector<Record> replay, bool verbatim);
    Record Next(const DeviceState& state);
    void Skip(uint64_t count) { m_index += count; }
    // The last `count` records were never sent after all: they come again.
    void Rewind(uint64_t count) { m_index -= std::min(count, m_index); }
    uint64_t Index() const { return m_index; }

private:
    WaveformGenerator m_generator;
    std::vector<Record> m_replay;
    bool m_verbatim = false;
    uint64_t m_index = 0;
};

struct ServeStats {
    uint64_t sent = 0;    // records queued for the pseudo-terminal and not taken back
    uint64_t dropped = 0; // records the reader had no room for
};

// Runs until stopFd becomes readable or the duration ends. Diagnostics go to
// `log`.
ServeStats ServeDevice(const Pty& pty, const Options& options, RecordSource& source, int stopFd,
                       std::FILE* log);

} // namespace simdev
