// The receive path, the worker, decoding and recording: operations of the panel.
#include "acquisition/Record.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {
// A write that has not returned after this long is the operator's news.
constexpr auto kStallReported = std::chrono::seconds(5);
// At the end of the run: what has arrived goes to the worker and into the
// recording within this time, or the run ends without it.
constexpr auto kShutdownGrace = std::chrono::seconds(3);
} // namespace

void CTovrelDlg::OnCommMscomm1() {
    if (m_comm.get_CommEvent() != CSerialControl::comEvReceive)
        return;
    ReceiveWaiting();
}

bool CTovrelDlg::ReceiveWaiting() {
    m_feed.ApplyDue();
    if (m_recv.FlushPending())
        m_recv.Flush();
    const bool running = m_pRecvThread.IsRunning();
    // Bytes kept from a port that closed go before anything the control
    // holds now.
    const bool kept = m_feed.Kept() > 0;
    const qint64 waiting = kept                    ? qint64(m_feed.Kept())
                           : m_comm.get_PortOpen() ? m_comm.get_InBufferCount()
                                                   : 0;
    if (waiting <= 0) {
        if (running && m_recv.FlushPending())
            AwaitFreeBuffer();
        return false;
    }
    const int n = m_feed.Limit(int(std::min(waiting, CSerialControl::kMaxInputChunk)));
    if (n <= 0)
        return false;
    // Without a worker (the run has ended) nothing would ever free a buffer.
    if (running && !m_recv.Accepts(n)) {
        // The worker still holds the buffer the chunk would need. Reading it
        // now would drop it; left in the control's queue (seconds of the full
        // line rate) it waits for the worker. New bytes raise the event
        // again, and the timer looks once more should the device have gone
        // quiet meanwhile.
        m_recv.NoteDeferred();
        AwaitFreeBuffer();
        return false;
    }
    if (kept) {
        m_feed.FeedKept(n);
    } else {
        COleVariant input = m_comm.get_Input(n);
        m_feed.Feed(input.AccessData(), int(input.GetOneDimSize()), m_comm.get_InputTime());
        input.Clear();
    }
    return true;
}

void CTovrelDlg::AwaitFreeBuffer() {
    // The worker says when it frees a buffer; the timer is only the fallback
    // should that word come just before it was asked for.
    m_recv.WantFreed();
    if (!m_tmRecvRetry.isActive())
        m_tmRecvRetry.start(kRecvRetryMs);
}

void CTovrelDlg::OnRecvRetry() {
    // A backlog found on a retry is taken a chunk per pass of the event
    // loop, as the control hands out its own; bytes kept from a closed port
    // raise no event, so the timer carries them.
    if (ReceiveWaiting() && !m_tmRecvRetry.isActive() &&
        (m_feed.Kept() > 0 || (m_comm.get_PortOpen() && m_comm.get_InBufferCount() > 0)))
        m_tmRecvRetry.start(0);
}

void CTovrelDlg::CatchUpFeed() {
    while (m_feed.Pending() && ReceiveWaiting()) {
    }
}

void CTovrelDlg::KeepQueuedInput() {
    const QByteArray rest = m_comm.TakeQueued();
    m_feed.Keep(reinterpret_cast<const std::uint8_t*>(rest.constData()), size_t(rest.size()));
    if (m_feed.Kept() > 0 && !m_tmRecvRetry.isActive())
        m_tmRecvRetry.start(0);
}

void CTovrelDlg::OnBufferFreed() {
    // Worker thread: the UI thread looks again as soon as it can.
    m_editHistory.UiCall().Post([this] {
        m_tmRecvRetry.stop();
        OnRecvRetry();
    });
}

