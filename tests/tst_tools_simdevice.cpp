// The simulated device's logic: frames in, records out, waves, replay files,
// the output queue and the port-map link checks.

#include "platform/PortMap.h"
#include "tools/DevicePort.h"
#include "tools/DeviceServer.h"
#include "tools/SimDevice.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <unistd.h>

using namespace simdev;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<uint8_t>(b));
    return v;
}

std::vector<ParseEvent> FeedAll(FrameParser& parser, const std::vector<uint8_t>& bytes) {
    std::vector<ParseEvent> events;
    parser.Feed(bytes.data(), bytes.size(), events);
    return events;
}

std::vector<Frame> FramesOf(const std::vector<ParseEvent>& events) {
    std::vector<Frame> frames;
    for (const auto& ev : events)
        if (ev.kind == ParseEvent::Kind::Frame)
            frames.push_back(ev.frame);
    return frames;
}

int CountKind(const std::vector<ParseEvent>& events, ParseEvent::Kind kind) {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [&](const ParseEvent& e) { return e.kind == kind; }));
}

} // namespace

class TestSimDevice : public QObject {
    Q_OBJECT

private slots:
    void checksumsOfThePanelsFrames_data();
    void checksumsOfThePanelsFrames();
    void parserFindsFramesSplitAnywhere();
    void parserResynchronisesAfterGarbageAndBadFrames();
    void recordLayout();
    void wavesStayInTheVisibleBandAtEveryHeartRate_data();
    void wavesStayInTheVisibleBandAtEveryHeartRate();
    void wavesLookTheSameAtAnyRate();
    void pulseTwoLagsPulseOne();
    void amplificationScalesOnlyItsPulse();
    void zeroCalibrationDropsThePressures();
    void replayFiles();
    void recordSourceNumbersEveryRecord();
    void outputQueueIsBoundedAndKeepsRecordsWhole();
    void chunkSizes();
    void chunkedStreamKeepsItsRateAndRecords_data();
    void chunkedStreamKeepsItsRateAndRecords();
    void portLinkInspection();
    void options();
};

void TestSimDevice::checksumsOfThePanelsFrames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("start") << QByteArray::fromHex("F03222");
    QTest::newRow("stop") << QByteArray::fromHex("F03323");
    QTest::newRow("zero") << QByteArray::fromHex("F04030");
    QTest::newRow("calibration") << QByteArray::fromHex("F04A3A");
    QTest::newRow("coefficients 100 100") << QByteArray::fromHex("F04164 64F9");
    QTest::newRow("coefficients 200 200") << QByteArray::fromHex("F041C8C8C1");
    QTest::newRow("gains 127 0") << QByteArray::fromHex("F0347F00A3");
    QTest::newRow("gains 127 127") << QByteArray::fromHex("F0347F7F22");
}

void TestSimDevice::checksumsOfThePanelsFrames() {
    QFETCH(QByteArray, frame);
    const auto* p = reinterpret_cast<const uint8_t*>(frame.constData());
    QCOMPARE(FrameLength(p[1]), size_t(frame.size()));
    QCOMPARE(Checksum(p, frame.size() - 1), p[frame.size() - 1]);

    FrameParser parser;
    const auto events = FeedAll(parser, std::vector<uint8_t>(p, p + frame.size()));
    QCOMPARE(events.size(), size_t(1));
    QCOMPARE(int(events[0].kind), int(ParseEvent::Kind::Frame));
    QCOMPARE(events[0].frame.command, p[1]);
    QCOMPARE(events[0].frame.argCount, frame.size() == 5 ? 2 : 0);
    if (frame.size() == 5) {
        QCOMPARE(events[0].frame.args[0], p[2]);
        QCOMPARE(events[0].frame.args[1], p[3]);
    }
}

