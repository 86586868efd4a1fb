// Fuzzes the road device bytes take, from the line to the recording files: a
// generated device stream, damaged on the way (stray bytes, garbage bursts,
// lost bytes, a damaged marker, dropped chunks), arrives in the serial
// control's queue and is read from there as the panel's receive handler reads
// it, through CRecvFeed: the bytes kept from a closed port first, no chunk
// running past the next event. The operator's presses are placed in the
// stream as the panel places them: a recording started or stopped (tags from a
// CRecorder writing real files, one per path), a marker (a settle), the port
// closed (its waiting bytes kept, the stream broken after them) and opened (a
// break ahead of the new port's bytes). The worker takes ready buffers
// whenever the input says so; the cut into whole records, their tags, the
// decimation, the decoding and the recorder all run as in the panel.
//
// The input is a header and a little program of operations (see Op below).
// The data is not taken from the input but from a generated device stream of
// records, so every recorded line can be told to be a record of the stream as
// it came (intact, or with a byte changed in place) or a torn piece. There is
// no model of the cut; instead:
//  - along the way: every chunk gets the result the hand-off rules give it,
//    every event takes effect at its place in the stream and in order, the
//    worker takes buffers in hand-over order and gets each one exactly as it
//    was handed over, whole records only; no accepted byte is lost uncounted
//    (accepted = handed over + skipped + filling); every eleventh record cut
//    is decoded;
//  - every line the worker is given is 15 bytes that arrived together in
//    accepted chunks, after those of the line before: nothing is recorded
//    twice, out of order, or pieced together across a drop; and it carries
//    the tag that was in force when its last byte was fed, exactly, at every
//    event (a record torn by an event is the new tag's);
//  - in a stream that carries the marker with samples as a body gives them
//    (smooth), no line is torn: none in a clean stream (where byte 14
//    moves), none after one byte lost or added away from other damage (with
//    one column of ':' at most); what the cut does after other
//    damage is judged against its known limits (JudgeTornLines), which are
//    tolerated as narrowly as they show and reported with
//    TOVREL_FUZZ_STRICT=1. With random samples, a torn line only near a
//    damage point or a decision taken at once out of step;
//  - at the end, after the panel's own shutdown (port closed, kept bytes fed,
//    stream broken, recording ended, buffers flushed): every intact record
//    away from damage, and a record whose marker alone was damaged, recorded
//    exactly once; a stream without the marker and without damage recorded
//    record by record from its start; intact records lost only within a
//    bounded reach of damage (kLossBefore, kLossAfter, kDamageJoin; the
//    records a tolerated torn line covers); each recording file holds
//    exactly the lines tagged with its sessions, in order, and every file is
//    closed, each as soon as a buffer handed over after its end was written;
//  - the receive buffers' record sink counted every record given to the
//    worker, with its tag.
#include "acquisition/Record.h"
#include "acquisition/RecordStep.h"
#include "acquisition/Recorder.h"
#include "acquisition/RecvBuffers.h"
#include "acquisition/RecvFeed.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

void RemoveFiles();
// With tracing: prints the accepted bytes TOVREL_FUZZ_DUMP asks for.
void (*g_dump)() = nullptr;

[[noreturn]] void Fail(const char* what, long long a = 0, long long b = 0) {
    if (g_dump)
        g_dump();
    std::fprintf(stderr, "receive-path invariant broken: %s (%lld, %lld)\n", what, a, b);
    RemoveFiles(); // abort skips atexit
    std::abort();
}
#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            Fail(#cond __VA_OPT__(, ) __VA_ARGS__);                                                \
    } while (0)

// How far damage may reach. Damage points are where the stream stops being
// the device's records back to back: a stray byte, a lost byte, a dropped
// chunk, a break (the port closed or opened), a damaged marker. Their record
// is the one whose marker precedes them: the cut knows a record whole only
// from its marker to the next one.
//
// Records lost to a damage point: its own and the kLossAfter after it. In
// step, a record whose marker is missing keeps its place when the two periods
// after it carry 0x3A; after a shift those can be sample bytes of a column
// (up to kStepConfirm - 1 records long) that now sits where the markers were,
// and the old place is kept through it: its records are cut torn, and the
// step is found again at the period after it.
constexpr int kLossAfter = kStepConfirm;
// And the record before it: a byte lost or added just after a marker can
// show from the record before (a colon beside the marker makes the next
// marker look a byte early), and where no learned checksum says which of
// the two the byte went in, both go.
constexpr int kLossBefore = 1;
// Damage points this close (in records) are judged together: a false place
// may be kept for kStepConfirm periods, and then the search for the boundary
// reads kStepMaxRest bytes ahead, so further damage within that reach can
// cost the records between the two. The start of the stream is out of step
// in the same way.
constexpr int kDamageJoin = kStepConfirm + kStepMaxRest / kRecordSize;
// With random samples (no smoothness to tell a false phase by), a torn line
// starts at most kTornAfter bytes after a damage point: out of step the cut
// looks kStepSearch bytes ahead and decides once kStepMaxRest bytes are
// there, and a false place pieced together across the damage is given up at
// the first period that lacks its marker. It starts at most kTornBefore bytes
// before one: in step, the cut sees damage through the marker of the record
// after the one in hand. Out of step it may start further before one, but
// then after the damage point (or the port opening) that put the stream out
// of step.
constexpr int kTornAfter = kStepSearch + kStepMaxRest;
constexpr int kTornBefore = kRecordSize + kRecordMarkerPos;
// In step, a slip is looked for in the readings a byte either way over the
// next five records (FindSlip), so a fault that far ahead can move the cut
// onto a column's reading from here on.
constexpr int kSlipAhead = 6 * kRecordSize;

// Stream bytes one input may receive, and stray bytes it may insert, so that
// no input crawls.
constexpr size_t kMaxProgramBytes = 48 * 1024;
constexpr size_t kMaxStrayBytes = 16 * 1024;
// The receive handler reads at most this much at a time (the serial
// control's kMaxInputChunk).
constexpr int kHandlerChunk = 495;
// Recordings one input may start, and the files they go to.
constexpr size_t kMaxSessions = 24;
constexpr int kMaxPaths = 6;

// The header: one flags byte, two seed bytes.
//   flags bit 0      the stream carries no marker
//   flags bit 5      samples as a body gives them: six 16-bit values that
//                    change little from one record to the next; byte 0 a
//                    running number. Else random sample bytes, record k
//                    carrying k in bytes 0, 2 and 3 (never 0x3A).
//   random samples:
//     bits 1-2       how often a sample byte is 0x3A: never, 1 in 128, 32, 8
//     bits 3-4       how often a column of 0x3A over 1 to 3 records starts:
//                    never, 1 record in 64, 16, 4
//   smooth samples:
//     bits 1-2       the noise on every value: +-1, 3, 12, 48
//     bits 3-4       columns of 0x3A (a value held still so that one of its
//                    bytes is 0x3A): none; now and then (1 record in 200, up
//                    to 300 records long); often (1 in 30, up to 60 long);
//                    one column over the whole input (byte 2 + seed % 12)
//     bits 6-7       byte 14: the 8-bit sum of bytes 0 to 13 (0, 1), a
//                    random byte (2), always 0 (3)
// Operations, one control byte each (taken modulo kOpCount):
//   0-2  feed: two length bytes (little-endian, modulo 601, so past the
//        512-byte limit too): that many stream bytes arrive and are read as
//        one chunk (shorter where an event comes first; kept bytes first)
//        whatever the buffers can take: a chunk they cannot is dropped
//   3    the worker takes one ready buffer, if any
//   4    the worker takes every ready buffer
//   5    recording, one argument byte: odd = start a recording into a place
//        that cannot be opened; else by (arg >> 1) % 4: 0 start (a new file)
//        when stopped, stop when recording; 1 the same, the start into the
//        file of the last recording; 2 stop and start again into the same
//        file; 3 start a new file without stopping (the recorder ends the
//        one before)
//   6    one argument byte (five for a large one), twice: pressure coefficients
//   7    stray bytes: a count byte (1 + low 3 bits), a position byte (bytes
//        ahead in the stream), then that many byte values
//   8    lost bytes: a count byte (1 + low 4 bits), a position byte
//   9    a damaged marker: records ahead (low 5 bits), the value put there
//   10   the port is closed and opened again at once
//   11   bytes arrive and wait in the control: two length bytes (modulo 1201)
//   12   the receive handler as the panel runs it, 1 + (arg & 7) times: one
//        chunk of at most 495 bytes, left waiting while the buffers cannot
//        take it
//   13   the operator sets a marker (a settle)
//   14   the port is closed when open, opened when closed (bytes arriving
//        meanwhile are lost)
//   15   a garbage burst: two count bytes (1 + (count % 400)), a position
//        byte, a seed byte for its random values
//   16   a column of 0x3A from the next record generated on (smooth samples
//        only): a place byte (2 + (low 4 bits) % 12; bit 4: a high byte
//        column holds the whole value, else its low byte moves), two length
//        bytes (records; 0: to the end of the input)
enum Op {
    kOpFeedLast = 2,
    kOpWorkOne = 3,
    kOpWorkAll = 4,
    kOpRecord = 5,
    kOpCoef = 6,
    kOpStray = 7,
    kOpLose = 8,
    kOpMarker = 9,
    kOpReopen = 10,
    kOpArrive = 11,
    kOpHandler = 12,
    kOpPress = 13,
    kOpPort = 14,
    kOpBurst = 15,
    kOpColumn = 16,
    kOpCount = 17
};

