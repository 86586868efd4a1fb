// tovrel-export run as a program on recordings and sidecars made here, and
// what it writes read back with EDFlib's own reader; its refusals of bad
// input; the reader and the choice of data records on their own.
#include "acquisition/Record.h"
#include "acquisition/Recorder.h"
#include "acquisition/Sidecar.h"
#include "support/edfsupport.h"
#include "tools/export/EdfOutput.h"
#include "tools/export/Export.h"
#include "tools/export/RecordingReader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The data record duration (in EDFlib's 100 ns units) that a file written
// by EDFlib with records of `duration` (10 us units) holds when read back.
long long WrittenDuration(const QString& path, int duration) {
    const QByteArray name = QFile::encodeName(path);
    const int h = edfopen_file_writeonly(name.constData(), EDFLIB_FILETYPE_EDFPLUS, 1);
    if (h < 0)
        return -1;
    edf_set_datarecord_duration(h, duration);
    edf_set_samplefrequency(h, 0, 10);
    edf_set_physical_maximum(h, 0, 100);
    edf_set_physical_minimum(h, 0, 0);
    edf_set_digital_maximum(h, 0, 32767);
    edf_set_digital_minimum(h, 0, -32768);
    edf_set_label(h, 0, "x");
    short samples[10] = {};
    edfwrite_digital_short_samples(h, samples);
    edfclose_file(h);
    edf_hdr_struct hdr;
    if (edfopen_file_readonly(name.constData(), &hdr, EDFLIB_DO_NOT_READ_ANNOTATIONS) < 0)
        return -1;
    edfclose_file(hdr.handle);
    return hdr.datarecord_duration;
}

QString ToolPath() {
    return QCoreApplication::applicationDirPath() + "/../tools/export/tovrel-export";
}

// Line i of a test recording: every value tells the line apart, and the
// waves cover the whole 16-bit range.
std::array<uint16_t, 6> Values(long i) {
    return {uint16_t(i * 7919 % 65536),      uint16_t(65535 - i % 65536), uint16_t(i * 13 % 65536),
            uint16_t((i * 257 + 3) % 65536), uint16_t(12000 + i % 5000),  uint16_t(i % 700)};
}

QByteArray Line(long i, uint8_t marker = ':') {
    uint8_t rec[kRecordSize] = {uint8_t(i), marker};
    const auto v = Values(i);
    for (int k = 0; k < 6; ++k) {
        rec[2 + 2 * k] = uint8_t(v[size_t(k)] >> 8);
        rec[3 + 2 * k] = uint8_t(v[size_t(k)] & 0xFF);
    }
    rec[14] = uint8_t(i >> 8);
    char line[kRecordLineSize];
    FormatRecordLine(rec, line);
    return QByteArray(line, kRecordLineSize);
}

