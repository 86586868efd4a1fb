#pragma once
// The logic of the simulated acquisition device: command frames in, records
// out. Everything here is free of I/O so the tests can drive it byte by byte;
// tovrel-simdevice wires it to a pseudo-terminal.

#include "acquisition/RecordFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simdev {

// The command frames as the device knows them. The simulator stands in for a
// device built apart from the panel, so it keeps its own table of them
// rather than the panel's (link/CommandFrame.h): a wrong byte on either side
// shows as a frame the device refuses, as it would with the real one. The
// records it sends and the recordings it replays are the panel's own
// (acquisition/RecordFormat.h).
inline constexpr uint8_t kFrameStart = 0xF0;

// Command bytes of the six frames the panel sends.
inline constexpr uint8_t kCmdCalibrationMode = 0x4A; // 'J'
inline constexpr uint8_t kCmdCoefficients = 0x41;    // 'A', two arguments
inline constexpr uint8_t kCmdStartSampling = 0x32;   // '2'
inline constexpr uint8_t kCmdStopSampling = 0x33;    // '3'
inline constexpr uint8_t kCmdZeroCalibration = 0x40; // '@'
inline constexpr uint8_t kCmdAmplification = 0x34;   // '4', two arguments

// The full line rate: 926000 baud 8N1 carries 92600 bytes/s, i.e. this many
// whole records per second.
inline constexpr int kFullLineRate = 92600 / kRecordSize;

using Record = std::array<uint8_t, kRecordSize>;

// The command frames' 8-bit sum.
uint8_t Checksum(const uint8_t* data, size_t size);

// Whole frame length for a command byte (start byte and checksum included),
// or 0 for a byte that starts no known frame.
size_t FrameLength(uint8_t command);

struct Frame {
    uint8_t command = 0;
    std::array<uint8_t, 2> args{};
    int argCount = 0;
};

struct ParseEvent {
    enum class Kind {
        Frame,          // a well-formed frame; `frame` holds it
        BadChecksum,    // `bytes` is the rejected frame; its start byte is dropped
        UnknownCommand, // a start byte followed by an unknown command byte
        Skipped,        // `skipped` bytes of garbage before the next start byte
    };
    Kind kind = Kind::Frame;
    Frame frame;
    std::array<uint8_t, 5> bytes{};
    size_t length = 0;
    size_t skipped = 0;
};

// Incremental frame parser. A frame may arrive split over any number of reads.
// A rejected frame gives up only its start byte, so a real frame that follows
// garbage containing 0xF0 is still found.
class FrameParser {
public:
    void Feed(const uint8_t* data, size_t size, std::vector<ParseEvent>& events);
    // Bytes held back waiting for the rest of a frame (never more than 4).
    size_t Pending() const { return m_buffer.size(); }

private:
    std::vector<uint8_t> m_buffer;
};

// What the commands change in the device.
struct DeviceState {
    bool sampling = false;
    bool calibrationMode = false; // only acknowledged; the records look the same
    int coefficient1 = 100;
    int coefficient2 = 100;
    int gain1 = 0;
    int gain2 = 0;
    // After zero calibration the sensors' offsets are taken off the pressures,
    // which then read only the small applied pressure (a few hundred raw).
    bool zeroed = false;
};

// Applies one well-formed frame and returns a line describing it for the log.
std::string ApplyFrame(DeviceState& state, const Frame& frame);

// One record's payload.
struct Samples {
    uint16_t pulse1 = 0;
    uint16_t pulse2 = 0;
    uint16_t ecg = 0;
    uint16_t heartSound = 0;
    uint16_t pressure1 = 0;
    uint16_t pressure2 = 0;
};

Record BuildRecord(uint8_t runningNumber, const Samples& samples);
// Marker present and checksum over bytes 0..13 matching byte 14.
bool RecordIntact(const uint8_t* record);
// Rewrites the running number and the checksum; bytes 1..13 stay as they are.
void Restamp(Record& record, uint8_t runningNumber);
Samples DecodeSamples(const uint8_t* record);

