#include "acquisition/Recorder.h"
#include "acquisition/RecvBuffers.h"

#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

namespace {
std::vector<uint8_t> Bytes(int n, uint8_t fill) {
    return std::vector<uint8_t>(size_t(n), fill);
}

EChunkResult Feed(CRecvBuffers& b, const std::vector<uint8_t>& chunk) {
    return b.OnChunk(chunk.data(), int(chunk.size()));
}

// What the worker saw of one buffer.
struct SSeen {
    std::vector<std::vector<uint8_t>> saved;
    std::vector<std::vector<uint8_t>> parsed;
};

// Processes the next ready buffer on the calling thread; -1 when none.
int ProcessNext(CRecvBuffers& b, SSeen& seen) {
    int i = b.FindReady();
    if (i >= 0)
        b.ProcessBuffer(
            i, [&](int n, const uint8_t* p) { seen.saved.emplace_back(p, p + n); },
            [&](const uint8_t* r) { seen.parsed.emplace_back(r, r + kRecordBufSize); });
    return i;
}

// Records with their running number in byte 0 and bytes 2..5.
std::vector<uint8_t> Numbered(uint32_t first, int count) {
    std::vector<uint8_t> out(size_t(count) * kRecordSize, 0xAA);
    for (int r = 0; r < count; ++r) {
        uint8_t* p = out.data() + size_t(r) * kRecordSize;
        uint32_t seq = first + uint32_t(r);
        p[0] = uint8_t(seq);
        p[1] = kRecordMarker;
        for (int k = 0; k < 4; ++k)
            p[2 + k] = uint8_t(seq >> (24 - 8 * k));
    }
    return out;
}

uint32_t SeqOf(const uint8_t* rec) {
    return (uint32_t(rec[2]) << 24) | (uint32_t(rec[3]) << 16) | (uint32_t(rec[4]) << 8) | rec[5];
}

// Buffers 0 and 1 handed over, buffer 2 filling, with records 0..51,
// 52..103 and 104..155 fed in chunks of 26 records. Each buffer hands over
// all but its last record, which moves on with the next buffer.
void FillThree(CRecvBuffers& b) {
    for (uint32_t k = 0; k < 6; ++k)
        Feed(b, Numbered(26 * k, 26));
}

std::vector<uint32_t> SeqsOf(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> out;
    for (size_t at = 0; at + kRecordSize <= bytes.size(); at += kRecordSize)
        out.push_back(SeqOf(bytes.data() + at));
    return out;
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> out;
    for (uint32_t k = first; k <= last; ++k)
        out.push_back(k);
    return out;
}

// A device stream: record k carries k in bytes 2..5, sample-like bytes with
// 0x3A turning up in them, and a checksum in byte 14, so a recorded line is
// known to be an intact record of the stream or not.
struct SStream {
    std::vector<uint8_t> bytes;
    uint8_t marker = kRecordMarker;

