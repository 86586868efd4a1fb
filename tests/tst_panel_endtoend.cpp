// The panel against a device played on a pseudo-terminal: the stream goes
// through the serial control, the receive path and the worker to the
// recording file, the strips and the readouts; and the panel closes cleanly
// while the stream and the worker's log lines are still coming.
#include "acquisition/Recorder.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"
#include "support/pty.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <sys/stat.h>
#include <thread>

namespace {
using namespace std::chrono_literals;

void Click(CTovrelDlg& dlg, int id) {
    qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id))->click();
}

uint16_t Triangle(long i, long period, int top) {
    const long t = i % period;
    return uint16_t((t < period / 2 ? t : period - t) * 2 * top / period);
}

// Record i of the device's stream: byte 0 counts, byte 1 is the marker, the
// samples are slow waves over the full 16-bit range and the pressures drift.
QByteArray DeviceRecord(long i) {
    const uint16_t words[] = {Triangle(i, 400, 65535),       Triangle(i + 100, 400, 60000),
                              Triangle(i, 90, 40000),        Triangle(i, 30, 20000),
                              uint16_t(12000 + i % 500 * 7), uint16_t(678 + i % 97)};
    QByteArray r(kRecordSize, '\0');
    r[0] = char(i & 0xFF);
    r[1] = ':';
    for (int k = 0; k < 6; ++k) {
        r[2 + 2 * k] = char(words[k] >> 8);
        r[3 + 2 * k] = char(words[k] & 0xFF);
    }
    r[14] = char((i >> 8) & 0xFF);
    return r;
}

// Records from .. to-1 of the stream, back to back.
QByteArray DeviceRecords(long from, long to) {
    QByteArray bytes;
    for (long i = from; i < to; ++i)
        bytes += DeviceRecord(i);
    return bytes;
}
QByteArray DeviceRecords(long n) {
    return DeviceRecords(0, n);
}

QByteArray RecordLine(long i) {
    const QByteArray r = DeviceRecord(i);
    char line[kRecordLineSize];
    FormatRecordLine(reinterpret_cast<const uint8_t*>(r.constData()), line);
    return QByteArray(line, kRecordLineSize);
}

// The device records a recording holds, by their number; -1 for a line
// that is none of them.
QList<long> RecordedNumbers(const QString& path) {
    QFile f(path);
    QList<long> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QByteArray text = f.readAll();
    long guess = 0;
    for (qsizetype at = 0; at + kRecordLineSize <= text.size(); at += kRecordLineSize) {
        const QByteArray line = text.mid(at, kRecordLineSize);
        long found = -1;
        for (long i = std::max(0L, guess - 300); i < guess + 3000 && found < 0; ++i)
            if (RecordLine(i) == line)
                found = i;
        out << found;
        if (found >= 0)
            guess = found + 1;
    }
    return out;
}

QList<long> Numbers(long from, long to) {
    QList<long> out;
    for (long i = from; i < to; ++i)
        out << i;
    return out;
}

// Holds the worker at its next decoded record until released, as a worker
// the system leaves unscheduled for a while.
struct SHeldWorker {
    std::atomic<bool> hold{false}, held{false};
    void Attach(CTovrelDlg& dlg) {
        dlg.m_decodeTap = [this](const uint8_t*) {
            if (!hold.load())
                return;
            held.store(true);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (hold.load() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            held.store(false);
        };
    }
};

// Plays the device: a few records at a time on a steady clock, about 1000
// records a second, until `total` are out or it is stopped. A late burst
// does not make up for lost time, so the rate never peaks.
class DeviceStream {
public:
    DeviceStream(TestPty& pty, long total) : m_pty(pty), m_total(total) {}
    ~DeviceStream() { Stop(); }

