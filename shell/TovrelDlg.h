#pragma once
#include "acquisition/Recorder.h"
#include "acquisition/RecordingSession.h"
#include "acquisition/RecvBuffers.h"
#include "acquisition/RecvFeed.h"
#include "acquisition/Sidecar.h"
#include "display/DrawWave3Wnd.h"
#include "display/InfoScreeWnd.h"
#include "link/Mscomm1.h"
#include "platform/DataExchange.h"
#include "platform/DialogTemplate.h"
#include "shell/HistoryEdit.h"

#include <QByteArray>
#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class QComboBox;
class QRadioButton;

// The main panel: built from template 102, it owns every other object of the
// system for the whole modal run.
class CTovrelDlg : public QDialog {
public:
    CTovrelDlg();
    ~CTovrelDlg() override;

    // Builds the window from its template and initialises it, then runs it
    // modally; the windows are gone when it returns.
    int DoModal();
    // The first half of DoModal on its own: the window exists and is
    // initialised but not shown (tests and the demo drive the panel this way).
    void Create();
    // Ends the run as the dialog manager's commands do.
    void OnOK();
    void OnCancel();

    void done(int r) override;

    // Data exchange between controls and members.
    bool UpdateData(bool bSaveAndValidate = true);
    const CDialogControls& Controls() const { return m_controls; }
    QWidget* GetDlgItem(int id) const { return m_controls.GetDlgItem(id); }

    // Handlers (message map).
    void OnSysCommand(unsigned nID, long long lParam);
    void OnPaint();
    QIcon OnQueryDragIcon();
    void OnBnClickedCalibMode();
    void OnBnClickedDownload();
    void OnBnClickedStartSample();
    void OnBnClickedStopSample();
    void OnBnClickedZero();
    void OnBnClickedAmplify();
    void OnBnClickedTestMode();
    void OnClose();
    void OnBnClickedSaveFile();
    void OnBnClickedStopSave();
    void OnBnClickedOpenPort();
    void OnBnClickedClosePort();
    // Event sink: the serial control's receive event, and the end of the
    // port when the device vanishes (adapter unplugged, device powered off).
    void OnCommMscomm1();
    void OnPortLostMscomm1();
    // Hands the bytes waiting (kept from a closed port, then in the control)
    // to the receive buffers, a chunk at a time, or leaves them there while
    // no buffer can take them (true when a chunk was taken); OnRecvRetry
    // looks again after a pause.
    bool ReceiveWaiting();
    void OnRecvRetry();
    // The receive handler waits for the worker to free a buffer, which it
    // says when it does (OnBufferFreed, on the worker's thread).
    void AwaitFreeBuffer();
    void OnBufferFreed();
    // The bytes the control still holds as the port closes are kept and
    // still recorded; the stream ends after them.
    void KeepQueuedInput();
    // After a press placed in the stream: what arrived before it is taken
    // now, as far as free buffers allow, so that the press takes effect
    // before the handler returns unless the worker is behind.
    void CatchUpFeed();

    // Port opening (1: open, 0: failed and reported) and the commands' port check.
    int OpenComPort();
    bool EnsurePortOpen();
    void SendFrame(std::uint8_t command);
    void SendFrame(std::uint8_t command, std::uint32_t arg1, std::uint32_t arg2);

    // Acquisition, on the worker thread.
    static unsigned RecvThreadProc(CTovrelDlg* pDlg);
    void ParseRecord();
    void SaveRecords(int count, const std::uint8_t* buffer, const std::uint32_t* sessions,
                     std::uint32_t sessionAfter);
    // UI thread: a recording ended by a failed write or a file gone.
    void OnRecordingFailed(const SRecordingFault& fault);
    // UI thread, once a second while a recording is on or ending: a write
    // that hangs, the sidecar, the records of a stream gone quiet.
    void OnRecordWatch();
    // Stops the worker and waits for it, after it has been given what has
    // arrived; safe to call more than once. A worker that does not end
    // within a few seconds (a write that never returns) ends the program.
    void StopRecvThread();

    // The recording's sidecar (m_session): the mode and coefficients when
    // they changed, the gains just sent. Nothing without a recording.
    void SidecarNoteMode();
    void SidecarNoteGain();
    // F2: a numbered marker at the recording's current line.
    void OnMarkerKey();

    // Members, in declaration order.
    QIcon m_hIcon;
    QComboBox* m_cbComPort = nullptr;
    CRecvWorker m_pRecvThread; // the worker, once the first opening started it
    QRadioButton* m_btnTestMode = nullptr;
    std::atomic<std::int32_t> m_iPressCoef1{100};
    std::atomic<std::int32_t> m_iPressCoef2{100};
    CHistoryEdit m_editHistory;
    CInfoScreeWnd m_infoPress1;
    CInfoScreeWnd m_infoPress2;
    std::uint32_t m_uPulseGain1 = 0;
    std::uint32_t m_iPulseGain2 = 0;
    QByteArray m_baSend;
    CDrawWave3Wnd m_wavePulse1;
    CDrawWave3Wnd m_wavePulse2;
    CDrawWave3Wnd m_waveEcg;
    CDrawWave3Wnd m_waveHeartSound;
    CMscomm1 m_comm;
    // Armed while received bytes wait for the worker to free a buffer: the
    // worker's word that it did comes first, this is the fallback.
    QTimer m_tmRecvRetry;
    static constexpr int kRecvRetryMs = 50;
    // Once a second while a recording is on or ending (OnRecordWatch).
    QTimer m_tmRecordWatch;
    std::int32_t m_iComPort = 0;
    // Test seam: a pseudo-terminal takes the device's settings; only these show a refusal after
    // opening.
    QString m_strLineSettings = QStringLiteral("926000,n,8,1");
    std::int32_t m_bPortOpen = 0;
    std::atomic<std::int32_t> m_bTestMode{1};
    // The receive buffers with their fill counts, ready flags, the filling
    // buffer's number, the decimation counter and the record being decoded.
    CRecvBuffers m_recv;
    // What goes into them, with the operator's actions in their place.
    CRecvFeed m_feed{m_recv};
    // The recording and its sidecar; its recorder holds the recording flag
    // and files (m_bSaving, m_pSaveFile) behind their lock.
    CRecordingSession m_session{m_feed};
    CRecorder& m_save = m_session.Recorder();
    // Sees every record handed to the decoder, on the worker thread, before it
    // is decoded. Seam for the benchmarks and the kill tests, which have no
    // other way to see what was decoded; empty unless set before the worker starts.
    std::function<void(const std::uint8_t* record)> m_decodeTap;
    // A write that hangs is reported once.
    bool m_bStallReported = false;
    // Bytes fed by the last watch: a stream that has gone quiet since hands
    // its last records over.
    std::uint64_t m_uFedAtWatch = 0;
    // What ends the program when the worker cannot be stopped (a test seam).
    std::function<void()> m_onWorkerStuck;

protected:
    void DoDataExchange(CDataExchange* pDX);
    bool OnInitDialog();

    void paintEvent(QPaintEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    void DestroyWindows();

    CDialogControls m_controls;
    bool m_created = false;
};

// Where a minimised window draws its icon: centred, rounding up.
QPoint MinimizedIconPosition(const QSize& client, const QSize& icon);