    explicit SStream(int records, uint32_t seed = 1, bool withMarker = true) {
        marker = withMarker ? kRecordMarker : 0x00;
        uint32_t x = seed;
        for (int k = 0; k < records; ++k) {
            uint8_t r[kRecordSize];
            r[0] = uint8_t(k);
            r[1] = marker;
            for (int j = 0; j < 4; ++j)
                r[2 + j] = uint8_t(uint32_t(k) >> (24 - 8 * j));
            for (int j = 6; j < 14; ++j) {
                x = x * 1103515245u + 12345u;
                r[j] = uint8_t(x >> 16);
            }
            // A column of colons over three records in a row, and stray
            // ones: none of them may pass for the marker.
            if (k % 40 < 3)
                r[9] = 0x3A;
            if (k % 7 == 3)
                r[12] = 0x3A;
            if (!withMarker)
                for (int j = 6; j < 14; ++j)
                    if (r[j] == 0x3A)
                        r[j] = 0x3B;
            uint8_t sum = 0;
            for (int j = 0; j < 14; ++j)
                sum = uint8_t(sum + r[j]);
            r[14] = sum;
            bytes.insert(bytes.end(), r, r + kRecordSize);
        }
    }
    static bool Intact(const uint8_t* r, uint8_t marker) {
        uint8_t sum = 0;
        for (int j = 0; j < 14; ++j)
            sum = uint8_t(sum + r[j]);
        return r[1] == marker && sum == r[14] && r[0] == uint8_t(SeqOf(r));
    }
};

// Feeds bytes[from..to) in chunks of the given sizes (cycled), letting the
// worker finish every buffer at once, so nothing is dropped for lack of one.
void FeedPieces(CRecvBuffers& b, SSeen& seen, const std::vector<uint8_t>& bytes, size_t from,
                size_t to, const std::vector<int>& sizes) {
    size_t k = 0;
    while (from < to) {
        const size_t n = std::min(to - from, size_t(sizes[k++ % sizes.size()]));
        QCOMPARE(b.OnChunk(bytes.data() + from, int(n)), EChunkResult::Accepted);
        from += n;
        while (ProcessNext(b, seen) >= 0) {
        }
    }
}

// What the recorder was given, record by record.
std::vector<std::vector<uint8_t>> Lines(const SSeen& seen) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& buf : seen.saved) {
        if (buf.size() % kRecordSize != 0)
            out.push_back({}); // a torn cut: never a match
        for (size_t at = 0; at + kRecordSize <= buf.size(); at += kRecordSize)
            out.emplace_back(buf.begin() + long(at), buf.begin() + long(at + kRecordSize));
    }
    return out;
}
// A device stream as a sampled body gives it: slow waves with a little noise
// in the six values, a running number in byte 0, a checksum in byte 14. With
// column >= 2, the value holding that byte holds still at a value whose byte
// there is ':' (0x3A80 in a high byte, 0x803A in a low one), as a cuff held at
// pressure does.
std::vector<uint8_t> BodyStream(int records, int column, uint32_t seed = 5) {
    std::vector<uint8_t> out;
    uint32_t x = seed;
    auto noise = [&](int amp) {
        x = x * 1103515245u + 12345u;
        return int((x >> 16) % uint32_t(2 * amp + 1)) - amp;
    };
    for (int k = 0; k < records; ++k) {
        const double t = k / 6173.0;
        int v[6] = {
            int(20000 + 15000 * std::sin(6.2832 * 1.2 * t)) + noise(30),
            int(22000 + 12000 * std::sin(6.2832 * 1.2 * t + 0.7)) + noise(30),
            int(30000 + 2000 * std::sin(6.2832 * 17 * t)) + noise(200),
            int(30000 + 6000 * std::sin(6.2832 * 150 * t) * std::sin(6.2832 * 1.2 * t)) +
                noise(400),
            int(12000 + 3000 * std::sin(6.2832 * 0.05 * t)) + noise(2),
            int(9000 + 2000 * std::sin(6.2832 * 0.03 * t)) + noise(2),
        };
        uint8_t r[kRecordSize];
        r[0] = uint8_t(k);
        r[1] = kRecordMarker;
        for (int w = 0; w < 6; ++w) {
            const uint16_t u = uint16_t(std::clamp(v[w], 0, 65535));
            r[2 + 2 * w] = uint8_t(u >> 8);
            r[3 + 2 * w] = uint8_t(u);
        }
        if (column >= 2 && column <= 13) {
            const int hi = column - (column % 2 ? 1 : 0);
            r[hi] = column % 2 ? 0x80 : 0x3A;
            r[hi + 1] = column % 2 ? 0x3A : 0x80;
        }
        uint8_t sum = 0;
        for (int j = 0; j < 14; ++j)
            sum = uint8_t(sum + r[j]);
        r[14] = sum;
        out.insert(out.end(), r, r + kRecordSize);
    }
    return out;
}

