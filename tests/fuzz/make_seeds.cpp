// Writes the starting corpus for fuzz_receive: programs of operations that
// cut the generated device stream the way a serial driver hands it over, keep
// the worker up or let it stall, damage the stream in the usual ways, hold a
// sample still at ':' in one byte or another, and start and stop recordings,
// set markers and close and open the port while bytes wait.
//
//   make_seeds <directory>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// Operation codes and header flags of fuzz_receive.
constexpr uint8_t kOpFeed = 0, kOpWorkOne = 3, kOpWorkAll = 4, kOpRecord = 5, kOpCoef = 6,
                  kOpStray = 7, kOpLose = 8, kOpMarker = 9, kOpBreak = 10, kOpArrive = 11,
                  kOpHandler = 12, kOpPress = 13, kOpPort = 14, kOpBurst = 15, kOpColumn = 16;
constexpr uint8_t kNoMarker = 1;
// Random samples.
constexpr uint8_t kColons = 2 << 1;  // a sample byte is 0x3A one time in 32
constexpr uint8_t kColumns = 2 << 3; // a column of 0x3A starts one record in 16
// Smooth samples.
constexpr uint8_t kSmooth = 0x20;
constexpr uint8_t kNoise3 = 1 << 1, kNoise12 = 2 << 1;
constexpr uint8_t kRareColumns = 1 << 3, kOftenColumns = 2 << 3, kWholeColumn = 3 << 3;
constexpr uint8_t kRandomByte14 = 2 << 6, kZeroByte14 = 3 << 6;

struct Program {
    std::vector<uint8_t> bytes;

    Program(uint8_t flags, uint16_t seed) : bytes{flags, uint8_t(seed), uint8_t(seed >> 8)} {}
    void Two(uint8_t op, int n) {
        bytes.push_back(op);
        bytes.push_back(uint8_t(n & 0xFF));
        bytes.push_back(uint8_t(n >> 8));
    }
    void Feed(int n) { Two(kOpFeed, n); }
    void Arrive(int n) { Two(kOpArrive, n); }
    void Op(uint8_t op) { bytes.push_back(op); }
    void Op(uint8_t op, std::initializer_list<uint8_t> args) {
        bytes.push_back(op);
        bytes.insert(bytes.end(), args);
    }
    // A sample column at byte `place` (2..13) over `records` records (0: to the end).
    void Column(int place, int records, bool holdWhole = false) {
        Op(kOpColumn, {uint8_t((place - 2) | (holdWhole ? 16 : 0)), uint8_t(records & 0xFF),
                       uint8_t(records >> 8)});
    }
    void Burst(int count, uint8_t ahead, uint8_t seed) {
        Op(kOpBurst, {uint8_t(count & 0xFF), uint8_t(count >> 8), ahead, seed});
    }
};

// Whole-input column at byte 2 + seed % 12: the seed that puts it at `place`.
uint16_t SeedForColumn(int place, int k) {
    return uint16_t(12 * (17 + k) + (place - 2));
}

// One of the ways a line goes wrong.
void Damage(Program& p, std::mt19937& rng, bool bursts) {
    switch (rng() % (bursts ? 5 : 4)) {
    case 0:
        p.Op(kOpStray, {uint8_t(rng() % 3), uint8_t(rng() % 200), 0x3A, 0x00, 0x3A});
        break;
    case 1:
        p.Op(kOpLose, {uint8_t(rng() % 3), uint8_t(rng() % 200)});
        break;
    case 2:
        p.Op(kOpMarker, {uint8_t(rng() % 8), 0x00});
        break;
    case 3:
        p.Op(kOpBreak);
        break;
    default:
        p.Burst(1 + int(rng() % 400), uint8_t(rng() % 200), uint8_t(rng()));
        break;
    }
}