struct Reader {
    const uint8_t* p;
    size_t n;
    bool Empty() const { return n == 0; }
    uint8_t Byte() {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
};

std::string g_recordBase;
// TOVREL_FUZZ_TRACE=1 prints every operation, for reading a crash input.
bool g_trace = false;
std::string g_badPath; // a directory: fopen(..., "a+") refuses it

std::string RecordPath(int k) {
    return g_recordBase + "-" + std::to_string(k) + ".txt";
}

// One line of the recording, formatted here without the product's helper:
// two upper-case hex digits and a space per byte, CR LF.
void AppendLine(std::string& out, const uint8_t* rec) {
    static const char kDigits[] = "0123456789ABCDEF";
    char line[kRecordLineSize];
    for (int i = 0; i < kRecordSize; ++i) {
        line[3 * i] = kDigits[rec[i] / 16];
        line[3 * i + 1] = kDigits[rec[i] % 16];
        line[3 * i + 2] = ' ';
    }
    line[kRecordLineSize - 2] = '\r';
    line[kRecordLineSize - 1] = '\n';
    out.append(line, kRecordLineSize);
}

int32_t Word(const uint8_t* p) {
    return int32_t(p[0]) * 256 + int32_t(p[1]);
}

// A byte on its way from the device: which record and which of its bytes, or
// a stray (rec < 0); and whether it was changed on the way.
struct SByte {
    uint8_t v;
    int32_t rec;
    int8_t off;
    bool changed;
};

class CRandom {
public:
    explicit CRandom(uint32_t seed = 1) : m_x(seed) {}
    uint32_t Next() {
        m_x = m_x * 1103515245u + 12345u;
        return m_x >> 16;
    }
    // -amp..amp
    int Around(int amp) { return amp <= 0 ? 0 : int(Next() % uint32_t(2 * amp + 1)) - amp; }

private:
    uint32_t m_x;
};

// The device.
//
// Random samples (the model the fuzzer began with): record k carries k in
// the high-bit bytes 0, 2 and 3 (never 0x3A), the marker, sample bytes that
// are sometimes 0x3A, now and then a column of 0x3A at one place over a few
// records, and a checksum. No place other than the marker's holds 0x3A in
// more than kStepConfirm - 1 records in a row, nor again before two records
// without it: with nothing smooth to tell phases by, only damage may make a
// false boundary.
//
// Smooth samples: six values, each a slow walk with noise on it, as a body's
// signals are; byte 0 a running number, byte 14 a checksum, a random byte or
// 0. A column of 0x3A is a value held still at 0x3Axx (its low byte still
// moving, or not) or at xx3A, for any number of records. Out of the model:
// every value and byte 14 holding still at once (the phases are then the
// same bytes turned, and nothing tells them apart), and, in a stream without
// the marker, runs of 0x3A (such a stream has no boundary to find, and a
// column would look like one): there, 0x3A runs are broken as for random
// samples.
class CDevice {
public:
    void Setup(uint8_t flags, uint16_t seed) {
        m_bMarker = (flags & 1) == 0;
        m_bSmooth = (flags & 0x20) != 0;
        m_rng = CRandom(seed * 2654435761u + 1);
        if (!m_bSmooth) {
            static const int kColonOneIn[] = {0, 128, 32, 8};
            static const int kColumnOneIn[] = {0, 64, 16, 4};
            m_colonOneIn = kColonOneIn[(flags >> 1) & 3];
            m_columnOneIn = kColumnOneIn[(flags >> 3) & 3];
            return;
        }
        static const int kNoise[] = {1, 3, 12, 48};
        m_noise = kNoise[(flags >> 1) & 3];
        m_accel = 1 + m_noise / 2;
        m_velMax = 8 * m_noise + 8;
        const int columns = (flags >> 3) & 3;
        static const int kColumnOneIn[] = {0, 200, 30, 0};
        static const int kColumnMax[] = {0, 300, 60, 0};
        m_columnOneIn = kColumnOneIn[columns];
        m_columnMax = kColumnMax[columns];
        m_sum = (flags >> 6) & 3;
        for (int w = 0; w < 6; ++w) {
            m_wave[size_t(w)].v = 4000 + int(m_rng.Next() % 57000);
            m_wave[size_t(w)].low = int(m_rng.Next() % 256);
        }
        if (columns == 3)
            Column(2 + seed % 12, (seed >> 4) & 1, -1);
    }
    bool WithMarker() const { return m_bMarker; }
    bool Smooth() const { return m_bSmooth; }
    // Byte 14 holds still (smooth samples).
    bool QuietByte14() const { return m_bSmooth && m_sum == 3; }
    // Byte 14 is the 8-bit sum of bytes 0 to 13.
    bool Checksummed() const { return !m_bSmooth || m_sum <= 1; }
    int32_t Generated() const { return m_generated; }
    // The most sample bytes (2 to 13) that are 0x3A in one record of
    // [from, to].
    int SampleColons(int32_t from, int32_t to) const {
        int most = 0;
        for (int32_t k = std::max(from, 0); k <= to && size_t(k) < m_colons.size(); ++k)
            most = std::max(most, __builtin_popcount(m_colons[size_t(k)] & 0x3FFC));
        return most;
    }
    // A record of [from, to] with 0x3A beside the marker: in byte 0 or 2, or
    // in byte 14 of the record before (a reading a byte off then carries it).
    bool ColonBesideMarker(int32_t from, int32_t to) const {
        for (int32_t k = std::max(from - 1, 0); k <= to && size_t(k) < m_colons.size(); ++k)
            if (m_colons[size_t(k)] & (k >= from ? 0x4005 : 0x4000))
                return true;
        return false;
    }
    // A record of [from, to] where 0x3A appears beside the marker (bytes 0, 2
    // or 14) that the record before did not have there.
    bool ColonBesideMarkerBegins(int32_t from, int32_t to) const {
        for (int32_t k = std::max(from, 1); k <= to && size_t(k) < m_colons.size(); ++k)
            if (m_colons[size_t(k)] & ~m_colons[size_t(k - 1)] & 0x4005)
                return true;
        return false;
    }
    std::deque<SByte>& Ahead() { return m_ahead; }

    // At least n bytes ahead.
    void Ensure(size_t n) {
        while (m_ahead.size() < n)
            Generate();
    }
    void InsertStray(size_t at, const std::vector<uint8_t>& values) {
        Ensure(at);
        std::vector<SByte> bytes;
        for (uint8_t v : values)
            bytes.push_back({v, -1, 0, false});
        m_ahead.insert(m_ahead.begin() + long(at), bytes.begin(), bytes.end());
    }
    void Lose(size_t at, size_t count) {
        Ensure(at + count);
        m_ahead.erase(m_ahead.begin() + long(at), m_ahead.begin() + long(at + count));
    }
    // The marker byte of the `ahead`-th record whose marker is still ahead.
    void DamageMarker(int ahead, uint8_t v) {
        size_t at = 0;
        for (int seen = 0;; ++at) {
            Ensure(at + 1);
            const SByte& b = m_ahead[at];
            if (b.rec >= 0 && b.off == kRecordMarkerPos && seen++ == ahead)
                break;
        }
        SByte& b = m_ahead[at];
        // The device's own value there (the marker, or a sample byte in a
        // stream without it) is no damage.
        const uint8_t own = m_bMarker ? kRecordMarker : b.v;
        b.v = v == own ? uint8_t(own ^ 0xFF) : v;
        b.changed = true;
    }
    // Smooth samples: byte `place` (2..13) is 0x3A in the next `records`
    // records generated (-1: all of them). A column in a high byte holds its
    // whole value still, or lets the low byte move. Refused where every value
    // would then hold still.
    void Column(int place, bool holdWhole, int records) {
        if (!m_bSmooth || !m_bMarker || place < 2 || place > 13 || records == 0)
            return;
        const int w = (place - 2) / 2;
        SWave& s = m_wave[size_t(w)];
        const bool wasStill = Still(w);
        const bool hi = place % 2 == 0;
        (hi ? s.hiLeft : s.loLeft) = records;
        if (hi)
            s.holdWhole = holdWhole;
        s.held = -1;
        bool allStill = true;
        for (int k = 0; k < 6; ++k)
            allStill &= Still(k);
        if (allStill && !wasStill)
            (hi ? s.hiLeft : s.loLeft) = 0;
    }

private:
    struct SWave {
        int v = 0, vel = 0;
        int low = 0;    // the low byte while a high-byte column lets it move
        int hiLeft = 0; // records left of a column in the high byte (-1: forever)
        int loLeft = 0; // the same in the low byte
        bool holdWhole = false;
        int held = -1; // the value held in a column, once chosen
    };
    bool Still(int w) const {
        const SWave& s = m_wave[size_t(w)];
        return s.loLeft != 0 || (s.hiLeft != 0 && s.holdWhole);
    }

    void Generate() {
        const uint32_t k = uint32_t(m_generated++);
        uint8_t r[kRecordSize];
        if (m_bSmooth)
            GenerateSmooth(k, r);
        else
            GenerateRandom(k, r);
        if (!m_bSmooth || !m_bMarker)
            BreakRuns(r);
        uint16_t colons = 0;
        for (int j = 0; j < kRecordSize; ++j)
            colons |= uint16_t(r[j] == kRecordMarker) << j;
        m_colons.push_back(colons);
        for (int j = 0; j < kRecordSize; ++j) {
            const bool colon = r[j] == kRecordMarker;
            m_run[size_t(j)] = colon ? uint8_t(std::min(m_run[size_t(j)] + 1, 255)) : 0;
            m_free[size_t(j)] = colon ? 0 : uint8_t(std::min(m_free[size_t(j)] + 1, 2));
            m_ahead.push_back({r[j], int32_t(k), int8_t(j), false});
        }
    }

    void GenerateRandom(uint32_t k, uint8_t r[kRecordSize]) {
        if (k >= (1u << 21))
            Fail("stream too long for its record numbers", k);
        r[0] = uint8_t(0x80 | (k & 0x7F));
        r[1] = m_bMarker ? kRecordMarker : uint8_t(m_rng.Next());
        r[2] = uint8_t(0x80 | ((k >> 7) & 0x7F));
        r[3] = uint8_t(0x80 | ((k >> 14) & 0x7F));
        for (int j = 4; j < 14; ++j) {
            r[j] = uint8_t(m_rng.Next());
            if (m_colonOneIn && m_rng.Next() % uint32_t(m_colonOneIn) == 0)
                r[j] = kRecordMarker;
        }
        if (m_columnLeft == 0 && m_columnOneIn && m_rng.Next() % uint32_t(m_columnOneIn) == 0) {
            m_columnLeft = 1 + int(m_rng.Next() % (kStepConfirm - 1));
            m_columnAt = 4 + int(m_rng.Next() % 10);
        }
        if (m_columnLeft > 0) {
            r[m_columnAt] = kRecordMarker;
            --m_columnLeft;
        }
        r[14] = Sum(r);
    }

