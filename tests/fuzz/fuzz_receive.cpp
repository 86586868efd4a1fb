// Fuzzes the road device bytes take: a device stream cut into chunks of any
// size, damaged on the way (stray bytes, lost bytes, a damaged marker, a
// dropped chunk, the port opened again), into the receive buffers; the worker
// taking ready buffers whenever the input says so; the cutting into whole
// records, the decimation, the decoding and the raw recorder writing to a real
// file.
//
// The input is a header and a little program of operations (see Op below).
// The data is not taken from the input but from a generated device stream of
// records, so every recorded line can be told to be an intact record of the
// stream, a record as it came (its marker damaged), or a torn piece. There is
// no model of the cut; instead:
//  - along the way: every chunk gets the result the hand-off rules give it,
//    the worker takes buffers in hand-over order and gets each one exactly as
//    it was handed over, whole records only; no accepted byte is lost
//    uncounted (accepted = handed over + skipped + filling); every eleventh
//    record cut is decoded;
//  - every line the worker hands to the recorder is 15 bytes that arrived
//    together in accepted chunks, after those of the line before: nothing is
//    recorded twice, out of order, or pieced together across a drop;
//  - a torn line only near a damage point; none in a marker stream without
//    damage;
//  - at the end, after feeding more stream so that everything the program
//    fed is handed over: every intact record away from damage, and a record
//    whose marker alone was damaged, recorded exactly once; a stream without
//    the marker and without damage recorded record by record from its start;
//    the recording file holds exactly the lines handed over while recording
//    was on.
#include "acquisition/Record.h"
#include "acquisition/RecordStep.h"
#include "acquisition/Recorder.h"
#include "acquisition/RecvBuffers.h"

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
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

void RemoveFiles();

