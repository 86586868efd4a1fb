#include "acquisition/Recorder.h"
#include "acquisition/RecvBuffers.h"

#include <QtTest>
#include <ctime>
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

// Buffers 0 and 1 handed over, buffer 2 filling; each holds 800 bytes of its number + 1.
void FillThree(CRecvBuffers& b) {
    for (uint8_t k = 1; k <= 3; ++k) {
        Feed(b, Bytes(400, k));
        Feed(b, Bytes(400, k));
    }
}

double ProcessCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}
} // namespace

class TestBuffers : public QObject {
    Q_OBJECT
private slots:
    void chunkLimitAndExactFit() {
        CRecvBuffers b;
        QCOMPARE(Feed(b, Bytes(513, 1)), EChunkResult::TooLarge);
        QCOMPARE(b.RecvLen(0), 0);
        QCOMPARE(b.OnChunk(nullptr, 0), EChunkResult::Ignored);
        QCOMPARE(Feed(b, Bytes(512, 1)), EChunkResult::Accepted);
        QCOMPARE(Feed(b, Bytes(488, 2)), EChunkResult::Accepted);
        QCOMPARE(Feed(b, Bytes(513, 3)), EChunkResult::TooLarge);
        QCOMPARE(b.RecvLen(0), 1000);

        // Exactly full still waits for a chunk that does not fit.
        QCOMPARE(Feed(b, Bytes(24, 4)), EChunkResult::Accepted);
        QCOMPARE(b.RecvLen(0), 1024);
        QVERIFY(!b.IsReady(0));
        QCOMPARE(b.FindReady(), -1);

        QCOMPARE(Feed(b, Bytes(4, 5)), EChunkResult::Accepted);
        QVERIFY(b.IsReady(0));
        QCOMPARE(b.RecvLen(0), 1024);
        QCOMPARE(b.RecvWrite(), 1);
        QCOMPARE(b.RecvLen(1), 4);
        QCOMPARE(b.RecvBuf(1)[0], uint8_t(5));
        QCOMPARE(b.RecvBuf(0)[1023], uint8_t(4));
        QCOMPARE(b.HandOvers(), 1u);
        QCOMPARE(b.ChunksTooLarge(), 2u);
    }

    void handOverWithoutSplitting() {
        CRecvBuffers b;
        Feed(b, Bytes(500, 1));
        Feed(b, Bytes(500, 2));
        QCOMPARE(Feed(b, Bytes(25, 3)), EChunkResult::Accepted);
        QVERIFY(b.IsReady(0));
        QCOMPARE(b.RecvLen(0), 1000);
        QCOMPARE(b.RecvLen(1), 25);
        QCOMPARE(b.RecvBuf(1)[0], uint8_t(3));
        QCOMPARE(b.RecvBuf(0)[1000], uint8_t(0)); // nothing of the chunk in buffer 0
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
        QCOMPARE(Feed(b, Bytes(400, 4)), EChunkResult::Accepted);
        QCOMPARE(b.RecvWrite(), 0);
        Feed(b, Bytes(400, 4));
        QCOMPARE(Feed(b, Bytes(400, 5)), EChunkResult::Accepted);
        QVERIFY(b.IsReady(0) && b.IsReady(2));
        QCOMPARE(ProcessNext(b, seen), 2);
        QCOMPARE(seen.saved.back(), Bytes(800, 3));
        QCOMPARE(ProcessNext(b, seen), 0);
        QCOMPARE(seen.saved.back(), Bytes(800, 4));
        QCOMPARE(ProcessNext(b, seen), -1);
    }