    void GenerateSmooth(uint32_t k, uint8_t r[kRecordSize]) {
        r[0] = uint8_t(k);
        r[1] = m_bMarker ? kRecordMarker : uint8_t(m_rng.Next());
        if (m_columnOneIn && m_rng.Next() % uint32_t(m_columnOneIn) == 0)
            Column(2 + int(m_rng.Next() % 12), m_rng.Next() % 2 == 0,
                   1 + int(m_rng.Next() % uint32_t(m_columnMax)));
        for (int w = 0; w < 6; ++w) {
            SWave& s = m_wave[size_t(w)];
            s.vel = std::clamp(s.vel + m_rng.Around(1) * m_accel, -m_velMax, m_velMax);
            s.v += s.vel;
            if (s.v < 0 || s.v > 65535) {
                s.vel = -s.vel;
                s.v = std::clamp(s.v, 0, 65535);
            }
            int out = std::clamp(s.v + m_rng.Around(m_noise), 0, 65535);
            if (s.loLeft != 0 || s.hiLeft != 0) {
                if (s.loLeft != 0) {
                    // Held still at xx3A (or 3A3A).
                    if (s.held < 0)
                        s.held = (s.hiLeft != 0 ? 0x3A00 : (out & 0xFF00)) | 0x3A;
                    out = s.held;
                } else if (s.holdWhole) {
                    if (s.held < 0)
                        s.held = 0x3A00 | (out & 0xFF);
                    out = s.held;
                } else {
                    s.low = std::clamp(s.low + m_rng.Around(std::min(m_noise, 8)), 0, 255);
                    out = 0x3A00 | s.low;
                }
                // After the column the value goes on from where it held.
                s.v = out;
                s.vel = 0;
                if (s.loLeft > 0)
                    --s.loLeft;
                if (s.hiLeft > 0)
                    --s.hiLeft;
                if (s.loLeft == 0 && s.hiLeft == 0)
                    s.held = -1;
                else if (s.loLeft == 0 && !s.holdWhole)
                    s.held = -1;
            }
            r[2 + 2 * w] = uint8_t(out >> 8);
            r[3 + 2 * w] = uint8_t(out);
        }
        r[14] = m_sum <= 1 ? Sum(r) : m_sum == 2 ? uint8_t(m_rng.Next()) : 0;
    }

    static uint8_t Sum(const uint8_t* r) {
        uint8_t sum = 0;
        for (int j = 0; j < 14; ++j)
            sum = uint8_t(sum + r[j]);
        return sum;
    }

    // A place may take 0x3A when it holds a run shorter than kStepConfirm - 1,
    // or when it has been free of 0x3A for two records.
    void BreakRuns(uint8_t r[kRecordSize]) {
        const auto full = [&](int j) {
            return m_run[size_t(j)] == 0 ? m_free[size_t(j)] < 2
                                         : m_run[size_t(j)] >= kStepConfirm - 1;
        };
        for (int j = m_bMarker ? (m_bSmooth ? 0 : 4) : 0; j < 14; ++j)
            if (j != kRecordMarkerPos || !m_bMarker)
                if (r[j] == kRecordMarker && full(j))
                    r[j] = kRecordMarker + 1;
        const bool summed = !m_bSmooth || m_sum <= 1;
        if (summed)
            r[14] = Sum(r);
        for (;;) {
            if (r[14] != kRecordMarker || !full(14))
                break;
            r[13] = uint8_t(r[13] + 1);
            if (r[13] == kRecordMarker && full(13))
                r[13] = uint8_t(r[13] + 1);
            if (summed)
                r[14] = Sum(r);
            else
                r[14] = uint8_t(r[14] + 1);
        }
    }

    bool m_bMarker = true;
    bool m_bSmooth = false;
    CRandom m_rng;
    int32_t m_generated = 0;
    // Random samples.
    int m_colonOneIn = 0, m_columnOneIn = 0;
    int m_columnLeft = 0, m_columnAt = 0;
    // Smooth samples.
    int m_noise = 1, m_accel = 1, m_velMax = 16, m_columnMax = 0, m_sum = 0;
    std::array<SWave, 6> m_wave{};
    // At each place: records in a row with 0x3A, and without it (up to 2).
    std::array<uint8_t, kRecordSize> m_run{};
    std::array<uint8_t, kRecordSize> m_free{2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
    std::deque<SByte> m_ahead;
    std::vector<uint16_t> m_colons; // of each record generated: bit j, byte j is 0x3A
};

struct Decoder {
    int32_t coef1 = 100, coef2 = 100;

    void Check(const uint8_t* record) const {
        const SDecodedRecord d = DecodeRecord(record);
        const bool valid = record[1] == 0x3A;
        CHECK(d.valid == valid);
        if (!valid)
            return;
        for (int k = 0; k < 4; ++k)
            CHECK(d.samples[k] == Word(record + 2 + 2 * k) / 20, k, d.samples[k]);
        CHECK(d.stress1 == Word(record + 10), d.stress1);
        CHECK(d.stress2 == Word(record + 12), d.stress2);
        for (auto [raw, coef] : {std::pair{d.stress1, coef1}, std::pair{d.stress2, coef2}}) {
            // A coefficient of 0 shows the raw value rather than failing.
            const int32_t want = coef == 0 ? raw : int32_t(int64_t(raw) / int64_t(coef));
            CHECK(CalibratePressure(raw, coef) == want, raw, coef);
        }
    }
};

int32_t PickCoefficient(Reader& in) {
    static const int32_t kTable[] = {0, 1, -1, 100, 200, 201, INT32_MIN, INT32_MAX, 7, -100};
    const uint8_t b = in.Byte();
    if (b < 16 * std::size(kTable))
        return kTable[b % std::size(kTable)];
    int32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = int32_t(uint32_t(v) << 8 | in.Byte());
    return v;
}

// A buffer as it was handed over, and the tags in force since the look
// before (its tag after is one of them).
struct SHandOver {
    int buf;
    std::vector<uint8_t> bytes;
    uint32_t tagLo, tagHi;
};

// A stretch of records [lo, hi] that damage touched. The start of the stream
// is out of step too, but loses nothing by itself: it only joins with damage
// near it.
struct SRange {
    int32_t lo, hi;
    bool loses = true;
};

// Storage for the accepted stream, kept between inputs.
std::vector<uint8_t> g_acc;
std::vector<SByte> g_accFrom;
std::vector<uint32_t> g_accTag;

struct Harness {
    Harness() {
        acc.clear();
        accFrom.clear();
        accTag.clear();
        feed.SetWaiting([this]() -> int64_t { return portOpen ? int64_t(control.size()) : 0; });
        feed.SetEventSink([this](const CRecvFeed::SEvent& e) { OnEvent(e); });
        real.SetRecordSink([this](uint32_t t, int records, TArrival) {
            CHECK(records > 0, records);
            decidedByTag[t] += uint64_t(records);
        });
        recorder.SetWriter(true); // the worker writes: files close through it
    }

    CRecvBuffers real;
    CRecvFeed feed{real};
    CRecorder recorder;
    Decoder decoder;
    CDevice device;

    // The serial control: bytes received and not yet read, while the port is
    // open; the bytes kept from it when it closed, as the feed holds them.
    std::deque<SByte> control;
    std::deque<SByte> kept;
    bool portOpen = true;
    uint64_t fed = 0; // bytes given to the buffers, dropped ones too

    // Events placed in the stream and not yet applied, oldest first.
    struct SPlaced {
        uint64_t id;
        CRecvFeed::EEvent kind;
        uint32_t tag;
        uint64_t at;
    };
    std::deque<SPlaced> placed;
    uint64_t eventsApplied = 0;
    uint32_t tag = 0; // in force

    // Recordings: each session's file (a path index) and end.
    struct SSession {
        uint32_t id;
        int path;
        uint32_t endTag = 0; // 0 while on
        bool closed = false;
    };
    std::vector<SSession> sessions;
    uint32_t active = 0;
    int paths = 0, lastPath = -1;
    std::array<std::string, kMaxPaths> expectedFile;
    std::map<uint32_t, uint64_t> decidedByTag, linesByTag;

    // What the hand-off rules say, counted here.
    std::deque<SHandOver> handedOver; // oldest first
    bool known[kRecvBufCount] = {};   // ready as far as the harness knows
    int lookedWrite = 0;              // the filling buffer at the last look
    uint32_t tagAtLook = 0;           // the tag in force at the last look
    uint64_t handedBytes = 0;
    uint64_t tooLarge = 0, nextHeld = 0, handOvers = 0, processed = 0, skipped = 0, deferred = 0;
    int recordCount = 0; // the decimation counter

    // Every byte accepted, in order, with where it came from and the tag in
    // force when it was fed; where the stream broke (a dropped chunk, a
    // break), as the offset of the byte after.
    std::vector<uint8_t>& acc = g_acc;
    std::vector<SByte>& accFrom = g_accFrom;
    std::vector<uint32_t>& accTag = g_accTag;
    std::vector<size_t> cuts;
    std::vector<int32_t> cutRecords; // the last record byte's before each cut
    // Where the stream began afresh (OnStreamBreak: the boundary finder
    // forgets the marker), in order; the stream's start is the first.
    std::vector<size_t> freshStarts{0};
    // Damage: its offsets in acc, in order, and the records it touched.
    std::vector<size_t> damageAt;
    std::vector<SRange> touched;
    std::vector<int32_t> markerDamaged;
    std::map<int32_t, size_t> markerDamagedAt; // where each damaged marker lies in acc
    // The same as events: where, the record, and whether it is one byte lost
    // or added, and nothing else (the fault the boundary finder is built for).
    struct SDamage {
        size_t at;
        int32_t rec;
        bool oneByte;
        size_t end = 0; // past its last byte in acc (a burst's), else at
    };
    std::vector<SDamage> events;
    // Where the cut had to decide at once (EStepEnd::Now or Break): events,
    // flushes, drops, breaks; acc offsets, in order.
    std::vector<size_t> decidedAt;
    void DecidedHere() {
        if (decidedAt.empty() || decidedAt.back() != acc.size())
            decidedAt.push_back(acc.size());
    }
    size_t strayFrom = 0, strays = 0; // the stray bytes in a row just accepted
    // The last record byte accepted, and whether the stream was cut or took a
    // stray byte since.
    SByte lastOrig{0, -1, kRecordSize - 1, false};
    bool brokeSince = false, strayedSince = false;

    // A chunk given to the buffers whose bytes are accounted for once the
    // call returns or, should an event fall due at its end, before the event.
    struct SChunk {
        bool open = false;
        bool accepted = false;
        uint32_t tag = 0;
        std::vector<SByte> from;
    } chunk;

    // Lines handed to the recorder, matched to acc: where the next may start,
    // and how often each record was recorded whole.
    size_t lineEnd = 0;
    uint64_t lines = 0, tornLines = 0;
    std::vector<uint8_t> wholeSeen;
    std::vector<int32_t> wholeOrder;     // in a stream without marker or damage
    std::vector<size_t> wholeAt, tornAt; // where whole and torn lines lie in acc

    size_t programBytes = 0, strayBytes = 0;
    uint32_t bursts = 0;

