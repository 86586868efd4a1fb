// Fuzzes the road device bytes take: chunks of any size into the receive
// buffers, the worker taking ready buffers whenever the input says so, the
// cutting into records, the decimation, the decoding and the raw recorder
// writing to a real file.
//
// The input is a little program of operations (see Op below). A plain model
// of the three buffers runs beside the real ones; after every operation the
// two must agree, and at the end the recording file must hold exactly the
// lines of the records handed over while recording was on.
#include "acquisition/Record.h"
#include "acquisition/Recorder.h"
#include "acquisition/RecvBuffers.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
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

// Operations, one control byte each (taken modulo 8):
//   0-3  a chunk: two length bytes (little-endian, modulo 601, so past the
//        512-byte limit too), then that many data bytes (fewer at the end)
//   4    the worker takes one ready buffer, if any
//   5    the worker takes every ready buffer
//   6    one argument byte: odd = start a recording into a place that cannot
//        be opened; even = start when stopped, stop when recording
//   7    one argument byte: picks a pressure coefficient for the decoder
enum Op { kOpChunkLast = 3, kOpWorkOne = 4, kOpWorkAll = 5, kOpRecord = 6, kOpCoef = 7 };

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

// Every byte the recording file should hold, formatted here without the
// product's helper: two upper-case hex digits and a space per byte, CR LF.
void AppendLine(std::string& out, const uint8_t* rec) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < kRecordSize; ++i) {
        out += kDigits[rec[i] / 16];
        out += kDigits[rec[i] % 16];
        out += ' ';
    }
    out += "\r\n";
}

int32_t Word(const uint8_t* p) {
    return int32_t(p[0]) * 256 + int32_t(p[1]);
}

// The plain model of the three buffers, their hand-over queue and the
// decimation counter.
struct Model {
    std::array<std::vector<uint8_t>, kRecvBufCount> buf;
    std::array<bool, kRecvBufCount> ready{};
    int write = 0;
    int recordCount = 0;
    std::deque<int> handedOver; // oldest first
    uint64_t tooLarge = 0, nextHeld = 0, handOvers = 0, processed = 0;

    EChunkResult Chunk(const uint8_t* data, int n) {
        if (n <= 0)
            return EChunkResult::Ignored;
        if (n > kMaxChunk) {
            ++tooLarge;
            return EChunkResult::TooLarge;
        }
        if (n > kRecvBufSize - int(buf[size_t(write)].size())) {
            if (!ready[size_t(write)])
                handedOver.push_back(write);
            ready[size_t(write)] = true;
            ++handOvers;
            write = (write + 1) % kRecvBufCount;
        }
        if (ready[size_t(write)]) {
            ++nextHeld;
            return EChunkResult::NextHeld;
        }
        buf[size_t(write)].insert(buf[size_t(write)].end(), data, data + n);
        return EChunkResult::Accepted;
    }
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

struct Harness {
    CRecvBuffers real;
    CRecorder recorder;
    Model model;
    Decoder decoder;
    bool recording = false;
    std::string expectedFile;

    // States and counts after every operation; the bytes of the buffer a
    // chunk went to (all three would make long inputs crawl).
    void Compare(int bytesOf = -1) const {
        for (int i = 0; i < kRecvBufCount; ++i) {
            CHECK(real.IsReady(i) == model.ready[size_t(i)], i);
            CHECK(real.RecvLen(i) == int32_t(model.buf[size_t(i)].size()), i, real.RecvLen(i));
        }
        if (bytesOf >= 0 && !model.buf[size_t(bytesOf)].empty())
            CHECK(std::memcmp(real.RecvBuf(bytesOf), model.buf[size_t(bytesOf)].data(),
                              model.buf[size_t(bytesOf)].size()) == 0,
                  bytesOf);
        CHECK(real.RecvWrite() == model.write, real.RecvWrite(), model.write);
        CHECK(real.RecordCount() == model.recordCount, real.RecordCount(), model.recordCount);
        CHECK(real.ChunksTooLarge() == model.tooLarge);
        CHECK(real.ChunksNextHeld() == model.nextHeld);
        CHECK(real.HandOvers() == model.handOvers);
        CHECK(real.BuffersProcessed() == model.processed);
        CHECK(recorder.IsSaving() == recording);
        CHECK(recorder.HasFile() == recording);
    }

    void Chunk(const uint8_t* data, int n) {
        const EChunkResult want = model.Chunk(data, n);
        const EChunkResult got = real.OnChunk(data, n);
        if (g_trace)
            std::fprintf(stderr, "chunk %d -> %d, filling %d\n", n, int(got), real.RecvWrite());
        CHECK(got == want, int(got), int(want));
    }

    // One worker pass over the oldest ready buffer; false when none is ready.
    bool WorkOne() {
        const int i = real.FindReady();
        if (g_trace)
            std::fprintf(stderr, "worker takes %d\n", i);
        if (model.handedOver.empty()) {
            CHECK(i == -1, i);
            return false;
        }
        // Records leave in the order they came in: the oldest buffer first.
        CHECK(i == model.handedOver.front(), i, model.handedOver.front());
        model.handedOver.pop_front();

        const std::vector<uint8_t> bytes = model.buf[size_t(i)];
        const int len = int(bytes.size());
        std::vector<std::array<uint8_t, kRecordSize>> wantParsed;
        for (int at = 0; at + kRecordSize <= len; at += kRecordSize) {
            if (recording)
                AppendLine(expectedFile, bytes.data() + at);
            if (++model.recordCount > kRecordDecimation) {
                model.recordCount = 0;
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
                CHECK(count == len, count, len);
                CHECK(data == real.RecvBuf(i));
                recorder.SaveRecords(count, data);
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

        model.buf[size_t(i)].clear();
        model.ready[size_t(i)] = false;
        ++model.processed;
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
        while (!in.Empty()) {
            const uint8_t op = in.Byte() % 8;
            if (op <= kOpChunkLast) {
                const int lo = in.Byte();
                const int hi = in.Byte();
                int len = (lo | hi << 8) % 601;
                if (size_t(len) > in.n)
                    len = int(in.n);
                Chunk(in.p, len);
                in.p += len;
                in.n -= size_t(len);
                Compare(model.write);
                continue;
            } else if (op == kOpWorkOne) {
                WorkOne();
            } else if (op == kOpWorkAll) {
                while (WorkOne())
                    ;
            } else if (op == kOpRecord) {
                Record(in.Byte());
            } else {
                decoder.coef1 = PickCoefficient(in);
                decoder.coef2 = PickCoefficient(in);
            }
            Compare();
        }
        // The worker catches up with everything handed over; what is still
        // in the filling buffer waits for a chunk that does not fit.
        while (WorkOne())
            ;
        Compare();
        recorder.Stop();
        recording = false;
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
    Fail("recording differs from the records handed over (line, lines written)",
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