void TestSimDevice::parserFindsFramesSplitAnywhere() {
    const auto stream = Bytes({0xF0, 0x32, 0x22, 0xF0, 0x41, 0x64, 0x64, 0xF9, 0xF0, 0x33, 0x23});
    // Every way of cutting the stream into two reads, and one byte at a time.
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameParser parser;
        std::vector<ParseEvent> events;
        parser.Feed(stream.data(), cut, events);
        parser.Feed(stream.data() + cut, stream.size() - cut, events);
        const auto frames = FramesOf(events);
        QCOMPARE(frames.size(), size_t(3));
        QCOMPARE(frames[1].args[0], uint8_t(100));
        QCOMPARE(events.size(), size_t(3));
        QCOMPARE(parser.Pending(), size_t(0));
    }
    FrameParser parser;
    std::vector<ParseEvent> events;
    for (uint8_t b : stream) {
        parser.Feed(&b, 1, events);
        QVERIFY(parser.Pending() <= 4);
    }
    QCOMPARE(FramesOf(events).size(), size_t(3));
}

void TestSimDevice::parserResynchronisesAfterGarbageAndBadFrames() {
    FrameParser parser;
    // Garbage before a frame is skipped, and counted.
    auto events = FeedAll(parser, Bytes({0x00, 0x13, 0x37, 0xF0, 0x32, 0x22}));
    QCOMPARE(FramesOf(events).size(), size_t(1));
    QCOMPARE(events[0].skipped, size_t(3));

    // A bad checksum is ignored; so is the stop frame that carries it.
    events = FeedAll(parser, Bytes({0xF0, 0x33, 0x24}));
    QVERIFY(FramesOf(events).empty());
    QCOMPARE(CountKind(events, ParseEvent::Kind::BadChecksum), 1);

    // A stray start byte in front of a real frame, and an unknown command byte.
    events = FeedAll(parser, Bytes({0xF0, 0xF0, 0x40, 0x30, 0xF0, 0x99, 0xF0, 0x4A, 0x3A}));
    auto frames = FramesOf(events);
    QCOMPARE(frames.size(), size_t(2));
    QCOMPARE(frames[0].command, kCmdZeroCalibration);
    QCOMPARE(frames[1].command, kCmdCalibrationMode);
    QCOMPARE(CountKind(events, ParseEvent::Kind::UnknownCommand), 2);

    // A frame cut short by the next frame: the bad frame costs only its start
    // byte, so the frame hidden inside its argument bytes is still found.
    events = FeedAll(parser, Bytes({0xF0, 0x41, 0xF0, 0x32, 0x22}));
    frames = FramesOf(events);
    QCOMPARE(frames.size(), size_t(1));
    QCOMPARE(frames[0].command, kCmdStartSampling);

    // Random noise never throws and never holds back more than a frame's worth.
    uint32_t seed = 12345;
    std::vector<uint8_t> noise(5000);
    for (auto& b : noise) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    events = FeedAll(parser, noise);
    QVERIFY(parser.Pending() <= 4);
    events = FeedAll(parser, Bytes({0xF0, 0x33, 0x23, 0xF0, 0x33, 0x23}));
    QVERIFY(!FramesOf(events).empty());
}

void TestSimDevice::recordLayout() {
    Samples s;
    s.pulse1 = 0x1234;
    s.pulse2 = 0x0FA0;
    s.ecg = 0x0800;
    s.heartSound = 0x0064;
    s.pressure1 = 0x3039;
    s.pressure2 = 0x02A6;
    const Record r = BuildRecord(0xA5, s);
    const Record expected = {0xA5, 0x3A, 0x12, 0x34, 0x0F, 0xA0, 0x08, 0x00,
                             0x00, 0x64, 0x30, 0x39, 0x02, 0xA6, 0x51};
    QCOMPARE(r, expected);
    QVERIFY(RecordIntact(r.data()));
    const Samples back = DecodeSamples(r.data());
    QCOMPARE(back.pressure2, s.pressure2);
    QCOMPARE(back.pulse1, s.pulse1);

    Record damaged = r;
    damaged[7] ^= 0x01;
    QVERIFY(!RecordIntact(damaged.data()));
    damaged = r;
    damaged[1] = 0x3B;
    damaged[14] = Checksum(damaged.data(), 14);
    QVERIFY(!RecordIntact(damaged.data()));

    Record renumbered = r;
    Restamp(renumbered, 0x00);
    QCOMPARE(renumbered[0], uint8_t(0));
    QVERIFY(RecordIntact(renumbered.data()));
    QVERIFY(std::equal(r.begin() + 1, r.begin() + 14, renumbered.begin() + 1));
}