    void Cut() {
        if (!acc.empty() && (cuts.empty() || cuts.back() != acc.size())) {
            cuts.push_back(acc.size());
            DecidedHere();
            cutRecords.push_back(lastOrig.rec);
            FlushStrays(false);
            events.push_back({acc.size(), lastOrig.rec, false});
            Damage(acc.size());
            brokeSince = true;
        }
    }
    void Damage(size_t at) {
        if (damageAt.empty() || damageAt.back() != at)
            damageAt.push_back(at);
    }
    bool CutInside(size_t from, size_t to) const { // a cut c with from < c < to
        auto it = std::upper_bound(cuts.begin(), cuts.end(), from);
        return it != cuts.end() && *it < to;
    }

    // The damage point's record: the one whose marker precedes it.
    static int32_t RecordAfter(const SByte& b) { return b.off >= 1 ? b.rec : b.rec - 1; }
    static int32_t RecordBefore(const SByte& b) {
        return b.off >= kRecordMarkerPos + 1 ? b.rec : b.rec - 1;
    }

    // Stray bytes in a row end: one event, a one-byte fault if it was one
    // byte and nothing was lost with it.
    void FlushStrays(bool alone) {
        if (strays == 0)
            return;
        events.push_back(
            {strayFrom, RecordAfter(lastOrig), alone && strays == 1, strayFrom + strays});
        strays = 0;
    }

    void Accept(const std::vector<SByte>& from, uint32_t t) {
        for (const SByte& b : from) {
            const size_t at = acc.size();
            acc.push_back(b.v);
            accFrom.push_back(b);
            accTag.push_back(t);
            if (b.rec < 0) {
                Damage(at);
                if (strays++ == 0)
                    strayFrom = at;
                strayedSince = true;
                continue;
            }
            if (b.changed) {
                Damage(at);
                markerDamaged.push_back(b.rec);
                markerDamagedAt[b.rec] = at;
                events.push_back({at, b.rec, false});
            }
            const bool next =
                (b.rec == lastOrig.rec && b.off == lastOrig.off + 1) ||
                (b.rec == lastOrig.rec + 1 && b.off == 0 && lastOrig.off == kRecordSize - 1);
            const int64_t lost = int64_t(b.rec) * kRecordSize + b.off -
                                 (int64_t(lastOrig.rec) * kRecordSize + lastOrig.off) - 1;
            FlushStrays(next && !brokeSince);
            if (!next && !brokeSince && !strayedSince && lastOrig.rec >= 0)
                events.push_back({at, RecordAfter(lastOrig), lost == 1});
            if (!next)
                Damage(at);
            // A cut is the end of a stream to the cut before it: the records
            // that arrived whole up to it are kept. A stray or lost byte
            // costs the record it follows.
            const int32_t lo = strayedSince || !brokeSince
                                   ? RecordAfter(lastOrig)
                                   : lastOrig.rec + (lastOrig.off == kRecordSize - 1);
            if (!next || brokeSince || strayedSince)
                touched.push_back({lo, RecordBefore(b)});
            lastOrig = b;
            brokeSince = strayedSince = false;
        }
    }

    // Buffers handed over since the last look. Every hand-over is of the
    // filling buffer, which then moves one on, so the new ones follow the
    // ring from the filling buffer at the last look.
    void Look() {
        for (int d = 0; d < kRecvBufCount; ++d) {
            const int i = (lookedWrite + d) % kRecvBufCount;
            if (!real.IsReady(i) || known[i])
                continue;
            known[i] = true;
            const int32_t len = real.RecvLen(i);
            // Whole records only, and never more than a buffer.
            CHECK(len >= 0 && len <= kRecvBufSize && len % kRecordSize == 0, i, len);
            handedOver.push_back(
                {i, std::vector<uint8_t>(real.RecvBuf(i), real.RecvBuf(i) + len), tagAtLook, tag});
            handedBytes += uint64_t(len);
            ++handOvers;
        }
        for (int i = 0; i < kRecvBufCount; ++i)
            CHECK(real.IsReady(i) == known[i], i); // only the worker frees a buffer
        lookedWrite = real.RecvWrite();
        tagAtLook = tag;
    }

    // Everything that must hold between operations.
    void Invariants() {
        Look();
        const int w = real.RecvWrite();
        CHECK(w >= 0 && w < kRecvBufCount, w);
        uint64_t filling = 0;
        for (int i = 0; i < kRecvBufCount; ++i) {
            const int32_t len = real.RecvLen(i);
            CHECK(len >= 0 && len <= kRecvBufSize, i, len);
            if (real.IsReady(i))
                continue;
            if (i == w)
                filling = uint64_t(len);
            else
                CHECK(len == 0, i, len); // freed buffers are empty
        }
        CHECK(real.BytesSkipped() >= skipped, (long long)real.BytesSkipped(), (long long)skipped);
        skipped = real.BytesSkipped();
        // No byte lost uncounted, none counted twice.
        CHECK(acc.size() == handedBytes + skipped + filling, (long long)acc.size(),
              (long long)(handedBytes + skipped + filling));
        CHECK(real.Fed() == fed, (long long)real.Fed(), (long long)fed);
        CHECK(feed.Kept() == kept.size(), (long long)feed.Kept(), (long long)kept.size());
        CHECK(feed.Pending() == !placed.empty());
        CHECK(real.Tag() == tag, (long long)real.Tag(), (long long)tag);
        CHECK(real.ChunksTooLarge() == tooLarge);
        CHECK(real.ChunksNextHeld() == nextHeld);
        CHECK(real.ChunksDeferred() == deferred);
        CHECK(real.HandOvers() == handOvers, (long long)real.HandOvers(), (long long)handOvers);
        CHECK(real.BuffersProcessed() == processed);
        CHECK(real.HandOvers() >= real.BuffersProcessed());
        CHECK(real.RecordCount() == recordCount, real.RecordCount(), recordCount);
        CHECK(recorder.IsSaving() == (active != 0));
        bool anyOpen = false;
        for (const SSession& s : sessions) {
            CHECK(recorder.IsOpen(s.id) == !s.closed, (long long)s.id, s.closed);
            anyOpen |= !s.closed;
        }
        CHECK(recorder.HasFile() == anyOpen);
    }

    // The stream: the next n device bytes reach the line. They wait in the
    // control's queue while the port is open; otherwise they are lost.
    void Arrive(size_t n) {
        n = std::min(n, kMaxProgramBytes - programBytes);
        programBytes += n;
        device.Ensure(n);
        std::deque<SByte>& ahead = device.Ahead();
        if (portOpen)
            control.insert(control.end(), ahead.begin(), ahead.begin() + long(n));
        ahead.erase(ahead.begin(), ahead.begin() + long(n));
    }

    // An event placed as the panel places it: after every byte received so
    // far (kept, and waiting in the control unless beforeWaiting).
    void Schedule(CRecvFeed::EEvent kind, uint32_t t, bool beforeWaiting) {
        const uint64_t at =
            fed + kept.size() + (beforeWaiting || !portOpen ? 0 : uint64_t(control.size()));
        // The panel only ever places events in stream order.
        CHECK(placed.empty() || placed.back().at <= at);
        const uint64_t want = feed.NextId();
        placed.push_back({want, kind, t, at});
        if (g_trace)
            std::fprintf(stderr, "event %d (tag %u) placed at %llu\n", int(kind), t,
                         (unsigned long long)at);
        const uint64_t id = feed.Schedule(kind, t, beforeWaiting);
        CHECK(id == want, (long long)id, (long long)want);
    }

    void OnEvent(const CRecvFeed::SEvent& e) {
        AccountChunk();
        CHECK(!placed.empty(), (long long)e.id);
        const SPlaced p = placed.front();
        placed.pop_front();
        CHECK(e.id == p.id && e.kind == p.kind && e.tag == p.tag, (long long)e.id, (long long)p.id);
        CHECK(e.at == p.at, (long long)e.at, (long long)p.at);
        // At its place, not late: no chunk ran past it.
        CHECK(real.Fed() == e.at, (long long)real.Fed(), (long long)e.at);
        if (g_trace)
            std::fprintf(stderr, "event %d (tag %u) at %llu, acc %zu\n", int(e.kind), e.tag,
                         (unsigned long long)e.at, acc.size());
        ++eventsApplied;
        DecidedHere();
        switch (e.kind) {
        case CRecvFeed::EEvent::Tag:
            tag = e.tag;
            CHECK(real.Tag() == tag);
            break;
        case CRecvFeed::EEvent::Settle:
            break;
        case CRecvFeed::EEvent::Break: {
            Cut();
            freshStarts.push_back(acc.size());
            const int w = real.RecvWrite();
            CHECK(real.IsReady(w) || real.RecvLen(w) % kRecordSize == 0, real.RecvLen(w));
            break;
        }
        }
        Look();
    }

    void AccountChunk() {
        if (!chunk.open)
            return;
        chunk.open = false;
        if (chunk.accepted)
            Accept(chunk.from, chunk.tag);
        else
            Cut();
    }

    // The port closes: what the control holds is kept, to be fed first, and
    // the stream breaks after it.
    void Close() {
        if (!portOpen)
            return;
        portOpen = false;
        std::vector<uint8_t> bytes;
        for (const SByte& b : control)
            bytes.push_back(b.v);
        kept.insert(kept.end(), control.begin(), control.end());
        control.clear();
        placed.push_back({feed.NextId(), CRecvFeed::EEvent::Break, 0, fed + kept.size()});
        if (g_trace)
            std::fprintf(stderr, "port closed, %zu bytes kept\n", bytes.size());
        feed.Keep(bytes.data(), bytes.size());
    }
    // The port opens: its bytes begin a new stream, after those kept.
    void Open() {
        if (portOpen)
            return;
        portOpen = true;
        if (g_trace)
            std::fprintf(stderr, "port opened\n");
        Schedule(CRecvFeed::EEvent::Break, 0, true);
    }

