// The strip's arithmetic without painting: capacity, sweep and ring indices,
// resizing, the mapping, the offset and the band layout.
#include "display/WaveMath.h"

#include <QTest>
#include <climits>

class TestWaveMath : public QObject {
    Q_OBJECT
private slots:
    void capacityFollowsWidthInColumns();
    void sweepFillsThenRestarts();
    void scrollingRingKeepsTheLatest();
    void resizeKeepsOldestSamples();
    void resizeUnrollsWrappedRing();
    void mappingPutsZeroOnBottomRow();
    void mappingOtherExtents();
    void offsetIsFourFifthsOfBaseline();
    void bandLayouts();
    void repaintBandEndsAtTrace();
};

void TestWaveMath::capacityFollowsWidthInColumns() {
    QCOMPARE(WaveCapacity(300, 100, 100), 300);
    QCOMPARE(WaveCapacity(1, 100, 100), 1);
    QCOMPARE(WaveCapacity(2048, 100, 100), 2048);
    QCOMPARE(WaveCapacity(2049, 100, 100), 2048);
    QCOMPARE(WaveCapacity(0, 100, 100), 2048); // not 1
    QCOMPARE(WaveCapacity(-5, 100, 100), 2048);
    QCOMPARE(WaveCapacity(300, 50, 100), 150); // two pixels per column
    QCOMPARE(WaveCapacity(1, 50, 100), 2048);  // half a column truncates to 0
    QCOMPARE(WaveCapacity(300, 100, 0), 2048); // no division by zero
}

void TestWaveMath::sweepFillsThenRestarts() {
    int first = 0, last = 0;
    for (int k = 0; k < 300; ++k) {
        const CWaveAppend a = WavePlanAppend(first, last, 300, false);
        QVERIFY(!a.bRestart);
        QCOMPARE(a.iIndex, k);
        first = a.iFirstPt;
        last = a.iLastPt;
    }
    QCOMPARE(last, 300);
    const CWaveAppend restart = WavePlanAppend(first, last, 300, false);
    QVERIFY(restart.bRestart);
    QCOMPARE(restart.iIndex, 0);
    QCOMPARE(restart.iLastPt, 1);
    QCOMPARE(restart.iFirstPt, 0);
    // Never laid out (capacity 0) or a damaged index: every sample restarts.
    QVERIFY(WavePlanAppend(0, 1, 0, false).bRestart);
    QVERIFY(WavePlanAppend(0, -3, 300, false).bRestart);
}

void TestWaveMath::scrollingRingKeepsTheLatest() {
    CWaveSamples wave{}, ordered{};
    int first = 0, last = 0;
    for (int k = 0; k < 13; ++k) {
        const CWaveAppend a = WavePlanAppend(first, last, 5, true);
        wave[a.iIndex] = uint16_t(k);
        first = a.iFirstPt;
        last = a.iLastPt;
        const int n = WaveDrawOrder(wave, first, last, 5, ordered);
        const int held = std::min(k + 1, 5);
        QCOMPARE(n, held);
        for (int j = 0; j < n; ++j)
            QCOMPARE(int(ordered[j]), k + 1 - held + j); // oldest at x = 0
    }
}

void TestWaveMath::resizeKeepsOldestSamples() {
    CWaveSamples wave{};
    for (int k = 0; k < 2048; ++k)
        wave[k] = uint16_t(1000 + k);
    // 350 samples in a 500-wide strip narrowed to 200: samples 0..199 stay.
    CWaveSamples w = wave;
    QCOMPARE(WaveKeepOnResize(w, 0, 350, 500, 200), 200);
    QCOMPARE(w, wave); // nothing moved, the rest keeps what it held
    // Widening keeps everything.
    QCOMPARE(WaveKeepOnResize(w, 0, 350, 500, 900), 350);
    QCOMPARE(WaveKeepOnResize(w, 0, 0, 500, 900), 0);
    // An unwrapped ring that does not start at 0 moves to the front.
    w = wave;
    QCOMPARE(WaveKeepOnResize(w, 3, 8, 10, 4), 4);
    QCOMPARE(int(w[0]), 1003);
    QCOMPARE(int(w[3]), 1006);
    QCOMPARE(int(w[4]), 1004); // past the kept ones: unchanged
}

void TestWaveMath::resizeUnrollsWrappedRing() {
    // Capacity 5 ring after 7 samples: indices hold 5 6 2 3 4, oldest at 2.
    CWaveSamples ring{};
    const uint16_t held[] = {5, 6, 2, 3, 4};
    std::copy(std::begin(held), std::end(held), ring.begin());
    CWaveSamples w = ring;
    QCOMPARE(WaveKeepOnResize(w, 2, 2, 5, 8), 5);
    for (int j = 0; j < 5; ++j)
        QCOMPARE(int(w[j]), 2 + j);
    w = ring;
    QCOMPARE(WaveKeepOnResize(w, 2, 2, 5, 2), 2); // narrower: oldest kept
    QCOMPARE(int(w[0]), 2);
    QCOMPARE(int(w[1]), 3);
    w = ring;
    QCOMPARE(WaveKeepOnResize(w, 2, 2, 5, 4), 4); // cut inside the newer part
    QCOMPARE(int(w[3]), 5);
}

