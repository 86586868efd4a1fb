#include "acquisition/RateFit.h"
#include "acquisition/Record.h"
#include "acquisition/Recorder.h"
#include "acquisition/RecordingSession.h"
#include "acquisition/RecvBuffers.h"
#include "acquisition/RecvFeed.h"
#include "acquisition/Sidecar.h"

#include "support/testsupport.h"

#include <QRandomGenerator>
#include <QtTest>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {
QByteArray ReadAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Records numbered in byte 0, with the marker only on even ones.
QByteArray Records(int count, int extra = 0) {
    QByteArray b(count * kRecordSize + extra, char(0x77));
    for (int r = 0; r < count; ++r) {
        b[r * kRecordSize] = char(r);
        b[r * kRecordSize + 1] = char(r % 2 ? 0x00 : 0x3A);
    }
    return b;
}

QByteArray Lines(const QByteArray& records) {
    QByteArray out;
    for (int at = 0; at + kRecordSize <= records.size(); at += kRecordSize) {
        char line[kRecordLineSize];
        FormatRecordLine(reinterpret_cast<const uint8_t*>(records.constData() + at), line);
        out.append(line, kRecordLineSize);
    }
    return out;
}

SRecordingFault Save(CRecorder& rec, const QByteArray& b) {
    return rec.SaveRecords(int(b.size()), reinterpret_cast<const uint8_t*>(b.constData()));
}

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT
private slots:
    void lineFormat() {
        const uint8_t rec[kRecordSize] = {0xA5, 0x3A, 0x12, 0x34, 0x0F, 0xA0, 0x08, 0x00,
                                          0x00, 0x64, 0x30, 0x39, 0x02, 0xA6, 0x5C};
        char line[kRecordLineSize];
        FormatRecordLine(rec, line);
        QCOMPARE(QByteArray(line, kRecordLineSize),
                 QByteArray("A5 3A 12 34 0F A0 08 00 00 64 30 39 02 A6 5C \r\n"));
    }

    void fileNames() {
        struct tm t = {};
        t.tm_year = 117;
        t.tm_mon = 2;
        t.tm_mday = 5;
        t.tm_hour = 9;
        t.tm_min = 30;
        t.tm_sec = 12;
        QCOMPARE(RecordingFileName("/d/", &t), std::string("/d/20170305093012.txt"));
        QCOMPARE(RecordingFileName("/d/", nullptr), std::string("/d/00000-01-01-01.txt"));
        const std::string deep = "/" + std::string(400, 'x') + "/";
        QCOMPARE(RecordingFileName(deep, &t), deep + "20170305093012.txt");

        const std::string dir = GetModuleDir();
        QCOMPARE(QString::fromStdString(dir), QCoreApplication::applicationDirPath() + '/');
    }

    // Whole records only, every record whatever its content, nothing while off.
    void buffersToLines() {
        QTemporaryDir tmp;
        const std::string path = tmp.filePath("r.txt").toStdString();
        CRecorder rec;
        Save(rec, Records(3)); // not recording yet
        QVERIFY(!QFile::exists(QString::fromStdString(path)));

        QVERIFY(rec.Start(path).opened);
        QVERIFY(rec.IsSaving());
        QCOMPARE(ReadAll(path), QByteArray()); // created, empty until data flows

        const QByteArray full = Records(68, 4); // 1024 bytes
        Save(rec, full);
        // Flushed per buffer: another reader sees it without a stop.
        QCOMPARE(ReadAll(path).size(), 68 * kRecordLineSize);

        const QByteArray exact = Records(68); // 1020 bytes
        Save(rec, exact);
        Save(rec, Records(0, 14));
        rec.SaveRecords(0, nullptr);
        rec.SaveRecords(-15, reinterpret_cast<const uint8_t*>(full.constData()));
        QCOMPARE(ReadAll(path), Lines(full) + Lines(exact));
        QVERIFY(Lines(full).contains("01 00 77")); // a record without its marker

        rec.Stop();
        Save(rec, exact);
        QCOMPARE(ReadAll(path).size(), 136 * kRecordLineSize);

        // A second recording under the same name appends.
        QVERIFY(rec.Start(path).opened);
        Save(rec, Records(1));
        rec.Stop();
        QCOMPARE(ReadAll(path), Lines(full) + Lines(exact) + Lines(Records(1)));
    }

    void stopBeforeStartAndDestructor() {
        QTemporaryDir tmp;
        const std::string path = tmp.filePath("d.txt").toStdString();
        {
            CRecorder rec;
            rec.Stop();
            QVERIFY(!rec.IsSaving());
            QVERIFY(!rec.HasFile());
            QVERIFY(rec.Start(path).opened);
            Save(rec, Records(2));
        } // left open: the destructor closes it
        QCOMPARE(ReadAll(path), Lines(Records(2)));
    }

    void openFailures() {
        QTemporaryDir tmp;
        CRecorder rec;
        SRecordingStart r = rec.Start(tmp.filePath("missing/x.txt").toStdString());
        QVERIFY(!r.opened);
        QCOMPARE(r.error, ENOENT);
        QVERIFY(!r.reason.empty());
        QVERIFY(!rec.IsSaving());
        QVERIFY(!rec.HasFile());

        QFile plain(tmp.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        r = rec.Start(tmp.filePath("plain/x.txt").toStdString());
        QVERIFY(!r.opened);
        QCOMPARE(r.error, ENOTDIR);
    }

    void longDirectoryNotCut() {
        QTemporaryDir tmp;
        QString dir = tmp.path();
        while (dir.size() < 400) {
            dir += "/" + QString(60, 'd');
            QVERIFY(QDir().mkpath(dir));
        }
        const std::string name = RecordingFileNameNow(dir.toStdString() + "/");
        QVERIFY(name.size() > 255);
        CRecorder rec;
        QVERIFY(rec.Start(name).opened);
        Save(rec, Records(1));
        rec.Stop();
        QCOMPARE(ReadAll(name), Lines(Records(1)));
    }

    // The user's folder first; an installed program records into the
    // documents folder even where it may write beside itself (root); a build
    // or a copied folder beside itself where it may.
    void recordingFolderRule() {
        const auto choose = [](std::string chosen, bool installed, bool writable,
                               std::string documents) {
            return ChooseRecordingDir({chosen, "/opt/t/bin/", installed, writable, documents});
        };
        QCOMPARE(choose("", false, true, "/home/u/Documents"), std::string("/opt/t/bin/"));
        QCOMPARE(choose("", false, false, "/home/u/Documents"),
                 std::string("/home/u/Documents/Tovrel/"));
        QCOMPARE(choose("", true, true, "/root/Documents/"),
                 std::string("/root/Documents/Tovrel/"));
        QCOMPARE(choose("", true, false, "/home/u/Documents"),
                 std::string("/home/u/Documents/Tovrel/"));
        QCOMPARE(choose("/data/rec", true, true, "/root/Documents"), std::string("/data/rec/"));
        QCOMPARE(choose("/data/rec/", false, true, ""), std::string("/data/rec/"));
        // Without a documents folder the open is left to fail and be reported.
        QCOMPARE(choose("", false, false, ""), std::string("/opt/t/bin/"));
    }

    // Installed: in a bin folder the build installs into, or in bin/ of a
    // prefix with the desktop entry in its share/; never a build's folder.
    void installedProgramFolder() {
        QTemporaryDir tmp;
        const std::string prefix = QFile::encodeName(tmp.path()).toStdString();
        QVERIFY(QDir().mkpath(tmp.filePath("bin")) && QDir().mkpath(tmp.filePath("other")));
        QVERIFY(QFile::link(tmp.filePath("bin"), tmp.filePath("link")));
        const std::string bin = prefix + "/bin/";
        QVERIFY(!IsInstalledProgramDir(bin, {"/usr/bin/"}));
        QVERIFY(IsInstalledProgramDir(bin, {"/usr/bin/", bin}));
        QVERIFY(IsInstalledProgramDir(prefix + "/link/", {prefix + "/bin"}));
        QVERIFY(!IsInstalledProgramDir(prefix + "/other/", {bin}));
        QVERIFY(!IsInstalledProgramDir(prefix + "/missing/", {prefix + "/missing/"}));
        QVERIFY(QDir().mkpath(tmp.filePath("share/applications")));
        QFile entry(tmp.filePath("share/applications/tovrel.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.close();
        QVERIFY(IsInstalledProgramDir(bin, {}));
        QVERIFY(!IsInstalledProgramDir(GetModuleDir(), InstallBinDirs()));
        QVERIFY(InstallBinDirs().size() == 2 && InstallBinDirs()[1] == "/usr/bin/");
    }

    // A write that fails ends the recording and says why; the lines written
    // before stay whole.
    void writeFailureEndsTheRecording() {
        {
            CRecorder rec;
            QVERIFY(rec.Start("/dev/full").opened);
            const uint32_t which = rec.Recording();
            const SRecordingFault f = Save(rec, Records(3));
            QVERIFY(f.failed);
            QCOMPARE(f.path, std::string("/dev/full"));
            QCOMPARE(QString::fromStdString(f.reason), QString::fromLocal8Bit(strerror(ENOSPC)));
            QCOMPARE(f.session, which);
            QVERIFY(!rec.IsSaving() && !rec.HasFile());
            QVERIFY(!Save(rec, Records(3)).failed); // off now: nothing more to fail
        }

        SSmallDisk disk(64);
        if (!disk.mounted)
            QSKIP("no small file system can be mounted here");
        const std::string path = disk.dir.filePath("full.txt").toStdString();
        CRecorder rec;
        QVERIFY(rec.Start(path).opened);
        const QByteArray buf = Records(68);
        QByteArray written;
        SRecordingFault f;
        for (int k = 0; k < 100 && !f.failed; ++k) {
            f = Save(rec, buf);
            if (!f.failed)
                written += Lines(buf);
        }
        QVERIFY(f.failed);
        QCOMPARE(QString::fromStdString(f.reason), QString::fromLocal8Bit(strerror(ENOSPC)));
        QVERIFY(!rec.IsSaving() && !rec.HasFile());
        QVERIFY(written.size() > 0);
        QCOMPARE(ReadAll(path), written);
    }

    // Start and stop race the writer; every line must still be whole.
    void stopWhileWriting() {
        QTemporaryDir tmp;
        const std::string path = tmp.filePath("race.txt").toStdString();
        CRecorder rec;
        std::atomic<bool> done{false};
        const QByteArray buf = Records(68, 4);
        std::thread writer([&] {
            while (!done.load())
                Save(rec, buf);
        });
        for (int i = 0; i < 200; ++i) {
            QVERIFY(rec.Start(path).opened);
            std::this_thread::yield();
            rec.Stop();
        }
        done = true;
        writer.join();
        const QByteArray all = ReadAll(path);
        const QByteArray one = Lines(buf);
        QCOMPARE(all.size() % one.size(), 0);
        for (qsizetype at = 0; at < all.size(); at += one.size())
            QVERIFY(all.mid(at, one.size()) == one);
    }

    // Two panels starting in the same second: the second takes the next
    // free name, and each keeps its own file. One panel starting again
    // within the second appends to its own.
    void onePanelOneFile() {
        QTemporaryDir tmp;
        const std::string path = tmp.filePath("20170305093012.txt").toStdString();
        QCOMPARE(RecordingFileNameTaken(path, 2),
                 tmp.filePath("20170305093012-2.txt").toStdString());
        CRecorder a, b;
        const SRecordingStart sa = a.Start(path), sb = b.Start(path);
        QVERIFY(sa.opened && sb.opened);
        QCOMPARE(sa.path, path);
        QCOMPARE(sb.path, RecordingFileNameTaken(path, 2));
        QVERIFY(!Save(a, Records(2)).failed && !Save(b, Records(3)).failed);
        const uint32_t again = a.End(sa.session);
        QVERIFY(again > sa.session);
        const SRecordingStart sa2 = a.Start(path);
        QCOMPARE(sa2.path, path);
        QVERIFY(!Save(a, Records(1)).failed);
        a.Stop();
        b.Stop();
        QCOMPARE(ReadAll(path), Lines(Records(2)) + Lines(Records(1)));
        QCOMPARE(ReadAll(sb.path), Lines(Records(3)));
    }

    // A sidecar rewrite on a full disk leaves the previous sidecar whole.
    void sidecarSurvivesAFullDisk() {
        SSmallDisk disk(64);
        if (!disk.mounted)
            QSKIP("no small file system can be mounted here");
        const QString path = disk.dir.filePath("s.json");
        SSidecar sc;
        sc.segments.push_back({});
        sc.segments[0].start = "2017-03-05T09:30:12.000+00:00";
        QString error;
        QVERIFY(WriteSidecar(path, sc, error));
        const QByteArray before = ReadAll(path.toStdString());
        {
            QFile filler(disk.dir.filePath("filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'x');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
        }
        for (int k = 0; k < 200; ++k)
            sc.segments[0].markers.push_back({k + 1, uint64_t(k + 1), sc.segments[0].start});
        QVERIFY(!WriteSidecar(path, sc, error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(ReadAll(path.toStdString()), before);
        QCOMPARE(QDir(disk.dir.path()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"filler", "s.json"}));
    }

    // The rate fitted over arrivals read every 12 ms in pieces of whatever
    // has come, with the reads late by up to a few milliseconds and once by
    // half a second: within 0.05 % after 10 s and 0.01 % after 60 s, and its
    // uncertainty covers the error; a pause between stretches counts for
    // nothing.
    void rateFittedOverArrivals() {
        for (double seconds : {5.0, 10.0, 60.0}) {
            const double hz = 6173.0;
            CRateFit fit;
            QRandomGenerator rng(3);
            uint64_t record = 0;
            for (double t = 0; t < seconds; t += 0.012) {
                if (seconds == 60.0 && t > 30 && t < 30.012) {
                    fit.NewStretch(); // sampling stopped for 7 s
                    t += 7;
                    record += 0;
                }
                double readAt = t + rng.bounded(4.0) / 1000.0;
                // Held up for half a second: what came meanwhile is read late,
                // at once.
                if (t > 1.0 && t < 1.5)
                    readAt = 1.5 + rng.bounded(4.0) / 1000.0;
                const double active = seconds == 60.0 && t > 30 ? t - 7 : t;
                const uint64_t upTo = uint64_t(active * hz);
                if (upTo > record) {
                    record = upTo;
                    fit.Add(double(record - 1), readAt);
                }
            }
            const std::optional<SRateFitResult> r = fit.Result();
            QVERIFY(r);
            const double error = std::abs(r->hz - hz) / hz;
            QVERIFY2(error < (seconds >= 60 ? 1e-4 : 5e-4), qPrintable(QString::number(error)));
            QVERIFY(r->uncertaintyHz > 0 && std::abs(r->hz - hz) <= r->uncertaintyHz);
            QVERIFY(std::abs(r->seconds - seconds) < 8.1);
        }
        QVERIFY(!CRateFit().Result());
    }

    // The recording session without a panel: what arrives between start
    // and stop is the recording, an event lies on the line of the first
    // record after it, and a start within the same second as the last stop
    // continues the file and its sidecar where the earlier one ends, also
    // while that one's last records are still to be written.
    void sessionPlacesRecordsAndEventsByArrival() {
        QTemporaryDir tmp;
        CRecvBuffers recv;
        CRecvFeed feed(recv);
        CRecordingSession session(feed);
        int64_t waiting = 0; // bytes 'in the serial control', received but not yet fed
        feed.SetWaiting([&] { return waiting; });
        feed.SetEventSink([&](const CRecvFeed::SEvent& e) { session.OnEvent(e); });
        recv.SetRecordSink(
            [&](uint32_t tag, int n, TArrival at) { session.OnRecords(tag, n, at); });
        session.Recorder().SetWriter(true);
        const QByteArray stream = Records(600);
        qsizetype fed = 0;
        auto feedTo = [&](int record) {
            auto t = std::chrono::steady_clock::now();
            for (; fed < qsizetype(record) * kRecordSize;) {
                const int n = feed.Limit(int(std::min<qsizetype>(90, record * kRecordSize - fed)));
                feed.Feed(reinterpret_cast<const uint8_t*>(stream.constData()) + fed, n, t);
                t += std::chrono::milliseconds(2);
                fed += n;
                for (int i = recv.FindReady(); i >= 0; i = recv.FindReady())
                    recv.ProcessBuffer(
                        i,
                        [&](int c, const uint8_t* b, const uint32_t* tags, uint32_t after) {
                            session.Recorder().SaveRecords(c, b, tags, after);
                        },
                        [](const uint8_t*) {});
            }
        };
        const QString path = tmp.filePath("20170305093012.txt");
        feedTo(40);
        waiting = 10 * kRecordSize; // records 40..49 have arrived, not yet fed
        QVERIFY(session.Start(path).opened);
        feedTo(100);
        waiting = 5 * kRecordSize;
        QCOMPARE(session.Marker(), 1); // before record 105
        feedTo(200);
        waiting = 0;
        session.Stop(); // after record 199
        // Started again at once: the first recording's last records are
        // still with the worker.
        QVERIFY(session.Start(path).opened);
        feedTo(300);
        session.Stop();
        feedTo(310);
        session.Recorder().SetWriter(false);
        session.Tick();

        QCOMPARE(ReadAll(path.toStdString()),
                 Lines(stream.mid(50 * kRecordSize, 150 * kRecordSize)) +
                     Lines(stream.mid(200 * kRecordSize, 100 * kRecordSize)));
        SSidecar sc;
        QString error;
        QVERIFY2(ReadSidecar(SidecarPathFor(path), sc, error), qPrintable(error));
        QCOMPARE(sc.segments.size(), size_t(2));
        QCOMPARE(sc.segments[0].firstLine, uint64_t(1));
        QCOMPARE(sc.segments[0].records, uint64_t(150));
        QCOMPARE(sc.segments[0].markers.size(), size_t(1));
        QCOMPARE(sc.segments[0].markers[0].line, uint64_t(105 - 50 + 1));
        QCOMPARE(sc.segments[1].firstLine, uint64_t(151));
        QCOMPARE(sc.segments[1].records, uint64_t(100));
        QCOMPARE(sc.segments[1].markers.size(), size_t(0));
    }

    // Everything a sidecar holds comes back as written; its times carry
    // their offset, also a zero one, and keep the wall clock they were
    // written in.
    void sidecarRoundTrip() {
        SSidecar sc;
        sc.recording = "20170305093012.txt";
        sc.programVersion = SidecarProgramVersion();
        sc.written = "2017-03-05T09:35:00.000+00:00";
        SSidecarSegment a;
        a.start = SidecarTime(QDateTime(QDate(2017, 3, 5), QTime(9, 30, 12, 345), Qt::UTC));
        QCOMPARE(a.start, QString("2017-03-05T09:30:12.345+00:00"));
        a.stop = "2017-03-05T10:30:12.001-03:30";
        a.records = 22222222;
        a.firstHandOver = SSidecarFirstHandOver{0.0125, 68};
        a.rate = MeasuredRate(22222222 - 68, 3600.5);
        QVERIFY(a.rate);
        QCOMPARE(a.rate->records, uint64_t(22222222 - 68));
        QCOMPARE(a.rate->hz, (22222222 - 68) / 3600.5);
        a.resumes = {{5000, 12.5, 30}, {7000, 20, 68}};
        a.port = {"COM3", true, "926000,n,8,1"};
        a.modes = {{1, a.start, false, 100, 100}, {5000, a.start, true, 0, 200}};
        a.gains = {{7000, a.start, 127, 0}};
        a.markers = {{1, 9000, a.start}, {2, 9000, a.start}};
        SSidecarSegment b;
        b.start = "2017-03-05T09:30:12.999+08:00";
        b.firstLine = 22222223;
        sc.segments = {a, b};
        QCOMPARE(sc.NextMarkerNumber(), 3);

        SSidecar back;
        QString error;
        QVERIFY2(SidecarFromJson(SidecarToJson(sc), back, error), qPrintable(error));
        QVERIFY(back == sc);
        const QDateTime t = ParseSidecarTime(b.start);
        QCOMPARE(t.time(), QTime(9, 30, 12, 999));
        QCOMPARE(t.offsetFromUtc(), 8 * 3600);

        // No rate before two hand-overs with time between them.
        QVERIFY(!MeasuredRate(0, 1));
        QVERIFY(!MeasuredRate(68, 0));
        QCOMPARE(SidecarPathFor("/r/20170305093012.txt"), QString("/r/20170305093012.json"));
    }

    void sidecarRefusals_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        const QByteArray head = R"({"format": "tovrel-recording-sidecar", "format_version": 1, )";
        QTest::newRow("not JSON") << QByteArray("{\"format\": ") << "not JSON";
        QTest::newRow("other format") << QByteArray(R"({"format": "x"})") << "not a sidecar";
        QTest::newRow("newer") << QByteArray(R"({"format": "tovrel-recording-sidecar",
                                                 "format_version": 2, "segments": []})")
                               << "format version 2";
        QTest::newRow("no start") << head + R"("segments": [{"first_line": 1, "records": 0}]})"
                                  << "segment 1: \"start\" is missing";
        QTest::newRow("time without offset")
            << head + R"("segments": [{"start": "2017-03-05T09:30:12.000",
                                      "first_line": 1, "records": 0}]})"
            << "not a time with its UTC offset";
        QTest::newRow("line 0") << head + R"("segments": [{"start": "2017-03-05T09:30:12.000Z",
                                                          "first_line": 0, "records": 0}]})"
                                << "\"first_line\" must be a whole number from 1";
        QTest::newRow("bad mode")
            << head + R"("segments": [{"start": "2017-03-05T09:30:12.000Z", "first_line": 1,
                          "records": 0, "modes": [{"line": 1, "mode": "fast",
                          "coef1": 1, "coef2": 1}]}]})"
            << "segment 1 mode 1: \"mode\" must be";
        QTest::newRow("out of order")
            << head + R"("segments": [{"start": "2017-03-05T09:30:12.000Z", "first_line": 9,
                          "records": 0}, {"start": "2017-03-05T09:30:12.000Z",
                          "first_line": 3, "records": 0}]})"
            << "segment 2: \"first_line\" is before";
    }
    void sidecarRefusals() {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        SSidecar out;
        out.recording = "untouched";
        QString why;
        QVERIFY(!SidecarFromJson(json, out, why));
        QVERIFY2(why.contains(error), qPrintable(why));
        QCOMPARE(out.recording, QString("untouched"));
    }

    // A rewrite replaces the sidecar whole and leaves nothing beside it.
    void sidecarRewrite() {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("r.json");
        SSidecar sc;
        sc.segments.push_back({});
        sc.segments[0].start = "2017-03-05T09:30:12.000+00:00";
        QString error;
        QVERIFY(WriteSidecar(path, sc, error));
        sc.segments[0].markers.push_back({1, 5, sc.segments[0].start});
        QVERIFY(WriteSidecar(path, sc, error));
        SSidecar back;
        QVERIFY(ReadSidecar(path, back, error));
        QVERIFY(back == sc);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"r.json"});
        QVERIFY(!WriteSidecar(tmp.filePath("missing/r.json"), sc, error));
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_acquisition_recorder.moc"