    // One chunk of n bytes to the buffers through the feed, from the kept
    // bytes or the control's queue, its result foretold by the hand-off rules.
    void FeedChunk(int n, bool fromKept) {
        std::deque<SByte>& source = fromKept ? kept : control;
        std::vector<SByte> from(source.begin(), source.begin() + n);
        source.erase(source.begin(), source.begin() + n);
        std::vector<uint8_t> bytes(static_cast<size_t>(n));
        for (int t = 0; t < n; ++t)
            bytes[size_t(t)] = from[size_t(t)].v;

        // What the rules say, from what can be seen before the call.
        const int w = real.RecvWrite();
        const int32_t lenW = real.RecvLen(w);
        bool readyBefore[kRecvBufCount];
        for (int i = 0; i < kRecvBufCount; ++i)
            readyBefore[i] = real.IsReady(i);
        EChunkResult want = EChunkResult::Accepted;
        bool handOver = false;
        int wantWrite = w;
        if (n > kMaxChunk) {
            want = EChunkResult::TooLarge;
        } else if (n > kRecvBufSize - lenW) {
            handOver = true;
            wantWrite = (w + 1) % kRecvBufCount;
            if (readyBefore[wantWrite])
                want = EChunkResult::NextHeld;
        } else if (readyBefore[w]) {
            want = EChunkResult::NextHeld;
        }

        const size_t before = acc.size();
        const uint64_t eventsBefore = eventsApplied;
        chunk.open = true;
        chunk.accepted = want == EChunkResult::Accepted;
        chunk.tag = tag;
        chunk.from = std::move(from);
        const EChunkResult got =
            fromKept ? feed.FeedKept(n) : feed.Feed(bytes.data(), n, TArrival{});
        fed += uint64_t(n);
        if (g_trace)
            std::fprintf(stderr, "chunk %d%s at %zu -> %d, filling %d (%d), in step %d\n", n,
                         fromKept ? " (kept)" : "", before, int(got), real.RecvWrite(),
                         real.RecvLen(real.RecvWrite()), int(real.InStep()));
        CHECK(got == want, int(got), int(want));
        tooLarge += got == EChunkResult::TooLarge;
        nextHeld += got == EChunkResult::NextHeld;
        // A hand-over of a buffer the worker still holds is counted, but it
        // holds nothing new.
        handOvers += handOver && readyBefore[w];
        const bool quiet = eventsApplied == eventsBefore;
        AccountChunk();
        if (quiet) {
            // Nothing else touched the buffers: the chunk's own effect.
            CHECK(real.RecvWrite() == wantWrite, real.RecvWrite(), wantWrite);
            for (int i = 0; i < kRecvBufCount; ++i)
                if (!readyBefore[i] && real.IsReady(i))
                    CHECK(handOver && i == w, i, w);
            if (handOver && !readyBefore[w])
                CHECK(real.IsReady(w), w);
            if (got == EChunkResult::Accepted) {
                const int32_t len = real.RecvLen(wantWrite);
                CHECK(!real.IsReady(wantWrite));
                CHECK(len >= n, len);
                const uint8_t* buf = real.RecvBuf(wantWrite);
                // The chunk whole at the end; ahead of it after a hand-over,
                // the undecided bytes that came just before it.
                CHECK(std::memcmp(buf + len - n, bytes.data(), size_t(n)) == 0, len);
                if (handOver) {
                    const int32_t carry = len - n;
                    CHECK(carry < kStepMaxRest, carry);
                    CHECK(std::memcmp(buf, acc.data() + before - size_t(carry), size_t(carry)) == 0,
                          carry);
                } else {
                    CHECK(len == lenW + n, len, lenW);
                }
            } else {
                // Dropped: the buffer filled last was cut as the end of a stream.
                const int32_t len = real.RecvLen(real.RecvWrite());
                CHECK(len % kRecordSize == 0 || real.IsReady(real.RecvWrite()), len);
            }
        }
        Look();
    }

    // The receive handler's pass (ReceiveWaiting): a hand-over that waits
    // goes first; then one chunk of what is kept, else of what the control
    // holds, no longer than the next event allows. As the panel runs it
    // (raw false), at most kHandlerChunk bytes, and left waiting while the
    // buffers cannot take them; raw, up to `wanted` bytes whatever the
    // buffers can take. False when nothing was fed.
    bool Read(int wanted, bool raw) {
        feed.ApplyDue();
        if (real.FlushPending()) {
            real.Flush();
            DecidedHere();
            Look();
        }
        const bool fromKept = !kept.empty();
        const size_t waiting = fromKept ? kept.size() : portOpen ? control.size() : 0;
        if (waiting == 0)
            return false;
        const int cap = raw ? wanted : std::min(wanted, kHandlerChunk);
        const int n = feed.Limit(int(std::min<size_t>(waiting, size_t(std::max(cap, 0)))));
        if (n <= 0)
            return false;
        if (!raw && !real.Accepts(n)) {
            real.NoteDeferred();
            ++deferred;
            return false;
        }
        FeedChunk(n, fromKept);
        return true;
    }

    // One line handed to the recorder: 15 bytes accepted together, after the
    // line before. Returns where it lies in acc.
    size_t MatchLine(const uint8_t* line) {
        ++lines;
        size_t at = lineEnd;
        for (;; ++at) {
            const void* p = std::memchr(acc.data() + at, line[0], acc.size() - at);
            if (!p || acc.size() - size_t(static_cast<const uint8_t*>(p) - acc.data()) <
                          size_t(kRecordSize))
                Fail("a line that did not arrive as it is, or not after the line before it "
                     "(line, from offset)",
                     (long long)lines - 1, (long long)lineEnd);
            at = size_t(static_cast<const uint8_t*>(p) - acc.data());
            if (std::memcmp(acc.data() + at, line, kRecordSize) == 0 &&
                !CutInside(at, at + kRecordSize))
                break;
        }
        lineEnd = at + kRecordSize;
        const SByte& first = accFrom[at];
        bool whole = first.rec >= 0 && first.off == 0;
        for (int t = 1; whole && t < kRecordSize; ++t)
            whole = accFrom[at + size_t(t)].rec == first.rec && accFrom[at + size_t(t)].off == t;
        if (g_trace)
            std::fprintf(stderr, "  line at %zu: %s %d, tag %u\n", at, whole ? "record" : "torn",
                         whole ? first.rec : -1, accTag[at + kRecordSize - 1]);
        if (whole) {
            if (wholeSeen.size() <= size_t(first.rec))
                wholeSeen.resize(size_t(first.rec) + 1);
            ++wholeSeen[size_t(first.rec)];
            wholeOrder.push_back(first.rec);
            wholeAt.push_back(at);
            return at;
        }
        ++tornLines;
        wholeOrder.push_back(-1);
        tornAt.push_back(at);
        return at;
    }
    long long NearestDamageBefore(size_t at) const {
        auto it = std::upper_bound(damageAt.begin(), damageAt.end(), at + size_t(kRecordSize));
        return it == damageAt.begin() ? -1LL : (long long)*std::prev(it);
    }

    const SSession* SessionOf(uint32_t t) const {
        for (const SSession& s : sessions)
            if (s.id == t)
                return &s;
        return nullptr;
    }

    // One worker pass over the oldest ready buffer; false when none is ready.
    bool WorkOne() {
        Look();
        const int i = real.FindReady();
        if (g_trace)
            std::fprintf(stderr, "worker takes %d\n", i);
        if (handedOver.empty()) {
            CHECK(i == -1, i);
            return false;
        }
        // Records leave in the order they came in: the oldest buffer first.
        CHECK(i == handedOver.front().buf, i, handedOver.front().buf);
        const SHandOver h = std::move(handedOver.front());
        handedOver.pop_front();
        const std::vector<uint8_t>& bytes = h.bytes;

        const int len = int(bytes.size());
        std::vector<std::array<uint8_t, kRecordSize>> wantParsed;
        for (int at = 0; at + kRecordSize <= len; at += kRecordSize) {
            if (++recordCount > kRecordDecimation) {
                recordCount = 0;
                std::array<uint8_t, kRecordSize> r;
                std::memcpy(r.data(), bytes.data() + at, kRecordSize);
                wantParsed.push_back(r);
            }
        }

        int saves = 0;
        size_t parsed = 0;
        uint32_t after = 0;
        real.ProcessBuffer(
            i,
            [&](int count, const uint8_t* data, const uint32_t* tags, uint32_t tagAfter) {
                ++saves;
                // Exactly what was handed over: nothing touched a held buffer.
                CHECK(count == len, count, len);
                CHECK(data == real.RecvBuf(i));
                CHECK(len == 0 || std::memcmp(data, bytes.data(), size_t(len)) == 0);
                // The tag in force at the hand-over, and no record's tag is newer.
                CHECK(tagAfter >= h.tagLo && tagAfter <= h.tagHi, (long long)tagAfter,
                      (long long)h.tagHi);
                after = tagAfter;
                const SRecordingFault fault = recorder.SaveRecords(count, data, tags, tagAfter);
                CHECK(!fault.failed, fault.session);
                for (int r = 0; r * kRecordSize + kRecordSize <= count; ++r) {
                    const uint8_t* rec = data + r * kRecordSize;
                    const size_t at = MatchLine(rec);
                    // The recording that was on when the record's last byte came.
                    const uint32_t want = accTag[at + kRecordSize - 1];
                    CHECK(tags[r] == want, (long long)tags[r], (long long)want);
                    CHECK(tags[r] <= tagAfter, (long long)tags[r], (long long)tagAfter);
                    ++linesByTag[tags[r]];
                    if (const SSession* s = SessionOf(tags[r]))
                        AppendLine(expectedFile[size_t(s->path)], rec);
                }
            },
            [&](const uint8_t* record) {
                CHECK(parsed < wantParsed.size(), static_cast<long long>(parsed));
                CHECK(std::memcmp(record, wantParsed[parsed].data(), kRecordSize) == 0,
                      static_cast<long long>(parsed));
                // The rest of the record buffer is clear, so nothing from an
                // earlier, longer use can leak into a decode.
                for (int k = kRecordSize; k < kRecordBufSize; ++k)
                    CHECK(record[k] == 0, k, record[k]);
                decoder.Check(record);
                ++parsed;
            });
        CHECK(saves == 1, saves);
        CHECK(parsed == wantParsed.size(), static_cast<long long>(parsed),
              static_cast<long long>(wantParsed.size()));
        CHECK(!real.IsReady(i) && real.RecvLen(i) == 0, i);
        known[i] = false;
        ++processed;
        // A file closes once a buffer handed over after its recording ended
        // has been written, and not before.
        for (SSession& s : sessions) {
            if (!s.closed && s.endTag != 0 && after >= s.endTag)
                s.closed = true;
            CHECK(recorder.IsOpen(s.id) == !s.closed, (long long)s.id, (long long)after);
        }
        const SRecordingFault fault = recorder.Housekeep();
        CHECK(!fault.failed, fault.session);
        return true;
    }

