// tovrel-bench-panel: the real panel in a process of its own, driven like an
// operator and measured from inside, so its CPU time and memory are its own.
//
//   stream   the simulated device streams to the panel over its pseudo-terminal
//            with recording on; loss from the recording, CPU, memory, counters
//   latency  a writer thread plays the device on a pseudo-terminal of this
//            process; time from writing a record to the panel decoding it
//   paint    repaint cost of a strip holding a full sweep, of one band, of a
//            readout
//   tally    a recording read back: records lost by their running numbers
//
// Every mode prints one "RESULT kind=... key=value ..." line for bench/run.sh.
#include "bench/BenchSupport.h"
#include "platform/EventDispatcher.h"
#include "platform/Fonts.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "tools/SimDevice.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <pty.h>
#include <sys/syscall.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    QString simdevice;
    QString chunks; // the device's --chunks, empty for its default
    QString seed;   // the device's --seed
    int port = 7;
    double rate = simdev::kFullLineRate;
    bool calib = false;
    double seconds = 60;
    double warmup = 5;
    double idle = 0;
    double held = 0;
    bool record = true;
    bool keep = false;
    int iterations = 2000;
    QString grab;
};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

long CurrentTid() {
    return long(syscall(SYS_gettid));
}

void Pump(double ms) {
    QEventLoop loop;
    QTimer::singleShot(int(ms), &loop, &QEventLoop::quit);
    loop.exec();
}

bool Click(CTovrelDlg& dlg, int id) {
    auto* b = qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id));
    if (!b || !b->isEnabled()) {
        std::fprintf(stderr, "bench: control %d cannot be pressed\n", id);
        return false;
    }
    b->click();
    return true;
}

void Fail(const char* what) {
    std::fprintf(stderr, "bench: %s\n", what);
}

// Counts the paints the watched windows receive.
class PaintCounter : public QObject {
public:
    void Watch(QWidget* w) {
        w->installEventFilter(this);
        m_counts[w] = 0;
    }
    uint64_t Count(QWidget* w) const { return m_counts.value(w); }

protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++m_counts[o];
        return false;
    }

private:
    QHash<QObject*, uint64_t> m_counts;
};

void PreparePanel(CTovrelDlg& dlg, int port) {
    dlg.Create();
    dlg.show();
    Pump(300);
    dlg.m_cbComPort->setCurrentIndex(port - 1);
}

QSet<QString> RecordingFiles() {
    const QDir dir(QString::fromStdString(RecordingDir()));
    const QStringList names = dir.entryList({QStringLiteral("*.txt")}, QDir::Files);
    return QSet<QString>(names.begin(), names.end());
}

// --- stream -----------------------------------------------------------------

