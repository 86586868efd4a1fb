// Writes the starting corpus for fuzz_receive: programs of operations whose
// chunks carry the simulated device's own records, cut the way a serial
// driver hands them over, plus the usual ways a line goes wrong.
//
//   make_seeds <directory>
#include "tools/SimDevice.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// Operation codes of fuzz_receive.
constexpr uint8_t kOpChunk = 0, kOpWorkOne = 4, kOpWorkAll = 5, kOpRecord = 6, kOpCoef = 7;

struct Program {
    std::vector<uint8_t> bytes;

    void Chunk(const std::vector<uint8_t>& data) {
        bytes.push_back(kOpChunk);
        bytes.push_back(uint8_t(data.size() & 0xFF));
        bytes.push_back(uint8_t(data.size() >> 8));
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    void Op(uint8_t op) { bytes.push_back(op); }
    void Op(uint8_t op, uint8_t arg) {
        bytes.push_back(op);
        bytes.push_back(arg);
    }
};

// The device's stream: back-to-back records with running numbers and sums.
std::vector<uint8_t> DeviceStream(size_t records, uint64_t first) {
    const simdev::WaveformGenerator waves(simdev::kFullLineRate, 72);
    simdev::DeviceState state;
    state.sampling = true;
    std::vector<uint8_t> out;
    for (size_t k = 0; k < records; ++k) {
        const simdev::Record r =
            simdev::BuildRecord(uint8_t(first + k), waves.At(first + k, state));
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// Cuts stream into chunks of minChunk..maxChunk bytes, with a worker pass
// after every `workEvery` chunks (0: never).
Program Cut(const std::vector<uint8_t>& stream, int minChunk, int maxChunk, int workEvery,
            unsigned seed, bool record = true) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> size(minChunk, maxChunk);
    Program p;
    if (record)
        p.Op(kOpRecord, 0);
    size_t at = 0;
    int chunks = 0;
    while (at < stream.size()) {
        const size_t n = std::min(stream.size() - at, size_t(size(rng)));
        p.Chunk({stream.begin() + long(at), stream.begin() + long(at + n)});
        at += n;
        if (workEvery > 0 && ++chunks % workEvery == 0)
            p.Op(kOpWorkOne);
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
    const std::vector<uint8_t> stream = DeviceStream(600, 0);
    bool ok = true;

    // What a healthy line looks like: small reads, the worker keeping up.
    ok &= Write(dir, "steady-small-reads", Cut(stream, 4, 64, 4, 1));
    // Large reads, up to the limit, the worker after each.
    ok &= Write(dir, "steady-large-reads", Cut(stream, 256, 512, 1, 2));
    // Reads a little over the limit now and then.
    ok &= Write(dir, "oversized-reads", Cut(stream, 400, 600, 1, 3));
    // A stalled worker: every buffer is held and chunks are dropped.
    ok &= Write(dir, "stalled-worker", Cut(stream, 100, 512, 0, 4));
    // Exactly filling a buffer: 1024 = 2 * 512.
    ok &= Write(dir, "exact-fill", Cut(stream, 512, 512, 3, 5));

    // The stream shifted by one byte: no record has its marker in place.
    {
        std::vector<uint8_t> shifted(stream.begin() + 1, stream.end());
        ok &= Write(dir, "shifted-by-one", Cut(shifted, 30, 200, 2, 6));
    }
    // Records without the marker, and garbage.
    {
        std::vector<uint8_t> damaged = stream;
        for (size_t k = 1; k < damaged.size(); k += 15 * 7)
            damaged[k] = 0x00;
        ok &= Write(dir, "missing-markers", Cut(damaged, 15, 300, 1, 7));
        std::mt19937 rng(8);
        std::vector<uint8_t> noise(4000);
        for (auto& b : noise)
            b = uint8_t(rng());
        ok &= Write(dir, "garbage", Cut(noise, 1, 512, 2, 9));
    }
    // Recording switched on and off mid-stream, a refused start, and the
    // decoder's coefficients: zero, negative, the 32-bit extremes.
    {
        Program p;
        const std::vector<uint8_t> part = DeviceStream(200, 600);
        size_t at = 0;
        int step = 0;
        while (at < part.size()) {
            const size_t n = std::min<size_t>(part.size() - at, 300);
            p.Chunk({part.begin() + long(at), part.begin() + long(at + n)});
            at += n;
            switch (step++ % 5) {
            case 0:
                p.Op(kOpRecord, 0);
                break;
            case 1:
                p.Op(kOpCoef, 0); // 0 and the next table entry
                p.bytes.push_back(6);
                break;
            case 2:
                p.Op(kOpRecord, 1);
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