void TestSimDevice::wavesStayInTheVisibleBandAtEveryHeartRate_data() {
    QTest::addColumn<double>("bpm");
    QTest::newRow("20") << 20.0;
    QTest::newRow("72") << 72.0;
    QTest::newRow("250") << 250.0;
}

void TestSimDevice::wavesStayInTheVisibleBandAtEveryHeartRate() {
    QFETCH(double, bpm);
    const double rate = kFullLineRate;
    const WaveformGenerator gen(rate, bpm);
    const DeviceState state;
    std::array<int, 4> lo{65535, 65535, 65535, 65535}, hi{0, 0, 0, 0};
    int rPeaks = 0;
    bool above = false;
    const uint64_t records = static_cast<uint64_t>(rate * 12);
    for (uint64_t k = 0; k < records; k += 3) {
        const Samples s = gen.At(k, state);
        const std::array<int, 4> v{s.pulse1, s.pulse2, s.ecg, s.heartSound};
        for (int c = 0; c < 4; ++c) {
            lo[c] = std::min(lo[c], v[c]);
            hi[c] = std::max(hi[c], v[c]);
        }
        if (!above && s.ecg > 2500) {
            ++rPeaks;
            above = true;
        } else if (s.ecg < 2000) {
            above = false;
        }
    }
    for (int c = 0; c < 4; ++c) {
        QVERIFY2(lo[c] >= 200 && hi[c] <= 3200,
                 qPrintable(QString("channel %1: %2..%3").arg(c).arg(lo[c]).arg(hi[c])));
        // Fills most of the strip, not a flat line.
        QVERIFY2(hi[c] - lo[c] > 1500,
                 qPrintable(QString("channel %1 swings only %2..%3").arg(c).arg(lo[c]).arg(hi[c])));
    }
    // One R peak per beat over 12 seconds.
    const double beats = bpm * 12 / 60;
    QVERIFY2(std::abs(rPeaks - beats) <= 1.0, qPrintable(QString::number(rPeaks)));
}

void TestSimDevice::wavesLookTheSameAtAnyRate() {
    const WaveformGenerator slow(1000, 72), fast(4000, 72);
    const DeviceState state;
    for (uint64_t k = 0; k < 3000; k += 7) {
        const Samples a = slow.At(k, state);
        const Samples b = fast.At(4 * k, state);
        QCOMPARE(a.ecg, b.ecg);
        QCOMPARE(a.pulse1, b.pulse1);
        QCOMPARE(a.pressure1, b.pressure1);
    }
}

void TestSimDevice::pulseTwoLagsPulseOne() {
    const double rate = 1000;
    const WaveformGenerator gen(rate, 60);
    const DeviceState state;
    uint64_t peak1 = 0, peak2 = 0, peakEcg = 0;
    int max1 = 0, max2 = 0, maxEcg = 0;
    // The second beat, away from the start.
    for (uint64_t k = 1000; k < 2000; ++k) {
        const Samples s = gen.At(k, state);
        if (s.pulse1 > max1)
            max1 = s.pulse1, peak1 = k;
        if (s.pulse2 > max2)
            max2 = s.pulse2, peak2 = k;
        if (s.ecg > maxEcg)
            maxEcg = s.ecg, peakEcg = k;
    }
    QVERIFY(peakEcg < peak1);
    QVERIFY(peak1 < peak2);
    QVERIFY(peak2 - peak1 < 150); // a delay, not another beat
}