void TestWaveMath::mappingPutsZeroOnBottomRow() {
    const CWaveMapping map(100, -100, 100, 50, QSize(300, 100));
    QCOMPARE(map.Left(), 0);
    QCOMPARE(map.Top(), 0);
    QCOMPARE(map.Right(), 300);
    QCOMPARE(map.Bottom(), -200);
    QCOMPARE(map.WindowOrg(), QPoint(0, 198));
    const struct {
        int y, row;
    } rows[] = {{0, 99},  {1, 99},  {2, 98},   {3, 98},   {100, 49}, {197, 1},
                {198, 0}, {199, 0}, {200, -1}, {-1, 100}, {-2, 100}};
    for (const auto& r : rows)
        QCOMPARE(map.ToDevice(7, r.y), QPoint(7, r.row));
    QCOMPARE(map.ToDevice(0, 65535).y(), 99 - 32767);
    QCOMPARE(map.ToDevice(0, int64_t(1) << 40).y(), -CWaveMapping::kFar);
}

void TestWaveMath::mappingOtherExtents() {
    // Two pixels per logical column, logical y pointing down.
    const CWaveMapping map(50, 100, 100, 100, QSize(300, 100));
    QCOMPARE(map.Right(), 150);
    QCOMPARE(map.Bottom(), 100);
    QCOMPARE(map.WindowOrg(), QPoint(0, -101));
    QCOMPARE(map.ToDevice(10, -101), QPoint(20, 0));
    // A zero extent is refused and leaves the window extents at 1 x 1.
    const CWaveMapping refused(0, -100, 100, 50, QSize(300, 100));
    QCOMPARE(refused.Right(), 3);
    QCOMPARE(refused.Bottom(), 2);
    const CWaveMapping none(0, 0, 0, 0, QSize(300, 100));
    QCOMPARE(none.ToDevice(5, 6), QPoint(5, 6 - (-(100 + 1))));
}

void TestWaveMath::offsetIsFourFifthsOfBaseline() {
    QCOMPARE(WaveBaseOffset(true, 100), 80);
    QCOMPARE(WaveBaseOffset(true, -7), -5);
    QCOMPARE(WaveBaseOffset(true, -1), 0);
    QCOMPARE(WaveBaseOffset(true, INT_MAX), 1717986917); // no overflow
    QCOMPARE(WaveBaseOffset(true, INT_MIN), -1717986918);
    QCOMPARE(WaveBaseOffset(false, 100), 0);
}

void TestWaveMath::bandLayouts() {
    // Three bands of a 100-pixel strip (s = 200), baseline 10, offset 8.
    CWaveBands b = WaveBandLayout(3, 10, -1, 8, 200);
    QCOMPARE(b.nDividers, 2);
    QCOMPARE(b.yDivider[0], 132);
    QCOMPARE(b.yDivider[1], 66);
    QCOMPARE(b.nBaselines, 3);
    QCOMPARE(b.yBaseline[0], 2);
    QCOMPARE(b.yBaseline[1], 68);
    QCOMPARE(b.yBaseline[2], 134);
    QCOMPARE(WaveBandLayout(3, -1, 50, 0, 200).nBaselines, 0);
    // Two bands: baseline 1 in the upper band, baseline 2 in the lower.
    b = WaveBandLayout(2, 10, 20, 8, 200);
    QCOMPARE(b.nDividers, 1);
    QCOMPARE(b.yDivider[0], 100);
    QCOMPARE(b.nBaselines, 2);
    QCOMPARE(b.yBaseline[0], 102);
    QCOMPARE(b.yBaseline[1], 12);
    b = WaveBandLayout(2, -1, 20, 0, 200);
    QCOMPARE(b.nBaselines, 1);
    QCOMPARE(b.yBaseline[0], 20);
    // One band, for 1 and any other layout value.
    for (int mode : {1, 0, 7}) {
        b = WaveBandLayout(mode, 100, 30, 80, 200);
        QCOMPARE(b.nDividers, 0);
        QCOMPARE(b.nBaselines, 1);
        QCOMPARE(b.yBaseline[0], 20);
        QCOMPARE(WaveBandLayout(mode, -1, 30, 0, 200).nBaselines, 0);
    }
    // No overflow with extreme baselines.
    QCOMPARE(WaveBandLayout(3, INT_MAX, -1, 0, 200).yBaseline[2], int64_t(INT_MAX) + 132);
}

void TestWaveMath::repaintBandEndsAtTrace() {
    const QRect client(0, 0, 300, 100);
    QCOMPARE(WaveRepaintBand(1, 100, 100, client), QRect(-3, 0, 8, 100));
    QCOMPARE(WaveRepaintBand(300, 100, 100, client), QRect(296, 0, 8, 100));
    QCOMPARE(WaveRepaintBand(10, 50, 100, client), QRect(16, 0, 8, 100));
    QCOMPARE(WaveRepaintBand(10, 0, 100, client), client);
}

QTEST_APPLESS_MAIN(TestWaveMath)
#include "tst_display_wavemath.moc"