    void Start() {
        m_thread = std::thread([this] {
            auto next = std::chrono::steady_clock::now();
            while (!m_stop.load() && m_sent.load() < m_total) {
                QByteArray burst;
                long i = m_sent.load();
                for (int k = 0; k < kBurst && i < m_total; ++k, ++i)
                    burst += DeviceRecord(i);
                if (!m_pty.Write(burst))
                    break;
                m_sent.store(i);
                next += kPeriod;
                const auto now = std::chrono::steady_clock::now();
                if (next < now)
                    next = now;
                std::this_thread::sleep_until(next);
            }
            m_done.store(true);
        });
    }
    void Stop() {
        m_stop.store(true);
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Done() const { return m_done.load(); }
    long Sent() const { return m_sent.load(); }

private:
    static constexpr int kBurst = 5;
    static constexpr auto kPeriod = 5ms;
    TestPty& m_pty;
    const long m_total;
    std::atomic<long> m_sent{0};
    std::atomic<bool> m_stop{false}, m_done{false};
    std::thread m_thread;
};

QList<int> Samples(const CDrawWave3Wnd& wave) {
    const CDrawWave3Wnd::CState s = wave.State();
    CWaveSamples ordered{};
    const int n = WaveDrawOrder(s.wWave, s.iFirstPt, s.iLastPt, s.iMaxPt, ordered);
    return QList<int>(ordered.begin(), ordered.begin() + n);
}

// What a strip of capacity cap shows after the samples of `all`: a full
// strip starts a new sweep with the next sample.
QList<int> StripAfter(const QList<int>& all, int cap) {
    if (all.isEmpty())
        return {};
    const qsizetype shown = (all.size() - 1) % cap + 1;
    return all.mid(all.size() - shown);
}

// The panel on screen with COM1 open on the pseudo-terminal, its worker
// running. The run ends before the members go, which joins the worker, also
// when a test fails half-way.
struct OpenPanel {
    TestPty pty;
    CTovrelDlg dlg;

    bool Open() {
        if (!pty.LinkAsCom(1))
            return false;
        dlg.Create();
        dlg.show();
        // The first paint of the whole panel is done before the stream starts.
        if (!QTest::qWaitForWindowExposed(&dlg))
            return false;
        Click(dlg, IDC_BUTTON_OPENPORT);
        return dlg.m_pRecvThread.IsRunning() && dlg.m_comm.get_PortOpen();
    }
    // Presses 保存文件 and returns the recording's path in dir, the only
    // file there.
    QString StartRecording(const QTemporaryDir& dir) {
        Click(dlg, IDC_BUTTON_SAVEFILE);
        return dir.filePath(
            QDir(dir.path()).entryList({QStringLiteral("*.txt")}, QDir::Files).value(0));
    }
    // Start sampling; the device must hear the start frame.
    bool StartSampling() {
        Click(dlg, IDC_BUTTON_START);
        return pty.Read(3) == QByteArray::fromHex("F03222");
    }
    ~OpenPanel() {
        if (dlg.isVisible())
            dlg.reject();
    }
};

// Holds back the first event that would run a worker's call on the UI thread
// (its log line), so that the worker is certainly waiting for it.
class HoldUiCall : public QObject {
public:
    bool held = false;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (held || e->type() != QEvent::User)
            return false;
        held = true;
        return true;
    }
};
} // namespace

class TestPanelEndToEnd : public QObject {
    Q_OBJECT
    QStringList m_boxes;

private slots:
    void initTestCase() { InitPanelTestApp(&m_boxes); }
    void cleanup() {
        SetRecordingDir(std::string());
        QVERIFY2(m_boxes.isEmpty(), qPrintable(m_boxes.join('\n')));
        m_boxes.clear();
    }

    void streamIsRecordedWholeAndShown() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        SetRecordingDir(QFile::encodeName(tmp.path()).toStdString() + '/');
        OpenPanel p;
        QVERIFY(p.Open());
        Click(p.dlg, IDC_BUTTON_SAVEFILE);
        const QStringList files =
            QDir(tmp.path()).entryList({QStringLiteral("*.txt")}, QDir::Files);
        QCOMPARE(files.size(), 1);
        const QString path = tmp.filePath(files[0]);
        QVERIFY(p.StartSampling());

        // About two and a half seconds of stream while the event loop runs.
        constexpr long kTotal = 2500;
        DeviceStream device(p.pty, kTotal);
        device.Start();
        QVERIFY(QTest::qWaitFor([&] { return device.Done(); }, 60000));
        QCOMPARE(device.Sent(), kTotal);

