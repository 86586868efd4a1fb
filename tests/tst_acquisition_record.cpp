#include "acquisition/Record.h"

#include <QtTest>
#include <climits>

namespace {
struct SRec {
    uint8_t b[kRecordSize] = {0x00, 0x3A};
    SRec& at(int i, uint8_t hi, uint8_t lo) {
        b[i] = hi;
        b[i + 1] = lo;
        return *this;
    }
};
} // namespace

class TestRecord : public QObject {
    Q_OBJECT
private slots:
    void samplesAndPressures() {
        SRec r;
        r.at(2, 0xFF, 0xFF).at(4, 0x00, 0x13).at(6, 0x00, 0x14).at(8, 0x12, 0x34);
        r.at(10, 0x12, 0x34).at(12, 0xFF, 0xFF);
        SDecodedRecord d = DecodeRecord(r.b);
        QVERIFY(d.valid);
        QCOMPARE(d.samples[0], uint16_t(3276));
        QCOMPARE(d.samples[1], uint16_t(0));
        QCOMPARE(d.samples[2], uint16_t(1));
        QCOMPARE(d.samples[3], uint16_t(4660 / 20));
        QCOMPARE(d.stress1, 4660);
        QCOMPARE(d.stress2, 65535); // unsigned: no sign extension

        // Bytes 0 and 14 carry nothing the panel shows.
        SRec other = r;
        other.b[0] = 0xA5;
        other.b[14] = 0x5C;
        SDecodedRecord e = DecodeRecord(other.b);
        QVERIFY(e.valid);
        QVERIFY(std::equal(d.samples, d.samples + 4, e.samples));
        QCOMPARE(e.stress1, d.stress1);
        QCOMPARE(e.stress2, d.stress2);
    }

    void markerRequired() {
        SRec r;
        r.b[1] = 0x3B;
        r.b[0] = 0x3A; // a marker one byte early is still a misaligned record
        QVERIFY(!DecodeRecord(r.b).valid);
    }

    // The line as the panel writes it, read back strictly: the whole line, or
    // without its CR LF as the last line of a file cut short; nothing torn.
    void recordingLines() {
        SRec r;
        r.b[0] = 0xAB;
        r.at(2, 0x12, 0xEF).at(12, 0x00, 0x7F);
        char line[kRecordLineSize];
        FormatRecordLine(r.b, line);
        uint8_t back[kRecordSize];
        QCOMPARE(ParseRecordingLine(line, kRecordLineSize - 1, back), ELineKind::Record);
        QVERIFY(std::equal(back, back + kRecordSize, r.b));
        QCOMPARE(ParseRecordingLine(line, kRecordLineText, back), ELineKind::Record);
        QCOMPARE(ParseRecordingLine(line, kRecordLineText - 1, back), ELineKind::Malformed);
        QByteArray lower = QByteArray(line, kRecordLineText).toLower();
        QCOMPARE(ParseRecordingLine(lower.constData(), size_t(lower.size()), back),
                 ELineKind::Record);
        QVERIFY(std::equal(back, back + kRecordSize, r.b));
        for (const auto& [at, c] : {std::pair{5, ','}, {3, 'G'}, {44, '\t'}}) {
            QByteArray torn(line, kRecordLineSize - 1);
            torn[at] = c;
            QCOMPARE(ParseRecordingLine(torn.constData(), size_t(torn.size()), back),
                     ELineKind::Malformed);
        }
        r.b[kRecordMarkerPos] = 0x3B;
        FormatRecordLine(r.b, line);
        QCOMPARE(ParseRecordingLine(line, kRecordLineSize - 1, back), ELineKind::MarkerMissing);
    }

    void calibration() {
        QCOMPARE(CalibratePressure(12345, 100), 123);
        QCOMPARE(CalibratePressure(678, 100), 6);
        QCOMPARE(FormatCalibrationLine(12345, 678, 100, 100, 123, 6),
                 QStringLiteral("原始压力值wStressTmp1=12345,wStressTmp2=678,压力系数1=100,"
                                "压力系数2=100,新的压力值1=123,2=6"));
        QCOMPARE(CalibratePressure(65535, 1), 65535);
        QCOMPARE(CalibratePressure(65535, 200), 327);
        // A coefficient of 0 shows the raw value and must not trap.
        QCOMPARE(CalibratePressure(4660, 0), 4660);
        QCOMPARE(FormatCalibrationLine(4660, 678, 0, 100, 4660, 6),
                 QStringLiteral("原始压力值wStressTmp1=4660,wStressTmp2=678,压力系数1=0,"
                                "压力系数2=100,新的压力值1=4660,2=6"));
        CalibratePressure(INT_MIN, -1); // must not overflow (checked by the sanitizer builds)
    }
};

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_acquisition_record.moc"