    // While the next buffer is held, chunks are dropped whole and never
    // reach the worker; once freed, the buffer fills from position 0.
    void nextBufferHeld() {
        CRecvBuffers b;
        SSeen seen;
        FillThree(b);
        QCOMPARE(Feed(b, Bytes(400, 4)), EChunkResult::NextHeld);
        QCOMPARE(b.RecvWrite(), 0); // stays advanced
        QVERIFY(b.IsReady(2));
        QCOMPARE(Feed(b, Bytes(100, 5)), EChunkResult::NextHeld); // fits the held buffer's space
        QCOMPARE(b.RecvWrite(), 0);
        QCOMPARE(b.RecvLen(0), 800);
        QCOMPARE(Feed(b, Bytes(400, 6)), EChunkResult::NextHeld); // does not fit: moves on
        QCOMPARE(b.RecvWrite(), 1);
        QCOMPARE(b.ChunksNextHeld(), 3u);

        QCOMPARE(ProcessNext(b, seen), 0);
        QCOMPARE(ProcessNext(b, seen), 1);
        QCOMPARE(Feed(b, Bytes(100, 7)), EChunkResult::Accepted);
        QCOMPARE(b.RecvLen(1), 100);
        QCOMPARE(b.RecvBuf(1)[0], uint8_t(7));
        QCOMPARE(ProcessNext(b, seen), 2);
        QCOMPARE(seen.saved,
                 (std::vector<std::vector<uint8_t>>{Bytes(800, 1), Bytes(800, 2), Bytes(800, 3)}));
    }

    // Whole records are cut at fixed offsets; the counter runs across buffers.
    void cuttingAndDecimation() {
        struct {
            int len, records;
        } const cases[] = {{1024, 68}, {1020, 68}, {1000, 66}};
        for (auto c : cases) {
            CRecvBuffers b;
            SSeen seen;
            Feed(b, Bytes(c.len / 2, 1));
            Feed(b, Bytes(c.len - c.len / 2, 1));
            Feed(b, Bytes(512, 1));
            Feed(b, Bytes(512, 1));
            QCOMPARE(ProcessNext(b, seen), 0);
            QCOMPARE(int(seen.saved.at(0).size()), c.len); // the recorder gets everything
            QCOMPARE(int(seen.parsed.size()) * 11 + b.RecordCount(), c.records);
        }

        CRecvBuffers b;
        SSeen seen;
        const auto first = Numbered(0, 68), second = Numbered(68, 68);
        Feed(b, {first.begin(), first.begin() + 510});
        Feed(b, {first.begin() + 510, first.end()});
        Feed(b, {second.begin(), second.begin() + 510});
        Feed(b, {second.begin() + 510, second.end()});
        Feed(b, Bytes(510, 0)); // hands the second buffer over
        QCOMPARE(ProcessNext(b, seen), 0);
        QCOMPARE(b.RecordCount(), 2);
        QCOMPARE(ProcessNext(b, seen), 1);
        std::vector<uint32_t> decoded;
        for (const auto& r : seen.parsed) {
            decoded.push_back(SeqOf(r.data()));
            QVERIFY(std::all_of(r.begin() + kRecordSize, r.end(), [](uint8_t x) { return !x; }));
            QVERIFY(std::equal(r.begin(), r.begin() + kRecordSize,
                               Numbered(SeqOf(r.data()), 1).begin()));
        }
        // 11th, 22nd ... 66th of the first buffer, then the 9th of the second.
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
        QVERIFY(handedUpTo > 0);
        accepted.resize(handedUpTo);
        QCOMPARE(written.size(), accepted.size());
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
        const double cpu = ProcessCpuMs();
        QTest::qSleep(300);
        QVERIFY(b.IdleWaits() <= 2);
        QVERIFY2(ProcessCpuMs() - cpu < 100, "the idle worker is spinning");

        // Each hand-over lands while the worker waits; a lost wake-up hangs here.
        for (int k = 1; k <= 30; ++k) {
            Feed(b, Bytes(512, uint8_t(k)));
            Feed(b, Bytes(512, uint8_t(k)));
            if (k > 1)
                QTRY_COMPARE_WITH_TIMEOUT(saved.load(), k - 1, 10000);
        }
        QCOMPARE(b.ChunksNextHeld(), 0u);

        QTRY_VERIFY(b.FindReady() == -1);
        worker.Stop();
        QVERIFY(!worker.IsRunning());
        worker.Stop();
        QVERIFY(!worker.Start(
            b, [](int, const uint8_t*) {}, [](const uint8_t*) {}));
    }
};

QTEST_GUILESS_MAIN(TestBuffers)
#include "tst_acquisition_buffers.moc"