    void StartRecording(bool samePath) {
        if (sessions.size() >= kMaxSessions)
            return;
        const int p = samePath && lastPath >= 0 ? lastPath
                      : paths < kMaxPaths       ? paths++
                                                : (lastPath + 1) % kMaxPaths;
        const SRecordingStart s = recorder.Start(RecordPath(p));
        CHECK(s.opened, s.error);
        // Never another panel's file: the name asked for, shared with an
        // earlier recording of ours only while that one is still ending.
        CHECK(s.path == RecordPath(p));
        if (s.sharedWith) {
            const SSession* with = SessionOf(s.sharedWith);
            CHECK(with && with->path == p && !with->closed, (long long)s.sharedWith);
        }
        for (SSession& o : sessions)
            if (o.endTag == 0) {
                o.endTag = s.session; // ended by the start
                CHECK(o.id == active);
            }
        CHECK(s.session > tag, (long long)s.session, (long long)tag);
        sessions.push_back({s.session, p});
        active = s.session;
        lastPath = p;
        Schedule(CRecvFeed::EEvent::Tag, s.session, false);
    }
    void StopRecording() {
        if (!active)
            return;
        const uint32_t after = recorder.End(active);
        CHECK(after > active, (long long)after, (long long)active);
        for (SSession& s : sessions)
            if (s.id == active)
                s.endTag = after;
        active = 0;
        Schedule(CRecvFeed::EEvent::Tag, after, false);
    }

    void Record(uint8_t arg) {
        if (arg & 1) {
            // Refused: whatever was on stays on, with its file.
            const SRecordingStart s = recorder.Start(g_badPath);
            CHECK(!s.opened);
            CHECK(!s.reason.empty());
            return;
        }
        switch ((arg >> 1) % 4) {
        case 0:
        case 1:
            if (active)
                StopRecording();
            else
                StartRecording((arg >> 1) % 4 == 1);
            break;
        case 2:
            StopRecording();
            StartRecording(true);
            break;
        default:
            StartRecording(false);
            break;
        }
    }

    static Harness*& Current() {
        static Harness* h = nullptr;
        return h;
    }

    void Run(Reader in) {
        Current() = this;
        if (g_trace)
            g_dump = [] { Current()->Dump(); };
        const uint8_t flags = in.Byte();
        const uint8_t seedLo = in.Byte();
        const uint16_t seed = uint16_t(seedLo | in.Byte() << 8);
        device.Setup(flags, seed);
        Schedule(CRecvFeed::EEvent::Break, 0, true); // the port opens
        Invariants();
        while (!in.Empty()) {
            const uint8_t op = in.Byte() % kOpCount;
            if (op <= kOpFeedLast) {
                const int lo = in.Byte();
                const int hi = in.Byte();
                const int len = (lo | hi << 8) % 601;
                Arrive(size_t(len));
                Read(len, true);
            } else if (op == kOpWorkOne) {
                WorkOne();
            } else if (op == kOpWorkAll) {
                while (WorkOne())
                    ;
            } else if (op == kOpRecord) {
                Record(in.Byte());
            } else if (op == kOpCoef) {
                decoder.coef1 = PickCoefficient(in);
                decoder.coef2 = PickCoefficient(in);
            } else if (op == kOpStray) {
                const size_t count = 1 + (in.Byte() & 7);
                const size_t at = in.Byte();
                std::vector<uint8_t> values(count);
                for (auto& v : values)
                    v = in.Byte();
                if (strayBytes + count <= kMaxStrayBytes) {
                    strayBytes += count;
                    device.InsertStray(at, values);
                }
            } else if (op == kOpLose) {
                const size_t count = 1 + (in.Byte() & 15);
                device.Lose(in.Byte(), count);
            } else if (op == kOpMarker) {
                const int ahead = in.Byte() & 31;
                device.DamageMarker(ahead, in.Byte());
            } else if (op == kOpReopen) {
                Close();
                Open();
            } else if (op == kOpArrive) {
                const int lo = in.Byte();
                const int hi = in.Byte();
                Arrive(size_t((lo | hi << 8) % 1201));
            } else if (op == kOpHandler) {
                for (int k = 1 + (in.Byte() & 7); k > 0 && Read(kHandlerChunk, false); --k)
                    ;
            } else if (op == kOpPress) {
                Schedule(CRecvFeed::EEvent::Settle, 0, false);
            } else if (op == kOpPort) {
                if (portOpen)
                    Close();
                else
                    Open();
            } else if (op == kOpBurst) {
                const int lo = in.Byte();
                const int hi = in.Byte();
                const size_t count = 1 + size_t((lo | hi << 8) % 400);
                const size_t at = in.Byte();
                // Each burst its own bytes, so that no line can be taken
                // for a copy of itself elsewhere.
                CRandom rng((in.Byte() | uint32_t(++bursts) << 8) * 2246822519u + 7);
                std::vector<uint8_t> values(count);
                for (auto& v : values)
                    v = uint8_t(rng.Next());
                if (strayBytes + count <= kMaxStrayBytes) {
                    strayBytes += count;
                    device.InsertStray(at, values);
                }
            } else {
                const uint8_t place = in.Byte();
                const int lo = in.Byte();
                const int hi = in.Byte();
                const int records = lo | hi << 8;
                device.Column(2 + (place & 15) % 12, (place & 16) != 0,
                              records == 0 ? -1 : records);
            }
            Invariants();
        }
        Shutdown();
        CheckRecords();
        for (const auto& [t, n] : decidedByTag)
            CHECK(linesByTag[t] == n, (long long)t, (long long)n);
        for (const auto& [t, n] : linesByTag)
            CHECK(decidedByTag[t] == n, (long long)t, (long long)n);
        if (g_trace)
            Dump();
        g_dump = nullptr;
        if (g_trace)
            std::fprintf(stderr,
                         "%llu lines, %llu torn; %zu bytes accepted, %llu skipped; %zu damage "
                         "points, %zu recordings\n",
                         (unsigned long long)lines, (unsigned long long)tornLines, acc.size(),
                         (unsigned long long)skipped, damageAt.size(), sessions.size());
    }

    // The end of the panel's run (StopRecvThread): the port closes and its
    // bytes are kept; what is kept goes to the worker as buffers come free;
    // the stream ends; the recording stops; the last buffer is handed over
    // and written. Then every byte accepted went to the worker or was
    // skipped, and every file is closed.
    void Shutdown() {
        Close();
        Invariants();
        while (!kept.empty() || !placed.empty()) {
            if (!Read(kHandlerChunk, false) && (!kept.empty() || !placed.empty()))
                CHECK(WorkOne(), (long long)kept.size(), (long long)placed.size());
            Invariants();
        }
        real.OnStreamBreak();
        Cut();
        Look();
        StopRecording();
        while (real.FlushPending()) {
            if (!real.Flush())
                CHECK(WorkOne());
            DecidedHere();
            Look();
        }
        while (WorkOne())
            ;
        Invariants();
        const int w = real.RecvWrite();
        CHECK(!real.IsReady(w) && real.RecvLen(w) == 0, real.RecvLen(w));
        for (const SSession& s : sessions)
            CHECK(s.closed, (long long)s.id);
        CHECK(!recorder.HasFile());
    }

    // TOVREL_FUZZ_DUMP=from,to prints those accepted bytes and where they came from.
    void Dump() const {
        const char* range = std::getenv("TOVREL_FUZZ_DUMP");
        size_t from = 0, to = 0;
        if (!range || std::sscanf(range, "%zu,%zu", &from, &to) != 2)
            return;
        for (size_t at = from; at < to && at < acc.size(); ++at)
            std::fprintf(stderr, "%zu: %02X  %d.%d tag %u%s%s\n", at, acc[at], accFrom[at].rec,
                         accFrom[at].off, accTag[at], accFrom[at].changed ? " changed" : "",
                         std::binary_search(cuts.begin(), cuts.end(), at) ? " (cut before)" : "");
    }

    // Torn lines near a damage point: one in [at - kTornAfter, at +
    // kTornBefore]. The port opening counts as one when damage follows within
    // the reach of the search that starts there: the stream starts out of step.
    bool NearDamage(size_t at) const {
        const bool nearStart =
            at <= size_t(kTornAfter) && !damageAt.empty() && damageAt.front() <= size_t(kTornAfter);
        auto it = std::lower_bound(damageAt.begin(), damageAt.end(),
                                   at >= size_t(kTornAfter) ? at - size_t(kTornAfter) : 0);
        if (nearStart || (it != damageAt.end() && *it <= at + size_t(kTornBefore)))
            return true;
        // A decision at once out of step, at most kStepMaxRest bytes after the line.
        auto d = std::lower_bound(decidedAt.begin(), decidedAt.end(), at + kRecordSize);
        return d != decidedAt.end() && *d <= at + size_t(kStepMaxRest + kRecordSize) &&
               OutOfStepDecision(*d);
    }
    size_t StreamStartOf(size_t at) const {
        auto it = std::upper_bound(cuts.begin(), cuts.end(), at);
        return it == cuts.begin() ? 0 : *std::prev(it);
    }
    // The device record nearest to acc offset at, from there on.
    int32_t RecordNear(size_t at) const {
        for (size_t k = at; k < acc.size(); ++k)
            if (accFrom[k].rec >= 0)
                return accFrom[k].rec;
        for (size_t k = std::min(at, acc.size()); k-- > 0;)
            if (accFrom[k].rec >= 0)
                return accFrom[k].rec;
        return 0;
    }
    // A decision at once (at acc offset p) that may have found the stream out
    // of step: within kStepMaxRest + kStepSearch bytes after a damage point or
    // after the start of the stream. The cut then decides up to kStepMaxRest
    // undecided bytes on the evidence at hand: two markers in a row make a
    // boundary, a column's or a chance pair of colons among them, and bytes
    // with no boundary go.
    bool OutOfStepDecision(size_t p) const {
        constexpr size_t kReach = size_t(kStepMaxRest + kStepSearch);
        if (p <= kReach)
            return true;
        auto it = std::lower_bound(damageAt.begin(), damageAt.end(), p - kReach);
        return it != damageAt.end() && *it <= p;
    }

    // The line [at, at + 15) was decided at once before the markers after it
    // had arrived: in step, the cut takes a record whose next marker (or the
    // two after a missing one) is still to come as it is.
    bool DecidedBeforeNextMarkers(size_t at) const {
        auto it = std::lower_bound(decidedAt.begin(), decidedAt.end(), at + kRecordSize);
        return it != decidedAt.end() && *it <= at + size_t(3 * kRecordSize + kRecordMarkerPos);
    }

    // The line [at, at + 15) holds a fault and looks like a record in step:
    // a colon at its byte 1 and another 15 bytes on (or two, 30 and 45 bytes
    // on, that make the period between look like a damaged marker), whatever
    // they are (its
    // own marker and the next record's after bytes lost or added in a whole
    // number of periods; a checksum or a sample that happens to be 0x3A where
    // the next marker belongs; a stray colon one period before the boundary
    // found after the fault). Nothing in the markers tells it from a record.
    // As the cut in step sees it: the marker there and the next one, or one
    // of the two missing and the two after there.
    bool HeldInPlace(size_t at) const {
        const auto colon = [&](int periods) {
            const size_t m = at + size_t(periods * kRecordSize + kRecordMarkerPos);
            return m < acc.size() && acc[m] == kRecordMarker;
        };
        return (colon(0) && colon(1)) || (colon(0) != colon(1) && colon(2) && colon(3));
    }
    bool HoldsDamage(size_t at) const {
        auto it = std::lower_bound(damageAt.begin(), damageAt.end(), at);
        return it != damageAt.end() && *it < at + kRecordSize;
    }