// How the recorded lines compare with the records of `stream`: each line
// must be one of them, in order; the rest are lost.
struct SMatch {
    bool allIntact = true;
    int lost = 0;
    int lines = 0;
    QString firstBad;
};
SMatch MatchLines(const std::vector<std::vector<uint8_t>>& lines,
                  const std::vector<uint8_t>& stream) {
    SMatch m;
    const size_t total = stream.size() / kRecordSize;
    size_t next = 0;
    for (const auto& l : lines) {
        ++m.lines;
        size_t k = next;
        while (k < total &&
               (l.size() != size_t(kRecordSize) ||
                !std::equal(l.begin(), l.end(), stream.begin() + long(k * kRecordSize))))
            ++k;
        if (k == total) {
            if (m.allIntact)
                m.firstBad = QStringLiteral("line %1 after record %2").arg(m.lines).arg(next);
            m.allIntact = false;
            continue;
        }
        m.lost += int(k - next);
        next = k + 1;
    }
    return m;
}

std::vector<std::vector<uint8_t>> CutStream(const std::vector<uint8_t>& bytes,
                                            bool breakFirst = true) {
    CRecvBuffers b;
    SSeen seen;
    if (breakFirst)
        b.OnStreamBreak();
    FeedPieces(b, seen, bytes, 0, bytes.size(), {62, 31, 200});
    b.Flush();
    while (ProcessNext(b, seen) >= 0) {
    }
    return Lines(seen);
}

} // namespace

class TestBuffers : public QObject {
    Q_OBJECT
private slots:
    void chunkLimitAndExactFit() {
        CRecvBuffers b;
        const auto rec = Numbered(0, 80);
        QCOMPARE(Feed(b, Bytes(513, 1)), EChunkResult::TooLarge);
        QCOMPARE(b.RecvLen(0), 0);
        QCOMPARE(b.OnChunk(nullptr, 0), EChunkResult::Ignored);
        QCOMPARE(b.OnChunk(rec.data(), 512), EChunkResult::Accepted);
        QCOMPARE(b.OnChunk(rec.data() + 512, 488), EChunkResult::Accepted);
        QCOMPARE(b.RecvLen(0), 1000);

        // Exactly full still waits for a chunk that does not fit.
        QCOMPARE(b.OnChunk(rec.data() + 1000, 24), EChunkResult::Accepted);
        QCOMPARE(b.RecvLen(0), 1024);
        QVERIFY(!b.IsReady(0));
        QCOMPARE(b.FindReady(), -1);

        // Handed over as its 68 whole records; the 4 bytes after them start
        // the next buffer, ahead of the chunk.
        QCOMPARE(b.OnChunk(rec.data() + 1024, 4), EChunkResult::Accepted);
        QVERIFY(b.IsReady(0));
        QCOMPARE(b.RecvLen(0), 1020);
        QCOMPARE(b.RecvWrite(), 1);
        QCOMPARE(b.RecvLen(1), 8);
        QVERIFY(std::equal(b.RecvBuf(1), b.RecvBuf(1) + 8, rec.begin() + 1020));
        QCOMPARE(b.HandOvers(), 1u);
        QCOMPARE(b.ChunksTooLarge(), 1u);
        QCOMPARE(b.BytesSkipped(), 0u);
    }

    void handOverWithoutSplitting() {
        CRecvBuffers b;
        const auto rec = Numbered(0, 80);
        b.OnChunk(rec.data(), 500);
        b.OnChunk(rec.data() + 500, 500);
        QCOMPARE(b.OnChunk(rec.data() + 1000, 25), EChunkResult::Accepted);
        QVERIFY(b.IsReady(0));
        QCOMPARE(b.RecvLen(0), 990);
        QCOMPARE(b.RecvLen(1), 35);
        QVERIFY(std::equal(b.RecvBuf(1), b.RecvBuf(1) + 35, rec.begin() + 990));

        // A chunk too large to take breaks the stream: the filling buffer
        // keeps its whole records, the piece of the next record goes.
        QCOMPARE(b.OnChunk(rec.data() + 1025, 513), EChunkResult::TooLarge);
        QCOMPARE(b.RecvLen(1), 30);
        QCOMPARE(b.BytesSkipped(), 5u);
        QVERIFY(!b.InStep());
    }

