// The benchmark's loss figure is only as good as its reading of a recording.
#include "bench/BenchSupport.h"

#include "acquisition/RecordFormat.h"

#include <QTest>
#include <string>

namespace {
std::string Line(uint8_t number, bool intact = true) {
    uint8_t rec[kRecordSize] = {number, ':', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0};
    rec[kRecordCheckPos] = uint8_t(RecordChecksum(rec) + (intact ? 0 : 1));
    char out[kRecordLineSize];
    FormatRecordLine(rec, out);
    return std::string(out, kRecordLineSize);
}

bench::RecordingTally Tally(const std::string& text, size_t piece = std::string::npos) {
    bench::RecordingReader reader;
    for (size_t at = 0; at < text.size(); at += piece)
        reader.Feed(std::string_view(text).substr(at, piece));
    return reader.Finish();
}
} // namespace

class TestBenchSupport : public QObject {
    Q_OBJECT
private slots:
    void countsGapsAcrossTheWrap() {
        std::string text;
        for (int n : {0, 1, 2, 250, 255, 0, 3})
            text += Line(uint8_t(n));
        const bench::RecordingTally t = Tally(text);
        QCOMPARE(t.intact, uint64_t(7));
        QCOMPARE(t.lastIndex, uint64_t(259));
        // 3..249, 251..254, 257..258 are missing.
        QCOMPARE(t.lost, uint64_t(247 + 4 + 2));
        QCOMPARE(t.badLines, uint64_t(0));
    }

    void headLossRepeatsAndBadLines() {
        // Records 0..4 never arrived; a damaged line is not a record and does
        // not disturb the numbering of the next one.
        std::string text = Line(5) + Line(6) + Line(7, false) + "garbage\r\n\r\n" + Line(8);
        bench::RecordingTally t = Tally(text);
        QCOMPARE(t.intact, uint64_t(3));
        QCOMPARE(t.badLines, uint64_t(2));
        QCOMPARE(t.lost, uint64_t(5 + 1));
        QCOMPARE(t.lastIndex, uint64_t(8));
        // A number seen twice in a row means a whole turn went missing.
        t = Tally(Line(0) + Line(0));
        QCOMPARE(t.lastIndex, uint64_t(256));
        QCOMPARE(t.lost, uint64_t(255));
    }

    void linesSplitAcrossReads() {
        std::string text;
        for (int n = 0; n < 600; ++n)
            text += Line(uint8_t(n));
        text.resize(text.size() - 2); // the last line without CR LF
        for (size_t piece : {size_t(1), size_t(13), size_t(47), size_t(4096)}) {
            const bench::RecordingTally t = Tally(text, piece);
            QCOMPARE(t.intact, uint64_t(600));
            QCOMPARE(t.lost, uint64_t(0));
            QCOMPARE(t.lastIndex, uint64_t(599));
        }
        QVERIFY(!Tally("").any);
    }

    void quantiles() {
        std::vector<double> v;
        QCOMPARE(bench::Quantile(v, 0.5), 0.0);
        for (int i = 10; i >= 1; --i)
            v.push_back(i);
        QCOMPARE(bench::Quantile(v, 0.5), 5.0);
        QCOMPARE(bench::Quantile(v, 0.99), 10.0);
        QCOMPARE(bench::Quantile(v, 0.0), 1.0);
    }
};

QTEST_GUILESS_MAIN(TestBenchSupport)
#include "tst_bench_support.moc"