// Lines from..to-1 (line numbers from 1: line n holds Values(n)).
QByteArray Lines(long from, long to, const QList<long>& withoutMarker = {}) {
    QByteArray out;
    for (long n = from; n < to; ++n)
        out += Line(n, withoutMarker.contains(n) ? 0x00 : ':');
    return out;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

struct SRun {
    int code = -1;
    QString messages;
};

SRun Export(const QStringList& args) {
    QProcess p;
    p.start(ToolPath(), args);
    SRun r;
    if (!p.waitForFinished(120000))
        return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.messages = QString::fromLocal8Bit(p.readAllStandardError() + p.readAllStandardOutput());
    return r;
}

QStringList ReadCsv(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList rows = QString::fromUtf8(f.readAll()).split('\n');
    if (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    return rows;
}

SSidecarSegment Segment(const QString& start, const QString& stop, uint64_t first, uint64_t records,
                        double hz) {
    SSidecarSegment s;
    s.start = start;
    s.stop = stop;
    s.firstLine = first;
    s.records = records;
    s.rate = SSidecarRate{hz, records - 68, double(records - 68) / hz};
    s.firstHandOver = SSidecarFirstHandOver{0.5, 68};
    s.port = {QStringLiteral("COM1"), true, QStringLiteral("926000,n,8,1")};
    s.modes.push_back({first, start, false, 100, 100});
    return s;
}

// Nothing but these names in the folder: no output, no temporary file.
QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

// The plan test's rows: each changes the sidecar (one segment, lines 1-1000,
// test mode from line 1, 6173.29 Hz on 926000 baud) or the input.
struct SPlanRow {
    const char* name;
    void (*setup)(SSidecar&, SPlanInput&);
    const char* parts; // empty when refused
    const char* error;
    const char* note;
};
const SPlanRow kPlanRows[] = {
    {"one segment",
     [](SSidecar& sc, SPlanInput&) {
         sc.segments[0].markers = {{1, 500, ""}};
     },
     "1-end/0[m1 k500]", "", ""},
    {"resumes split it; events go with the line they name",
     [](SSidecar& sc, SPlanInput&) {
         SSidecarSegment& s = sc.segments[0];
         s.resumes = {{401, 10, 68}, {701, 20, 68}};
         s.modes.push_back({300, "", true, 50, 50});
         s.gains = {{700, "", 1, 2}};
         s.markers = {{1, 401, ""}, {2, 700, ""}, {3, 1001, ""}}; // the last after line 1000
     },
     "1-401/0[m1 m300] 401-701/1(m300)[k401 g700 k700] 701-end/2(m300)[k1001]", "", ""},
    {"a mode starting on a resume's line is not also in force",
     [](SSidecar& sc, SPlanInput&) {
         sc.segments[0].resumes = {{401, 10, 68}};
         sc.segments[0].modes.push_back({401, "", true, 50, 50});
     },
     "1-401/0[m1] 401-end/1[m401]", "", ""},
    {"resumed before its first line: timed by the resume",
     [](SSidecar& sc, SPlanInput&) {
         sc.segments[0].resumes = {{1, 10, 68}};
     },
     "1-end/1[m1]", "", ""},
    {"lines before the first segment, and a second segment",
     [](SSidecar& sc, SPlanInput&) {
         SSidecarSegment b = sc.segments[0];
         sc.segments[0].firstLine = 101;
         sc.segments[0].modes[0].line = 101;
         b.firstLine = 601;
         b.modes[0].line = 601;
         b.markers = {{1, 1001, ""}};
         sc.segments.push_back(b);
     },
     "1-101/0[] 101-601/0[m101] 601-end/0[m601 k1001]", "", ""},
    {"a rate the line cannot carry",
     [](SSidecar& sc, SPlanInput&) { sc.segments[0].rate = MeasuredRate(667800, 60); }, "",
     "20170305093012.json: segment 1 was measured at 11130.0000 Hz (667800 records in 60.000 "
     "s), above the 6173.3 records a second that 926000 baud 8N1 carries",
     ""},
    {"a measurement a little above the line over a second",
     [](SSidecar& sc, SPlanInput&) { sc.segments[0].rate = MeasuredRate(6289, 0.931); },
     "1-end/0[m1]", "", ""},
    {"... or above it by far more than its uncertainty",
     [](SSidecar& sc, SPlanInput&) {
         sc.segments[0].rate = MeasuredRate(6289, 0.931);
         sc.segments[0].rate->uncertaintyHz = 20;
     },
     "", "measured at 6755.1020 \u00b1 20.0000 Hz", ""},
    {"... accepted",
     [](SSidecar& sc, SPlanInput& in) {
         sc.segments[0].rate = MeasuredRate(667800, 60);
         in.acceptOdd = true;
     },
     "1-end/0[m1]", "", "exported at those rates, as --accept-odd asks"},
    {"a slower line",
     [](SSidecar& sc, SPlanInput&) {
         sc.segments[0].port.settings = "115200,e,8,1";
         sc.segments[0].rate = MeasuredRate(60000, 60);
     },
     "", "above the 698.2 records a second that 115200 baud 8E1 carries", ""},
    {"--rate above the line", [](SSidecar&, SPlanInput& in) { in.rate = 20000; }, "",
     "--rate 20000 for 20170305093012.txt is above the 6173.3 records a second", ""},
    {"a start in the year 9999",
     [](SSidecar& sc, SPlanInput&) { sc.segments[0].start = "9999-03-05T09:30:12.000+00:00"; }, "",
     "segment 1 starts 9999-03-05T09:30:12.000+00:00, outside the years 1985 to 2084", ""},
    {"... accepted as unknown",
     [](SSidecar& sc, SPlanInput& in) {
         sc.segments[0].start = "9999-03-05T09:30:12.000+00:00";
         in.acceptOdd = true;
     },
     "1-end/0[m1]", "", "taken as unknown"},
    {"a first hand-over 1e300 s after the start",
     [](SSidecar& sc, SPlanInput&) { sc.segments[0].firstHandOver->afterStart = 1e300; }, "",
     "segment 1's first hand-over comes 1e+300 s after its start", ""},
    {"rates far apart",
     [](SSidecar& sc, SPlanInput&) {
         SSidecarSegment b = sc.segments[0];
         b.firstLine = 1001;
         b.rate->hz = 6180;
         sc.segments[0].rate->uncertaintyHz = b.rate->uncertaintyHz = 0.01;
         sc.segments.push_back(b);
     },
     "1-1001/0[m1] 1001-end/0[m1]", "",
     "segments 1 (6173.2917 \u00b1 0.0100 Hz) and 2 (6180.0000 \u00b1 0.0100 Hz) differ in rate"},
    {"rates apart within their uncertainties",
     [](SSidecar& sc, SPlanInput&) {
         SSidecarSegment b = sc.segments[0];
         b.firstLine = 1001;
         b.rate->hz = 6173.3;
         sc.segments[0].rate->uncertaintyHz = b.rate->uncertaintyHz = 0.01;
         sc.segments.push_back(b);
     },
     "1-1001/0[m1] 1001-end/0[m1]", "", ""},
};

} // namespace

class TestToolsExport : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString Path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QVERIFY2(QFileInfo(ToolPath()).isExecutable(), qPrintable(ToolPath()));
    }
    void cleanup() {
        for (const QString& f : Entries(m_dir.path()))
            ::unlink(QFile::encodeName(Path(f)).constData()); // FIFOs and links too
    }

    // One segment with a measured rate that is not a whole number, every
    // kind of event, and lines whose marker byte is missing.
    void edfRoundTrip() {
        const long n = 9000;
        const double hz = 6173.2917043;
        QVERIFY(WriteFile(Path("20170305093012.txt"), Lines(1, n + 1, {40, 41, 5000})));
        SSidecar sc;
        sc.recording = "20170305093012.txt";
        sc.programVersion = "1.1.2";
        SSidecarSegment seg =
            Segment("2017-03-05T09:30:12.345+08:00", "2017-03-05T09:30:14.100+08:00", 1, n, hz);
        // The first 68 records were written 0.5 s after the start: the first
        // line is 68 records' time earlier.
        seg.modes.push_back({2001, "2017-03-05T09:30:12.700+08:00", true, 50, 0});
        seg.gains.push_back({3001, "2017-03-05T09:30:12.900+08:00", 10, 127});
        seg.markers.push_back({1, 4001, "2017-03-05T09:30:13.000+08:00"});
        seg.markers.push_back({2, n + 1, "2017-03-05T09:30:14.000+08:00"});
        sc.segments.push_back(seg);
        QString error;
        QVERIFY2(WriteSidecar(Path("20170305093012.json"), sc, error), qPrintable(error));

        const SRun run = Export({Path("20170305093012.txt"), "--edf", Path("out.edf")});
        QVERIFY2(run.code == 0, qPrintable(run.messages));
        QVERIFY2(run.messages.contains("3 line(s) without the record marker ':' in byte 1, "
                                       "exported as they stand: line 40, 41, 5000"),
                 qPrintable(run.messages));

        const SEdf e = ReadEdf(Path("out.edf"));
        QVERIFY(e.ok);
        QCOMPARE(e.filetype, EDFLIB_FILETYPE_EDFPLUS);
        // A type word first, as EDF+ readers and MNE-Python look for it.
        QCOMPARE(e.labels, (QStringList{"MISC Pulse 1", "MISC Pulse 2", "ECG ECG",
                                        "MISC Heart sound", "MISC Pressure 1", "MISC Pressure 2"}));
        QCOMPARE(e.dimensions, (QStringList{"raw/20", "raw/20", "raw/20", "raw/20", "raw", "raw"}));
        QVERIFY(e.transducers[2].startsWith("ECG"));
        for (const QString& f : e.prefilters)
            QVERIFY2(f.contains("not known") && !f.contains("HP:") && !f.contains("LP:"),
                     qPrintable(f));
        QCOMPARE(e.physMax, (QList<double>{3276.75, 3276.75, 3276.75, 3276.75, 65535, 65535}));
        QCOMPARE(e.physMin, (QList<double>{0, 0, 0, 0, 0, 0}));
        QCOMPARE(e.digMin, (QList<int>{-32768, -32768, -32768, -32768, -32768, -32768}));
        QCOMPARE(e.digMax, (QList<int>{32767, 32767, 32767, 32767, 32767, 32767}));
        QVERIFY2(std::abs(e.rate - hz) / hz < 1e-7, qPrintable(QString::number(e.rate, 'f', 9)));
        // 09:30:12.345 + 0.5 s - 68 / hz (11 ms).
        QCOMPARE(e.start, QDateTime(QDate(2017, 3, 5), QTime(9, 30, 12, 834)));

        // Every line, losslessly; the padding of the last data record repeats it.
        QVERIFY(e.samples >= n);
        for (int s = 0; s < 6; ++s) {
            for (long i = 0; i < e.samples; ++i) {
                const long line = std::min(i + 1, n);
                const int raw = Values(line)[size_t(s)];
                if (e.digital[size_t(s)][size_t(i)] != raw - 32768)
                    QFAIL(qPrintable(QString("signal %1, sample %2: %3, not %4")
                                         .arg(s)
                                         .arg(i)
                                         .arg(e.digital[size_t(s)][size_t(i)])
                                         .arg(raw - 32768)));
                const double shown = s < 4 ? raw / 20.0 : raw;
                if (std::abs(e.physical[size_t(s)][size_t(i)] - shown) > 1e-6)
                    QFAIL(qPrintable(QString("signal %1, sample %2: physical %3, not %4")
                                         .arg(s)
                                         .arg(i)
                                         .arg(e.physical[size_t(s)][size_t(i)])
                                         .arg(shown)));
            }
        }

        // Annotations at the time of the line they name (EDFlib keeps 100 us).
        const double period = 1 / e.rate;
        auto at = [&](const QString& text, double onset) {
            const SAnnotation a = Find(e, text);
            QVERIFY2(a.onset >= 0, qPrintable("no annotation " + text));
            QVERIFY2(std::abs(a.onset - onset) <= 1e-4,
                     qPrintable(QString("%1 at %2, not %3").arg(text).arg(a.onset).arg(onset)));
        };
        at("Segment 1/1 starts at line 1", 0);
        at("Test mode, coef 100/100", 0);
        at("Calibration mode, coef 50/0", 2000 * period);
        at("Pulse gains 10/127 sent", 3000 * period);
        at("Marker 1", 4000 * period);
        at("Marker 2", (n - 1) * period); // set after the last line: on it
        at("No ':' in byte 1, 2 lines", 39 * period);
        at("No ':' in byte 1, 1 line", 4999 * period);
        QVERIFY(std::abs(Find(e, "No ':' in byte 1, 2 lines").duration - 2 * period) <= 1e-4);
        if (e.samples > n)
            at("End of data, padding follows", n * period);
    }

    // Two segments in one recording (a start in the same second appends):
    // one EDF+ file each, one CSV for both with the gap in its times; the
    // calibrated pressures and the markers on their rows.
    void segmentsAndCsv() {
        const QString rec = Path("20170305093012.txt");
        QVERIFY(WriteFile(rec, Lines(1, 1001, {7}) + Lines(1001, 1501)));
        SSidecar sc;
        sc.recording = "20170305093012.txt";
        SSidecarSegment a = Segment("2017-03-05T09:30:12.000+00:00",
                                    "2017-03-05T09:30:13.500+00:00", 1, 1000, 1000);
        a.modes.push_back({501, "2017-03-05T09:30:12.600+00:00", true, 7, 0});
        a.markers.push_back({1, 1, "2017-03-05T09:30:12.300+00:00"});    // before any line
        a.markers.push_back({2, 101, "2017-03-05T09:30:12.300+00:00"});  // after line 100
        a.markers.push_back({3, 1001, "2017-03-05T09:30:12.900+00:00"}); // after the last
        SSidecarSegment b = Segment("2017-03-05T09:30:13.900+00:00",
                                    "2017-03-05T09:30:14.500+00:00", 1001, 500, 1000);
        b.firstHandOver.reset(); // starts at its start
        b.rate.reset();          // the other segment's rate stands in
        b.markers.push_back({4, 1250, "2017-03-05T09:30:13.100+00:00"});
        sc.segments = {a, b};
        QString error;
        QVERIFY(WriteSidecar(Path("20170305093012.json"), sc, error));

        const SRun run = Export({rec, "--edf", Path("out.edf"), "--csv", Path("out.csv")});
        QVERIFY2(run.code == 0, qPrintable(run.messages));
        QCOMPARE(Entries(m_dir.path()), (QStringList{"20170305093012.json", "20170305093012.txt",
                                                     "out-2.edf", "out.csv", "out.edf"}));
        const SEdf e1 = ReadEdf(Path("out.edf")), e2 = ReadEdf(Path("out-2.edf"));
        QVERIFY(e1.ok && e2.ok);
        QCOMPARE(e1.rate, 1000.0);
        QCOMPARE(e1.samples, 1000);
        QCOMPARE(e2.samples, 500);
        QCOMPARE(e1.start, QDateTime(QDate(2017, 3, 5), QTime(9, 30, 12, 432)));
        QCOMPARE(e2.start, QDateTime(QDate(2017, 3, 5), QTime(9, 30, 13, 900)));
        QCOMPARE(e2.digital[0][0], Values(1001)[0] - 32768);
        QVERIFY(Find(e2, "Segment 2/2 starts at line 1001").onset == 0);
        QCOMPARE(Find(e2, "Marker 4").onset, 0.249);

        const QStringList rows = ReadCsv(Path("out.csv"));
        QCOMPARE(rows.size(), 1 + 1500);
        QCOMPARE(rows[0], QString("line,time_s,pulse1_raw,pulse2_raw,ecg_raw,heart_sound_raw,"
                                  "pressure1_raw,pressure2_raw,pulse1,pulse2,ecg,heart_sound,"
                                  "pressure1,pressure2,marker,problem"));
        for (long line = 1; line <= 1500; ++line) {
            const QStringList c = rows[line].split(',');
            QCOMPARE(c.size(), 16);
            QCOMPARE(c[0].toLong(), line);
            const auto v = Values(line);
            for (int s = 0; s < 6; ++s)
                QCOMPARE(c[2 + s].toInt(), int(v[size_t(s)]));
            for (int s = 0; s < 4; ++s)
                QCOMPARE(c[8 + s].toInt(), v[size_t(s)] / 20);
            // Calibration from line 501 to the end of the first segment;
            // coefficient 0 shows the raw value, as the panel does.
            const bool calib = line >= 501 && line <= 1000;
            QCOMPARE(c[12].toInt(), calib ? v[4] / 7 : v[4]);
            QCOMPARE(c[13].toInt(), int(v[5]));
            QCOMPARE(c[15], line == 7 ? QString("no-marker-byte") : QString());
        }
        // Times: from the first line (12.432); the second segment's is 13.900.
        QCOMPARE(rows[1].split(',')[1], QString("0.000000"));
        QCOMPARE(rows[1000].split(',')[1], QString("0.999000"));
        QCOMPARE(rows[1001].split(',')[1], QString("1.468000"));
        QCOMPARE(rows[1500].split(',')[1], QString("1.967000"));
        // Markers on the line the sidecar gives them; one set after a
        // segment's last line on that line, and said so.
        QCOMPARE(rows[1].split(',')[14], QString("1"));
        QCOMPARE(rows[101].split(',')[14], QString("2"));
        QCOMPARE(rows[1000].split(',')[14], QString("3"));
        QCOMPARE(rows[1250].split(',')[14], QString("4"));
        QVERIFY2(run.messages.contains("Marker 3 (sidecar line 1001) on line 1000, the last of "
                                       "segment 1"),
                 qPrintable(run.messages));
        int marked = 0;
        for (const QString& r : rows)
            marked += r.split(',')[14].isEmpty() ? 0 : 1;
        QCOMPARE(marked, 1 + 4); // the header's column name, and four rows
    }

    // Sampling stopped and started again within a segment: the stretch after
    // the pause is an EDF+ file of its own, at its own time; the CSV's times
    // jump; events go with the stretch that holds their line.
    void resumeSplitsTheSegment() {
        const QString rec = Path("20170305093012.txt");
        QVERIFY(WriteFile(rec, Lines(1, 1001)));
        SSidecar sc;
        SSidecarSegment seg = Segment("2017-03-05T09:30:12.000+00:00",
                                      "2017-03-05T09:30:23.000+00:00", 1, 1000, 1000);
        seg.firstHandOver = SSidecarFirstHandOver{0.068, 68};
        seg.resumes.push_back({601, 10.0, 68});
        seg.modes.push_back({300, seg.start, true, 100, 100});
        seg.markers.push_back({1, 601, seg.start}); // after line 600, before the pause ended
        seg.markers.push_back({2, 700, seg.start});
        sc.segments = {seg};
        QString error;
        QVERIFY(WriteSidecar(Path("20170305093012.json"), sc, error));

        const SRun run = Export({rec, "--edf", Path("out.edf"), "--csv", Path("out.csv")});
        QVERIFY2(run.code == 0, qPrintable(run.messages));
        const SEdf a = ReadEdf(Path("out.edf")), b = ReadEdf(Path("out-2.edf"));
        QVERIFY(a.ok && b.ok);
        QCOMPARE(a.samples, 600);
        QCOMPARE(b.samples, 400);
        QCOMPARE(a.start, QDateTime(QDate(2017, 3, 5), QTime(9, 30, 12, 0)));
        QCOMPARE(b.start, QDateTime(QDate(2017, 3, 5), QTime(9, 30, 21, 932)));
        QCOMPARE(b.digital[5][0], Values(601)[5] - 32768);
        QCOMPARE(Find(b, "Segment 1 resumes at line 601").onset, 0.0);
        QCOMPARE(Find(b, "Calibration mode, coef 100/100").onset, 0.0); // in force
        QCOMPARE(Find(b, "Marker 1").onset, 0.0);
        QCOMPARE(Find(b, "Marker 2").onset, 0.099);
        QCOMPARE(Find(a, "Marker 1").onset, -1.0);
        QCOMPARE(Find(a, "Calibration mode, coef 100/100").onset, 0.299);

        const QStringList rows = ReadCsv(Path("out.csv"));
        QCOMPARE(rows.size(), 1001);
        QCOMPARE(rows[600].split(',')[1], QString("0.599000"));
        QCOMPARE(rows[601].split(',')[1], QString("9.932000"));
        QCOMPARE(rows[601].split(',')[14], QString("1")); // the first line after the pause
        QCOMPARE(rows[700].split(',')[14], QString("2"));
    }

    // Every event on one line in all outputs: the sidecar's line, the line
    // of the EDF+ sample a reader finds for its onset (rounding it, and where
    // the rate leaves room, truncating it too), the CSV row. One set after
    // the last line sits on that line, and the messages say so.
    void eventsOnTheirLines_data() {
        QTest::addColumn<double>("hz");
        QTest::newRow("measured line rate") << 6173.2917043; // onsets off EDFlib's 100 us grid
        QTest::newRow("3000.7 Hz") << 3000.7;
    }
    void eventsOnTheirLines() {
        QFETCH(double, hz);
        const long n = 3000;
        const QString rec = Path("20170305093012.txt");
        QVERIFY(WriteFile(rec, Lines(1, n + 1)));
        SSidecar sc;
        SSidecarSegment seg =
            Segment("2017-03-05T09:30:12.000+00:00", "2017-03-05T09:30:30.000+00:00", 1, n, hz);
        seg.resumes.push_back({2001, 2000 / hz + 5, 68});
        const QList<uint64_t> markerLines{1, 2, 777, 1500, 2000, 2001, 2002, 2999, 3000, 3001};
        for (qsizetype i = 0; i < markerLines.size(); ++i)
            seg.markers.push_back({int(i + 1), markerLines[i], seg.start});
        seg.modes.push_back({1234, seg.start, true, 50, 50});
        seg.gains.push_back({2345, seg.start, 3, 4});
        sc.segments = {seg};
        QString error;
        QVERIFY(WriteSidecar(Path("20170305093012.json"), sc, error));
        const SRun run = Export({rec, "--edf", Path("out.edf"), "--csv", Path("out.csv")});
        QVERIFY2(run.code == 0, qPrintable(run.messages));

        const SEdf a = ReadEdf(Path("out.edf")), b = ReadEdf(Path("out-2.edf"));
        QVERIFY(a.ok && b.ok);
        auto edfLine = [&](const QString& text) -> long {
            for (const auto& [e, first] : {std::pair{&a, 1L}, std::pair{&b, 2001L}}) {
                const SAnnotation x = Find(*e, text);
                if (x.onset < 0)
                    continue;
                const double at = x.onset * e->rate;
                const long rounded = first + std::lround(at);
                if (hz <= 5000 && first + long(std::floor(at + 1e-9)) != rounded)
                    return -1;
                return rounded;
            }
            return 0;
        };
        const QStringList rows = ReadCsv(Path("out.csv"));
        QCOMPARE(rows.size(), 1 + n);
        QMap<int, long> csvLine;
        for (long line = 1; line <= n; ++line)
            for (const QString& m : rows[line].split(',')[14].split(';', Qt::SkipEmptyParts))
                csvLine[m.toInt()] = line;
        for (qsizetype i = 0; i < markerLines.size(); ++i) {
            const long want = std::min<long>(long(markerLines[i]), n);
            const QString text = QString("Marker %1").arg(i + 1);
            QCOMPARE(edfLine(text), want);
            QCOMPARE(csvLine.value(int(i + 1)), want);
        }
        QCOMPARE(csvLine.size(), markerLines.size());
        QCOMPARE(edfLine("Calibration mode, coef 50/50"), 1234L);
        QCOMPARE(edfLine("Pulse gains 3/4 sent"), 2345L);
        QCOMPARE(edfLine("Segment 1 resumes at line 2001"), 2001L);
        QVERIFY2(run.messages.contains("1 event(s) lie outside the lines of their stretch") &&
                     run.messages.contains(
                         "Marker 10 (sidecar line 3001) on line 3000, the last of segment 1"),
                 qPrintable(run.messages));
        QVERIFY2(run.messages.contains("segment 1 after resume 1: lines 2001-3000"),
                 qPrintable(run.messages));
    }

    // MNE-Python, where it is installed, types the signals from their labels
    // and finds the markers on their lines.
    void mneTypesAndMarkers() {
        // Debian's python3-mne is in Debian's Python, which need not be the
        // first python3 on the PATH.
        QString python;
        for (const QString& candidate :
             {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
            QProcess probe;
            probe.start(candidate, {"-c", "import mne"});
            if (probe.waitForFinished(60000) && probe.exitStatus() == QProcess::NormalExit &&
                probe.exitCode() == 0) {
                python = candidate;
                break;
            }
        }
        if (python.isEmpty())
            QSKIP("MNE-Python is not installed (Debian: python3-mne)");
        const QString rec = Path("20170305093012.txt");
        QVERIFY(WriteFile(rec, Lines(1, 2001)));
        SSidecar sc;
        SSidecarSegment seg = Segment("2017-03-05T09:30:12.000+00:00",
                                      "2017-03-05T09:30:13.000+00:00", 1, 2000, 6173.2917043);
        seg.markers = {{1, 1, seg.start}, {2, 100, seg.start}, {3, 1777, seg.start}};
        sc.segments = {seg};
        QString error;
        QVERIFY(WriteSidecar(Path("20170305093012.json"), sc, error));
        const SRun run = Export({rec, "--edf", Path("out.edf")});
        QVERIFY2(run.code == 0, qPrintable(run.messages));

        static const char kScript[] = "import sys, mne\n"
                                      "mne.set_log_level('ERROR')\n"
                                      "raw = mne.io.read_raw_edf(sys.argv[1], infer_types=True)\n"
                                      "print('types=' + ','.join(raw.get_channel_types()))\n"
                                      "print('names=' + '|'.join(raw.ch_names))\n"
                                      "events, ids = mne.events_from_annotations(raw)\n"
                                      "names = {v: k for k, v in ids.items()}\n"
                                      "for s, _, e in events:\n"
                                      "    print('event=%s@%d' % (names[e], s))\n";
        QProcess py;
        py.start(python, {"-c", kScript, Path("out.edf")});
        QVERIFY(py.waitForFinished(120000));
        const QString out = QString::fromUtf8(py.readAllStandardOutput());
        QVERIFY2(py.exitCode() == 0, qPrintable(out + py.readAllStandardError()));
        QVERIFY2(out.contains("types=misc,misc,ecg,misc,misc,misc\n"), qPrintable(out));
        QVERIFY2(out.contains("names=Pulse 1|Pulse 2|ECG|Heart sound|Pressure 1|Pressure 2\n"),
                 qPrintable(out));
        // Samples from 0: line 100 is sample 99.
        for (const char* e : {"event=Marker 1@0\n", "event=Marker 2@99\n", "event=Marker 3@1776\n"})
            QVERIFY2(out.contains(e), qPrintable(out));
    }

    // Ctrl-C or SIGTERM in the middle of an export: it ends, and leaves no
    // output and no temporary file. The export is stopped as soon as its
    // temporary files exist and signalled, so the signal meets it mid-way
    // however fast the machine.
    void interrupted_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("Ctrl-C") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }
    void interrupted() {
        QFETCH(int, signal);
        const QString rec = Path("20170305093012.txt");
        {
            const QByteArray block = Lines(1, 1001);
            QFile f(rec);
            QVERIFY(f.open(QIODevice::WriteOnly));
            for (int i = 0; i < 3000; ++i) // 3 million lines
                QVERIFY(f.write(block) == block.size());
        }
        QProcess p;
        p.start(ToolPath(),
                {rec, "--rate", "1000", "--edf", Path("out.edf"), "--csv", Path("out.csv")});
        QVERIFY(p.waitForStarted());
        auto temporary = [&] {
            const QStringList e = Entries(m_dir.path());
            return std::any_of(e.begin(), e.end(),
                               [](const QString& f) { return f.startsWith(".out.csv."); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(temporary() || p.state() != QProcess::Running, 20000);
        QVERIFY2(p.state() == QProcess::Running, "the export ended before it could be stopped");
        const pid_t pid = pid_t(p.processId());
        ::kill(pid, SIGSTOP);
        ::kill(pid, signal);
        ::kill(pid, SIGCONT);
        QVERIFY(p.waitForFinished(20000));
        const QString said = QString::fromLocal8Bit(p.readAllStandardError());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(said.contains("interrupted") && said.contains("nothing written"),
                 qPrintable(said));
        QCOMPARE(Entries(m_dir.path()), QStringList{"20170305093012.txt"});
    }

    // The usual command line conventions: help and version on stdout with
    // status 0; a bad option on stderr with status 2.
    void commandLine_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("out"); // all of these on stdout
        QTest::addColumn<QString>("err");     // this on stderr
        QTest::newRow("help") << QStringList{"--help"} << 0
                              << QStringList{"Usage: tovrel-export [options] REC.txt\n",
                                             "\nOptions:\n", "--accept-odd", "\nExit status:\n"}
                              << QString();
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << QStringList{"tovrel-export " + SidecarProgramVersion() + "\n"}
                                 << QString();
        QTest::newRow("bad option")
            << QStringList{"--bogus", "x.txt"} << 2 << QStringList() << "Unknown option 'bogus'";
        QTest::newRow("no recording")
            << QStringList{"--csv", "x.csv"} << 2 << QStringList() << "REC.txt is missing";
    }
    void commandLine() {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QStringList, out);
        QFETCH(QString, err);
        QProcess p;
        p.start(ToolPath(), args);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), code);
        const QString stdoutText = QString::fromLocal8Bit(p.readAllStandardOutput());
        const QString stderrText = QString::fromLocal8Bit(p.readAllStandardError());
        for (const QString& o : out)
            QVERIFY2(stdoutText.contains(o), qPrintable(stdoutText));
        if (code == 0) {
            QVERIFY(stderrText.isEmpty());
            if (args == QStringList{"--version"})
                QCOMPARE(stdoutText, out.first());
        } else {
            QVERIFY(stdoutText.isEmpty());
            QVERIFY2(stderrText.contains(err), qPrintable(stderrText));
        }
    }

    // The plan of an export from its sidecar alone: its parts (first-end
    // lines / resume, the mode in force in brackets, the events: m mode,
    // g gain, k marker, with the sidecar's line), what is refused or told.
    void plan_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("parts");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("note");
        for (int i = 0; i < int(std::size(kPlanRows)); ++i)
            QTest::newRow(kPlanRows[i].name)
                << i << QString(kPlanRows[i].parts) << QString(kPlanRows[i].error)
                << QString(kPlanRows[i].note);
    }
    void plan() {
        QFETCH(int, row);
        QFETCH(QString, parts);
        QFETCH(QString, error);
        QFETCH(QString, note);
        SSidecar sc;
        sc.segments = {Segment("2017-03-05T09:30:12.000+00:00", "2017-03-05T09:30:30.000+00:00", 1,
                               1000, 6173.2917)};
        SPlanInput in;
        in.sidecar = &sc;
        in.recording = "20170305093012.txt";
        in.sidecarPath = "20170305093012.json";
        in.estimatedLines = 1000;
        kPlanRows[row].setup(sc, in);
        const SExportPlan p = PlanExport(in);
        QVERIFY2(p.error.contains(error) && (error.isEmpty() == p.error.isEmpty()),
                 qPrintable(p.error));
        QVERIFY2(p.notes.join('\n').contains(note) && (note.isEmpty() == p.notes.isEmpty()),
                 qPrintable(p.notes.join('\n')));
        if (!p.error.isEmpty())
            return;
        QStringList got;
        for (const SSegmentPlan& part : p.parts) {
            const SSidecarSegment* s =
                part.sidecarIndex >= 0 ? &sc.segments[size_t(part.sidecarIndex)] : nullptr;
            QString text = QString("%1-%2/%3")
                               .arg(part.firstLine)
                               .arg(part.endLine == UINT64_MAX ? QString("end")
                                                               : QString::number(part.endLine))
                               .arg(part.resume);
            if (part.modeInForce >= 0)
                text += QString("(m%1)").arg(s->modes[size_t(part.modeInForce)].line);
            QStringList events;
            for (size_t e = part.eventsBegin; e < part.eventsEnd; ++e) {
                const SPlanEvent& ev = p.events[e];
                events << QString("%1%2")
                              .arg(ev.kind == EPlanEvent::Mode   ? 'm'
                                   : ev.kind == EPlanEvent::Gain ? 'g'
                                                                 : 'k')
                              .arg(ev.line);
            }
            got << text + "[" + events.join(' ') + "]";
            QVERIFY(part.layout.samples > 0);
        }
        QCOMPARE(got.join(' '), parts);
    }

    // An onset on EDFlib's 100 us grid that readers map back to its sample.
    void annotationOnsets() {
        int wrong = 0;
        for (double hz : {250.0, 1000.0, 3000.7, 4999.0, 6173.2917043, 9000.0})
            for (int64_t s = 0; s < 400000; s += 7) {
                const double at = double(AnnotationOnset(s, hz)) / 10000.0 * hz;
                wrong += std::llround(at) != s;                             // rounding readers
                wrong += hz <= 5000 && int64_t(std::floor(at + 1e-9)) != s; // cutting ones
            }
        QCOMPARE(wrong, 0);
    }

    void badInput_data() {
        QTest::addColumn<QByteArray>("recording");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        const QStringList rate{"--rate", "1000"};
        QByteArray shortLine = Lines(1, 6);
        shortLine.insert(2 * kRecordLineSize + 10, "7");
        QByteArray notHex = Lines(1, 6);
        notHex[3 * kRecordLineSize + 4] = 'G';
        QTest::newRow("wrong length") << shortLine << rate << 1 << "line 3: not a record line";
        QTest::newRow("not hex") << notHex << rate << 1 << "line 4: not a record line";
        QTest::newRow("skip-bad") << notHex << (rate + QStringList{"--skip-bad"}) << 0
                                  << "1 malformed line(s) skipped";
        QTest::newRow("empty") << QByteArray() << rate << 1 << "is empty";
        QTest::newRow("only a cut-off line")
            << QByteArray("A5 3A 12") << rate << 1 << "holds no records";
        QTest::newRow("no rate") << Lines(1, 6) << QStringList() << 1 << "no sample rate";
        QTest::newRow("existing output") << Lines(1, 6) << (rate + QStringList{"--csv", "old"}) << 1
                                         << "exists (--force overwrites it)";
        QTest::newRow("unwritable folder")
            << Lines(1, 6) << (rate + QStringList{"--csv", "plain/out.csv"}) << 1
            << "cannot write in the folder";
        QTest::newRow("output is the recording")
            << Lines(1, 6) << (rate + QStringList{"--csv", "20170305093012.txt", "--force"}) << 1
            << "is the recording";
        QTest::newRow("no output")
            << Lines(1, 6) << QStringList{"--rate", "1000"} << 2 << "nothing to do";
        QTest::newRow("bad rate") << Lines(1, 6) << QStringList{"--rate", "0", "--csv", "x"} << 2
                                  << "--rate must be";
        QTest::newRow("being recorded") << Lines(1, 6) << rate << 1 << "still being recorded";
        QTest::newRow("bad sidecar") << Lines(1, 6) << rate << 1 << "cannot be used";
        QTest::newRow("missing recording") << QByteArray("-") << rate << 1 << "no such file";
        // What is not a regular file is never opened (a FIFO would block, a
        // device may change when opened) nor replaced.
        QTest::newRow("recording is a FIFO")
            << QByteArray("-") << rate << 1 << "is a FIFO (named pipe), not a recording file";
        QTest::newRow("recording is a device")
            << QByteArray("-") << rate << 1 << "is a device, not a recording file";
        QTest::newRow("sidecar is a FIFO")
            << Lines(1, 6) << rate << 1 << "is a FIFO (named pipe), not a sidecar file";
        QTest::newRow("output is a FIFO")
            << Lines(1, 6) << (rate + QStringList{"--csv", "fifo.csv", "--force"}) << 1
            << "is a FIFO (named pipe); an output must be a new or a regular file";
        QTest::newRow("output links to a device")
            << Lines(1, 6) << (rate + QStringList{"--csv", "null.csv", "--force"}) << 1
            << "is a symbolic link; an output must be a new or a regular file";
        // Sidecars that cannot be right (see rows of their own below).
        QTest::newRow("odd rate") << Lines(1, 201) << QStringList() << 1
                                  << "above the 6173.3 records a second that 926000 baud 8N1 "
                                     "carries: more than one device's records?; --accept-odd";
        QTest::newRow("odd rate accepted")
            << Lines(1, 201) << QStringList{"--accept-odd"} << 0 << "as --accept-odd asks";
        QTest::newRow("odd start") << Lines(1, 201) << QStringList() << 1
                                   << "starts 9999-03-05T09:30:12.000+00:00, outside the years "
                                      "1985 to 2084 that EDF+ can hold; --accept-odd";
        QTest::newRow("odd start accepted") << Lines(1, 201) << QStringList{"--accept-odd"} << 0
                                            << "the file says 1 January 1985 (EDF's \"unknown\")";
        QTest::newRow("odd first hand-over") << Lines(1, 201) << QStringList() << 1
                                             << "first hand-over comes 1e+300 s after its start";
        QTest::newRow("10,000 resumes") << Lines(1, 20002) << QStringList{"--csv", "out.csv"} << 0
                                        << "... and 9981 more parts, to line 20001";
    }
    void badInput() {
        QFETCH(QByteArray, recording);
        QFETCH(QStringList, extra);
        QFETCH(int, code);
        QFETCH(QString, message);
        const QString rec = Path("20170305093012.txt");
        if (recording != "-")
            QVERIFY(WriteFile(rec, recording));
        QVERIFY(WriteFile(Path("old"), "keep me"));
        QVERIFY(WriteFile(Path("plain"), "a file, not a folder"));
        const QString tag = QTest::currentDataTag();
        if (tag == "bad sidecar")
            QVERIFY(WriteFile(Path("20170305093012.json"), "{\"format\": "));
        if (tag == "recording is a FIFO")
            QCOMPARE(::mkfifo(QFile::encodeName(rec).constData(), 0600), 0);
        if (tag == "recording is a device")
            QCOMPARE(::symlink("/dev/null", QFile::encodeName(rec).constData()), 0);
        if (tag == "sidecar is a FIFO")
            QCOMPARE(::mkfifo(QFile::encodeName(Path("20170305093012.json")).constData(), 0600), 0);
        if (tag == "output is a FIFO")
            QCOMPARE(::mkfifo(QFile::encodeName(Path("fifo.csv")).constData(), 0600), 0);
        if (tag == "output links to a device")
            QCOMPARE(::symlink("/dev/null", QFile::encodeName(Path("null.csv")).constData()), 0);
        if (tag.startsWith("odd") || tag == "10,000 resumes") {
            SSidecar sc;
            const uint64_t lines = uint64_t(recording.size() / kRecordLineSize);
            SSidecarSegment seg = Segment("2017-03-05T09:30:12.000+00:00",
                                          "2017-03-05T09:30:30.000+00:00", 1, lines, 6173.29);
            if (tag.startsWith("odd rate")) // two devices' records in one recording
                seg.rate = MeasuredRate(667800, 60);
            if (tag.startsWith("odd start"))
                seg.start = "9999-03-05T09:30:12.000+00:00";
            if (tag == "odd first hand-over")
                seg.firstHandOver->afterStart = 1e300;
            for (uint64_t r = 1; tag == "10,000 resumes" && r <= 10000; ++r)
                seg.resumes.push_back({1 + 2 * r, double(r), 68});
            sc.segments = {seg};
            QString error;
            QVERIFY(WriteSidecar(Path("20170305093012.json"), sc, error));
        }
        // A recorder holds the recording, as the panel's does while it records.
        CRecorder recorder;
        if (tag == "being recorded")
            QVERIFY(recorder.Start(QFile::encodeName(rec).toStdString()).opened);
        const QStringList before = Entries(m_dir.path());

        QStringList args{rec};
        for (const QString& a : extra)
            args << (a == "old" || a.startsWith("plain") || a.endsWith(".csv") ? Path(a) : a);
        if (!extra.contains("--csv") && tag != "no output")
            args << "--edf" << Path("out.edf");
        QDir::setCurrent(m_dir.path());
        const SRun run = Export(args);
        QVERIFY2(run.code == code,
                 qPrintable(QString("exit %1: %2").arg(run.code).arg(run.messages)));
        QVERIFY2(run.messages.contains(message), qPrintable(run.messages));
        if (code != 0) {
            // Nothing written, nothing left behind, the old file untouched.
            QCOMPARE(Entries(m_dir.path()), before);
            QFile old(Path("old"));
            QVERIFY(old.open(QIODevice::ReadOnly));
            QCOMPARE(old.readAll(), QByteArray("keep me"));
        }
        if (tag == "being recorded") {
            recorder.Stop();
            QCOMPARE(Export(args).code, 0);
        }
        if (tag == "existing output") {
            QCOMPARE(Export(args + QStringList{"--force"}).code, 0);
            QCOMPARE(ReadCsv(Path("old")).size(), 6);
        }
        if (tag == "bad sidecar" || tag == "sidecar is a FIFO")
            QCOMPARE(Export(args + QStringList{"--no-sidecar"}).code, 0);
        if (tag == "output links to a device")
            QVERIFY(QFileInfo(Path("null.csv")).isSymLink());
        if (tag == "10,000 resumes")
            QCOMPARE(ReadCsv(Path("out.csv")).size(), 1 + 20001);
    }

    // A recording cut off by a crash: the piece of a line at its end is left
    // out and reported; a whole last line without its line end is a line.
    void reader_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("buffer");
        QTest::addColumn<QString>("kinds"); // R record, M marker missing, X malformed
        QTest::addColumn<int>("cutOff");
        const QByteArray two = Lines(1, 3);
        QTest::newRow("plain") << two << 4096 << "RR" << 0;
        QTest::newRow("small buffer") << Lines(1, 40) << 100 << QString(39, 'R') << 0;
        QTest::newRow("cut off") << two + "0A 3A 1" << 4096 << "RR" << 7;
        QTest::newRow("no last line end") << two + Line(3).left(45) << 4096 << "RRR" << 0;
        QTest::newRow("LF only, lower case")
            << two + Line(3).toLower().replace("\r\n", "\n") << 4096 << "RRR" << 0;
        QTest::newRow("no marker") << Line(1, 0x3B) + Line(2) << 4096 << "MR" << 0;
        QTest::newRow("blank line") << Line(1) + "\r\n" + Line(2) << 4096 << "RXR" << 0;
        QTest::newRow("longer than the buffer")
            << Line(1) + QByteArray(300, 'A') + "\n" + Line(2) << 100 << "RXR" << 0;
        QTest::newRow("double space")
            << QByteArray(Line(1)).replace("3A ", "3A  ") << 4096 << "X" << 0;
    }
    void reader() {
        QFETCH(QByteArray, text);
        QFETCH(int, buffer);
        QFETCH(QString, kinds);
        QFETCH(int, cutOff);
        QBuffer in(&text);
        QVERIFY(in.open(QIODevice::ReadOnly));
        CRecordingReader reader(in, size_t(buffer));
        SRecordingLine line;
        QString got;
        while (reader.Next(line)) {
            QCOMPARE(line.number, uint64_t(got.size() + 1));
            got += line.kind == ELineKind::Record          ? 'R'
                   : line.kind == ELineKind::MarkerMissing ? 'M'
                                                           : 'X';
            if (line.kind != ELineKind::Malformed)
                QCOMPARE(int(line.bytes[2] << 8 | line.bytes[3]),
                         int(Values(long(line.bytes[0] | line.bytes[14] << 8))[0]));
        }
        QCOMPARE(got, kinds);
        QCOMPARE(reader.CutOffBytes(), qint64(cutOff));
        QVERIFY(!reader.Failed());
    }

    // Data records for rates that are whole numbers, and for those that are
    // not: the file's rate is the one asked for, or within 1e-7 of it.
    void dataRecords() {
        const auto r1000 = ChooseDataRecord(1000);
        QVERIFY(r1000);
        QCOMPARE(r1000->samples, 100);
        QCOMPARE(r1000->Seconds(), 0.1);
        const auto line = ChooseDataRecord(6173);
        QCOMPARE(line->samples, 6173);
        QCOMPARE(line->Seconds(), 1.0);
        const auto third = ChooseDataRecord(92600.0 / 15); // 6173.333...
        QCOMPARE(third->samples, 926);
        QCOMPARE(third->Seconds(), 0.15);
        for (double hz : {6173.2917043, 0.5, 1234.56789, 12345.678, 2990.402}) {
            const auto r = ChooseDataRecord(hz);
            QVERIFY(r);
            QVERIFY2(std::abs(r->Rate() - hz) / hz <= 1e-7, qPrintable(QString::number(hz)));
            QVERIFY(r->Seconds() >= 0.1 && r->Seconds() <= 10);
        }
        // What the header holds is the duration chosen, by EDFlib's own reader;
        // and the rule for which durations it keeps agrees with EDFlib.
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString path = tmp.filePath(QStringLiteral("d.edf"));
        for (double hz : {92600.0 / 15, 2990.402, 3000.0, 6173.2917043, 1234.56789}) {
            const auto r = ChooseDataRecord(hz);
            QCOMPARE(WrittenDuration(path, r->duration), r->duration * 100LL);
        }
        int kept = 0;
        for (int d = 10000; d <= 1000000; d += 331) {
            const bool written = WrittenDuration(path, d) == d * 100LL;
            QVERIFY2(EdfKeepsDuration(d) == written, qPrintable(QString::number(d)));
            kept += written;
        }
        QVERIFY(kept > 0 && kept < 2991); // both kinds were met
        QVERIFY(!ChooseDataRecord(0.05));
        QVERIFY(!ChooseDataRecord(200000));
        QVERIFY(!ChooseDataRecord(std::nan("")));
    }
};

QTEST_GUILESS_MAIN(TestToolsExport)
#include "tst_tools_export.moc"