    // The damage event last before acc offset `at` (within the reach of a
    // torn line) is one byte lost or added with no other damage within
    // kDamageJoin records' bytes of it, no decision at once while the
    // records after it were still coming, and one column at most.
    bool AfterLoneOneByteFault(size_t at) const {
        const SDamage* last = nullptr;
        for (const SDamage& e : events)
            if (e.at <= at + size_t(kSlipAhead) && e.at + size_t(kTornAfter) >= at)
                last = &e;
        if (!last || !last->oneByte)
            return false;
        // With one column of ':' at a time: where a value is held at 0x3A3A,
        // or two values carry ':' at once, a reading a byte off can carry the
        // marker and read smoother than the held one across the slip.
        if (device.SampleColons(last->rec - kSlipAhead / kRecordSize,
                                last->rec + kSlipAhead / kRecordSize) > 1)
            return false;
        // Nor where a column beside the marker begins in the records before
        // it: the step into the column reads as a jump that asks for a slip
        // there, and the fault ahead, seen in the records compared, makes the
        // reading a byte off look the smoother.
        if (device.ColonBesideMarkerBegins(last->rec - kSlipAhead / kRecordSize, last->rec))
            return false;
        // Nor near the start of a stream, where the phases are compared over
        // kStepEvidence records that the fault then lies in.
        if (last->at <= StreamStartOf(last->at) + size_t(kStepMaxRest + kStepSearch + kRecordSize))
            return false;
        // Nor decided at once before the slip could be seen: a slip is taken
        // only with the records that show it at hand, and a decision before
        // they arrived compares phases on the little there is.
        auto d = std::lower_bound(decidedAt.begin(), decidedAt.end(), last->at);
        if (d != decidedAt.end() && *d <= last->at + size_t(kSlipAhead + kRecordSize))
            return false;
        // Measured in the bytes accepted: record numbers jump over a drop.
        constexpr size_t kJoin = size_t(kDamageJoin) * kRecordSize;
        for (const SDamage& e : events)
            if (&e != last && std::max(e.at, e.end) + kJoin >= last->at && e.at <= last->at + kJoin)
                return false;
        return true;
    }

    // Every torn line of a stream that carries the marker, judged with the
    // whole stream known. Marks the records a tolerated torn line covers, the
    // kLossBefore before a stretch of them and the kLossAfter after it, as
    // excused from being recorded.
    void JudgeTornLines(std::vector<char>& excused) {
        if (tornAt.empty())
            return;
        // Lines in stream order: whole (false) and torn (true).
        std::vector<std::pair<size_t, bool>> order;
        for (size_t at : wholeAt)
            order.push_back({at, false});
        for (size_t at : tornAt)
            order.push_back({at, true});
        std::sort(order.begin(), order.end());
        // TOVREL_FUZZ_STRICT=1 reports every known limit below; letters
        // (TOVREL_FUZZ_STRICT=bd) only those.
        const char* strictEnv = std::getenv("TOVREL_FUZZ_STRICT");
        const auto tolerates = [strictEnv](char limit) {
            return !strictEnv ||
                   (std::strcmp(strictEnv, "1") != 0 && std::strchr(strictEnv, limit) == nullptr);
        };
        auto excuse = [&](size_t from, size_t to, int lossBefore) {
            // The record a slip onto the stretch was taken from goes too,
            // and onto a column's reading, every record from where the fault
            // ahead was seen.
            const int32_t before = RecordNear(from) - lossBefore;
            for (int32_t k = std::max(before, 0); k < RecordNear(from); ++k)
                excused[size_t(k)] = 1;
            for (size_t k = from; k < to && k < acc.size(); ++k)
                if (accFrom[k].rec >= 0 && size_t(accFrom[k].rec) < excused.size())
                    excused[size_t(accFrom[k].rec)] = 1;
            const int32_t last = RecordNear(to > 0 ? to - 1 : 0);
            for (int32_t k = last + 1; k <= last + kLossAfter && size_t(k) < excused.size(); ++k)
                excused[size_t(k)] = 1;
        };
        // Whether each line lies on the grid of fixed offsets from the cut
        // before it, with every line since the stream began afresh (the port
        // opened or closed: a drop does not make the cut forget that the
        // marker was seen).
        std::vector<char> onGrid(order.size(), 0);
        {
            size_t count = 0, stream = SIZE_MAX;
            bool confirmed = false;
            auto fresh = freshStarts.begin();
            for (size_t t = 0; t < order.size(); ++t) {
                const size_t at = order[t].first;
                const size_t s = StreamStartOf(at);
                if (s != stream) {
                    stream = s;
                    count = 0;
                }
                while (fresh != freshStarts.end() && *fresh <= at) {
                    confirmed = false;
                    ++fresh;
                }
                confirmed |= at != stream + count * kRecordSize;
                onGrid[t] = !confirmed;
                ++count;
            }
        }
        // Where the last stretch tolerated as a column's phase ended: the
        // phase so taken is held on through later faults.
        size_t columnHeldTo = SIZE_MAX;
        for (size_t j = 0; j < order.size();) {
            if (!order[j].second) {
                ++j;
                continue;
            }
            // A stretch: torn lines in a row, one after the other with
            // nothing skipped between (a skip is a decision the cut took
            // afresh), within one stream.
            const size_t first = order[j].first;
            const size_t stream = StreamStartOf(first);
            size_t k = j + 1;
            while (k < order.size() && order[k].second &&
                   order[k].first == order[k - 1].first + kRecordSize &&
                   StreamStartOf(order[k].first) == stream)
                ++k;
            const size_t end = order[k - 1].first + kRecordSize;
            if (!device.Smooth()) {
                // Random samples: no smoothness tells a false phase, and a
                // place pieced together across damage is taken for a while.
                for (size_t t = j; t < k; ++t)
                    if (!NearDamage(order[t].first)) {
                        Fail("a torn line far from any damage (line offset, nearest damage "
                             "before)",
                             (long long)order[t].first, NearestDamageBefore(order[t].first));
                    }
                j = k;
                continue;
            }
            // Known limits of the cut, each tolerated here only as narrowly as
            // it shows (TOVREL_FUZZ_STRICT=1 reports them as the findings they
            // are, TOVREL_FUZZ_STRICT=b only (b); tests/fuzz/regressions/
            // finding-* holds inputs that show them):
            //  (a) Before the first boundary of a stream is confirmed the cut
            //      takes it for one without the marker and cuts it at fixed
            //      offsets: a burst or damage at the start, or an event (which
            //      decides at once) before kStepMaxRest bytes arrived, is
            //      recorded torn.
            //  (b) A sample column of ':' can take the boundary after damage:
            //      out of step, the true phase's first kStepConfirm clean
            //      periods can begin at or past kStepSearch bytes from where
            //      the search looks (after a burst, a drop, a marker damaged
            //      just after a slip) while the column's begin inside, and a
            //      lone candidate is taken without comparison; in step, a slip
            //      is looked for a byte either way only, so several bytes lost
            //      or added can bring the column's reading there, and a marker
            //      damaged in the next records rules the held reading out where
            //      a column sits beside the marker; an event soon after a slip
            //      decides it over the few records at hand; where two sample
            //      bytes of a record are ':' (a value at 0x3A3A, two columns)
            //      the reading a byte off can read smoother across one slip,
            //      and so can it where a column beside the marker begins
            //      a few records before one.
            //      The recheck seldom has kStepEvidence records of both phases
            //      at hand to switch back, so the column's phase is held on.
            //      What stays strict: one
            //      byte lost or added, away from other damage, from a stream's
            //      start and from a decision at once, with at most one sample
            //      byte ':' in the records around it, never leaves a torn line.
            //  (q) Where byte 14 holds still (a device without a checksum), a
            //      column's reading can read smoother than the true one (it
            //      trades a noisy low byte for byte 14, the running number and
            //      the marker): it wins the comparisons, and the recheck itself
            //      moves a clean stream onto it.
            //  (c) Where the cut must decide at once (a recording started or
            //      stopped, a marker, a flush, a break) before the next
            //      record's marker has arrived, a record in step is taken as it
            //      is, also one a fault just tore; a checksum the device sends
            //      is not asked there.
            //  (d) In step, what looks like the markers holds a torn piece in
            //      place: bytes lost or added in a whole number of periods, a
            //      byte that happens to be ':' where the next marker belongs or
            //      one period before a boundary found after a fault, a record
            //      whose marker is missing with colons two and three periods on
            //      (the rule for a damaged marker), two faults that cancel out,
            //      a burst of ':' (which also reads smoothest of all). A
            //      checksum the device sends would tell, but in step it is
            //      asked only after a slip.
            //  (e) A torn record whose byte 14 happens to be the sum of the
            //      others (one in 256) is whole as far as a checksum can tell.
            // The column's phase shows in the stretch's first line, or soon
            // after: the first can be the record the fault tore, the next one
            // begin at a stray colon, and the rule for a damaged marker carry
            // that place on to a column's colons two periods later.
            bool columnPhase = false;
            for (size_t t = j; t < k && t < j + 4; ++t) {
                const size_t m = order[t].first + kRecordMarkerPos;
                columnPhase |= accFrom[m].rec >= 0 && accFrom[m].off != kRecordMarkerPos &&
                               acc[m] == kRecordMarker;
            }
            // Before the first boundary, the stream is cut at fixed offsets
            // from its start: every line of it so far on that grid, one after
            // the other (a whole one too, where the grid meets the records).
            const bool unconfirmedStart = !columnPhase && onGrid[j];
            bool tolerated = false;
            const char* why = "";
            if (tolerates('a') && unconfirmedStart) {
                tolerated = true;
                for (size_t t = j; t < k && tolerated; ++t) {
                    if (NearDamage(order[t].first) || order[t].first - stream <= size_t(kTornAfter))
                        continue;
                    // Where a column's phase falls on the grid, the boundary
                    // found there keeps the fixed offsets: from there on it is
                    // the column's phase, found after the fault before it.
                    bool column = true;
                    for (size_t u = t; u < k && column; ++u) {
                        const size_t m = order[u].first + kRecordMarkerPos;
                        column = accFrom[m].rec >= 0 && accFrom[m].off != kRecordMarkerPos &&
                                 acc[m] == kRecordMarker;
                    }
                    tolerated = column && t > j && NearDamage(order[t - 1].first);
                    break;
                }
                why = "before the first boundary";
            }
            const bool heldOn = columnHeldTo != SIZE_MAX && columnHeldTo >= stream &&
                                first <= columnHeldTo + size_t(kTornAfter);
            const bool damageAhead = [&] {
                auto it = std::lower_bound(damageAt.begin(), damageAt.end(), first);
                return it != damageAt.end() && *it <= first + size_t(kSlipAhead);
            }();
            if (columnPhase && device.QuietByte14()) {
                tolerated = tolerates('q');
                why = "column phase, byte 14 still";
            } else if (tolerates('b') && columnPhase &&
                       (NearDamage(first) || damageAhead || heldOn)) {
                tolerated = heldOn || !AfterLoneOneByteFault(first);
                why = "column phase";
            }
            if (tolerated && columnPhase)
                columnHeldTo = end;
            if (tolerates('c') && !tolerated && k == j + 1 && NearDamage(first) &&
                DecidedBeforeNextMarkers(first)) {
                tolerated = true;
                why = "decided before the next markers";
            }
            if (tolerates('e') && !tolerated && k == j + 1 && device.Checksummed() &&
                RecordChecksumOk(acc.data() + first) && HoldsDamage(first)) {
                tolerated = true;
                why = "its checksum holds by chance";
            }
            if (tolerates('d') && !tolerated && NearDamage(first)) {
                // Up to kStepConfirm lines as the rule takes them, one holding
                // a fault (two that cancel out can leave the old place held
                // across the records between them); more only where every one
                // holds damage (a burst that carries colons a period apart).
                bool held = true, holds = false, allHold = true;
                for (size_t t = first; t < end; t += kRecordSize) {
                    // A line after it can be kept by (c) or (e) as well.
                    held &= HeldInPlace(t) || (tolerates('c') && DecidedBeforeNextMarkers(t)) ||
                            (tolerates('e') && t > first && device.Checksummed() &&
                             RecordChecksumOk(acc.data() + t) && HoldsDamage(t));
                    holds |= HoldsDamage(t);
                    allHold &= HoldsDamage(t);
                }
                tolerated = held && (k - j <= size_t(kStepConfirm) ? holds : allHold);
                why = "held in place by the colons around it";
            }
            // Up to two lines in the place of whole records, between whole
            // lines a period before and after: a record whose marker is
            // missing keeps its place when the periods after it carry theirs,
            // and so does a piece two faults that cancel out left there.
            const bool inGrid = j > 0 && !order[j - 1].second &&
                                order[j - 1].first + kRecordSize == first && k < order.size() &&
                                !order[k].second && order[k].first == end;
            if (tolerates('d') && !tolerated && k - j <= 2 && inGrid) {
                for (size_t t = first; t < end && !tolerated; t += kRecordSize)
                    tolerated = HoldsDamage(t);
                why = "kept in place between whole records";
            }
            if (!tolerated && g_trace)
                std::fprintf(stderr,
                             "torn lines %zu..%zu: start unconfirmed %d, column phase %d, near "
                             "damage %d, after a lone one-byte fault %d\n",
                             first, end, int(unconfirmedStart), int(columnPhase),
                             int(NearDamage(first)), int(AfterLoneOneByteFault(first)));
            if (!tolerated) {
                Fail("a torn line in a stream of smooth samples with the marker (line offset, "
                     "nearest damage before)",
                     (long long)first, NearestDamageBefore(first));
            }
            if (g_trace)
                std::fprintf(stderr, "torn lines %zu..%zu tolerated (%s)\n", first, end, why);
            excuse(first, end, columnPhase ? kSlipAhead / kRecordSize : kLossBefore);
            j = k;
        }
    }