void TestSimDevice::amplificationScalesOnlyItsPulse() {
    const WaveformGenerator gen(kFullLineRate, 72);
    DeviceState plain, amplified;
    amplified.gain1 = 32; // twice the swing
    int highest = 0;
    for (uint64_t k = 0; k < uint64_t(kFullLineRate); k += 97) {
        const Samples a = gen.At(k, plain);
        const Samples b = gen.At(k, amplified);
        const double swingA = a.pulse1 - WaveformGenerator::kPulseBaseline;
        const double swingB = b.pulse1 - WaveformGenerator::kPulseBaseline;
        QVERIFY(std::abs(swingB - 2 * swingA) <= 2);
        QCOMPARE(b.pulse2, a.pulse2);
        QCOMPARE(b.ecg, a.ecg);
        highest = std::max<int>(highest, b.pulse1);
    }
    QVERIFY(highest > 4000);

    // The largest gain a frame can carry never wraps around.
    amplified.gain1 = 255;
    for (uint64_t k = 0; k < uint64_t(kFullLineRate); k += 97)
        QVERIFY(gen.At(k, amplified).pulse1 >= gen.At(k, plain).pulse1);
}

void TestSimDevice::zeroCalibrationDropsThePressures() {
    const WaveformGenerator gen(100, 72);
    DeviceState state;
    for (uint64_t k = 0; k < 100 * 120; k += 50) {
        state.zeroed = false;
        const Samples before = gen.At(k, state);
        QVERIFY(std::abs(before.pressure1 - 12000) < 1000);
        QVERIFY(std::abs(before.pressure2 - 8000) < 1000);
        state.zeroed = true;
        const Samples after = gen.At(k, state);
        QVERIFY(after.pressure1 > 0 && after.pressure1 < 1500);
        QVERIFY(after.pressure2 > 0 && after.pressure2 < 1500);
    }
}

void TestSimDevice::replayFiles() {
    const std::string good = "A5 3A 12 34 0F A0 08 00 00 64 30 39 02 A6 5C \r\n"
                             "00 3A 00 00 00 00 00 00 00 00 00 00 00 00 3A \r\n";
    ReplayData data = ParseReplay(good);
    QCOMPARE(data.records.size(), size_t(2));
    QCOMPARE(data.badLines, 0);
    QCOMPARE(data.records[0][0], uint8_t(0xA5));
    QCOMPARE(data.records[0][14], uint8_t(0x5C));

    // Lenient about what editors do to line ends; strict about the content.
    data = ParseReplay("a5 3a 12 34 0f a0 08 00 00 64 30 39 02 a6 5c\n"
                       "\n"
                       "A5 3A 12 34 0F A0 08 00 00 64 30 39 02 A6 \r\n"       // 14 bytes
                       "A5 3A 12 34 0F A0 08 00 00 64 30 39 02 A6 5C 00 \r\n" // 16 bytes
                       "A5 3A 12 34 0F A0 08 00 00 64 30 39 02 A6 5G \r\n"    // not hex
                       "A53A 12 34 0F A0 08 00 00 64 30 39 02 A6 5C 11 \r\n"  // run together
                       "A5 3A 12 34 0F A0 08 00 00 64 30 39 02 A6 5C");       // no line end
    QCOMPARE(data.records.size(), size_t(2));
    QCOMPARE(data.badLines, 4);
    QCOMPARE(data.firstBadLine, 3);

    QVERIFY(ParseReplay("").records.empty());
    QVERIFY(ParseReplay("\xFF\xFE garbage\r\n").records.empty());
}