unsigned CTovrelDlg::RecvThreadProc(CTovrelDlg* pDlg) {
    pDlg->m_recv.RunWorker(
        pDlg->m_pRecvThread.StopFlag(),
        [pDlg](int count, const std::uint8_t* buffer, const std::uint32_t* sessions,
               std::uint32_t after) { pDlg->SaveRecords(count, buffer, sessions, after); },
        [pDlg](const std::uint8_t*) { pDlg->ParseRecord(); },
        [pDlg] {
            const SRecordingFault fault = pDlg->m_save.Housekeep();
            if (fault.failed)
                pDlg->m_editHistory.UiCall().Call(
                    [pDlg, fault] { pDlg->OnRecordingFailed(fault); });
        });
    return 0;
}

void CTovrelDlg::StopRecvThread() {
    m_tmRecvRetry.stop();
    m_tmRecordWatch.stop();
    if (!m_pRecvThread.IsRunning()) {
        m_session.Stop();
        m_save.SetWriter(false);
        return;
    }
    // From here on a worker's log line returns at once, so it never waits for
    // this thread while this thread waits for it.
    m_editHistory.UiCall().Close();
    const auto deadline = std::chrono::steady_clock::now() + kShutdownGrace;
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    // What has arrived goes to the worker, as buffers come free.
    if (m_comm.get_PortOpen()) {
        m_comm.put_PortOpen(false);
        KeepQueuedInput();
    }
    while ((m_feed.Kept() > 0 || m_feed.Pending()) && std::chrono::steady_clock::now() < deadline)
        if (!ReceiveWaiting())
            pause();
    m_recv.OnStreamBreak();
    m_session.Stop();
    while (m_recv.FlushPending() && std::chrono::steady_clock::now() < deadline) {
        if (!m_recv.Flush())
            pause();
    }
    while (m_recv.AnyReady() && std::chrono::steady_clock::now() < deadline)
        pause();
    const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   deadline - std::chrono::steady_clock::now()),
                               std::chrono::milliseconds(500));
    if (!m_pRecvThread.StopWithin(left)) {
        // A write that does not return (a hung share, a stick that stopped
        // answering). What was written is with the system; the program ends
        // rather than hang, and without destroying what the worker uses.
        std::string path;
        m_save.Stalled(&path);
        std::fprintf(stderr, "tovrel: a write to %s does not return; ending\n", path.c_str());
        if (m_onWorkerStuck) {
            m_onWorkerStuck();
            m_pRecvThread.Stop();
        } else {
            std::_Exit(0);
        }
    }
    m_save.SetWriter(false);
    m_session.Tick();
}

void CTovrelDlg::ParseRecord() {
    if (m_decodeTap)
        m_decodeTap(m_recv.Record());
    const SDecodedRecord rec = DecodeRecord(m_recv.Record());
    if (!rec.valid)
        return;
    m_wavePulse1.AddSample(rec.samples[0]);
    m_wavePulse2.AddSample(rec.samples[1]);
    m_waveEcg.AddSample(rec.samples[2]);
    m_waveHeartSound.AddSample(rec.samples[3]);

    std::int32_t press1 = rec.stress1, press2 = rec.stress2;
    if (m_bTestMode.load(std::memory_order_relaxed) == 0) {
        const std::int32_t coef1 = m_iPressCoef1.load(std::memory_order_relaxed);
        const std::int32_t coef2 = m_iPressCoef2.load(std::memory_order_relaxed);
        press1 = CalibratePressure(rec.stress1, coef1);
        press2 = CalibratePressure(rec.stress2, coef2);
        AppendHistory(m_editHistory, FormatCalibrationLine(rec.stress1, rec.stress2, coef1, coef2,
                                                           press1, press2));
    }
    m_infoPress1.m_iValue.store(press1, std::memory_order_relaxed);
    InvalidateRect(m_infoPress1.m_hWnd, nullptr, false);
    m_infoPress2.m_iValue.store(press2, std::memory_order_relaxed);
    InvalidateRect(m_infoPress2.m_hWnd, nullptr, false);
}