int RunStream(const Options& o) {
    QProcess device;
    device.setProgram(o.simdevice);
    QStringList deviceArgs{QStringLiteral("--port"), QStringLiteral("COM%1").arg(o.port),
                           QStringLiteral("--rate"), QString::number(o.rate, 'f', 1)};
    if (!o.chunks.isEmpty())
        deviceArgs << QStringLiteral("--chunks") << o.chunks;
    if (!o.seed.isEmpty())
        deviceArgs << QStringLiteral("--seed") << o.seed;
    device.setArguments(deviceArgs);
    device.start();
    QByteArray out;
    QElapsedTimer waited;
    waited.start();
    while (!out.contains("serving") && waited.elapsed() < 10000 && device.waitForReadyRead(1000))
        out += device.readAllStandardOutput();
    if (!out.contains("serving")) {
        Fail("the simulated device did not come up");
        std::fprintf(stderr, "%s", device.readAllStandardError().constData());
        return 1;
    }

    CTovrelDlg dlg;
    std::atomic<long> workerTid{0};
    std::atomic<uint64_t> decoded{0};
    // When each buffer's decoding began: the worker's pace.
    std::vector<int64_t> bufferStarts(size_t(o.seconds * 200) + 1000);
    std::atomic<size_t> nStarts{0};
    int64_t lastDecode = 0;
    // Set to hold the worker at its next decoded record, as a machine too
    // busy to schedule it would.
    std::atomic<bool> holdWorker{false};
    dlg.m_decodeTap = [&](const uint8_t*) {
        while (holdWorker.load(std::memory_order_relaxed))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (workerTid.load(std::memory_order_relaxed) == 0)
            workerTid.store(CurrentTid(), std::memory_order_relaxed);
        decoded.fetch_add(1, std::memory_order_relaxed);
        // A buffer's records are decoded back to back, then the worker pauses.
        const int64_t now = NowNs();
        const size_t n = nStarts.load(std::memory_order_relaxed);
        if (now - lastDecode > 3'000'000 && n < bufferStarts.size()) {
            bufferStarts[n] = now;
            nStarts.store(n + 1, std::memory_order_release);
        }
        lastDecode = now;
    };
    PreparePanel(dlg, o.port);
    Click(dlg, IDC_BUTTON_OPENPORT);
    if (!dlg.m_comm.get_PortOpen()) {
        Fail("the panel could not open the port");
        return 1;
    }
    if (o.calib) {
        // Calibration mode is offered once the sensors have been zeroed.
        if (!Click(dlg, IDC_BUTTON_ZERO) || !Click(dlg, IDC_RADIO_CALIB) ||
            dlg.m_bTestMode.load() != 0) {
            Fail("the panel did not switch to calibration mode");
            return 1;
        }
    }
    Pump(200);

    double idleCpuPct = -1;
    if (o.idle > 0) {
        const double c0 = bench::ProcessCpuSeconds();
        const int64_t t0 = NowNs();
        Pump(o.idle * 1000);
        idleCpuPct = 100.0 * (bench::ProcessCpuSeconds() - c0) / (double(NowNs() - t0) / 1e9);
    }

    // Recordings go to a folder of this run's own, gone with it.
    QTemporaryDir recordings;
    recordings.setAutoRemove(!o.keep);
    SetRecordingDir(QFile::encodeName(recordings.path()).toStdString() + '/');
    const QSet<QString> before = RecordingFiles();
    if (o.record && !Click(dlg, IDC_BUTTON_SAVEFILE))
        return 1;

    PaintCounter paints;
    QWidget* strips[] = {&dlg.m_wavePulse1, &dlg.m_wavePulse2, &dlg.m_waveEcg,
                         &dlg.m_waveHeartSound};
    QWidget* readouts[] = {&dlg.m_infoPress1, &dlg.m_infoPress2};
    for (QWidget* w : strips)
        paints.Watch(w);
    for (QWidget* w : readouts)
        paints.Watch(w);

    // Resident memory once a second, from the first record on.
    std::vector<long> rss;
    double cpuAtWarmup = 0, uiAtWarmup = 0, workerAtWarmup = 0;
    uint64_t paintsAtWarmup[6] = {};
    auto paintCounts = [&](uint64_t* out) {
        for (int i = 0; i < 4; ++i)
            out[i] = paints.Count(strips[i]);
        for (int i = 0; i < 2; ++i)
            out[4 + i] = paints.Count(readouts[i]);
    };
    int64_t tWarmup = 0;
    const int64_t tStart = NowNs();
    QTimer sampler;
    sampler.setInterval(1000);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        rss.push_back(bench::ResidentKb());
        if (tWarmup == 0 && double(NowNs() - tStart) / 1e9 >= o.warmup - 0.01) {
            tWarmup = NowNs();
            cpuAtWarmup = bench::ProcessCpuSeconds();
            uiAtWarmup = bench::ThreadCpuSeconds(getpid());
            workerAtWarmup = bench::ThreadCpuSeconds(workerTid.load());
            paintCounts(paintsAtWarmup);
        }
    });
    if (!Click(dlg, IDC_BUTTON_START))
        return 1;
    sampler.start();
    rss.push_back(bench::ResidentKb());
    if (o.warmup <= 0) {
        tWarmup = tStart;
        cpuAtWarmup = bench::ProcessCpuSeconds();
    }
    Pump(o.seconds * 1000);
    sampler.stop();
    rss.push_back(bench::ResidentKb());
    const int64_t tEnd = NowNs();
    const double cpuEnd = bench::ProcessCpuSeconds();
    const double uiEnd = bench::ThreadCpuSeconds(getpid());
    const double workerEnd = bench::ThreadCpuSeconds(workerTid.load());
    const double measured = double(tEnd - tWarmup) / 1e9;

    // The worker held while the stream goes on: what the UI thread costs
    // while the bytes wait in the serial control's queue. Then it catches up.
    double heldUiPct = -1, heldUiWakes = -1;
    if (o.held > 0) {
        holdWorker = true;
        Pump(300); // until it is certainly held and the buffers are full
        const double u0 = bench::ThreadCpuSeconds(getpid());
        const long w0 = bench::ThreadContextSwitches(getpid());
        const int64_t h0 = NowNs();
        Pump(o.held * 1000);
        const double span = double(NowNs() - h0) / 1e9;
        heldUiPct = 100.0 * (bench::ThreadCpuSeconds(getpid()) - u0) / span;
        heldUiWakes = double(bench::ThreadContextSwitches(getpid()) - w0) / span;
        holdWorker = false;
        QElapsedTimer catchUp;
        catchUp.start();
        while (dlg.m_comm.get_PortOpen() && dlg.m_comm.get_InBufferCount() > 0 &&
               catchUp.elapsed() < 20000)
            Pump(20);
    }
    // Paints between warm-up and the end, as the CPU time: all four strips
    // and both readouts together, and the window that painted most of each kind.
    uint64_t paintsAtEnd[6] = {};
    paintCounts(paintsAtEnd);
    uint64_t stripPaints = 0, readoutPaints = 0, stripMost = 0, readoutMost = 0;
    for (int i = 0; i < 6; ++i) {
        const uint64_t n = paintsAtEnd[i] - paintsAtWarmup[i];
        (i < 4 ? stripPaints : readoutPaints) += n;
        uint64_t& most = i < 4 ? stripMost : readoutMost;
        most = std::max(most, n);
    }
    const QScreen* screen = QGuiApplication::primaryScreen();

    Click(dlg, IDC_BUTTON_STOP);
    Pump(300);
    if (o.record)
        Click(dlg, IDC_BUTTON_STOPSAVE);

    device.terminate();
    device.waitForFinished(5000);
    const QString deviceLog = QString::fromLocal8Bit(device.readAllStandardError());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("(\\d+) records sent, (\\d+) dropped")).match(deviceLog);
    const uint64_t sent = m.hasMatch() ? m.captured(1).toULongLong() : 0;
    const uint64_t deviceDropped = m.hasMatch() ? m.captured(2).toULongLong() : 0;

    // What the filling buffer still holds goes to the worker only with the
    // next stream; it is not lost.
    const int32_t held = dlg.m_recv.RecvLen(dlg.m_recv.RecvWrite());
    const uint64_t tooLarge = dlg.m_recv.ChunksTooLarge();
    const uint64_t nextHeld = dlg.m_recv.ChunksNextHeld();
    const uint64_t deferred = dlg.m_recv.ChunksDeferred();
    const uint64_t handOvers = dlg.m_recv.HandOvers();
    const uint64_t processed = dlg.m_recv.BuffersProcessed();
    const uint64_t pauses = dlg.m_recv.Pauses();
    const uint64_t skipped = dlg.m_recv.BytesSkipped();
    const uint64_t stepsLost = dlg.m_recv.StepsLost();
    // Bringing the recording and its sidecar to the disk once a second.
    const uint64_t syncs = dlg.m_save.Syncs();
    const double syncSeconds = dlg.m_save.SyncSeconds();
    const long peakKb = bench::PeakResidentKb();
    dlg.close();
    Pump(100);

    // The worker's pace between warm-up and the end: the median gap from one
    // burst of decoding to the next (a buffer, or buffers taken back to back),
    // and what the buffers held on average.
    std::vector<double> gaps;
    for (size_t i = 1; i < nStarts.load(std::memory_order_acquire); ++i)
        if (bufferStarts[i - 1] >= tWarmup && bufferStarts[i] <= tEnd)
            gaps.push_back(double(bufferStarts[i] - bufferStarts[i - 1]) / 1e6);
    double meanGap = 0;
    for (double g : gaps)
        meanGap += g / double(gaps.size());

    bench::RecordingTally tally;
    bool haveRecording = false;
    if (o.record) {
        const QSet<QString> made = RecordingFiles() - before;
        for (const QString& name : made) {
            const QString path = QString::fromStdString(RecordingDir()) + name;
            haveRecording = bench::TallyRecordingFile(QFile::encodeName(path).toStdString(), tally);
            if (!o.keep)
                QFile::remove(path);
            else
                std::fprintf(stderr, "bench: recording kept at %s\n", qPrintable(path));
        }
        if (!haveRecording)
            Fail("no recording was made");
    }

    // Memory: the mean of the first and of the last ten samples.
    auto meanOf = [&](size_t from, size_t to) {
        double s = 0;
        for (size_t i = from; i < to; ++i)
            s += double(rss[i]);
        return to > from ? s / double(to - from) : 0.0;
    };
    const size_t window = std::min<size_t>(10, rss.size() / 2);
    const double rssFirst = meanOf(0, window);
    const double rssLast = meanOf(rss.size() - window, rss.size());

    bench::ResultLine r("stream");
    r.Add("mode", o.calib ? "calib" : "test")
        .Add("rate", o.rate, 1)
        .Add("chunks", o.chunks.isEmpty() ? std::string("records") : o.chunks.toStdString())
        .Add("seconds", o.seconds, 1)
        .Add("sent", sent)
        .Add("device_dropped", deviceDropped)
        .Add("recorded", tally.intact)
        .Add("bad_lines", tally.badLines)
        .Add("lost", tally.lost)
        .Add("last_index", tally.lastIndex)
        .Add("held_bytes", uint64_t(held))
        .Add("chunks_too_large", tooLarge)
        .Add("chunks_next_held", nextHeld)
        .Add("chunks_deferred", deferred)
        .Add("bytes_skipped", skipped)
        .Add("steps_lost", stepsLost)
        .Add("syncs", syncs)
        .Add("sync_ms_each", syncs ? 1000.0 * syncSeconds / double(syncs) : 0.0, 3)
        .Add("sync_pct", 100.0 * syncSeconds / o.seconds, 3)
        .Add("hand_overs", handOvers)
        .Add("buffers", processed)
        .Add("pauses", pauses)
        .Add("decoded", decoded.load())
        .Add("worker_period_ms", bench::Quantile(gaps, 0.5), 3)
        .Add("worker_mean_period_ms", meanGap, 3)
        // What the worker found in a buffer: every whole record of it is recorded.
        .Add("fill_bytes",
             processed ? double(tally.intact + tally.badLines) * kRecordSize / double(processed)
                       : 0.0,
             1)
        .Add("cpu_pct", 100.0 * (cpuEnd - cpuAtWarmup) / measured, 2)
        .Add("ui_cpu_pct", 100.0 * (uiEnd - uiAtWarmup) / measured, 2)
        .Add("worker_cpu_pct", 100.0 * (workerEnd - workerAtWarmup) / measured, 2)
        .Add("strip_paints_per_s", double(stripPaints) / measured, 1)
        .Add("readout_paints_per_s", double(readoutPaints) / measured, 1)
        .Add("strip_paints_per_s_each", double(stripMost) / measured, 1)
        .Add("readout_paints_per_s_each", double(readoutMost) / measured, 1)
        .Add("frame_hz", screen ? screen->refreshRate() : 0.0, 1)
        .Add("peak_rss_kb", uint64_t(peakKb))
        .Add("rss_first10_kb", rssFirst, 0)
        .Add("rss_last10_kb", rssLast, 0)
        .Add("recording", o.record ? (haveRecording ? "yes" : "missing") : "off");
    if (idleCpuPct >= 0)
        r.Add("idle_cpu_pct", idleCpuPct, 3);
    if (heldUiPct >= 0)
        r.Add("held_ui_cpu_pct", heldUiPct, 3).Add("held_ui_wakes_per_s", heldUiWakes, 1);
    r.Print();
    return o.record && !haveRecording ? 1 : 0;
}