void TestSimDevice::recordSourceNumbersEveryRecord() {
    DeviceState state;
    RecordSource synthetic(1000, 72);
    for (int i = 0; i < 300; ++i) {
        const Record r = synthetic.Next(state);
        QCOMPARE(r[0], uint8_t(i & 0xFF));
        QVERIFY(RecordIntact(r.data()));
    }
    synthetic.Skip(10);
    QCOMPARE(synthetic.Next(state)[0], uint8_t(310 & 0xFF));
    // Records taken back at a stop come again.
    synthetic.Rewind(2);
    QCOMPARE(synthetic.Next(state)[0], uint8_t(309 & 0xFF));

    Record a = BuildRecord(0x77, Samples{});
    Record b = a;
    b[1] = 0x00; // a damaged record from the recording is replayed as it was
    RecordSource replay({a, b}, false);
    const Record first = replay.Next(state);
    const Record second = replay.Next(state);
    const Record third = replay.Next(state);
    QCOMPARE(first[0], uint8_t(0));
    QCOMPARE(second[0], uint8_t(1));
    QCOMPARE(second[1], uint8_t(0x00));
    QCOMPARE(third[0], uint8_t(2));
    QVERIFY(RecordIntact(third.data()));
    QCOMPARE(Checksum(second.data(), 14), second[14]);

    RecordSource verbatim({a}, true);
    QCOMPARE(verbatim.Next(state), a);
    QCOMPARE(verbatim.Next(state), a);
}

void TestSimDevice::outputQueueIsBoundedAndKeepsRecordsWhole() {
    OutputQueue queue(3);
    const Record a = BuildRecord(1, Samples{}), b = BuildRecord(2, Samples{}),
                 c = BuildRecord(3, Samples{}), d = BuildRecord(4, Samples{});
    QVERIFY(queue.Push(a));
    QVERIFY(queue.Push(b));
    QVERIFY(queue.Push(c));
    QVERIFY(!queue.HasRoom());
    QVERIFY(!queue.Push(d));
    QCOMPARE(queue.Size(), 3 * kRecordSize);

    // Half of the first record went out; a stop keeps only its other half.
    queue.Consume(7);
    QCOMPARE(queue.DropUnstarted(), size_t(2));
    QCOMPARE(queue.Size(), size_t(8));
    QCOMPARE(queue.Data()[7], a[14]);
    queue.Consume(8);
    QCOMPARE(queue.Size(), size_t(0));

    // On a record boundary nothing is kept.
    QVERIFY(queue.Push(b));
    QVERIFY(queue.Push(c));
    queue.Consume(kRecordSize);
    QCOMPARE(queue.DropUnstarted(), size_t(1));
    QCOMPARE(queue.Size(), size_t(0));

    // Long runs of partial writes keep the byte order.
    std::vector<uint8_t> out;
    for (int i = 0; i < 200; ++i) {
        while (queue.HasRoom())
            queue.Push(
                BuildRecord(static_cast<uint8_t>((out.size() + queue.Size()) / 15), Samples{}));
        const size_t n = std::min<size_t>(queue.Size(), 11);
        out.insert(out.end(), queue.Data(), queue.Data() + n);
        queue.Consume(n);
    }
    for (size_t r = 0; r + kRecordSize <= out.size(); r += kRecordSize) {
        QVERIFY(RecordIntact(&out[r]));
        QCOMPARE(out[r], uint8_t(r / kRecordSize));
    }
}

void TestSimDevice::chunkSizes() {
    ChunkSizes records(ChunkPlan{});
    QCOMPARE(records.Next(), size_t(0));
    ChunkSizes fixed(ChunkPlan{ChunkPlan::Kind::Fixed, 7, 1});
    for (int i = 0; i < 10; ++i)
        QCOMPARE(fixed.Next(), size_t(7));

    // Random sizes cover 1..N, and a seed repeats its sequence.
    auto draw = [](int n, uint64_t seed) {
        ChunkSizes sizes(ChunkPlan{ChunkPlan::Kind::Random, n, seed});
        std::vector<size_t> out(20000);
        for (size_t& v : out)
            v = sizes.Next();
        return out;
    };
    for (int n : {1, 2, 64, 4096}) {
        const auto a = draw(n, 42);
        const size_t lo = *std::min_element(a.begin(), a.end());
        const size_t hi = *std::max_element(a.begin(), a.end());
        QCOMPARE(lo, size_t(1));
        QVERIFY(hi <= size_t(n) && hi >= size_t(n - n / 100));
        double mean = 0;
        for (size_t v : a)
            mean += double(v) / double(a.size());
        QVERIFY2(std::abs(mean - (n + 1) / 2.0) < 0.03 * n + 0.01,
                 qPrintable(QString::number(mean)));
        QCOMPARE(draw(n, 42), a);
    }
    QVERIFY(draw(64, 1) != draw(64, 2));
}

