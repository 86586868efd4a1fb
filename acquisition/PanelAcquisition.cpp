// The receive path, the worker, decoding and recording: operations of the panel.
#include "acquisition/Record.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"

#include <QCoreApplication>
#include <algorithm>

void CTovrelDlg::OnCommMscomm1() {
    constexpr short kEvReceive = 2;
    if (m_comm.get_CommEvent() != kEvReceive)
        return;
    ReceiveWaiting();
}

bool CTovrelDlg::ReceiveWaiting() {
    if (!m_comm.get_PortOpen())
        return false;
    const qint64 waiting = m_comm.get_InBufferCount();
    if (waiting <= 0)
        return false;
    // Without a worker (the run has ended) nothing would ever free a buffer.
    if (m_pRecvThread.IsRunning() &&
        !m_recv.Accepts(int(std::min(waiting, CSerialControl::kMaxInputChunk)))) {
        // The worker still holds the buffer the chunk would need. Reading it
        // now would drop it; left in the control's queue (seconds of the full
        // line rate) it waits for the worker. New bytes raise the event
        // again, and the timer looks once more should the device have gone
        // quiet meanwhile.
        m_recv.NoteDeferred();
        if (!m_tmRecvRetry.isActive())
            m_tmRecvRetry.start(kRecvRetryMs);
        return false;
    }
    COleVariant input = m_comm.get_Input();
    m_recv.OnChunk(input.AccessData(), int(input.GetOneDimSize()));
    input.Clear();
    return true;
}

void CTovrelDlg::OnRecvRetry() {
    // A backlog found on a retry is taken a chunk per pass of the event
    // loop, as the control hands out its own.
    if (ReceiveWaiting() && m_comm.get_PortOpen() && m_comm.get_InBufferCount() > 0 &&
        !m_tmRecvRetry.isActive())
        m_tmRecvRetry.start(0);
}

unsigned CTovrelDlg::RecvThreadProc(CTovrelDlg* pDlg) {
    pDlg->m_recv.RunWorker(
        pDlg->m_pRecvThread.StopFlag(),
        [pDlg](int count, const std::uint8_t* buffer) { pDlg->SaveRecords(count, buffer); },
        [pDlg](const std::uint8_t*) { pDlg->ParseRecord(); });
    return 0;
}

void CTovrelDlg::StopRecvThread() {
    m_tmRecvRetry.stop();
    if (!m_pRecvThread.IsRunning())
        return;
    m_pRecvThread.RequestStop();
    // A worker waiting for its log line to go in gets it now, and any later
    // append of its returns at once, so the join below cannot hang.
    m_editHistory.UiCall().Close();
    m_pRecvThread.Stop();
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

void CTovrelDlg::SaveRecords(int count, const std::uint8_t* buffer) {
    const SRecordingFault fault = m_save.SaveRecords(count, buffer);
    if (!fault.failed)
        return;
    // The recorder has closed the file and released its lock; the rest is
    // the UI thread's, which the worker may wait for now.
    m_editHistory.UiCall().Call([this, fault] { OnRecordingFailed(fault); });
}

void CTovrelDlg::OnRecordingFailed(const SRecordingFault& fault) {
    AppendHistory(
        m_editHistory,
        QCoreApplication::translate("CTovrelDlg", "文件(%1)写入失败,错误号%2")
            .arg(QString::fromStdString(fault.path), QString::fromStdString(fault.reason)));
    // A recording started since then is not the one that failed.
    if (m_save.Recording() != fault.recording || m_save.IsSaving())
        return;
    // Its sidecar is closed once the worker, waiting for this call, has
    // gone on: it never waits for a sidecar to be written.
    QMetaObject::invokeMethod(
        this,
        [this, recording = fault.recording] {
            if (m_save.Recording() != recording || m_save.IsSaving())
                return;
            // The log has said why the recording ended; a sidecar that
            // cannot be written either (the same full disk) keeps its last
            // state without a second line.
            m_bSidecarFailed = true;
            SidecarStop();
        },
        Qt::QueuedConnection);
    GetDlgItem(IDC_BUTTON_SAVEFILE)->setEnabled(true);
    GetDlgItem(IDC_BUTTON_STOPSAVE)->setEnabled(false);
}

void CTovrelDlg::OnBnClickedSaveFile() {
    const std::string path = RecordingFileNameNow(RecordingDir());
    const SRecordingStart started = m_save.Start(path);
    if (!started.opened) {
        // Switching the buttons as if recording would report a failure as a
        // success; say what went wrong and stay as we were.
        // One pass over the format: a '%' in the path must stay text.
        AppendHistory(
            m_editHistory,
            QCoreApplication::translate("CTovrelDlg", "文件(%1)打开失败,错误号%2")
                .arg(QString::fromStdString(path), QString::fromStdString(started.reason)));
        return;
    }
    AppendHistory(m_editHistory, QCoreApplication::translate("CTovrelDlg", "开始保存文件(%1)")
                                     .arg(QString::fromStdString(path)));
    SidecarStart(path);
    GetDlgItem(IDC_BUTTON_SAVEFILE)->setEnabled(false);
    GetDlgItem(IDC_BUTTON_STOPSAVE)->setEnabled(true);
}

void CTovrelDlg::OnBnClickedStopSave() {
    m_save.Stop();
    SidecarStop();
    GetDlgItem(IDC_BUTTON_SAVEFILE)->setEnabled(true);
    GetDlgItem(IDC_BUTTON_STOPSAVE)->setEnabled(false);
}