// --- tally ------------------------------------------------------------------

int RunTally(const QString& path) {
    bench::RecordingTally tally;
    if (!bench::TallyRecordingFile(QFile::encodeName(path).toStdString(), tally)) {
        Fail("cannot read the recording");
        return 1;
    }
    bench::ResultLine r("tally");
    r.Add("lines", tally.lines)
        .Add("recorded", tally.intact)
        .Add("bad_lines", tally.badLines)
        .Add("lost", tally.lost)
        .Add("last_index", tally.lastIndex);
    r.Print();
    return 0;
}

// --- latency ----------------------------------------------------------------

struct Tap {
    uint32_t index;
    int64_t ns;
};

simdev::Record LatencyRecord(uint32_t index, const simdev::WaveformGenerator& gen) {
    simdev::Record rec = simdev::BuildRecord(uint8_t(index), gen.At(index, simdev::DeviceState{}));
    // The pressures carry the whole index, so a decoded record names the
    // write it came from however long it took.
    qToBigEndian<quint32>(index, &rec[10]);
    simdev::Restamp(rec, uint8_t(index));
    return rec;
}

int RunLatency(const Options& o) {
    int master = -1, slave = -1;
    char slaveName[256] = {};
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        Fail("openpty failed");
        return 1;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    QDir().mkpath(PortMapDir());
    const QByteArray link = QFile::encodeName(PortMapLink(o.port));
    ::unlink(link.constData());
    if (::symlink(slaveName, link.constData()) != 0) {
        Fail("cannot link the port");
        return 1;
    }

    const size_t capacity = size_t(o.rate * (o.seconds + 5)) + 1024;
    std::vector<int64_t> writtenNs(capacity, 0);
    std::vector<Tap> taps(capacity / 11 + 1024);
    std::atomic<size_t> nTaps{0};
    std::atomic<uint64_t> misnumbered{0};

    CTovrelDlg dlg;
    dlg.m_decodeTap = [&](const uint8_t* rec) {
        const int64_t now = NowNs();
        const uint32_t index = qFromBigEndian<quint32>(rec + 10);
        if (rec[0] != uint8_t(index))
            misnumbered.fetch_add(1, std::memory_order_relaxed);
        const size_t n = nTaps.load(std::memory_order_relaxed);
        if (n < taps.size()) {
            taps[n] = {index, now};
            nTaps.store(n + 1, std::memory_order_release);
        }
    };
    PreparePanel(dlg, o.port);
    Click(dlg, IDC_BUTTON_OPENPORT);
    if (!dlg.m_comm.get_PortOpen()) {
        Fail("the panel could not open the port");
        return 1;
    }
    Pump(300);

    // The device: whole records every 2 ms, as the simulated device paces them.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> written{0};
    const int64_t tStart = NowNs();
    std::thread writer([&] {
        const simdev::WaveformGenerator gen(o.rate, 72);
        std::vector<uint8_t> out;
        uint64_t next = 0;
        timespec wake{};
        clock_gettime(CLOCK_MONOTONIC, &wake);
        while (!stop.load(std::memory_order_relaxed)) {
            wake.tv_nsec += 2'000'000;
            if (wake.tv_nsec >= 1'000'000'000) {
                wake.tv_nsec -= 1'000'000'000;
                ++wake.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
            const uint64_t due =
                std::min<uint64_t>(uint64_t(double(NowNs() - tStart) / 1e9 * o.rate), capacity);
            out.clear();
            const uint64_t first = next;
            for (; next < due; ++next) {
                const simdev::Record rec = LatencyRecord(uint32_t(next), gen);
                out.insert(out.end(), rec.begin(), rec.end());
            }
            size_t at = 0;
            while (at < out.size()) {
                const ssize_t n = ::write(master, out.data() + at, out.size() - at);
                if (n > 0)
                    at += size_t(n);
                else if (n < 0 && errno != EINTR)
                    return;
            }
            const int64_t now = NowNs();
            for (uint64_t i = first; i < next; ++i)
                writtenNs[i] = now;
            written.store(next, std::memory_order_relaxed);
        }
    });
    Pump(o.seconds * 1000);
    stop = true;
    writer.join();
    const int64_t tStop = NowNs();
    Pump(300);
    dlg.close();
    Pump(100);
    ::unlink(link.constData());
    ::close(master);
    ::close(slave);

    std::vector<double> ms;
    const int64_t from = tStart + int64_t(o.warmup * 1e9);
    // The records in the filling buffer when the device stops are decoded
    // when more bytes come or the port closes: no part of the stream's
    // latency, so the last 100 ms of writes are left out.
    const int64_t to = tStop - 100'000'000;
    const size_t n = nTaps.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) {
        const Tap& t = taps[i];
        if (t.index < writtenNs.size() && writtenNs[t.index] >= from && writtenNs[t.index] < to)
            ms.push_back(double(t.ns - writtenNs[t.index]) / 1e6);
    }
    const size_t samples = ms.size();
    std::vector<double> copy = ms;
    bench::ResultLine r("latency");
    r.Add("rate", o.rate, 1)
        .Add("seconds", o.seconds, 1)
        .Add("written", written.load())
        .Add("decoded", uint64_t(n))
        .Add("samples", uint64_t(samples))
        .Add("misnumbered", misnumbered.load())
        .Add("chunks_next_held", dlg.m_recv.ChunksNextHeld())
        .Add("chunks_too_large", dlg.m_recv.ChunksTooLarge())
        .Add("median_ms", bench::Quantile(copy, 0.5), 2)
        .Add("p99_ms", bench::Quantile(copy, 0.99), 2)
        .Add("max_ms", bench::Quantile(copy, 1.0), 2);
    r.Print();
    return samples > 0 ? 0 : 1;
}