void TestSimDevice::chunkedStreamKeepsItsRateAndRecords_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("startOffset");
    QTest::newRow("whole records") << int(ChunkPlan::Kind::Records) << 0 << 0;
    QTest::newRow("whole records, cut start") << int(ChunkPlan::Kind::Records) << 0 << 9;
    QTest::newRow("1 byte") << int(ChunkPlan::Kind::Fixed) << 1 << 0;
    QTest::newRow("7 bytes, cut start") << int(ChunkPlan::Kind::Fixed) << 7 << 14;
    QTest::newRow("600 bytes") << int(ChunkPlan::Kind::Fixed) << 600 << 0;
    QTest::newRow("random 1..64, cut start") << int(ChunkPlan::Kind::Random) << 64 << 3;
    QTest::newRow("random 1..4096") << int(ChunkPlan::Kind::Random) << 4096 << 0;
}

// The device's loop without the line: records queued when due, written as the
// pacer says, every 50 us for two simulated seconds, then a stop and a new
// run. The line takes everything.
void TestSimDevice::chunkedStreamKeepsItsRateAndRecords() {
    QFETCH(int, kind);
    QFETCH(int, size);
    QFETCH(int, startOffset);
    const ChunkPlan plan{ChunkPlan::Kind(kind), size, 5};
    const double rate = kFullLineRate;
    WritePacer pacer(plan, rate);
    QCOMPARE(pacer.Chunked(), plan.kind != ChunkPlan::Kind::Records);
    OutputQueue queue(64 + size_t(size) / kRecordSize + 2);
    DeviceState state;
    RecordSource source(rate, 72);
    ChunkSizes expected(plan);
    std::vector<uint8_t> line;
    std::vector<size_t> writes;
    bool first = true;

    auto run = [&](int64_t seconds) {
        pacer.Restart(queue.Size());
        uint64_t paced = 0;
        const int64_t end = seconds * 1'000'000'000;
        for (int64_t t = 0; t <= end; t += 50'000) {
            const uint64_t due = RecordsDue(t, rate) + (pacer.Chunked() ? 1 : 0);
            for (; paced < due; ++paced) {
                QVERIFY(queue.Push(source.Next(state)));
                if (first) {
                    first = false;
                    queue.Consume(size_t(startOffset));
                    pacer.Pass(uint64_t(startOffset));
                }
            }
            while (const size_t n = pacer.Ready(queue.Size(), t, true)) {
                writes.push_back(n);
                line.insert(line.end(), queue.Data(), queue.Data() + n);
                queue.Consume(n);
                pacer.Wrote(n);
            }
            // Nothing is held back that is due.
            if (pacer.Chunked())
                QVERIFY(pacer.DueNs() > t);
        }
    };
    run(2);
    // The bytes per second of the rate, whatever the pieces: short of it by
    // at most the last piece and what the cut start left out.
    const double bytes = 2 * rate * kRecordSize;
    QVERIFY2(double(line.size()) <= bytes, qPrintable(QString::number(line.size())));
    QVERIFY2(double(line.size()) >= bytes - size - kRecordSize - startOffset,
             qPrintable(QString::number(line.size())));

    // A stop: what is left of a begun record still goes, in pieces.
    const size_t unsent = queue.DropUnstarted();
    source.Rewind(unsent);
    while (const size_t n = pacer.Ready(queue.Size(), 0, false)) {
        writes.push_back(n);
        line.insert(line.end(), queue.Data(), queue.Data() + n);
        queue.Consume(n);
        pacer.Wrote(n);
    }
    QCOMPARE(queue.Size(), size_t(0));
    QCOMPARE((line.size() + size_t(startOffset)) % kRecordSize, size_t(0));
    run(1);

    // Every write is the next piece of the sequence, except where a stop
    // ended a record or a run ended.
    if (pacer.Chunked()) {
        size_t piece = expected.Next(), splits = 0;
        for (size_t n : writes) {
            QVERIFY(n <= piece);
            if (n < piece)
                ++splits;
            piece -= n;
            if (piece == 0)
                piece = expected.Next();
        }
        QVERIFY(splits <= 1);
    }

    // Reassembled after the cut start, the records are whole and numbered on
    // without a gap across the stop.
    const size_t from = startOffset ? kRecordSize - size_t(startOffset) : 0;
    QVERIFY(line.size() > from + 100 * kRecordSize);
    uint8_t next = startOffset ? 1 : 0;
    for (size_t at = from; at + kRecordSize <= line.size(); at += kRecordSize) {
        QVERIFY(RecordIntact(&line[at]));
        QCOMPARE(line[at], next);
        ++next;
    }
}