[[noreturn]] void Fail(const char* what, long long a = 0, long long b = 0) {
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
// chunk, a break, a damaged marker. Their record is the one whose marker
// precedes them: the cut knows a record whole only from its marker to the
// next one.
//
// Records lost to a damage point: its own and the kLossAfter after it. In
// step, a record whose marker is missing keeps its place when the two periods
// after it carry 0x3A; after a shift those can be sample bytes of a column
// (up to kStepConfirm - 1 records long) that now sits where the markers were,
// and the old place is kept through it: its records are cut torn, and the
// step is found again at the period after it.
constexpr int kLossAfter = kStepConfirm;
// Damage points this close (in records) are judged together: a false place
// may be kept for kStepConfirm periods, and then the search for the boundary
// reads kStepMaxRest bytes ahead, so further damage within that reach can
// cost the records between the two. The start of the stream is out of step
// in the same way.
constexpr int kDamageJoin = kStepConfirm + kStepMaxRest / kRecordSize;
// A torn line starts at most kTornAfter bytes after a damage point: out of
// step the cut looks kStepSearch bytes ahead and decides once kStepMaxRest
// bytes are there, and a false place pieced together across the damage is
// given up at the first period that lacks its marker. It starts at most
// kTornBefore bytes before one: in step, the cut sees damage through the
// marker of the record after the one in hand. Out of step it may start
// further before one, but then after the damage point (or the port opening)
// that put the stream out of step.
constexpr int kTornAfter = kStepSearch + kStepMaxRest;
constexpr int kTornBefore = kRecordSize + kRecordMarkerPos;

// Stream bytes one input may feed, so that no input crawls; then more is fed
// to hand over everything fed.
constexpr size_t kMaxProgramBytes = 48 * 1024;
constexpr size_t kDrainBytes = 3 * kRecvBufSize;
constexpr int kDrainChunk = 62;

// The header: one flags byte, two seed bytes.
//   flags bit 0      the stream carries no marker
//   flags bits 1-2   how often a sample byte is 0x3A: never, 1 in 128, 32, 8
//   flags bits 3-4   how often a column of 0x3A over 1 to 3 records starts:
//                    never, 1 record in 64, 16, 4
// Operations, one control byte each (taken modulo kOpCount):
//   0-2  feed: two length bytes (little-endian, modulo 601, so past the
//        512-byte limit too): the next that many stream bytes, one chunk
//   3    the worker takes one ready buffer, if any
//   4    the worker takes every ready buffer
//   5    one argument byte: odd = start a recording into a place that cannot
//        be opened; even = start when stopped, stop when recording
//   6    one argument byte (five for a large one), twice: pressure coefficients
//   7    stray bytes: a count byte (1 + low 3 bits), a position byte (bytes
//        ahead in the stream), then that many byte values
//   8    lost bytes: a count byte (1 + low 4 bits), a position byte
//   9    a damaged marker: records ahead (low 5 bits), the value put there
//   10   the stream breaks here (the port opened again)
enum Op {
    kOpFeedLast = 2,
    kOpWorkOne = 3,
    kOpWorkAll = 4,
    kOpRecord = 5,
    kOpCoef = 6,
    kOpStray = 7,
    kOpLose = 8,
    kOpMarker = 9,
    kOpBreak = 10,
    kOpCount = 11
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

std::string g_recordPath;
// TOVREL_FUZZ_TRACE=1 prints every operation, for reading a crash input.
bool g_trace = false;
std::string g_badPath; // a directory: fopen(..., "a+") refuses it

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

// The device: record k carries k in the high-bit bytes 0, 2 and 3 (never
// 0x3A), the marker, sample bytes that are sometimes 0x3A, now and then a
// column of 0x3A at one place over a few records, and a checksum. No place
// other than the marker's holds 0x3A in more than kStepConfirm - 1 records in
// a row, nor again before two records without it: sample data that rarely
// repeats at one place, so that only damage can make a false boundary. (A
// sample byte that stays 0x3A for many records is out of this model: the cut
// can then take its place for the marker's.)
class CDevice {
public:
    void Setup(uint8_t flags, uint16_t seed) {
        static const int kColonOneIn[] = {0, 128, 32, 8};
        static const int kColumnOneIn[] = {0, 64, 16, 4};
        m_bMarker = (flags & 1) == 0;
        m_colonOneIn = kColonOneIn[(flags >> 1) & 3];
        m_columnOneIn = kColumnOneIn[(flags >> 3) & 3];
        m_x = seed * 2654435761u + 1;
    }
    bool WithMarker() const { return m_bMarker; }
    int32_t Generated() const { return m_generated; }
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

private:
    uint32_t Next() {
        m_x = m_x * 1103515245u + 12345u;
        return m_x >> 16;
    }
    void Generate() {
        const uint32_t k = uint32_t(m_generated++);
        if (k >= (1u << 21))
            Fail("stream too long for its record numbers", k);
        uint8_t r[kRecordSize];
        r[0] = uint8_t(0x80 | (k & 0x7F));
        r[1] = m_bMarker ? kRecordMarker : uint8_t(Next());
        r[2] = uint8_t(0x80 | ((k >> 7) & 0x7F));
        r[3] = uint8_t(0x80 | ((k >> 14) & 0x7F));
        for (int j = 4; j < 14; ++j) {
            r[j] = uint8_t(Next());
            if (m_colonOneIn && Next() % uint32_t(m_colonOneIn) == 0)
                r[j] = kRecordMarker;
        }
        if (m_columnLeft == 0 && m_columnOneIn && Next() % uint32_t(m_columnOneIn) == 0) {
            m_columnLeft = 1 + int(Next() % (kStepConfirm - 1));
            m_columnAt = 4 + int(Next() % 10);
        }
        if (m_columnLeft > 0) {
            r[m_columnAt] = kRecordMarker;
            --m_columnLeft;
        }
        // A place may take 0x3A when it holds a run shorter than
        // kStepConfirm - 1, or when it has been free of 0x3A for two records.
        const auto full = [&](int j) {
            return m_run[size_t(j)] == 0 ? m_free[size_t(j)] < 2
                                         : m_run[size_t(j)] >= kStepConfirm - 1;
        };
        for (int j = m_bMarker ? 4 : 1; j < 14; ++j)
            if (r[j] == kRecordMarker && full(j))
                r[j] = kRecordMarker + 1;
        for (;;) {
            uint8_t sum = 0;
            for (int j = 0; j < 14; ++j)
                sum = uint8_t(sum + r[j]);
            r[14] = sum;
            if (sum != kRecordMarker || !full(14))
                break;
            r[13] = uint8_t(r[13] + 1);
            if (r[13] == kRecordMarker && full(13))
                r[13] = uint8_t(r[13] + 1);
        }
        for (int j = 0; j < kRecordSize; ++j) {
            const bool colon = r[j] == kRecordMarker;
            m_run[size_t(j)] = colon ? uint8_t(m_run[size_t(j)] + 1) : 0;
            m_free[size_t(j)] = colon ? 0 : uint8_t(std::min(m_free[size_t(j)] + 1, 2));
            m_ahead.push_back({r[j], int32_t(k), int8_t(j), false});
        }
    }

    bool m_bMarker = true;
    int m_colonOneIn = 0, m_columnOneIn = 0;
    int m_columnLeft = 0, m_columnAt = 0;
    uint32_t m_x = 1;
    int32_t m_generated = 0;
    // At each place: records in a row with 0x3A, and without it (up to 2).
    std::array<uint8_t, kRecordSize> m_run{};
    std::array<uint8_t, kRecordSize> m_free{2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
    std::deque<SByte> m_ahead;
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

// A buffer as it was handed over.
struct SHandOver {
    int buf;
    std::vector<uint8_t> bytes;
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

struct Harness {
    Harness() {
        acc.clear();
        accFrom.clear();
    }

    CRecvBuffers real;
    CRecorder recorder;
    Decoder decoder;
    CDevice device;
    bool recording = false;
    std::string expectedFile;

    // What the hand-off rules say, counted here.
    std::deque<SHandOver> handedOver; // oldest first
    uint64_t handedBytes = 0;
    uint64_t tooLarge = 0, nextHeld = 0, handOvers = 0, processed = 0, skipped = 0;
    int recordCount = 0; // the decimation counter

    // Every byte accepted, in order, with where it came from; where the stream
    // broke (a dropped chunk, a break), as the offset of the byte after.
    std::vector<uint8_t>& acc = g_acc;
    std::vector<SByte>& accFrom = g_accFrom;
    std::vector<size_t> cuts;
    // Damage: its offsets in acc, in order, and the records it touched.
    std::vector<size_t> damageAt;
    std::vector<SRange> touched;
    std::vector<int32_t> markerDamaged;
    // The last record byte accepted, and whether the stream was cut or took a
    // stray byte since.
    SByte lastOrig{0, -1, kRecordSize - 1, false};
    bool brokeSince = false, strayedSince = false;

    // Lines handed to the recorder, matched to acc: where the next may start,
    // and how often each record was recorded whole.
    size_t lineEnd = 0;
    uint64_t lines = 0, tornLines = 0;
    std::vector<uint8_t> wholeSeen;
    std::vector<int32_t> wholeOrder; // in a stream without marker or damage

    size_t programFed = 0;
    size_t drainFrom = SIZE_MAX; // acc offset where the drain began

    void Cut() {
        if (!acc.empty() && (cuts.empty() || cuts.back() != acc.size())) {
            cuts.push_back(acc.size());
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

    void Accept(const std::vector<SByte>& from) {
        for (const SByte& b : from) {
            const size_t at = acc.size();
            acc.push_back(b.v);
            accFrom.push_back(b);
            if (b.rec < 0) {
                Damage(at);
                strayedSince = true;
                continue;
            }
            if (b.changed) {
                Damage(at);
                markerDamaged.push_back(b.rec);
            }
            const bool next =
                (b.rec == lastOrig.rec && b.off == lastOrig.off + 1) ||
                (b.rec == lastOrig.rec + 1 && b.off == 0 && lastOrig.off == kRecordSize - 1);
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

    // Everything that must hold between operations.
    void Invariants() {
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
        CHECK(real.ChunksTooLarge() == tooLarge);
        CHECK(real.ChunksNextHeld() == nextHeld);
        CHECK(real.HandOvers() == handOvers);
        CHECK(real.BuffersProcessed() == processed);
        CHECK(real.HandOvers() >= real.BuffersProcessed());
        CHECK(real.RecordCount() == recordCount, real.RecordCount(), recordCount);
        CHECK(recorder.IsSaving() == recording);
        CHECK(recorder.HasFile() == recording);
    }

    void Feed(size_t n) {
        device.Ensure(n);
        std::deque<SByte>& ahead = device.Ahead();
        const std::vector<SByte> from(ahead.begin(), ahead.begin() + long(n));
        std::vector<uint8_t> chunk(n);
        for (size_t t = 0; t < n; ++t)
            chunk[t] = from[t].v;
        ahead.erase(ahead.begin(), ahead.begin() + long(n));

        // What the rules say, from what can be seen before the call.
        const int w = real.RecvWrite();
        const int32_t lenW = real.RecvLen(w);
        bool readyBefore[kRecvBufCount];
        for (int i = 0; i < kRecvBufCount; ++i)
            readyBefore[i] = real.IsReady(i);
        EChunkResult want = EChunkResult::Accepted;
        bool handOver = false;
        int wantWrite = w;
        if (n == 0) {
            want = EChunkResult::Ignored;
        } else if (n > size_t(kMaxChunk)) {
            want = EChunkResult::TooLarge;
        } else if (int32_t(n) > kRecvBufSize - lenW) {
            handOver = true;
            wantWrite = (w + 1) % kRecvBufCount;
            if (readyBefore[wantWrite])
                want = EChunkResult::NextHeld;
        } else if (readyBefore[w]) {
            want = EChunkResult::NextHeld;
        }

        const EChunkResult got = real.OnChunk(chunk.data(), int(n));
        if (g_trace)
            std::fprintf(stderr, "chunk %zu at %zu -> %d, filling %d (%d), in step %d\n", n,
                         acc.size(), int(got), real.RecvWrite(), real.RecvLen(real.RecvWrite()),
                         int(real.InStep()));
        CHECK(got == want, int(got), int(want));
        CHECK(real.RecvWrite() == wantWrite, real.RecvWrite(), wantWrite);
        tooLarge += got == EChunkResult::TooLarge;
        nextHeld += got == EChunkResult::NextHeld;
        handOvers += handOver;

        for (int i = 0; i < kRecvBufCount; ++i) {
            if (readyBefore[i]) {
                CHECK(real.IsReady(i), i); // only the worker frees a buffer
            } else if (real.IsReady(i)) {
                CHECK(handOver && i == w, i, w);
                const int32_t len = real.RecvLen(i);
                // Whole records only, and never more than a buffer.
                CHECK(len >= 0 && len <= kRecvBufSize && len % kRecordSize == 0, i, len);
                handedOver.push_back(
                    {i, std::vector<uint8_t>(real.RecvBuf(i), real.RecvBuf(i) + len)});
                handedBytes += uint64_t(len);
            }
        }
        if (handOver && !readyBefore[w])
            CHECK(real.IsReady(w), w);

        if (got == EChunkResult::Accepted) {
            const size_t before = acc.size();
            Accept(from);
            const int32_t len = real.RecvLen(wantWrite);
            CHECK(!real.IsReady(wantWrite));
            CHECK(size_t(len) >= n, len);
            const uint8_t* buf = real.RecvBuf(wantWrite);
            // The chunk whole at the end; ahead of it after a hand-over, the
            // undecided bytes that came just before it.
            CHECK(std::memcmp(buf + len - int32_t(n), chunk.data(), n) == 0, len);
            if (handOver) {
                const int32_t carry = len - int32_t(n);
                CHECK(carry <= kStepMaxRest, carry);
                CHECK(std::memcmp(buf, acc.data() + before - size_t(carry), size_t(carry)) == 0,
                      carry);
            } else {
                CHECK(len == lenW + int32_t(n), len, lenW);
            }
        } else if (got != EChunkResult::Ignored) {
            Cut();
            // Dropped: the buffer filled last was cut as the end of a stream.
            const int32_t len = real.RecvLen(real.RecvWrite());
            CHECK(len % kRecordSize == 0 || real.IsReady(real.RecvWrite()), len);
        }
    }

    void Break() {
        real.OnStreamBreak();
        if (g_trace)
            std::fprintf(stderr, "break at %zu\n", acc.size());
        Cut();
        const int w = real.RecvWrite();
        CHECK(real.IsReady(w) || real.RecvLen(w) % kRecordSize == 0, real.RecvLen(w));
    }

    // One line handed to the recorder: 15 bytes accepted together, after the
    // line before.
    void MatchLine(const uint8_t* line, bool saving) {
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
            std::fprintf(stderr, "  line at %zu: %s %d%s\n", at, whole ? "record" : "torn",
                         whole ? first.rec : -1, saving ? "" : " (not recording)");
        if (whole) {
            if (wholeSeen.size() <= size_t(first.rec))
                wholeSeen.resize(size_t(first.rec) + 1);
            ++wholeSeen[size_t(first.rec)];
            wholeOrder.push_back(first.rec);
            return;
        }
        ++tornLines;
        wholeOrder.push_back(-1);
        if (!device.WithMarker())
            return; // without the marker there is no step to regain
        // Near a damage point: one in [at - kTornAfter, at + kTornBefore].
        // The port opening counts as one when damage follows within the
        // reach of the search that starts there: the stream starts out of
        // step.
        const bool nearStart =
            at <= size_t(kTornAfter) && !damageAt.empty() && damageAt.front() <= size_t(kTornAfter);
        auto it = std::lower_bound(damageAt.begin(), damageAt.end(),
                                   at >= size_t(kTornAfter) ? at - size_t(kTornAfter) : 0);
        if (!nearStart && (it == damageAt.end() || *it > at + size_t(kTornBefore))) {
            if (g_trace)
                Dump();
            Fail("a torn line far from any damage (line offset, nearest damage before)",
                 (long long)at, it == damageAt.begin() ? -1LL : (long long)*std::prev(it));
        }
    }

    // One worker pass over the oldest ready buffer; false when none is ready.
    bool WorkOne() {
        const int i = real.FindReady();
        if (g_trace)
            std::fprintf(stderr, "worker takes %d\n", i);
        if (handedOver.empty()) {
            CHECK(i == -1, i);
            return false;
        }
        // Records leave in the order they came in: the oldest buffer first.
        CHECK(i == handedOver.front().buf, i, handedOver.front().buf);
        const std::vector<uint8_t> bytes = std::move(handedOver.front().bytes);
        handedOver.pop_front();

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
        real.ProcessBuffer(
            i,
            [&](int count, const uint8_t* data) {
                ++saves;
                // Exactly what was handed over: nothing touched a held buffer.
                CHECK(count == len, count, len);
                CHECK(data == real.RecvBuf(i));
                CHECK(std::memcmp(data, bytes.data(), size_t(len)) == 0);
                recorder.SaveRecords(count, data);
                for (int at = 0; at + kRecordSize <= count; at += kRecordSize) {
                    MatchLine(data + at, recording);
                    if (recording)
                        AppendLine(expectedFile, data + at);
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
        ++processed;
        return true;
    }

    void Record(uint8_t arg) {
        if (arg & 1) {
            // Refused: whatever was on stays on, with its file.
            const SRecordingStart s = recorder.Start(g_badPath);
            CHECK(!s.opened);
            CHECK(!s.reason.empty());
            return;
        }
        if (recording) {
            recorder.Stop();
            recording = false;
        } else {
            const SRecordingStart s = recorder.Start(g_recordPath);
            CHECK(s.opened, s.error);
            recording = true;
        }
    }

    void Run(Reader in) {
        const uint8_t flags = in.Byte();
        const uint8_t seedLo = in.Byte();
        const uint16_t seed = uint16_t(seedLo | in.Byte() << 8);
        device.Setup(flags, seed);
        real.OnStreamBreak(); // as the port opens
        Invariants();
        while (!in.Empty()) {
            const uint8_t op = in.Byte() % kOpCount;
            if (op <= kOpFeedLast) {
                const int lo = in.Byte();
                const int hi = in.Byte();
                size_t len = size_t((lo | hi << 8) % 601);
                len = std::min(len, kMaxProgramBytes - programFed);
                programFed += len;
                Feed(len);
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
                device.InsertStray(at, values);
            } else if (op == kOpLose) {
                const size_t count = 1 + (in.Byte() & 15);
                device.Lose(in.Byte(), count);
            } else if (op == kOpMarker) {
                const int ahead = in.Byte() & 31;
                device.DamageMarker(ahead, in.Byte());
            } else {
                Break();
            }
            Invariants();
        }
        // The worker catches up, then more of the stream pushes everything
        // fed so far (a filling buffer, a carried piece) to the worker.
        while (WorkOne())
            ;
        drainFrom = acc.size();
        while (acc.size() < drainFrom + kDrainBytes) {
            Feed(kDrainChunk);
            while (WorkOne())
                ;
            Invariants();
        }
        const int w = real.RecvWrite();
        CHECK(!real.IsReady(w) && size_t(real.RecvLen(w)) <= acc.size() - drainFrom,
              real.RecvLen(w));
        recorder.Stop();
        recording = false;
        CheckRecords();
        if (g_trace)
            std::fprintf(stderr,
                         "%llu lines, %llu torn; %zu bytes accepted, %llu skipped; %zu damage "
                         "points\n",
                         (unsigned long long)lines, (unsigned long long)tornLines, acc.size(),
                         (unsigned long long)skipped, damageAt.size());
    }

    // TOVREL_FUZZ_DUMP=from,to prints those accepted bytes and where they came from.
    void Dump() const {
        const char* range = std::getenv("TOVREL_FUZZ_DUMP");
        size_t from = 0, to = 0;
        if (!range || std::sscanf(range, "%zu,%zu", &from, &to) != 2)
            return;
        for (size_t at = from; at < to && at < acc.size(); ++at)
            std::fprintf(stderr, "%zu: %02X  %d.%d%s%s\n", at, acc[at], accFrom[at].rec,
                         accFrom[at].off, accFrom[at].changed ? " changed" : "",
                         std::binary_search(cuts.begin(), cuts.end(), at) ? " (cut before)" : "");
    }

    // Records wholly accepted before the drain began: where, and whether as
    // the device sent them.
    void CheckRecords() {
        const int32_t n = device.Generated();
        std::vector<char> whole(size_t(n), 0), intact(size_t(n), 0);
        for (size_t at = 0; at + kRecordSize <= drainFrom; ++at) {
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
        std::vector<int32_t> alone;
        std::sort(markerDamaged.begin(), markerDamaged.end());
        for (size_t j = 0; j < markerDamaged.size(); ++j) {
            const int32_t k = markerDamaged[j];
            bool near = (j > 0 && k - markerDamaged[j - 1] <= kDamageJoin) ||
                        (j + 1 < markerDamaged.size() && markerDamaged[j + 1] - k <= kDamageJoin);
            for (const SRange& r : touched)
                near |= k >= r.lo - kDamageJoin && k <= r.hi + kDamageJoin;
            if (near)
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
        std::vector<char> spared(size_t(n), 1);
        for (const SRange& r : joined)
            for (int32_t k = std::max(r.lo, 0); r.loses && k <= r.hi + kLossAfter && k < n; ++k)
                spared[size_t(k)] = 0;
        for (int32_t k = 0; k < n; ++k) {
            if (intact[size_t(k)] && spared[size_t(k)] && wholeSeen[size_t(k)] != 1) {
                if (g_trace)
                    for (const SRange& r : joined)
                        std::fprintf(stderr, "damage over records %d..%d\n", r.lo, r.hi);
                if (g_trace)
                    Dump();
                Fail("an intact record away from damage not recorded (record, times)", k,
                     wholeSeen[size_t(k)]);
            }
        }
        for (int32_t k : alone)
            if (k < n && whole[size_t(k)])
                CHECK(wholeSeen[size_t(k)] == 1, k); // as it came, in its place
    }
};

void CheckFile(const std::string& want) {
    FILE* f = std::fopen(g_recordPath.c_str(), "rb");
    CHECK(f != nullptr, errno);
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
    Fail("recording differs from the lines handed over while recording (line, lines written)",
         static_cast<long long>(at / kRecordLineSize),
         static_cast<long long>(got.size() / kRecordLineSize));
}

void RemoveFiles() {
    if (!g_recordPath.empty())
        ::unlink(g_recordPath.c_str());
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
    g_recordPath = name.data();
    g_badPath = g_recordPath + ".dir";
    g_trace = std::getenv("TOVREL_FUZZ_TRACE") != nullptr;
    ::mkdir(g_badPath.c_str(), 0700);
    std::atexit(RemoveFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (::truncate(g_recordPath.c_str(), 0) != 0)
        Fail("cannot empty the recording file", errno);
    std::string expected;
    {
        Harness h;
        h.Run(Reader{data, size});
        expected = std::move(h.expectedFile);
    }
    CheckFile(expected);
    return 0;
}