void CTovrelDlg::SaveRecords(int count, const std::uint8_t* buffer, const std::uint32_t* sessions,
                             std::uint32_t sessionAfter) {
    const SRecordingFault fault = m_save.SaveRecords(count, buffer, sessions, sessionAfter);
    if (!fault.failed)
        return;
    // The recorder has closed the file and released its lock; the rest is
    // the UI thread's, which the worker may wait for now.
    m_editHistory.UiCall().Call([this, fault] { OnRecordingFailed(fault); });
}

void CTovrelDlg::OnRecordingFailed(const SRecordingFault& fault) {
    AppendHistory(m_editHistory,
                  QCoreApplication::translate("CTovrelDlg", "文件(%1)写入失败,错误号%2")
                      .arg(QFile::decodeName(fault.path.c_str()),
                           QString::fromLocal8Bit(fault.reason.c_str())));
    // A recording started since then is not the one that failed.
    if (m_session.Current() != fault.session)
        return;
    // The recording ends where the failure was noticed; its sidecar is
    // written once the worker, waiting for this call, has gone on: it never
    // waits for a sidecar to be written.
    QMetaObject::invokeMethod(
        this, [this, fault] { m_session.OnFault(fault); }, Qt::QueuedConnection);
    GetDlgItem(IDC_BUTTON_SAVEFILE)->setEnabled(true);
    GetDlgItem(IDC_BUTTON_STOPSAVE)->setEnabled(false);
}

void CTovrelDlg::OnRecordWatch() {
    std::string path;
    if (m_save.Stalled(&path) >= kStallReported) {
        if (!m_bStallReported)
            AppendHistory(m_editHistory,
                          QCoreApplication::translate("CTovrelDlg", "文件(%1)写入停滞")
                              .arg(QFile::decodeName(path.c_str())));
        m_bStallReported = true;
    } else {
        m_bStallReported = false;
    }
    // The worker looks after the files while it runs; before it has started
    // a recording's file is still checked for being there.
    if (!m_pRecvThread.IsRunning()) {
        const SRecordingFault fault = m_save.Housekeep();
        if (fault.failed)
            OnRecordingFailed(fault);
    }
    // A stream gone quiet (sampling stopped) hands its last records over
    // rather than keep them until more bytes come.
    if (m_recv.Fed() == m_uFedAtWatch && m_feed.Kept() == 0 && m_pRecvThread.IsRunning())
        m_recv.Flush();
    m_uFedAtWatch = m_recv.Fed();
    m_session.Tick();
    if (!m_session.IsOn() && !m_save.HasFile())
        m_tmRecordWatch.stop();
}

void CTovrelDlg::OnBnClickedSaveFile() {
    const QString path = QFile::decodeName(RecordingFileNameNow(RecordingDir()).c_str());
    const SRecordingStart started = m_session.Start(path);
    const QString actual = QFile::decodeName(started.path.c_str());
    if (!started.opened) {
        // Switching the buttons as if recording would report a failure as a
        // success; say what went wrong and stay as we were.
        // One pass over the format: a '%' in the path must stay text.
        AppendHistory(m_editHistory,
                      QCoreApplication::translate("CTovrelDlg", "文件(%1)打开失败,错误号%2")
                          .arg(actual, QString::fromLocal8Bit(started.reason.c_str())));
        return;
    }
    CatchUpFeed();
    AppendHistory(m_editHistory,
                  QCoreApplication::translate("CTovrelDlg", "开始保存文件(%1)").arg(actual));
    m_bStallReported = false;
    if (!m_tmRecordWatch.isActive())
        m_tmRecordWatch.start();
    GetDlgItem(IDC_BUTTON_SAVEFILE)->setEnabled(false);
    GetDlgItem(IDC_BUTTON_STOPSAVE)->setEnabled(true);
}

void CTovrelDlg::OnBnClickedStopSave() {
    m_session.Stop();
    CatchUpFeed();
    GetDlgItem(IDC_BUTTON_SAVEFILE)->setEnabled(true);
    GetDlgItem(IDC_BUTTON_STOPSAVE)->setEnabled(false);
}
