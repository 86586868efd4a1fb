#pragma once
// The simulated device's run: where its records come from, and the loop that
// answers commands and paces records onto the pseudo-terminal.

#include "tools/DeviceOptions.h"
#include "tools/DevicePort.h"
#include "tools/SimDevice.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace simdev {

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