    // Buffer 2 wraps to 0. With 2 and then 0 handed over, 2 goes first: the
    // worker takes buffers in the order they were handed over.
    void wrapAndOldestFirst() {
        CRecvBuffers b;
        SSeen seen;
        FillThree(b);
        QCOMPARE(b.RecvWrite(), 2);
        QCOMPARE(ProcessNext(b, seen), 0);
        QCOMPARE(ProcessNext(b, seen), 1);
        QCOMPARE(b.RecvLen(0), 0);
        QVERIFY(!b.IsReady(0));
        QCOMPARE(Feed(b, Numbered(156, 26)), EChunkResult::Accepted);
        QCOMPARE(b.RecvWrite(), 0);
        Feed(b, Numbered(182, 26));
        QCOMPARE(Feed(b, Numbered(208, 26)), EChunkResult::Accepted);
        QVERIFY(b.IsReady(0) && b.IsReady(2));
        QCOMPARE(ProcessNext(b, seen), 2);
        QCOMPARE(SeqsOf(seen.saved.back()), Range(103, 154));
        QCOMPARE(ProcessNext(b, seen), 0);
        QCOMPARE(SeqsOf(seen.saved.back()), Range(155, 206));
        QCOMPARE(ProcessNext(b, seen), -1);
    }

    // While the next buffer is held, chunks are dropped whole and never
    // reach the worker; once freed, the buffer fills from position 0.
    void nextBufferHeld() {
        CRecvBuffers b;
        SSeen seen;
        FillThree(b);
        QCOMPARE(Feed(b, Numbered(156, 26)), EChunkResult::NextHeld);
        QCOMPARE(b.RecvWrite(), 0); // stays advanced
        QVERIFY(b.IsReady(2));
        QVERIFY(!b.InStep());
        QCOMPARE(Feed(b, Numbered(182, 6)), EChunkResult::NextHeld); // fits the held buffer's space
        QCOMPARE(b.RecvWrite(), 0);
        QCOMPARE(b.RecvLen(0), 765);
        QCOMPARE(Feed(b, Numbered(188, 26)), EChunkResult::NextHeld); // does not fit: moves on
        QCOMPARE(b.RecvWrite(), 1);
        QCOMPARE(b.ChunksNextHeld(), 3u);

        QCOMPARE(ProcessNext(b, seen), 0);
        QCOMPARE(ProcessNext(b, seen), 1);
        QCOMPARE(Feed(b, Numbered(214, 7)), EChunkResult::Accepted);
        QCOMPARE(b.RecvLen(1), 105);
        QCOMPARE(SeqOf(b.RecvBuf(1)), 214u);
        QCOMPARE(ProcessNext(b, seen), 2);
        // The buffer handed over as the stream broke keeps its last record.
        QCOMPARE(seen.saved.size(), size_t(3));
        QCOMPARE(SeqsOf(seen.saved[0]), Range(0, 50));
        QCOMPARE(SeqsOf(seen.saved[1]), Range(51, 102));
        QCOMPARE(SeqsOf(seen.saved[2]), Range(103, 155));
        QCOMPARE(b.BytesSkipped(), 0u);
    }

    // Accepts tells the receive handler beforehand whether a chunk would be
    // taken; a handler that waits whenever it says no loses nothing, however
    // far behind the worker falls.
    void acceptsForetellsEveryDrop() {
        QRandomGenerator rng(7);
        for (bool deferring : {false, true}) {
            CRecvBuffers b;
            SSeen seen;
            const std::vector<uint8_t> stream = Numbered(0, 4000);
            size_t at = 0;
            while (at < stream.size()) {
                if (rng.bounded(3) == 0)
                    ProcessNext(b, seen); // the worker, now and then
                const int n = int(std::min<size_t>(1 + rng.bounded(495), stream.size() - at));
                const bool accepts = b.Accepts(n);
                if (deferring && !accepts)
                    continue; // the bytes wait in the control's queue
                const EChunkResult r = b.OnChunk(stream.data() + at, n);
                QCOMPARE(accepts, r == EChunkResult::Accepted);
                at += size_t(n);
            }
            if (!deferring) {
                QVERIFY(b.ChunksNextHeld() > 0); // the worker did fall behind
                continue;
            }
            while (ProcessNext(b, seen) >= 0) {
            }
            QCOMPARE(b.ChunksNextHeld(), 0u);
            std::vector<uint8_t> saved;
            for (const auto& buf : seen.saved)
                saved.insert(saved.end(), buf.begin(), buf.end());
            QCOMPARE(SeqsOf(saved), Range(0, uint32_t(SeqsOf(saved).size()) - 1));
            QVERIFY(SeqsOf(saved).size() + size_t(kRecvBufSize / kRecordSize) > 4000);
        }
    }

