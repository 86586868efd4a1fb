#include "tools/SimDevice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace simdev {

uint8_t Checksum(const uint8_t* data, size_t size) {
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += data[i];
    return static_cast<uint8_t>(sum);
}

size_t FrameLength(uint8_t command) {
    switch (command) {
    case kCmdCalibrationMode:
    case kCmdStartSampling:
    case kCmdStopSampling:
    case kCmdZeroCalibration:
        return 3;
    case kCmdCoefficients:
    case kCmdAmplification:
        return 5;
    default:
        return 0;
    }
}

void FrameParser::Feed(const uint8_t* data, size_t size, std::vector<ParseEvent>& events) {
    m_buffer.insert(m_buffer.end(), data, data + size);
    size_t pos = 0;
    for (;;) {
        const auto start = std::find(m_buffer.begin() + pos, m_buffer.end(), kFrameStart);
        const size_t at = static_cast<size_t>(start - m_buffer.begin());
        if (at > pos) {
            ParseEvent ev;
            ev.kind = ParseEvent::Kind::Skipped;
            ev.skipped = at - pos;
            events.push_back(ev);
            pos = at;
        }
        if (pos + 2 > m_buffer.size())
            break;
        const size_t length = FrameLength(m_buffer[pos + 1]);
        if (length == 0) {
            ParseEvent ev;
            ev.kind = ParseEvent::Kind::UnknownCommand;
            ev.bytes[0] = m_buffer[pos];
            ev.bytes[1] = m_buffer[pos + 1];
            ev.length = 2;
            events.push_back(ev);
            ++pos;
            continue;
        }
        if (pos + length > m_buffer.size())
            break;
        ParseEvent ev;
        std::copy_n(m_buffer.begin() + pos, length, ev.bytes.begin());
        ev.length = length;
        if (Checksum(&m_buffer[pos], length - 1) == m_buffer[pos + length - 1]) {
            ev.kind = ParseEvent::Kind::Frame;
            ev.frame.command = m_buffer[pos + 1];
            ev.frame.argCount = static_cast<int>(length - 3);
            for (int i = 0; i < ev.frame.argCount; ++i)
                ev.frame.args[i] = m_buffer[pos + 2 + i];
            pos += length;
        } else {
            ev.kind = ParseEvent::Kind::BadChecksum;
            ++pos;
        }
        events.push_back(ev);
    }
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + pos);
}

std::string ApplyFrame(DeviceState& state, const Frame& frame) {
    char line[160];
    switch (frame.command) {
    case kCmdStartSampling:
        std::snprintf(line, sizeof line, "start sampling%s",
                      state.sampling ? " (already sampling)" : "");
        state.sampling = true;
        break;
    case kCmdStopSampling:
        std::snprintf(line, sizeof line, "stop sampling%s",
                      state.sampling ? "" : " (not sampling)");
        state.sampling = false;
        break;
    case kCmdZeroCalibration:
        state.zeroed = true;
        std::snprintf(line, sizeof line, "zero calibration: pressure offsets removed");
        break;
    case kCmdCalibrationMode:
        state.calibrationMode = true;
        std::snprintf(line, sizeof line, "calibration mode acknowledged");
        break;
    case kCmdCoefficients:
        state.coefficient1 = frame.args[0];
        state.coefficient2 = frame.args[1];
        std::snprintf(line, sizeof line, "pressure coefficients %d and %d", state.coefficient1,
                      state.coefficient2);
        break;
    case kCmdAmplification:
        state.gain1 = frame.args[0];
        state.gain2 = frame.args[1];
        std::snprintf(line, sizeof line, "pulse amplifications %d and %d", state.gain1,
                      state.gain2);
        break;
    default:
        std::snprintf(line, sizeof line, "unknown command 0x%02X", frame.command);
        break;
    }
    return line;
}

Record BuildRecord(uint8_t runningNumber, const Samples& samples) {
    Record r{};
    r[kRecordMarkerPos] = kRecordMarker;
    SetRecordValue(r.data(), kValuePulse1, samples.pulse1);
    SetRecordValue(r.data(), kValuePulse2, samples.pulse2);
    SetRecordValue(r.data(), kValueEcg, samples.ecg);
    SetRecordValue(r.data(), kValueHeartSound, samples.heartSound);
    SetRecordValue(r.data(), kValuePressure1, samples.pressure1);
    SetRecordValue(r.data(), kValuePressure2, samples.pressure2);
    Restamp(r, runningNumber);
    return r;
}

bool RecordIntact(const uint8_t* record) {
    return record[kRecordMarkerPos] == kRecordMarker && RecordChecksumOk(record);
}

void Restamp(Record& record, uint8_t runningNumber) {
    record[0] = runningNumber;
    record[kRecordCheckPos] = RecordChecksum(record.data());
}