    // Records wholly accepted: where, and whether as the device sent them.
    void CheckRecords() {
        FlushStrays(false);
        const int32_t n = device.Generated();
        std::vector<char> whole(size_t(n), 0), intact(size_t(n), 0);
        for (size_t at = 0; at + kRecordSize <= acc.size(); ++at) {
            const SByte& f = accFrom[at];
            if (f.rec < 0 || f.off != 0)
                continue;
            bool ok = !CutInside(at, at + kRecordSize);
            bool changed = false;
            for (int t = 0; ok && t < kRecordSize; ++t) {
                const SByte& b = accFrom[at + size_t(t)];
                ok = b.rec == f.rec && b.off == t;
                changed |= b.changed;
            }
            whole[size_t(f.rec)] = ok;
            intact[size_t(f.rec)] = ok && !changed;
        }
        wholeSeen.resize(size_t(n));
        for (int32_t k = 0; k < n; ++k)
            CHECK(wholeSeen[size_t(k)] <= 1, k, wholeSeen[size_t(k)]);

        const bool damaged = !damageAt.empty();
        if (!device.WithMarker()) {
            if (damaged)
                return;
            // Cut at fixed offsets from the start of the stream: record after
            // record, nothing skipped.
            CHECK(skipped == 0, (long long)skipped);
            for (size_t j = 0; j < wholeOrder.size(); ++j)
                CHECK(wholeOrder[j] == int32_t(j), (long long)j, wholeOrder[j]);
            for (int32_t k = 0; k < n; ++k)
                CHECK(!intact[size_t(k)] || wholeSeen[size_t(k)] == 1, k);
            return;
        }

        // A damaged marker alone, far from other damage, keeps its record in
        // place; otherwise it counts as damage to the record and the one before.
        std::vector<SRange> ranges = touched;
        ranges.push_back({-1, -1, false});
        for (size_t p : decidedAt)
            if (p > 0 && OutOfStepDecision(p))
                ranges.push_back({RecordNear(p > size_t(kStepMaxRest) ? p - kStepMaxRest : 0),
                                  RecordNear(p - 1)});
        std::vector<int32_t> alone;
        std::sort(markerDamaged.begin(), markerDamaged.end());
        for (size_t j = 0; j < markerDamaged.size(); ++j) {
            const int32_t k = markerDamaged[j];
            bool near = (j > 0 && k - markerDamaged[j - 1] <= kDamageJoin) ||
                        (j + 1 < markerDamaged.size() && markerDamaged[j + 1] - k <= kDamageJoin);
            for (const SRange& r : touched)
                near |= k >= r.lo - kDamageJoin && k <= r.hi + kDamageJoin;
            // The periods after it, which keep its place, must come before
            // the stream ends (the last cut has no range of its own).
            for (int32_t c : cutRecords)
                near |= k >= c - kDamageJoin && k <= c + kDamageJoin;
            // Nor decided at once before they arrived: the cut then has only
            // the missing marker to go by.
            if (auto m = markerDamagedAt.find(k); m != markerDamagedAt.end())
                near |= DecidedBeforeNextMarkers(m->second - kRecordMarkerPos);
            // A colon beside the marker makes a reading a byte off carry it:
            // in step, a slip is looked for there, and the held reading, one
            // marker short, is no candidate, so the records from where the
            // damaged marker came in sight can go.
            if (device.ColonBesideMarker(k - kSlipAhead / kRecordSize, k + 1))
                ranges.push_back({k - kSlipAhead / kRecordSize + 1, k});
            else if (near)
                ranges.push_back({k - 1, k});
            else
                alone.push_back(k);
        }
        std::sort(ranges.begin(), ranges.end(),
                  [](const SRange& a, const SRange& b) { return a.lo < b.lo; });
        std::vector<SRange> joined;
        for (const SRange& r : ranges) {
            if (!joined.empty() && r.lo <= joined.back().hi + kDamageJoin) {
                joined.back().hi = std::max(joined.back().hi, r.hi);
                joined.back().loses |= r.loses;
            } else
                joined.push_back(r);
        }
        std::vector<char> excused(size_t(n), 0);
        JudgeTornLines(excused);
        std::vector<char> spared(size_t(n), 1);
        for (int32_t k = 0; k < n; ++k)
            spared[size_t(k)] = !excused[size_t(k)];
        for (const SRange& r : joined)
            for (int32_t k = std::max(r.lo - kLossBefore, 0);
                 r.loses && k <= r.hi + kLossAfter && k < n; ++k)
                spared[size_t(k)] = 0;
        for (int32_t k = 0; k < n; ++k) {
            if (intact[size_t(k)] && spared[size_t(k)] && wholeSeen[size_t(k)] != 1) {
                if (g_trace)
                    for (const SRange& r : joined)
                        std::fprintf(stderr, "damage over records %d..%d\n", r.lo, r.hi);
                Fail("an intact record away from damage not recorded (record, times)", k,
                     wholeSeen[size_t(k)]);
            }
        }
        for (int32_t k : alone)
            if (k < n && whole[size_t(k)] && !excused[size_t(k)])
                CHECK(wholeSeen[size_t(k)] == 1, k); // as it came, in its place
    }
};

void CheckFile(const std::string& path, const std::string& want) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        CHECK(errno == ENOENT && want.empty(), errno);
        return;
    }
    std::string got;
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        got.append(block, n);
    std::fclose(f);
    CHECK(got.size() % kRecordLineSize == 0, static_cast<long long>(got.size()));
    if (got == want)
        return;
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    Fail("a recording differs from the lines tagged with its sessions (line, lines written)",
         static_cast<long long>(at / kRecordLineSize),
         static_cast<long long>(got.size() / kRecordLineSize));
}

void RemoveFiles() {
    for (int k = 0; k < kMaxPaths && !g_recordBase.empty(); ++k)
        ::unlink(RecordPath(k).c_str());
    if (!g_recordBase.empty())
        ::unlink(g_recordBase.c_str());
    if (!g_badPath.empty())
        ::rmdir(g_badPath.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    std::string pattern = dir + "/tovrel-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        std::perror("mkstemp");
        std::exit(1);
    }
    ::close(fd);
    // The name is held by the empty file; the recordings go beside it.
    g_recordBase = name.data();
    g_badPath = g_recordBase + ".dir";
    g_trace = std::getenv("TOVREL_FUZZ_TRACE") != nullptr;
    ::mkdir(g_badPath.c_str(), 0700);
    std::atexit(RemoveFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int k = 0; k < kMaxPaths; ++k)
        if (::unlink(RecordPath(k).c_str()) != 0 && errno != ENOENT)
            Fail("cannot remove a recording file", errno);
    std::array<std::string, kMaxPaths> expected;
    {
        Harness h;
        h.Run(Reader{data, size});
        expected = std::move(h.expectedFile);
    }
    for (int k = 0; k < kMaxPaths; ++k)
        CheckFile(RecordPath(k), expected[size_t(k)]);
    return 0;
}