    // Whole records are cut at fixed offsets; the counter runs across buffers.
    void cuttingAndDecimation() {
        CRecvBuffers b;
        SSeen seen;
        const auto first = Numbered(0, 68), second = Numbered(68, 68);
        Feed(b, {first.begin(), first.begin() + 510});
        Feed(b, {first.begin() + 510, first.end()});
        Feed(b, {second.begin(), second.begin() + 510});
        Feed(b, {second.begin() + 510, second.end()});
        Feed(b, Numbered(136, 34)); // hands the second buffer over
        QCOMPARE(ProcessNext(b, seen), 0);
        QCOMPARE(b.RecordCount(), 1); // 67 records: the 68th waits for the one after it
        QCOMPARE(ProcessNext(b, seen), 1);
        QCOMPARE(ProcessNext(b, seen), 2);
        std::vector<uint32_t> decoded;
        for (const auto& r : seen.parsed) {
            decoded.push_back(SeqOf(r.data()));
            QVERIFY(std::all_of(r.begin() + kRecordSize, r.end(), [](uint8_t x) { return !x; }));
            QVERIFY(std::equal(r.begin(), r.begin() + kRecordSize,
                               Numbered(SeqOf(r.data()), 1).begin()));
        }
        // The 11th, 22nd, ... record of the stream, whichever buffer holds it.
        QCOMPARE(decoded,
                 (std::vector<uint32_t>{10, 21, 32, 43, 54, 65, 76, 87, 98, 109, 120, 131}));

        // A free, empty buffer goes through as nothing.
        const int before = int(seen.parsed.size());
        const int count = b.RecordCount();
        b.ProcessBuffer(
            0, [&](int n, const uint8_t*) { QCOMPARE(n, 0); }, [&](const uint8_t*) {});
        QCOMPARE(int(seen.parsed.size()), before);
        QCOMPARE(b.RecordCount(), count);
        QVERIFY(!b.IsReady(0));
    }

    // However the stream is cut into chunks, and wherever in a record the
    // first byte falls, every record reaches the recorder whole, once and in
    // order, and every 11th is decoded.
    void anyChunkingKeepsRecordsWhole_data() {
        QTest::addColumn<std::vector<int>>("sizes");
        QTest::addColumn<int>("startAt");
        for (int n : {1, 7, 14, 16, 62, 64, 100, 200, 510})
            QTest::addRow("%d", n) << std::vector<int>{n} << 0;
        std::vector<int> random;
        uint32_t x = 7;
        for (int k = 0; k < 500; ++k) {
            x = x * 1103515245u + 12345u;
            random.push_back(1 + int((x >> 16) % 200));
        }
        QTest::addRow("random 1..200") << random << 0;
        QTest::addRow("62, mid-record start") << std::vector<int>{62} << 8;
        QTest::addRow("random, mid-record start") << random << 23;
    }
    void anyChunkingKeepsRecordsWhole() {
        QFETCH(std::vector<int>, sizes);
        QFETCH(int, startAt);
        const SStream s(3000);
        CRecvBuffers b;
        SSeen seen;
        b.OnStreamBreak(); // as the port opens
        FeedPieces(b, seen, s.bytes, size_t(startAt), s.bytes.size(), sizes);
        const auto lines = Lines(seen);
        const uint32_t first = uint32_t((startAt + kRecordSize - 1) / kRecordSize);
        QVERIFY(lines.size() > 2900);
        for (size_t k = 0; k < lines.size(); ++k) {
            QVERIFY2(lines[k].size() == size_t(kRecordSize) &&
                         SStream::Intact(lines[k].data(), kRecordMarker),
                     qPrintable(QString("line %1").arg(k)));
            QCOMPARE(SeqOf(lines[k].data()), first + uint32_t(k));
        }
        QCOMPARE(b.BytesSkipped(), uint64_t(first * kRecordSize - uint32_t(startAt)));
        QCOMPARE(seen.parsed.size(), lines.size() / 11);
        for (size_t j = 0; j < seen.parsed.size(); ++j)
            QCOMPARE(SeqOf(seen.parsed[j].data()), first + uint32_t(11 * j + 10));
    }