void TestSimDevice::portLinkInspection() {
    QVERIFY(IsPtySlavePath("/dev/pts/5"));
    QVERIFY(IsPtySlavePath("/dev/pts/123"));
    QVERIFY(!IsPtySlavePath("/dev/pts/"));
    QVERIFY(!IsPtySlavePath("/dev/pts/ptmx"));
    QVERIFY(!IsPtySlavePath("/dev/ttyUSB0"));
    QVERIFY(!IsPtySlavePath("/dev/pts/../ttyS0"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string base = dir.path().toStdString();
    auto link = [&](const std::string& name, const std::string& target) {
        const std::string path = base + "/" + name;
        QVERIFY(symlink(target.c_str(), path.c_str()) == 0);
    };
    link("com1", "/dev/null");
    link("com2", base + "/unplugged");
    link("com3", "/dev/pts/9999");
    link("com4", "com1"); // relative, through another link, to a real device
    QFile regular(dir.filePath("com5"));
    QVERIFY(regular.open(QIODevice::WriteOnly));
    regular.close();

    QCOMPARE(int(InspectPortLink(base + "/com1").check), int(LinkCheck::RealDevice));
    QCOMPARE(int(InspectPortLink(base + "/com2").check), int(LinkCheck::Replaceable));
    QCOMPARE(int(InspectPortLink(base + "/com3").check), int(LinkCheck::Replaceable));
    QCOMPARE(int(InspectPortLink(base + "/com4").check), int(LinkCheck::RealDevice));
    QCOMPARE(InspectPortLink(base + "/com4").target, base + "/com1");
    QCOMPARE(int(InspectPortLink(base + "/com5").check), int(LinkCheck::NotALink));
    QCOMPARE(int(InspectPortLink(base + "/com6").check), int(LinkCheck::Free));

    QString error;
    QVERIFY(PlacePortMapLink(dir.path(), 2, QStringLiteral("/dev/pts/77"), error));
    QCOMPARE(InspectPortLink(base + "/com2").target, std::string("/dev/pts/77"));
    // Someone else's link is left alone; ours is removed.
    QVERIFY(!RemoveLinkIfPointsTo(base + "/com2", "/dev/pts/78"));
    QVERIFY(RemoveLinkIfPointsTo(base + "/com2", "/dev/pts/77"));
    QCOMPARE(int(InspectPortLink(base + "/com2").check), int(LinkCheck::Free));
    QCOMPARE(
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size(),
        4);
}

void TestSimDevice::options() {
    Options o;
    QString message;
    QCOMPARE(int(ParseOptions({"sim"}, o, message)), int(ParseResult::Ok));
    QCOMPARE(o.port, 1);
    QCOMPARE(o.rate, double(kFullLineRate));
    QCOMPARE(o.bpm, 72.0);
    QVERIFY(!o.startNow);

    o = Options{};
    QCOMPARE(int(ParseOptions({"sim", "--port", "com12", "--rate", "1000", "--bpm", "90",
                               "--duration", "2.5", "--start", "--replay", "x.txt", "--verbatim"},
                              o, message)),
             int(ParseResult::Ok));
    QCOMPARE(o.port, 12);
    QCOMPARE(o.rate, 1000.0);
    QCOMPARE(o.bpm, 90.0);
    QCOMPARE(o.duration, 2.5);
    QVERIFY(o.startNow && o.verbatim);
    QCOMPARE(o.replayPath, QString("x.txt"));

    QCOMPARE(int(o.chunks.kind), int(ChunkPlan::Kind::Records));
    QCOMPARE(o.startOffset, 0);

    o = Options{};
    QCOMPARE(int(ParseOptions({"sim", "--chunks", "7", "--start-offset", "14"}, o, message)),
             int(ParseResult::Ok));
    QCOMPARE(int(o.chunks.kind), int(ChunkPlan::Kind::Fixed));
    QCOMPARE(o.chunks.size, 7);
    QCOMPARE(o.startOffset, 14);
    o = Options{};
    QCOMPARE(int(ParseOptions({"sim", "--chunks", "Random:4096", "--seed", "9"}, o, message)),
             int(ParseResult::Ok));
    QCOMPARE(int(o.chunks.kind), int(ChunkPlan::Kind::Random));
    QCOMPARE(o.chunks.size, 4096);
    QCOMPARE(o.chunks.seed, uint64_t(9));
    QCOMPARE(int(ParseOptions({"sim", "--chunks", "records"}, o, message)), int(ParseResult::Ok));
    QCOMPARE(int(o.chunks.kind), int(ChunkPlan::Kind::Records));

    for (const QStringList& bad : {QStringList{"sim", "--chunks", "0"},
                                   QStringList{"sim", "--chunks", "4097"},
                                   QStringList{"sim", "--chunks", "random:"},
                                   QStringList{"sim", "--chunks", "random:0"},
                                   QStringList{"sim", "--chunks", "lots"},
                                   QStringList{"sim", "--seed", "3"},
                                   QStringList{"sim", "--chunks", "8", "--seed", "3"},
                                   QStringList{"sim", "--chunks", "random:8", "--seed", "-3"},
                                   QStringList{"sim", "--start-offset", "15"},
                                   QStringList{"sim", "--start-offset", "-1"},
                                   QStringList{"sim", "--port", "COM17"},
                                   QStringList{"sim", "--port", "COM0"},
                                   QStringList{"sim", "--port", "ttyS0"},
                                   QStringList{"sim", "--rate", "0"},
                                   QStringList{"sim", "--rate", "fast"},
                                   QStringList{"sim", "--bpm", "400"},
                                   QStringList{"sim", "--duration", "-1"},
                                   QStringList{"sim", "--verbatim"},
                                   QStringList{"sim", "--nonsense"},
                                   QStringList{"sim", "extra"}}) {
        QCOMPARE(int(ParseOptions(bad, o, message)), int(ParseResult::Error));
        QVERIFY(!message.isEmpty());
    }
    QCOMPARE(int(ParseOptions({"sim", "--version"}, o, message)), int(ParseResult::Version));
    QVERIFY2(
        QRegularExpression("^tovrel-simdevice \\d+\\.\\d+\\.\\d+\\n$").match(message).hasMatch(),
        qPrintable(message));
    QCOMPARE(int(ParseOptions({"sim", "--help"}, o, message)), int(ParseResult::Help));
    QVERIFY(message.contains("TOVREL_TEST_MODE"));
    QVERIFY(message.contains("random:N") && message.contains("--start-offset"));
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_tools_simdevice.moc"