// Feeds `total` stream bytes in chunks of minChunk..maxChunk bytes, read
// whatever the buffers can take, with a worker pass after every `workEvery`
// chunks (0: never) and, every `damageEvery` chunks (0: never), one of the
// ways a line goes wrong.
Program Cut(uint8_t flags, int total, int minChunk, int maxChunk, int workEvery, unsigned seed,
            int damageEvery = 0, bool record = true) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> size(minChunk, maxChunk);
    Program p(flags, uint16_t(seed));
    if (record)
        p.Op(kOpRecord, {0});
    int chunks = 0;
    for (int fed = 0; fed < total;) {
        const int n = std::min(total - fed, size(rng));
        p.Feed(n);
        fed += n;
        ++chunks;
        if (workEvery > 0 && chunks % workEvery == 0)
            p.Op(kOpWorkOne);
        if (damageEvery > 0 && chunks % damageEvery == 0)
            Damage(p, rng, (flags & kSmooth) != 0);
    }
    p.Op(kOpWorkAll);
    return p;
}

// The panel's way: bytes arrive in the adapter's pieces and wait in the
// control; the receive handler reads what waits, leaving it there while the
// worker holds the buffers; the worker takes a buffer every `workEvery`
// arrivals. Every `eventEvery` arrivals (0: never) the operator does
// something: starts or stops a recording, sets a marker, closes or opens the
// port; every `damageEvery` (0: never) the line damages the stream.
Program Panel(uint8_t flags, uint16_t seed, int total, int piece, int workEvery, int eventEvery,
              int damageEvery = 0) {
    std::mt19937 rng(seed);
    Program p(flags, seed);
    p.Op(kOpRecord, {0});
    int pieces = 0;
    for (int fed = 0; fed < total; fed += piece) {
        p.Arrive(piece);
        ++pieces;
        if (pieces % 3 == 0)
            p.Op(kOpHandler, {uint8_t(rng() % 8)});
        if (workEvery > 0 && pieces % workEvery == 0)
            p.Op(kOpWorkOne);
        if (eventEvery > 0 && pieces % eventEvery == 0) {
            switch (rng() % 6) {
            case 0:
                p.Op(kOpRecord, {0}); // stop, or start a new file
                break;
            case 1:
                p.Op(kOpRecord, {4}); // stop and start again into the same file
                break;
            case 2:
                p.Op(kOpRecord, {6}); // start a new file without stopping
                break;
            case 3:
            case 4:
                p.Op(kOpPress);
                break;
            default:
                p.Op(kOpPort); // closed with bytes waiting; opened at the next
                break;
            }
        }
        if (damageEvery > 0 && pieces % damageEvery == 0)
            Damage(p, rng, true);
    }
    p.Op(kOpHandler, {7});
    p.Op(kOpWorkAll);
    return p;
}