Samples DecodeSamples(const uint8_t* record) {
    Samples s;
    s.pulse1 = RecordValue(record, kValuePulse1);
    s.pulse2 = RecordValue(record, kValuePulse2);
    s.ecg = RecordValue(record, kValueEcg);
    s.heartSound = RecordValue(record, kValueHeartSound);
    s.pressure1 = RecordValue(record, kValuePressure1);
    s.pressure2 = RecordValue(record, kValuePressure2);
    return s;
}

// ---- waveforms ---------------------------------------------------------------

namespace {

constexpr double kTwoPi = 6.283185307179586;
// Below this beat period the P-QRS-T and pulse features are compressed so the
// beats do not run into each other.
constexpr double kNominalBeat = 0.8;

double Gauss(double x, double centre, double width) {
    const double z = (x - centre) / width;
    return std::exp(-0.5 * z * z);
}

// Deterministic noise in [0, 1): the same time always gives the same value,
// so a stream is reproducible and looks alike at every record rate.
double Hash01(int64_t n) {
    uint64_t x = static_cast<uint64_t>(n) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0);
}

double ValueNoise(double t, double frequency, int64_t seed) {
    const double x = t * frequency;
    const double cell = std::floor(x);
    const double f = x - cell;
    const int64_t i = static_cast<int64_t>(cell) + seed * 1000003;
    const double a = Hash01(i);
    const double b = Hash01(i + 1);
    return a + (b - a) * f * f * (3 - 2 * f);
}

// One beat's ECG around a zero baseline, R peak at 1; u in feature seconds.
double EcgBeat(double u) {
    return 0.12 * Gauss(u, 0.12, 0.025)     // P
           - 0.12 * Gauss(u, 0.205, 0.008)  // Q
           + 1.00 * Gauss(u, 0.225, 0.009)  // R
           - 0.28 * Gauss(u, 0.245, 0.009)  // S
           + 0.32 * Gauss(u, 0.460, 0.045); // T
}

// One arterial pulse from its foot (x = 0): a steep systolic rise, a faster
// fall into the dicrotic notch, the dicrotic wave, and a long diastolic
// run-off that reaches into the next beat. Peak about 1. Defined for x < 0
// too (the start of the rise), so beats can be summed without a step.
double PulseShape(double x) {
    const double systolic = Gauss(x, 0.13, x < 0.13 ? 0.05 : 0.08);
    const double dicrotic = 0.34 * Gauss(x, 0.36, 0.045);
    const double runoff = x > 0 ? 0.40 * std::exp(-x / 0.40) * (1 - std::exp(-x / 0.04)) : 0.0;
    return (systolic + dicrotic + runoff) / 1.32;
}

double Clamp16(double v) {
    return std::clamp(v, 0.0, 65535.0);
}

uint16_t ToSample(double v) {
    return static_cast<uint16_t>(std::lround(Clamp16(v)));
}

} // namespace

WaveformGenerator::WaveformGenerator(double recordRate, double bpm)
    : m_recordRate(recordRate > 0 ? recordRate : kFullLineRate),
      m_beatPeriod(60.0 / std::clamp(bpm, 10.0, 400.0)),
      m_timeScale(std::min(1.0, m_beatPeriod / kNominalBeat)) {}

Samples WaveformGenerator::At(uint64_t recordIndex, const DeviceState& state) const {
    const double t = static_cast<double>(recordIndex) / m_recordRate;
    const double beatStart = std::floor(t / m_beatPeriod) * m_beatPeriod;
    const double u = (t - beatStart) / m_timeScale; // time within the beat, feature seconds
    const double beatLength = m_beatPeriod / m_timeScale;
    const double breath = std::sin(kTwoPi * 0.25 * t);

    Samples s;

    // ECG: baseline 1000, R peak near 2980, S trough near 420.
    const double ecgNoise = ValueNoise(t, 150.0, 1) - 0.5;
    s.ecg = ToSample(1000.0 + 1900.0 * (EcgBeat(u) + 0.03 * breath) + 16.0 * ecgNoise);

    // Pulse waves: the foot of pulse 1 comes 75 ms after the R peak, pulse 2
    // another 60 ms later (further from the heart). The tail of the previous
    // beat is carried over so the trace is continuous across beats.
    auto pulse = [&](double foot) {
        double x = u - foot;
        if (x < 0)
            x += beatLength;
        return PulseShape(x - beatLength) + PulseShape(x) + PulseShape(x + beatLength);
    };
    const double swing = 1.0 + 0.04 * breath;
    const double amp1 = 2600.0 * (1.0 + state.gain1 / 32.0);
    const double amp2 = 2350.0 * (1.0 + state.gain2 / 32.0);
    s.pulse1 = ToSample(kPulseBaseline + amp1 * swing * pulse(0.30));
    s.pulse2 = ToSample(kPulseBaseline + amp2 * swing * pulse(0.36));

    // Heart sounds: S1 just after the QRS, S2 at the end of the T wave. Each is
    // a short burst: an oscillation whose strength is modulated by noise, with
    // some broadband noise on top, under a raised-cosine envelope.
    auto burst = [&](double from, double length, double frequency, int64_t seed) {
        const double x = (u - from) / length;
        if (x <= 0 || x >= 1)
            return 0.0;
        const double envelope = 0.5 - 0.5 * std::cos(kTwoPi * x);
        const double strength = 0.55 + 0.45 * ValueNoise(t, 60.0, seed);
        const double rough = 2.0 * ValueNoise(t, 320.0, seed + 1) - 1.0;
        return envelope *
               (0.7 * strength * std::sin(kTwoPi * frequency * (u - from)) + 0.3 * rough);
    };
    const double hiss = ValueNoise(t, 400.0, 7) - 0.5;
    s.heartSound = ToSample(1700.0 + 1400.0 * burst(0.235, 0.10, 42.0, 3) +
                            1000.0 * burst(0.525, 0.075, 58.0, 5) + 30.0 * hiss);

    // Pressures: a sensor offset plus a small, slowly drifting applied pressure.
    double p1 =
        700.0 + 350.0 * std::sin(kTwoPi * t / 37.0) + 120.0 * std::sin(kTwoPi * t / 11.0 + 1.3);
    double p2 =
        500.0 + 220.0 * std::sin(kTwoPi * t / 53.0 + 2.1) + 90.0 * std::sin(kTwoPi * t / 7.3 + 0.4);
    if (!state.zeroed) {
        p1 += kPressureOffset1;
        p2 += kPressureOffset2;
    }
    s.pressure1 = ToSample(p1);
    s.pressure2 = ToSample(p2);
    return s;
}

