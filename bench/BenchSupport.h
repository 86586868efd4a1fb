#pragma once
// What the benchmark programs share: reading a recording back, the process's
// own CPU time and memory, and order statistics.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// A recording read back and checked against the device's running numbers
// (byte 0 counts every record the device produced, wrapping at 256).
struct RecordingTally {
    uint64_t lines = 0;     // non-blank lines
    uint64_t intact = 0;    // lines holding a whole record with marker and checksum in place
    uint64_t badLines = 0;  // lines that do not (a record cut across buffers, a torn line)
    uint64_t lost = 0;      // records missing from 0 up to the last intact one
    uint64_t lastIndex = 0; // running number of the last intact record, unwrapped
    bool any = false;       // at least one intact record
};

// Feeds a recording in pieces of any size; lines may span pieces.
class RecordingReader {
public:
    void Feed(std::string_view text);
    // Takes a last line without CR LF into account.
    RecordingTally Finish();

private:
    void Line(std::string_view line);

    RecordingTally m_tally;
    std::string m_partial;
    uint8_t m_prev = 0;
};

// Reads a recording file; false when it cannot be opened.
bool TallyRecordingFile(const std::string& path, RecordingTally& tally);

// The first record is numbered 0; a jump from a to b skips (b - a - 1) mod 256
// records, and a repeat counts as 255 skipped: the device never repeats one,
// so a repeat can only be a whole turn of the counter going missing. Returns
// the unwrapped index of b.
uint64_t NextIndex(uint64_t previousIndex, uint8_t previous, uint8_t current);

// CPU seconds (user + system) of this process, all threads, to the microsecond.
double ProcessCpuSeconds();
// CPU seconds of one thread of this process from /proc (10 ms resolution).
double ThreadCpuSeconds(long tid);
// Times the thread has given up the CPU, of its own accord or not: its wake-ups.
long ThreadContextSwitches(long tid);
// Names and ids of this process's threads.
struct ThreadInfo {
    long tid;
    std::string name;
};
std::vector<ThreadInfo> ProcessThreads();
// Resident set size now and at its peak, in kB, from /proc/self/status.
long ResidentKb();
long PeakResidentKb();

// The q-quantile (0..1) of values by nearest rank; 0 for none. Reorders values.
double Quantile(std::vector<double>& values, double q);

// A result line: "RESULT key=value ..." that bench/run.sh collects.
class ResultLine {
public:
    explicit ResultLine(std::string_view kind);
    ResultLine& Add(std::string_view key, double value, int decimals = 3);
    ResultLine& Add(std::string_view key, uint64_t value);
    ResultLine& Add(std::string_view key, std::string_view value);
    void Print(std::FILE* out = stdout) const;

private:
    std::string m_text;
};

} // namespace bench
