// The worker must take buffers in the order they were handed over, also after
// a stall in which chunks were dropped on held buffers: otherwise newer
// records reach the screen and the recording before older ones. And a worker
// that has fallen behind must catch up rather than pause after every buffer.
#include "acquisition/RecvBuffers.h"

#include <QtTest>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {
// A stream of records numbered 0, 1, 2, ... (in bytes 0 and 2..3), so that
// order can be read back from whatever the worker hands to the recorder.
struct NumberedStream {
    std::vector<uint8_t> bytes;
    size_t at = 0;
    explicit NumberedStream(int records) {
        for (int k = 0; k < records; ++k) {
            uint8_t r[kRecordSize] = {uint8_t(k), kRecordMarker, uint8_t(k >> 8), uint8_t(k)};
            bytes.insert(bytes.end(), r, r + kRecordSize);
        }
    }
    // The next n bytes (n a multiple of 15 keeps buffers record-aligned).
    EChunkResult Feed(CRecvBuffers& b, int n) {
        const EChunkResult r = b.OnChunk(bytes.data() + at, n);
        at += size_t(n);
        return r;
    }
};

// Runs the worker over every ready buffer; returns the record numbers saved.
void Drain(CRecvBuffers& b, std::vector<int>& saved) {
    for (int i = b.FindReady(); i >= 0; i = b.FindReady())
        b.ProcessBuffer(
            i,
            [&](int count, const uint8_t* buf) {
                for (int at = 0; at + kRecordSize <= count; at += kRecordSize)
                    saved.push_back(buf[at + 2] << 8 | buf[at + 3]);
            },
            [](const uint8_t*) {});
}
} // namespace

class TestHandOver : public QObject {
    Q_OBJECT

private slots:
    void oldestFirstAfterStall() {
        CRecvBuffers b;
        NumberedStream s(400);
        std::vector<int> saved;
        constexpr int kChunk = 390; // 26 records; two fit a buffer, three do not

        // A stalled worker: all three buffers handed over, then two chunks
        // dropped, each handing a held buffer over once more.
        for (int k = 0; k < 6; ++k)
            QCOMPARE(s.Feed(b, kChunk), EChunkResult::Accepted);
        QCOMPARE(s.Feed(b, kChunk), EChunkResult::NextHeld);
        QCOMPARE(s.Feed(b, kChunk), EChunkResult::NextHeld);
        QCOMPARE(s.Feed(b, kChunk), EChunkResult::NextHeld);
        QCOMPARE(b.RecvWrite(), 2);
        Drain(b, saved);

        // The worker has caught up while the filling buffer is 2: buffer 2 is
        // handed over before buffer 0 and must be taken before it.
        for (int k = 0; k < 5; ++k)
            QCOMPARE(s.Feed(b, kChunk), EChunkResult::Accepted);
        QVERIFY(b.IsReady(2) && b.IsReady(0) && !b.IsReady(1));
        QCOMPARE(b.FindReady(), 2);
        Drain(b, saved);

        // All but the last record handed over, which waits with the filling
        // buffer for the bytes after it.
        QCOMPARE(int(saved.size()), 26 * 10 - 1);
        QVERIFY(std::is_sorted(saved.begin(), saved.end()));
        // The dropped chunks are the only gap.
        QCOMPARE(saved[26 * 6 - 1], 26 * 6 - 1);
        QCOMPARE(saved[26 * 6], 26 * 9);
    }

    // The worker is held up in the first buffer while the next is handed
    // over; it takes the waiting one at once and pauses only when caught up.
    void workerCatchesUpWithoutPausing() {
        CRecvBuffers b;
        NumberedStream s(400);
        std::mutex m;
        std::condition_variable cv;
        bool inFirst = false, release = false;
        std::atomic<bool> stop{false};
        std::thread worker([&] {
            b.RunWorker(
                stop,
                [&](int, const uint8_t*) {
                    std::unique_lock lock(m);
                    if (!inFirst) {
                        inFirst = true;
                        cv.notify_all();
                        cv.wait(lock, [&] { return release; });
                    }
                },
                [](const uint8_t*) {});
        });
        constexpr int kChunk = 510;
        s.Feed(b, kChunk);
        s.Feed(b, kChunk);
        s.Feed(b, kChunk); // hands buffer 0 over
        {
            std::unique_lock lock(m);
            QVERIFY(cv.wait_for(lock, std::chrono::seconds(30), [&] { return inFirst; }));
        }
        s.Feed(b, kChunk); // hands buffer 1 over (its carried record and one chunk)
        QVERIFY(b.IsReady(1));
        {
            std::lock_guard lock(m);
            release = true;
        }
        cv.notify_all();
        QTRY_COMPARE_WITH_TIMEOUT(b.BuffersProcessed(), uint64_t(2), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(b.Pauses(), uint64_t(1), 30000);
        stop = true;
        b.Wake();
        worker.join();
        QCOMPARE(b.Pauses(), uint64_t(1));
        QCOMPARE(b.ChunksNextHeld(), uint64_t(0));
    }
};

QTEST_GUILESS_MAIN(TestHandOver)
#include "tst_acquisition_handover.moc"