// --- paint ------------------------------------------------------------------

template <class F> std::vector<double> TimeUs(int iterations, F&& f) {
    std::vector<double> us;
    us.reserve(size_t(iterations));
    for (int i = 0; i < iterations; ++i) {
        const int64_t t0 = NowNs();
        f(i);
        us.push_back(double(NowNs() - t0) / 1e3);
    }
    return us;
}

int RunPaint(const Options& o) {
    CTovrelDlg dlg;
    PreparePanel(dlg, 1);
    CDrawWave3Wnd& strip = dlg.m_wavePulse1;
    CInfoScreeWnd& readout = dlg.m_infoPress1;

    // A full sweep of the pulse wave as the decoder passes it on: every
    // eleventh record, divided by 20.
    const simdev::WaveformGenerator gen(simdev::kFullLineRate, 72);
    const int capacity = strip.State().iMaxPt;
    for (int i = 0; i < capacity; ++i)
        strip.AddSample(uint16_t(gen.At(uint64_t(i) * 11, simdev::DeviceState{}).pulse1 / 20));
    Pump(200);
    const CDrawWave3Wnd::CState s = strip.State();
    if (s.iLastPt != s.iMaxPt) {
        Fail("the strip did not fill");
        return 1;
    }

    const int w = strip.width(), h = strip.height();
    TimeUs(50, [&](int) { strip.repaint(); });
    std::vector<double> full = TimeUs(o.iterations, [&](int) { strip.repaint(); });
    std::vector<double> band = TimeUs(o.iterations, [&](int i) {
        const int x = 4 + (i * 8) % std::max(1, w - 8);
        strip.repaint(QRect(x - 4, 0, 8, h));
    });
    TimeUs(50, [&](int i) {
        readout.m_iValue = 100 + i;
        readout.repaint();
    });
    std::vector<double> info = TimeUs(o.iterations, [&](int i) {
        readout.m_iValue = 10000 + i % 5000;
        readout.repaint();
    });
    CInfoScreeWnd& readout2 = dlg.m_infoPress2;
    std::vector<double> info2 = TimeUs(o.iterations, [&](int i) {
        readout2.m_iValue = 10000 + i % 5000;
        readout2.repaint();
    });
    if (!o.grab.isEmpty()) {
        readout.m_iValue = 12345;
        readout2.m_iValue = -678;
        dlg.grab().save(o.grab);
    }

    bench::ResultLine r("paint");
    r.Add("strip_w", uint64_t(w))
        .Add("strip_h", uint64_t(h))
        .Add("samples", uint64_t(s.iLastPt))
        .Add("readout_w", uint64_t(readout.width()))
        .Add("readout_h", uint64_t(readout.height()))
        .Add("iterations", uint64_t(o.iterations))
        .Add("full_us", bench::Quantile(full, 0.5), 1)
        .Add("full_p99_us", bench::Quantile(full, 0.99), 1)
        .Add("band_us", bench::Quantile(band, 0.5), 1)
        .Add("band_p99_us", bench::Quantile(band, 0.99), 1)
        .Add("readout_us", bench::Quantile(info, 0.5), 1)
        .Add("readout_p99_us", bench::Quantile(info, 0.99), 1)
        .Add("readout2_us", bench::Quantile(info2, 0.5), 1);
    r.Print();
    dlg.close();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    SetTovrelApplicationNames();
    InstallFontSubstitutions();
    SetMessageBoxHook(
        [](const QString& text) { std::fprintf(stderr, "message box: %s\n", qPrintable(text)); });

    QCommandLineParser cli;
    cli.setApplicationDescription(
        "Measures the Tovrel panel. Modes: stream, latency, paint; tally FILE reads a recording "
        "back and counts the records lost by their running numbers.");
    const QCommandLineOption help = cli.addHelpOption();
    cli.addPositionalArgument("mode", "stream | latency | paint | tally FILE");
    const QCommandLineOption simdevice("simdevice", "The simulated device program.", "path");
    const QCommandLineOption chunks(
        "chunks", "stream: the device's writes (records, N or random:N; see its --help).", "plan");
    const QCommandLineOption seed("seed", "stream: the device's seed for random:N.", "s");
    const QCommandLineOption port("port", "COM port number to use (1-16).", "n", "7");
    const QCommandLineOption rate("rate", "Records per second.", "r",
                                  QString::number(simdev::kFullLineRate));
    const QCommandLineOption calib("calib", "Calibration mode instead of test mode.");
    const QCommandLineOption seconds("seconds", "How long the stream runs.", "s", "60");
    const QCommandLineOption warmup("warmup", "Seconds left out of the CPU and latency figures.",
                                    "s", "5");
    const QCommandLineOption heldOpt(
        "held", "Seconds of the UI thread's CPU measured with the worker held, after the run.",
        "seconds", "0");
    const QCommandLineOption idle("idle", "Seconds of CPU measured with the port open, no data.",
                                  "s", "0");
    const QCommandLineOption norecord("no-record", "Leave recording off.");
    const QCommandLineOption keep("keep", "Keep the recording file.");
    const QCommandLineOption iterations("iterations", "Repaints timed per figure.", "n", "2000");
    const QCommandLineOption grab("grab", "paint: also save a picture of the panel.", "png");
    cli.addOption(heldOpt);
    cli.addOptions({simdevice, chunks, seed, port, rate, calib, seconds, warmup, idle, norecord,
                    keep, iterations, grab});
    // Not process(): it ends a bad option with 1, which means a failed run here.
    if (!cli.parse(app.arguments())) {
        Fail(qPrintable(cli.errorText() + " (see --help)"));
        return 2;
    }
    if (cli.isSet(help)) {
        std::fputs(qPrintable(cli.helpText()), stdout);
        return 0;
    }

    Options o;
    o.simdevice = cli.value(simdevice);
    o.chunks = cli.value(chunks);
    o.seed = cli.value(seed);
    o.port = cli.value(port).toInt();
    o.rate = cli.value(rate).toDouble();
    o.calib = cli.isSet(calib);
    o.seconds = cli.value(seconds).toDouble();
    o.warmup = cli.value(warmup).toDouble();
    o.idle = cli.value(idle).toDouble();
    o.held = cli.value(heldOpt).toDouble();
    o.record = !cli.isSet(norecord);
    o.keep = cli.isSet(keep);
    o.iterations = std::max(1, cli.value(iterations).toInt());
    o.grab = cli.value(grab);
    if (o.port < 1 || o.port > 16 || o.rate <= 0 || o.seconds <= 0) {
        Fail("bad options (see --help)");
        return 2;
    }

    const QStringList args = cli.positionalArguments();
    const QString mode = args.isEmpty() ? QString() : args.first();
    if (mode == u"stream") {
        if (o.simdevice.isEmpty()) {
            Fail("stream needs --simdevice");
            return 2;
        }
        return RunStream(o);
    }
    if (mode == u"latency")
        return RunLatency(o);
    if (mode == u"paint")
        return RunPaint(o);
    if (mode == u"tally") {
        if (args.size() != 2) {
            Fail("tally needs the recording's path");
            return 2;
        }
        return RunTally(args[1]);
    }
    Fail("mode must be stream, latency or paint");
    return 2;
}