    // Bytes lost in a dropped chunk, a stray byte or a lost one put the
    // stream out of step; it is found again within three records and no
    // torn record is recorded.
    void stepRegainedAfterDamage_data() {
        QTest::addColumn<QString>("damage");
        QTest::addRow("dropped chunk") << "drop";
        QTest::addRow("stray byte") << "stray";
        QTest::addRow("missing byte") << "missing";
        QTest::addRow("damaged marker") << "marker";
        QTest::addRow("two drops close together") << "drops";
    }
    void stepRegainedAfterDamage() {
        QFETCH(QString, damage);
        SStream s(1200);
        CRecvBuffers b;
        SSeen seen;
        const size_t at = 600 * kRecordSize + 6; // inside record 600
        std::vector<uint8_t>& bytes = s.bytes;
        if (damage == "stray")
            bytes.insert(bytes.begin() + long(at), uint8_t(0x3A));
        else if (damage == "missing")
            bytes.erase(bytes.begin() + long(at));
        else if (damage == "marker")
            bytes[600 * kRecordSize + 1] = 0x00;
        if (damage == "drop" || damage == "drops") {
            FeedPieces(b, seen, bytes, 0, at, {62});
            QCOMPARE(b.OnChunk(bytes.data() + at, 520), EChunkResult::TooLarge);
            size_t resume = at + 520;
            if (damage == "drops") {
                // 40 bytes between two drops: too few to find the boundary in,
                // so none of them may be recorded as a record.
                FeedPieces(b, seen, bytes, resume, resume + 40, {40});
                QCOMPARE(b.OnChunk(bytes.data() + resume + 40, 520), EChunkResult::TooLarge);
                resume += 560;
            }
            FeedPieces(b, seen, bytes, resume, bytes.size(), {62});
        } else {
            FeedPieces(b, seen, bytes, 0, bytes.size(), {62});
        }
        const auto lines = Lines(seen);
        std::vector<uint32_t> got;
        for (const auto& l : lines) {
            QCOMPARE(l.size(), size_t(kRecordSize));
            if (damage == "marker" && SeqOf(l.data()) == 600) {
                QCOMPARE(l[1], uint8_t(0)); // kept in its place, as it came
            } else {
                QVERIFY(SStream::Intact(l.data(), kRecordMarker));
            }
            got.push_back(SeqOf(l.data()));
        }
        // Lost: the records the damage touched, and no more.
        const uint32_t lastTouched = damage == "drop"    ? uint32_t((at + 520) / kRecordSize)
                                     : damage == "drops" ? uint32_t((at + 1080) / kRecordSize)
                                                         : 600;
        std::vector<uint32_t> want = Range(0, 599);
        if (damage == "drops") // whole records between the drops are kept
            for (uint32_t k = 0; k < 1200; ++k)
                if (k * kRecordSize >= at + 520 && k * kRecordSize + kRecordSize <= at + 560)
                    want.push_back(k);
        const std::vector<uint32_t> after =
            Range(damage == "marker" ? 600 : lastTouched + 1, got.empty() ? 0 : got.back());
        want.insert(want.end(), after.begin(), after.end());
        QCOMPARE(got, want);
        QVERIFY(got.size() > 1100 - (damage.startsWith("drop") ? 75 : 0));
        QCOMPARE(b.StepsLost(), uint64_t(damage == "stray" || damage == "missing" ? 1 : 0));
    }

