// Writes the starting corpus for fuzz_receive: programs of operations that
// cut the generated device stream the way a serial driver hands it over, keep
// the worker up or let it stall, and damage the stream in the usual ways.
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
                  kOpStray = 7, kOpLose = 8, kOpMarker = 9, kOpBreak = 10;
constexpr uint8_t kNoMarker = 1;
constexpr uint8_t kColons = 2 << 1;  // a sample byte is 0x3A one time in 32
constexpr uint8_t kColumns = 2 << 3; // a column of 0x3A starts one record in 16

struct Program {
    std::vector<uint8_t> bytes;

    Program(uint8_t flags, uint16_t seed) : bytes{flags, uint8_t(seed), uint8_t(seed >> 8)} {}
    void Feed(int n) {
        bytes.push_back(kOpFeed);
        bytes.push_back(uint8_t(n & 0xFF));
        bytes.push_back(uint8_t(n >> 8));
    }
    void Op(uint8_t op) { bytes.push_back(op); }
    void Op(uint8_t op, std::initializer_list<uint8_t> args) {
        bytes.push_back(op);
        bytes.insert(bytes.end(), args);
    }
};

// Feeds `total` stream bytes in chunks of minChunk..maxChunk bytes, with a
// worker pass after every `workEvery` chunks (0: never) and, every
// `damageEvery` chunks (0: never), one of the ways a line goes wrong.
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
        if (damageEvery > 0 && chunks % damageEvery == 0) {
            switch (rng() % 4) {
            case 0:
                p.Op(kOpStray, {uint8_t(rng() % 3), uint8_t(rng() % 200), 0x3A, 0x00, 0x3A});
                break;
            case 1:
                p.Op(kOpLose, {uint8_t(rng() % 3), uint8_t(rng() % 200)});
                break;
            case 2:
                p.Op(kOpMarker, {uint8_t(rng() % 8), 0x00});
                break;
            default:
                p.Op(kOpBreak);
                break;
            }
        }
    }
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
    return ok ? 0 : 1;
}