        // Every byte sent is in the file or in the buffer still filling.
        CRecvBuffers& recv = p.dlg.m_recv;
        auto filling = [&] { return recv.RecvLen(recv.RecvWrite()); };
        auto settled = [&] {
            return recv.BuffersProcessed() == recv.HandOvers() &&
                   QFileInfo(path).size() / kRecordLineSize * kRecordSize + filling() ==
                       kTotal * kRecordSize;
        };
        QVERIFY2(QTest::qWaitFor(settled, 20000),
                 qPrintable(QStringLiteral("file %1 bytes, filling %2, handed over %3, done %4")
                                .arg(QFileInfo(path).size())
                                .arg(filling())
                                .arg(recv.HandOvers())
                                .arg(recv.BuffersProcessed())));
        // Stopped: the records the filling buffer held go in as well.
        Click(p.dlg, IDC_BUTTON_STOPSAVE);
        QTRY_VERIFY(!p.dlg.m_save.HasFile());
        QCOMPARE(recv.ChunksTooLarge(), uint64_t(0));
        QCOMPARE(recv.ChunksNextHeld(), uint64_t(0));
        QVERIFY(recv.HandOvers() >= 30); // the stream went through many buffers

        // In order, nothing missing, nothing doubled, nothing torn.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray recorded = file.readAll();
        QCOMPARE(recorded.size() % kRecordLineSize, 0);
        const long lines = long(recorded.size() / kRecordLineSize);
        QCOMPARE(lines, kTotal);
        for (long i = 0; i < lines; ++i)
            if (recorded.mid(i * kRecordLineSize, kRecordLineSize) != RecordLine(i))
                QFAIL(qPrintable(QStringLiteral("line %1 of %2: %3")
                                     .arg(i)
                                     .arg(lines)
                                     .arg(QString::fromLatin1(
                                         recorded.mid(i * kRecordLineSize, kRecordLineSize)))));