    // A sample holding still at ':' in any of its bytes carries a column of
    // colons as steady as the marker's. Wherever the port opens, and wherever
    // a byte is lost or added, the records are still cut at their true
    // boundary: at most the one record the fault tore is missing, and no
    // line is anything but a record of the stream.
    void sampleColumnAtColonCannotCaptureTheBoundary() {
        QStringList failures;
        for (int column = 2; column <= 13; ++column) {
            const std::vector<uint8_t> stream = BodyStream(500, column);
            for (int offset = 0; offset < kRecordSize; ++offset) {
                const std::vector<uint8_t> bytes(stream.begin() + offset, stream.end());
                const SMatch m = MatchLines(CutStream(bytes), stream);
                if (!(m.allIntact && m.lost <= (offset ? 1 : 0) && m.lines >= 498))
                    failures << QStringLiteral("column %1, opened at %2: %3, %4 lost")
                                    .arg(column)
                                    .arg(offset)
                                    .arg(m.firstBad)
                                    .arg(m.lost);
            }
            for (int at = 0; at < kRecordSize; ++at)
                for (bool lost : {true, false}) {
                    std::vector<uint8_t> bytes = stream;
                    const long pos = 300 * kRecordSize + at;
                    if (lost)
                        bytes.erase(bytes.begin() + pos);
                    else
                        bytes.insert(bytes.begin() + pos, uint8_t(0x5A));
                    const SMatch m = MatchLines(CutStream(bytes), stream);
                    if (!(m.allIntact && m.lost <= 1 && m.lines >= 498))
                        failures << QStringLiteral("column %1, byte %2 at %3: %4, %5 lost")
                                        .arg(column)
                                        .arg(lost ? "lost" : "added")
                                        .arg(at)
                                        .arg(m.firstBad)
                                        .arg(m.lost);
                }
        }
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
    }

    // Bursts of stray bytes in a stream that carries the marker: none of
    // them is recorded, and only records next to a burst go with it.
    void garbageIsNeverRecorded() {
        QRandomGenerator rng(11);
        for (int column : {0, 10}) {
            const std::vector<uint8_t> stream = BodyStream(4000, column);
            std::vector<uint8_t> bytes;
            int bursts = 0;
            for (int k = 0; k < 4000; ++k) {
                bytes.insert(bytes.end(), stream.begin() + k * kRecordSize,
                             stream.begin() + (k + 1) * kRecordSize);
                if (k % 150 == 75) {
                    const int n = 30 + int(rng.bounded(371));
                    for (int j = 0; j < n; ++j)
                        bytes.push_back(uint8_t(rng.bounded(256)));
                    ++bursts;
                }
            }
            const SMatch m = MatchLines(CutStream(bytes), stream);
            QVERIFY2(m.allIntact, qPrintable(m.firstBad));
            QVERIFY2(m.lost <= 2 * bursts, qPrintable(QString::number(m.lost)));
        }
    }

    // A device without the marker: its stream is cut at fixed offsets, as
    // it comes, and every record of it is recorded.
    void streamWithoutMarkerCutAtFixedOffsets() {
        const SStream s(2000, 3, false);
        CRecvBuffers b;
        SSeen seen;
        b.OnStreamBreak();
        FeedPieces(b, seen, s.bytes, 0, s.bytes.size(), {62, 7, 200});
        const auto lines = Lines(seen);
        QVERIFY(lines.size() > 1900);
        for (size_t k = 0; k < lines.size(); ++k) {
            QVERIFY(SStream::Intact(lines[k].data(), 0x00));
            QCOMPARE(SeqOf(lines[k].data()), uint32_t(k));
        }
        QCOMPARE(b.BytesSkipped(), 0u);
    }