// ---- chunked writes ------------------------------------------------------------

size_t ChunkSizes::Next() {
    const auto size = static_cast<uint64_t>(std::clamp(m_spec.size, 1, kMaxChunkBytes));
    switch (m_spec.kind) {
    case ChunkPlan::Kind::Records:
        return 0;
    case ChunkPlan::Kind::Fixed:
        return size;
    case ChunkPlan::Kind::Random:
        break;
    }
    // splitmix64: the same sequence for a seed on every platform, which the
    // standard library's distributions do not promise.
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<size_t>(1 + (((z >> 32) * size) >> 32));
}

uint64_t BytesDue(int64_t elapsedNs, double rate) {
    if (elapsedNs <= 0 || rate <= 0)
        return 0;
    return static_cast<uint64_t>(
        std::floor(static_cast<double>(elapsedNs) * rate * double(kRecordSize) / 1e9));
}

int64_t NsUntilBytesDue(int64_t bytes, double rate) {
    if (bytes <= 0 || rate <= 0)
        return 0;
    return static_cast<int64_t>(
        std::ceil(static_cast<double>(bytes) * 1e9 / (rate * double(kRecordSize))));
}

WritePacer::WritePacer(const ChunkPlan& plan, double rate)
    : m_spec(plan), m_rate(rate), m_sizes(plan) {
    m_pieceLeft = m_sizes.Next();
}

void WritePacer::Restart(size_t queued) {
    m_clockBytes = -static_cast<int64_t>(queued);
}

size_t WritePacer::Ready(size_t queued, int64_t elapsedNs, bool sampling) const {
    if (!Chunked() || queued == 0)
        return queued;
    if (!sampling)
        return std::min(m_pieceLeft, queued);
    // Records are queued from their first byte's time on, so a piece whose
    // bytes are all due is queued whole, unless the line was blocked and the
    // queue overflowed: then what there is goes.
    if (m_clockBytes + static_cast<int64_t>(m_pieceLeft) >
        static_cast<int64_t>(BytesDue(elapsedNs, m_rate)))
        return 0;
    return std::min(m_pieceLeft, queued);
}

void WritePacer::Wrote(size_t n) {
    m_clockBytes += static_cast<int64_t>(n);
    if (!Chunked())
        return;
    m_pieceLeft -= std::min(n, m_pieceLeft);
    if (m_pieceLeft == 0)
        m_pieceLeft = m_sizes.Next();
}

int64_t WritePacer::DueNs() const {
    if (!Chunked())
        return -1;
    return NsUntilBytesDue(m_clockBytes + static_cast<int64_t>(m_pieceLeft), m_rate);
}

// ---- replay files ------------------------------------------------------------

ReplayData ParseReplay(std::string_view text) {
    ReplayData data;
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos)
            continue;
        Record r;
        if (ParseRecordingLineLeniently(line.data(), line.size(), r.data())) {
            data.records.push_back(r);
        } else {
            if (data.badLines == 0)
                data.firstBadLine = lineNo;
            ++data.badLines;
        }
    }
    return data;
}

std::string HexBytes(const uint8_t* data, size_t size) {
    std::string s;
    char pair[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", data[i]);
        s += pair;
    }
    return s;
}

} // namespace simdev