        // Every eleventh record of those handed over reached the display.
        QList<int> expected[4];
        long last = -1;
        for (long i = 10; i < lines; i += 11) {
            const QByteArray r = DeviceRecord(i);
            for (int k = 0; k < 4; ++k)
                expected[k] << (uint8_t(r[2 + 2 * k]) * 256 + uint8_t(r[3 + 2 * k])) / 20;
            last = i;
        }
        const CDrawWave3Wnd* strips[] = {&p.dlg.m_wavePulse1, &p.dlg.m_wavePulse2, &p.dlg.m_waveEcg,
                                         &p.dlg.m_waveHeartSound};
        for (int k = 0; k < 4; ++k) {
            const QList<int> shown = Samples(*strips[k]);
            QVERIFY(shown.size() > 50);
            QCOMPARE(shown, StripAfter(expected[k], strips[k]->State().iMaxPt));
        }
        const QByteArray lastRec = DeviceRecord(last);
        const int press1 = uint8_t(lastRec[10]) * 256 + uint8_t(lastRec[11]);
        const int press2 = uint8_t(lastRec[12]) * 256 + uint8_t(lastRec[13]);
        QCOMPARE(p.dlg.m_infoPress1.m_iValue.load(), press1);
        QCOMPARE(p.dlg.m_infoPress2.m_iValue.load(), press2);
        QTRY_COMPARE(QByteArray(p.dlg.m_infoPress1.m_szText), QByteArray::number(press1));
        QTRY_COMPARE(QByteArray(p.dlg.m_infoPress2.m_szText), QByteArray::number(press2));
    }

    void burstWhileTheUiThreadWasBusyIsRecordedWhole() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        SetRecordingDir(QFile::encodeName(tmp.path()).toStdString() + '/');
        OpenPanel p;
        QVERIFY(p.Open());
        const QString path = p.StartRecording(tmp);
        QVERIFY(p.StartSampling());

        // 150 records arrive while the UI thread is away from its events, so
        // the receive handler finds them all waiting at once.
        constexpr long kTotal = 150;
        QVERIFY(p.pty.Write(DeviceRecords(kTotal)));
        CRecvBuffers& recv = p.dlg.m_recv;
        QVERIFY(QTest::qWaitFor([&] { return recv.Fed() == uint64_t(kTotal * kRecordSize); }));
        // Stopped: every record that arrived before is in the recording,
        // those the filling buffer held too, once the worker has closed it.
        Click(p.dlg, IDC_BUTTON_STOPSAVE);
        QTRY_VERIFY(!p.dlg.m_save.HasFile());
        QCOMPARE(recv.ChunksTooLarge() + recv.ChunksNextHeld(), uint64_t(0));

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray recorded = file.readAll();
        const long lines = long(recorded.size() / kRecordLineSize);
        long good = 0;
        while (good < lines &&
               recorded.mid(good * kRecordLineSize, kRecordLineSize) == RecordLine(good))
            ++good;
        QCOMPARE(good, lines);
        QCOMPARE(lines, kTotal);
    }

    void burstWhileTheWorkerStallsWaitsInTheControlsQueue() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        SetRecordingDir(QFile::encodeName(tmp.path()).toStdString() + '/');
        OpenPanel p;
        // The worker stops at its first decoded record until released, as a
        // worker the system leaves unscheduled for a while.
        std::atomic<bool> hold{true}, held{false};
        p.dlg.m_decodeTap = [&](const uint8_t*) {
            held.store(true);
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            while (hold.load() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
        };
        QVERIFY(p.Open());
        const QString path = p.StartRecording(tmp);
        QVERIFY(p.StartSampling());

        // Far more than the three buffers hold, in one go, then silence.
        constexpr long kTotal = 600;
        QVERIFY(p.pty.Write(DeviceRecords(kTotal)));
        CRecvBuffers& recv = p.dlg.m_recv;
        QTRY_VERIFY(held.load() && recv.ChunksDeferred() > 0);
        QVERIFY(p.dlg.m_comm.get_InBufferCount() > 0);
        hold.store(false);

        // No new byte arrives to raise the receive event: what waits in the
        // control's queue comes in on the handler's own retries.
        auto filling = [&] { return recv.RecvLen(recv.RecvWrite()); };
        QTRY_VERIFY(recv.BuffersProcessed() == recv.HandOvers() &&
                    QFileInfo(path).size() / kRecordLineSize * kRecordSize + filling() ==
                        kTotal * kRecordSize);
        Click(p.dlg, IDC_BUTTON_STOPSAVE);
        QCOMPARE(recv.ChunksTooLarge() + recv.ChunksNextHeld(), uint64_t(0));
        QCOMPARE(recv.BytesSkipped(), uint64_t(0));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray recorded = file.readAll();
        const long lines = long(recorded.size() / kRecordLineSize);
        for (long i = 0; i < lines; ++i)
            QCOMPARE(recorded.mid(i * kRecordLineSize, kRecordLineSize), RecordLine(i));
    }

    // Each recording holds exactly the records that arrived while it was on,
    // wherever they were when 保存文件 and 停止保存 were pressed: in the
    // filling buffer, in the control's queue behind a held worker, or across
    // sampling stopped and the port closed and opened again.
    void eachRecordingHoldsExactlyItsRecords() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        SetRecordingDir(QFile::encodeName(tmp.path()).toStdString() + '/');
        OpenPanel p;
        SHeldWorker worker;
        worker.Attach(p.dlg);
        QVERIFY(p.Open());
        QVERIFY(p.StartSampling());
        CRecvBuffers& recv = p.dlg.m_recv;
        auto send = [&](long from, long to) {
            QVERIFY(p.pty.WriteDelivered(DeviceRecords(from, to)));
        };
        auto fedUpTo = [&](long n) {
            QVERIFY(
                QTest::qWaitFor([&] { return recv.Fed() >= uint64_t(n * kRecordSize); }, 20000));
        };
        QStringList files;
        auto record = [&](auto&& during, auto&& afterStop) {
            Click(p.dlg, IDC_BUTTON_SAVEFILE);
            during();
            Click(p.dlg, IDC_BUTTON_STOPSAVE);
            afterStop();
            QTRY_VERIFY_WITH_TIMEOUT(!p.dlg.m_save.HasFile(), 20000);
        };

        send(0, 50);
        fedUpTo(50);
        const auto nothing = [] {};
        record([&] { send(50, 150); }, nothing); // pressed with the bytes still to be read
        send(150, 200);
        fedUpTo(200);
        // Behind: the records wait in the control's queue while the press
        // comes and goes.
        worker.hold = true;
        record(
            [&] {
                send(200, 500);
                // Everything sent has been read from the line: the pty takes
                // only part of it at once, and the rest arrives after.
                QVERIFY(QTest::qWaitFor([&] {
                    return worker.held.load() &&
                           recv.Fed() + uint64_t(p.dlg.m_comm.get_InBufferCount()) ==
                               uint64_t(500 * kRecordSize);
                }));
            },
            [&] {
                send(500, 520);
                worker.hold = false;
            });
        fedUpTo(520);
        // Sampling stopped and started, the port closed and opened, within
        // one recording: nothing of it goes missing, nothing comes twice.
        record(
            [&] {
                send(520, 600);
                Click(p.dlg, IDC_BUTTON_STOP);
                QCOMPARE(p.pty.Read(3), QByteArray::fromHex("F03323"));
                QVERIFY(p.StartSampling());
                send(600, 650);
                Click(p.dlg, IDC_BUTTON_CLOSEPORT);
                Click(p.dlg, IDC_BUTTON_OPENPORT);
                send(650, 700);
            },
            nothing);
        for (const QString& f : QDir(tmp.path()).entryList({QStringLiteral("*.txt")}, QDir::Files))
            files << tmp.filePath(f);
        QList<long> got;
        for (const QString& f : files)
            got += RecordedNumbers(f);
        QCOMPARE(got, Numbers(50, 150) + Numbers(200, 500) + Numbers(520, 700));
        QCOMPARE(recv.BytesSkipped(), uint64_t(0));
    }

    // 关闭串口, or the device vanishing, while the worker is behind: the
    // bytes the control had read still go into the recording.
    void closeOrVanishWithAFullQueueKeepsWhatArrived() {
        for (bool vanish : {false, true}) {
            QTemporaryDir tmp;
            QVERIFY(tmp.isValid());
            SetRecordingDir(QFile::encodeName(tmp.path()).toStdString() + '/');
            OpenPanel p;
            SHeldWorker worker;
            worker.Attach(p.dlg);
            QVERIFY(p.Open());
            const QString path = p.StartRecording(tmp);
            QVERIFY(p.StartSampling());
            worker.hold = true;
            constexpr long kTotal = 3000;
            // More than the pty holds: written from a thread of its own while
            // the control takes it in.
            std::thread device([&] { p.pty.Write(DeviceRecords(kTotal)); });
            QTRY_VERIFY_WITH_TIMEOUT(worker.held.load() && p.dlg.m_recv.ChunksDeferred() > 0 &&
                                         p.dlg.m_recv.Fed() +
                                                 uint64_t(p.dlg.m_comm.get_InBufferCount()) ==
                                             uint64_t(kTotal * kRecordSize),
                                     20000);
            device.join();
            if (vanish) {
                p.pty.CloseMaster();
                QTRY_VERIFY(!p.dlg.m_comm.get_PortOpen());
            } else {
                Click(p.dlg, IDC_BUTTON_CLOSEPORT);
            }
            QVERIFY(p.dlg.m_editHistory.GetWindowText().contains(
                vanish ? QStringLiteral("连接中断") : QStringLiteral("串口关闭成功")));
            worker.hold = false;
            QTRY_VERIFY_WITH_TIMEOUT(p.dlg.m_recv.Fed() == uint64_t(kTotal * kRecordSize), 20000);
            Click(p.dlg, IDC_BUTTON_STOPSAVE);
            QTRY_VERIFY_WITH_TIMEOUT(!p.dlg.m_save.HasFile(), 20000);
            QCOMPARE(RecordedNumbers(path), Numbers(0, kTotal));
        }
    }

    // A recording file that stops taking writes (a FIFO nobody reads): the
    // buttons, F2 and the counters answer at once, the log says so after a
    // few seconds, and closing the panel does not wait for the write.
    void aStalledWriteFreezesNothing() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const std::string dir = QFile::encodeName(tmp.path()).toStdString() + '/';
        SetRecordingDir(dir);
        // Whatever second the start falls in, its name is a FIFO.
        const std::time_t now = std::time(nullptr);
        for (int k = 0; k < 30; ++k) {
            const std::time_t t = now + k;
            struct tm local;
            localtime_r(&t, &local);
            QCOMPARE(mkfifo(RecordingFileName(dir, &local).c_str(), 0644), 0);
        }
        auto p = std::make_unique<OpenPanel>();
        QVERIFY(p->Open());
        Click(p->dlg, IDC_BUTTON_SAVEFILE);
        const QString path = p->dlg.m_session.Path();
        QVERIFY(QFileInfo(path).exists());
        QVERIFY(p->StartSampling());
        DeviceStream device(p->pty, 1000000);
        device.Start();
        // The pipe takes 64 KiB, then the write hangs.
        QTRY_VERIFY_WITH_TIMEOUT(p->dlg.m_save.Stalled() > 500ms, 20000);
        p->dlg.OnMarkerKey();
        Click(p->dlg, IDC_BUTTON_STOPSAVE);
        (void)p->dlg.m_save.Lines(p->dlg.m_save.Recording());
        // All of it done while the write still hangs.
        QVERIFY(p->dlg.m_save.Stalled() > 500ms);
        QVERIFY(p->dlg.GetDlgItem(IDC_BUTTON_SAVEFILE)->isEnabled());
        QTRY_VERIFY2_WITH_TIMEOUT(p->dlg.m_editHistory.GetWindowText().contains(
                                      QStringLiteral("文件(%1)写入停滞").arg(path)),
                                  qPrintable(p->dlg.m_editHistory.GetWindowText()), 15000);
        device.Stop();
        // Closing: the panel does not wait for the write; here the worker
        // is let go afterwards instead of the program ending.
        std::atomic<bool> stuck{false};
        std::thread reader;
        p->dlg.m_onWorkerStuck = [&] {
            stuck = true;
            reader = std::thread([path] {
                QFile fifo(path);
                if (fifo.open(QIODevice::ReadOnly))
                    while (!fifo.read(65536).isEmpty()) {
                    }
            });
        };
        p->dlg.reject();
        QVERIFY(stuck.load());
        QVERIFY(!p->dlg.m_pRecvThread.IsRunning());
        p.reset();
        reader.join();
    }

    // The recording's folder removed while recording: the log says so and
    // the recording ends, within about a second.
    void aRemovedFolderEndsTheRecording() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString sub = tmp.filePath(QStringLiteral("sub"));
        QVERIFY(QDir().mkpath(sub));
        SetRecordingDir(QFile::encodeName(sub).toStdString() + '/');
        OpenPanel p;
        QVERIFY(p.Open());
        Click(p.dlg, IDC_BUTTON_SAVEFILE);
        QVERIFY(p.dlg.m_save.IsSaving());
        QVERIFY(QDir(sub).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(
            p.dlg.m_editHistory.GetWindowText().contains(QStringLiteral("写入失败")), 5000);
        QTRY_VERIFY(p.dlg.GetDlgItem(IDC_BUTTON_SAVEFILE)->isEnabled());
        QVERIFY(!p.dlg.GetDlgItem(IDC_BUTTON_STOPSAVE)->isEnabled());
        QVERIFY(!p.dlg.m_save.HasFile());
    }

    void closingMidStreamEndsTheWorker() {
        for (int round = 0; round < 4; ++round) {
            OpenPanel p;
            QVERIFY(p.Open());
            p.dlg.m_bTestMode = 0; // every decoded record writes a log line from the worker
            QVERIFY(p.StartSampling());
            DeviceStream device(p.pty, 1000000);
            device.Start();
            const uint64_t base = p.dlg.m_recv.BuffersProcessed();
            // Into the stream by a few buffers, then close while it flows.
            QVERIFY(QTest::qWaitFor(
                [&] { return p.dlg.m_recv.BuffersProcessed() >= base + 3 + round; }, 30000));
            QVERIFY(p.dlg.m_editHistory.GetWindowText().contains(QStringLiteral("原始压力值")));
            HoldUiCall hold;
            if (round % 2) {
                // The worker is waiting for a log line to go in when the
                // close comes; the close itself runs what waits.
                qApp->installEventFilter(&hold);
                QVERIFY(QTest::qWaitFor([&] { return hold.held; }, 30000));
            }

            p.dlg.close(); // the close box: closes the port and ends the run
            QVERIFY(!p.dlg.m_pRecvThread.IsRunning());
            QVERIFY(!p.dlg.isVisible());
            QVERIFY(!p.dlg.m_comm.get_PortOpen());
            // A line the worker was waiting to add may still follow it.
            QVERIFY(p.dlg.m_editHistory.GetWindowText().contains(QStringLiteral("串口关闭成功")));
            const QString logAtClose = p.dlg.m_editHistory.GetWindowText();
            qApp->removeEventFilter(&hold);
            const uint64_t processed = p.dlg.m_recv.BuffersProcessed();
            EventLoopPassesUntilIdle();
            device.Stop();
            QCOMPARE(p.dlg.m_recv.BuffersProcessed(), processed);
            QCOMPARE(p.dlg.m_editHistory.GetWindowText(), logAtClose);
        }
    }
};

QTEST_MAIN(TestPanelEndToEnd)
#include "tst_panel_endtoend.moc"