// Synthetic physiological signals. Record k lies at time k / recordRate, so the
// shapes are the same at any rate. The panel shows raw / 20 on a strip where
// 0..166 is visible, so every wave keeps to raw 200..3200 at gain 0.
//
// Amplification: the pulse waves swing about their baseline with an amplitude
// of (1 + gain / 32) times the gain-0 amplitude, so gain 32 doubles them and
// gain 127 makes them almost five times as large (the trace then leaves the
// strip, as it would with the real amplifier turned up too far). Values are
// clamped to 0..65535.
class WaveformGenerator {
public:
    WaveformGenerator(double recordRate, double bpm);
    Samples At(uint64_t recordIndex, const DeviceState& state) const;

    // Pulse sample value at the diastolic baseline, for tests of the gain.
    static constexpr double kPulseBaseline = 350.0;
    // Sensor offsets that zero calibration removes.
    static constexpr double kPressureOffset1 = 11300.0;
    static constexpr double kPressureOffset2 = 7500.0;

private:
    double m_recordRate;
    double m_beatPeriod; // seconds
    double m_timeScale;  // shrinks the beat's features at fast heart rates
};

// How the device cuts its byte stream into writes. By default each write
// carries the whole records that are due (a 2 ms tick's worth). Otherwise
// every write is `size` bytes (Fixed), or 1..size bytes drawn from a generator
// started at `seed` (Random), so a run can be repeated exactly; a record may
// then be split over any number of writes.
struct ChunkPlan {
    enum class Kind { Records, Fixed, Random };
    Kind kind = Kind::Records;
    int size = 0;
    uint64_t seed = 1;
};
inline constexpr int kMaxChunkBytes = 4096;

// The sizes of successive writes under a plan; 0 under Kind::Records.
class ChunkSizes {
public:
    explicit ChunkSizes(const ChunkPlan& plan) : m_spec(plan), m_state(plan.seed) {}
    size_t Next();

private:
    ChunkPlan m_spec;
    uint64_t m_state;
};

// Bytes of the stream due after elapsedNs at `rate` records per second.
uint64_t BytesDue(int64_t elapsedNs, double rate);
// Nanoseconds from the start until `bytes` bytes of the stream are due.
int64_t NsUntilBytesDue(int64_t bytes, double rate);

// Decides the device's writes from the bytes queued. Under Kind::Records all
// of them go at once. Otherwise the stream goes out in the plan's pieces, each
// once its last byte is due by the byte clock (15 * rate bytes a second from
// the start of a sampling run), so the line carries the configured rate
// whatever the pieces' sizes. A piece the line takes only in part is finished
// by the next write(s). While sampling is stopped, what is left of a record
// goes out in pieces without waiting for the clock.
class WritePacer {
public:
    WritePacer(const ChunkPlan& plan, double rate);
    bool Chunked() const { return m_spec.kind != ChunkPlan::Kind::Records; }
    // Sampling starts (again); `queued` bytes left from before are due at once.
    void Restart(size_t queued);
    // Stream bytes that will never be written (a cut start, dropped records):
    // the clock passes over them.
    void Pass(uint64_t bytes) { m_clockBytes += int64_t(bytes); }
    // Bytes to write now, 0 to wait. elapsedNs counts from the run's start.
    size_t Ready(size_t queued, int64_t elapsedNs, bool sampling) const;
    // n bytes (at most Ready's answer) went onto the line.
    void Wrote(size_t n);
    // When the current piece is due, in ns from the run's start; -1 under
    // Kind::Records (written as soon as queued).
    int64_t DueNs() const;

private:
    ChunkPlan m_spec;
    double m_rate;
    ChunkSizes m_sizes;
    size_t m_pieceLeft = 0;   // bytes of the current piece still to write
    int64_t m_clockBytes = 0; // stream bytes written or passed since the run's start
};

// A recording made by the panel, read leniently (ParseRecordingLineLeniently):
// lines that do not hold exactly one record are counted and left out; blank
// lines are skipped.
struct ReplayData {
    std::vector<Record> records;
    int badLines = 0;
    int firstBadLine = 0; // 1-based; 0 when all lines were good
};
ReplayData ParseReplay(std::string_view text);

std::string HexBytes(const uint8_t* data, size_t size);

} // namespace simdev