bool Write(const std::string& dir, const std::string& name, const Program& p) {
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(p.bytes.data(), 1, p.bytes.size(), f) == p.bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const uint8_t both = kColons | kColumns;
    constexpr int kStream = 9000; // 600 records
    bool ok = true;

    // Random samples, the model the fuzzer began with.
    // What a healthy line looks like: small reads, the worker keeping up.
    ok &= Write(dir, "steady-small-reads", Cut(both, kStream, 4, 64, 4, 1));
    // Large reads, up to the limit, the worker after each.
    ok &= Write(dir, "steady-large-reads", Cut(both, kStream, 256, 512, 1, 2));
    // Reads a little over the limit now and then.
    ok &= Write(dir, "oversized-reads", Cut(both, kStream, 400, 600, 1, 3));
    // A stalled worker: every buffer is held and chunks are dropped.
    ok &= Write(dir, "stalled-worker", Cut(both, kStream, 100, 512, 0, 4));
    // Exactly filling a buffer: 1024 = 2 * 512.
    ok &= Write(dir, "exact-fill", Cut(both, kStream, 512, 512, 3, 5));
    // Stray bytes, lost bytes, damaged markers and breaks between reads.
    ok &= Write(dir, "damaged-line", Cut(both, kStream, 16, 200, 2, 6, 3));
    ok &=
        Write(dir, "damaged-line-colons", Cut(uint8_t(3 << 1 | 3 << 3), kStream, 30, 300, 1, 7, 2));
    // A device without the marker, clean and damaged.
    ok &= Write(dir, "no-marker", Cut(kNoMarker | both, kStream, 7, 200, 2, 8));
    ok &= Write(dir, "no-marker-damaged", Cut(kNoMarker | both, kStream, 30, 300, 1, 9, 4));
    // Recording switched on and off mid-stream, a refused start, and the
    // decoder's coefficients: zero, negative, the 32-bit extremes.
    {
        Program p(both, 10);
        for (int step = 0; step < 15; ++step) {
            p.Feed(300);
            switch (step % 5) {
            case 0:
                p.Op(kOpRecord, {0});
                break;
            case 1:
                p.Op(kOpCoef, {0, 6}); // 0 and the next table entry
                break;
            case 2:
                p.Op(kOpRecord, {1});
                break;
            case 3:
                p.Op(kOpWorkAll);
                break;
            default:
                p.Op(kOpWorkOne);
                break;
            }
        }
        ok &= Write(dir, "recording-toggled", p);
    }

    // Smooth samples, as a body gives them, with the device's checksum.
    const uint8_t smooth = kSmooth | kNoise3;
    ok &= Write(dir, "smooth-steady", Cut(smooth, kStream, 16, 200, 2, 11));
    ok &= Write(dir, "smooth-damaged", Cut(smooth | kRareColumns, kStream, 16, 300, 2, 12, 3));
    // A sample held still at ':' for the whole input, in a high byte with
    // its low byte moving, in a low byte, next to the marker (byte 2), at
    // the end of the record (13); clean and damaged.
    for (int place : {2, 3, 6, 9, 13}) {
        const uint8_t f = kSmooth | kNoise12 | kWholeColumn;
        const std::string name = "column-" + std::to_string(place);
        ok &= Write(dir, name, Cut(f, kStream, 30, 300, 2, SeedForColumn(place, 0)));
        ok &=
            Write(dir, name + "-damaged", Cut(f, kStream, 30, 300, 2, SeedForColumn(place, 1), 4));
    }
    // Columns coming and going at many places, often, with damage.
    ok &= Write(dir, "columns-often-damaged",
                Cut(kSmooth | kNoise3 | kOftenColumns, kStream, 20, 250, 2, 13, 3));
    // Columns placed by the program: two at once, one longer than the input.
    {
        Program p(smooth, 14);
        p.Op(kOpRecord, {0});
        p.Column(7, 0);
        p.Column(10, 200, true);
        std::mt19937 rng(14);
        for (int k = 0; k < 30; ++k) {
            p.Feed(300);
            p.Op(kOpWorkOne);
            if (k % 4 == 3)
                Damage(p, rng, true);
            if (k == 15)
                p.Column(4, 60);
        }
        ok &= Write(dir, "columns-placed", p);
    }
    // Garbage bursts of every length into a stream with a column.
    {
        Program p(kSmooth | kNoise12 | kWholeColumn, SeedForColumn(5, 2));
        p.Op(kOpRecord, {0});
        for (int k = 0; k < 24; ++k) {
            p.Feed(280);
            p.Op(kOpWorkOne);
            if (k % 2 == 1)
                p.Burst(1 + (k * 37) % 400, uint8_t(k * 11), uint8_t(k));
        }
        ok &= Write(dir, "garbage-bursts", p);
    }
    // The panel's receive path: pieces of 62 bytes, the worker keeping up,
    // recordings, markers and the port toggled while bytes wait.
    ok &= Write(dir, "panel-events", Panel(smooth | kRareColumns, 15, kStream, 62, 2, 5));
    ok &=
        Write(dir, "panel-events-damaged",
              Panel(kSmooth | kNoise12 | kWholeColumn, SeedForColumn(8, 3), kStream, 31, 3, 4, 7));
    // The worker far behind: bytes pile up in the control and wait there,
    // events placed after them.
    ok &= Write(dir, "panel-stalled", Panel(smooth, 16, kStream, 62, 12, 6));
    // Other devices: byte 14 random or always 0; no marker; rough noise.
    ok &= Write(dir, "byte14-random",
                Panel(kSmooth | kNoise3 | kRandomByte14 | kRareColumns, 17, kStream, 62, 2, 7, 9));
    ok &= Write(dir, "byte14-zero", Panel(kSmooth | kZeroByte14, 18, kStream, 62, 2, 7));
    ok &= Write(dir, "smooth-no-marker",
                Panel(kSmooth | kNoMarker | kNoise12, 19, kStream, 62, 2, 6));
    ok &= Write(dir, "smooth-noisy",
                Cut(kSmooth | (3 << 1) | kRareColumns, kStream, 30, 300, 1, 20, 5));
    return ok ? 0 : 1;
}