    // A producer standing in for the UI thread; the real worker records to a
    // file. Every record of every buffer handed over must be there, in order.
    void workerRecordsEverythingHandedOver() {
        QTemporaryDir tmp;
        const std::string path = tmp.filePath("w.txt").toStdString();
        CRecvBuffers b;
        CRecorder rec;
        QVERIFY(rec.Start(path).opened);
        std::vector<uint32_t> parsed; // worker only until joined
        CRecvWorker worker;
        QVERIFY(worker.Start(
            b, [&](int n, const uint8_t* p) { rec.SaveRecords(n, p); },
            [&](const uint8_t* r) { parsed.push_back(SeqOf(r)); }));

        std::vector<uint32_t> accepted;
        size_t handedUpTo = 0;
        std::thread producer([&] {
            uint32_t seq = 0;
            for (int k = 0; k < 300; ++k) {
                const int count = 1 + (k * 7) % 34; // 15 to 510 bytes
                const auto chunk = Numbered(seq, count);
                const uint64_t handed = b.HandOvers();
                const size_t before = accepted.size();
                if (Feed(b, chunk) == EChunkResult::Accepted)
                    for (int r = 0; r < count; ++r)
                        accepted.push_back(seq + uint32_t(r));
                if (b.HandOvers() != handed)
                    handedUpTo = before;
                seq += uint32_t(count);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        producer.join();
        QTRY_COMPARE_WITH_TIMEOUT(b.FindReady(), -1, 30000);
        worker.Stop();
        rec.Stop();

        const QByteArray file = [&] {
            QFile f(QString::fromStdString(path));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        QCOMPARE(file.size() % kRecordLineSize, 0);
        std::vector<uint32_t> written;
        for (qsizetype at = 0; at < file.size(); at += kRecordLineSize) {
            const QByteArray hex = file.mid(at + 6, 12).replace(" ", "");
            written.push_back(hex.toUInt(nullptr, 16));
        }
        // The last record of the last buffer handed over waits in the
        // filling buffer for the one after it.
        QVERIFY(handedUpTo > 0);
        QVERIFY(written.size() + 1 >= handedUpTo && written.size() <= accepted.size());
        accepted.resize(written.size());
        QCOMPARE(written, accepted);
        std::vector<uint32_t> every11th;
        for (size_t j = 10; j < written.size(); j += 11)
            every11th.push_back(written[j]);
        QCOMPARE(parsed, every11th);
    }

    // The idle worker sleeps, wakes for each hand-over, and stops at once.
    void idleWorkerBlocks() {
        CRecvBuffers b;
        std::atomic<int> saved{0};
        CRecvWorker worker;
        QVERIFY(worker.Start(
            b, [&](int, const uint8_t*) { ++saved; }, [](const uint8_t*) {}));
        QVERIFY(!worker.Start(
            b, [](int, const uint8_t*) {}, [](const uint8_t*) {}));

        QTRY_VERIFY(b.IdleWaits() >= 1);

        // Each hand-over lands while the worker waits; a lost wake-up hangs here.
        for (int k = 1; k <= 60; ++k) {
            Feed(b, Bytes(512, uint8_t(k)));
            QTRY_COMPARE_WITH_TIMEOUT(uint64_t(saved.load()), b.HandOvers(), 10000);
        }
        QVERIFY(b.HandOvers() >= 25);
        QCOMPARE(b.ChunksNextHeld(), 0u);

        QTRY_VERIFY(b.FindReady() == -1);
        // One sleep per buffer and the first: a worker that spun would have
        // gone round its wait countless times.
        QVERIFY2(b.IdleWaits() <= b.BuffersProcessed() + 2, "the idle worker is spinning");
        worker.Stop();
        QVERIFY(!worker.IsRunning());
        worker.Stop();
        QVERIFY(!worker.Start(
            b, [](int, const uint8_t*) {}, [](const uint8_t*) {}));
    }
};

QTEST_GUILESS_MAIN(TestBuffers)
#include "tst_acquisition_buffers.moc"
