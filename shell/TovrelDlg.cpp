#include "shell/TovrelDlg.h"

#include "platform/DialogKeys.h"
#include "platform/MessageMap.h"
#include "platform/SystemMenu.h"
#include "resources/Resource.h"
#include "resources/Templates.h"
#include "shell/AboutDlg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPainter>
#include <QRadioButton>
#include <QShortcut>
#include <QStyle>

namespace {
// All four strip windows share one child ID; none is looked up by it.
constexpr int kStripWindowId = 100;
// Our own event of the serial control, beside OnComm (1).
constexpr int kEventPortLost = 2;

const CMessageMap<CTovrelDlg>& MessageMap() {
    static const CMessageMap<CTovrelDlg> map{
        ON_WM_SYSCOMMAND(&CTovrelDlg::OnSysCommand),
        ON_WM_PAINT(&CTovrelDlg::OnPaint),
        ON_WM_QUERYDRAGICON(&CTovrelDlg::OnQueryDragIcon),
        ON_BN_CLICKED(IDC_RADIO_CALIB, &CTovrelDlg::OnBnClickedCalibMode),
        ON_BN_CLICKED(IDC_BUTTON_DOWNLOAD, &CTovrelDlg::OnBnClickedDownload),
        ON_BN_CLICKED(IDC_BUTTON_START, &CTovrelDlg::OnBnClickedStartSample),
        ON_BN_CLICKED(IDC_BUTTON_STOP, &CTovrelDlg::OnBnClickedStopSample),
        ON_BN_CLICKED(IDC_BUTTON_ZERO, &CTovrelDlg::OnBnClickedZero),
        ON_BN_CLICKED(IDC_BUTTON_AMPLIFY, &CTovrelDlg::OnBnClickedAmplify),
        ON_BN_CLICKED(IDC_RADIO_TEST, &CTovrelDlg::OnBnClickedTestMode),
        ON_WM_CLOSE(&CTovrelDlg::OnClose),
        ON_BN_CLICKED(IDC_BUTTON_SAVEFILE, &CTovrelDlg::OnBnClickedSaveFile),
        ON_BN_CLICKED(IDC_BUTTON_STOPSAVE, &CTovrelDlg::OnBnClickedStopSave),
        ON_BN_CLICKED(IDC_BUTTON_OPENPORT, &CTovrelDlg::OnBnClickedOpenPort),
        ON_BN_CLICKED(IDC_BUTTON_CLOSEPORT, &CTovrelDlg::OnBnClickedClosePort),
        // Event sink: OnComm (dispatch ID 1) of the serial control.
        ON_EVENT(IDC_MSCOMM1, 1, &CTovrelDlg::OnCommMscomm1),
        ON_EVENT(IDC_MSCOMM1, kEventPortLost, &CTovrelDlg::OnPortLostMscomm1),
    };
    return map;
}
} // namespace

QPoint MinimizedIconPosition(const QSize& client, const QSize& icon) {
    return QPoint((client.width() - icon.width() + 1) / 2,
                  (client.height() - icon.height() + 1) / 2);
}

CTovrelDlg::CTovrelDlg() : QDialog(nullptr), m_hIcon(LoadAppIcon()) {}

CTovrelDlg::~CTovrelDlg() {
    // The worker works on the members: it goes before any of them does, also
    // when the panel is destroyed without its run having ended.
    StopRecvThread();
    DestroyWindows();
}

void CTovrelDlg::Create() {
    if (m_created)
        return;
    m_created = true;
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    BuildDialog(this, PanelTemplate(), m_controls);
    MessageMap().ConnectButtons(*this, m_controls);
    OnInitDialog();
    connect(&m_comm, &CMscomm1::OnComm, this, [this] {
        MessageMap().Dispatch(*this, Msg::ControlEvent, IDC_MSCOMM1, MsgParams{0, 0, 1});
    });
    m_tmRecvRetry.setSingleShot(true);
    connect(&m_tmRecvRetry, &QTimer::timeout, this, [this] { OnRecvRetry(); });
    m_tmRecordWatch.setInterval(1000);
    connect(&m_tmRecordWatch, &QTimer::timeout, this, [this] { OnRecordWatch(); });
    // Everything received up to a press counts as before it: what the line
    // holds is read first.
    m_feed.SetWaiting(
        [this]() -> std::int64_t { return m_comm.get_PortOpen() ? m_comm.ReadNow() : 0; });
    m_feed.SetEventSink([this](const CRecvFeed::SEvent& e) { m_session.OnEvent(e); });
    m_recv.SetOnFreed([this] { OnBufferFreed(); });
    m_recv.SetRecordSink([this](std::uint32_t tag, int records, TArrival at) {
        m_session.OnRecords(tag, records, at);
    });
    m_session.SetContext([this] {
        SRecordingContext c;
        c.calibration = m_bTestMode.load() == 0;
        c.coef1 = m_iPressCoef1.load();
        c.coef2 = m_iPressCoef2.load();
        c.portOpen = m_comm.get_PortOpen();
        c.portName =
            c.portOpen ? QStringLiteral("COM%1").arg(m_iComPort) : m_cbComPort->currentText();
        if (c.portOpen)
            c.portSettings = m_comm.get_Settings();
        return c;
    });
    m_session.SetLog([this](const QString& line) { AppendHistory(m_editHistory, line); });
    connect(&m_comm, &CMscomm1::PortLost, this, [this] {
        MessageMap().Dispatch(*this, Msg::ControlEvent, IDC_MSCOMM1,
                              MsgParams{0, 0, kEventPortLost});
    });
    // F2, which the dialog has no use for, sets a marker in the recording.
    // A shortcut of the whole window, so an entry field with the focus does
    // not take it.
    auto* marker = new QShortcut(QKeySequence(Qt::Key_F2), this);
    marker->setContext(Qt::WindowShortcut);
    connect(marker, &QShortcut::activated, this, [this] { OnMarkerKey(); });
}

int CTovrelDlg::DoModal() {
    Create();
    const int result = exec();
    DestroyWindows();
    return result;
}

// The windows go with the end of the modal run; the objects stay until the
// panel object goes, and anything that reaches them in between is dropped.
void CTovrelDlg::DestroyWindows() {
    m_wavePulse1.DestroyWindow();
    m_wavePulse2.DestroyWindow();
    m_waveEcg.DestroyWindow();
    m_waveHeartSound.DestroyWindow();
    m_infoPress1.DestroyWindow();
    m_infoPress2.DestroyWindow();
}

void CTovrelDlg::done(int r) {
    // Every way the run ends passes here: close box, OK, Cancel.
    // What has arrived is recorded, and the recording ends with it; nothing
    // is written after the worker, and its sidecar says so.
    StopRecvThread();
    QDialog::done(r);
    DestroyWindows();
}

void CTovrelDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, IDC_COMBO_PORT, m_cbComPort);
    DDX_Control(pDX, IDC_RADIO_TEST, m_btnTestMode);
    DDX_Text(pDX, IDC_EDIT_COEF1, m_iPressCoef1);
    DDV_MinMaxInt(pDX, m_iPressCoef1, 0, 200);
    DDX_Text(pDX, IDC_EDIT_COEF2, m_iPressCoef2);
    DDV_MinMaxInt(pDX, m_iPressCoef2, 0, 200);
    DDX_Control(pDX, IDC_STATIC_PRESS1, m_infoPress1);
    DDX_Control(pDX, IDC_STATIC_PRESS2, m_infoPress2);
    DDX_Text(pDX, IDC_EDIT_GAIN1, m_uPulseGain1);
    DDV_MinMaxUInt(pDX, m_uPulseGain1, 0, 127);
    DDX_Text(pDX, IDC_EDIT_GAIN2, m_iPulseGain2);
    DDV_MinMaxUInt(pDX, m_iPulseGain2, 0, 127);
    DDX_Control(pDX, IDC_MSCOMM1, m_comm);
}

bool CTovrelDlg::UpdateData(bool bSaveAndValidate) {
    return ::UpdateData(this, m_controls, bSaveAndValidate,
                        [this](CDataExchange* pDX) { DoDataExchange(pDX); });
}

bool CTovrelDlg::OnInitDialog() {
    // 1. The first exchange, towards the controls.
    UpdateData(false);

    // 2. The About entry of the system menu.
    CSystemMenu* pSysMenu = GetSystemMenu(this, [this](unsigned nID, long long lParam) {
        MessageMap().Dispatch(*this, Msg::SysCommand, 0, MsgParams{nID, lParam});
    });
    if (pSysMenu) {
        const QString strAboutMenu = LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.isEmpty()) {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    // 3. Big and small icon: one QIcon carries every size.
    setWindowIcon(m_hIcon);

    // 4. The port list, unsorted, COM1 selected.
    for (int n = 1; n <= 16; ++n) {
        char text[8];
        std::snprintf(text, sizeof text, "COM%d", n);
        m_cbComPort->addItem(QString::fromLatin1(text));
    }
    m_cbComPort->setCurrentIndex(0);

    // 5. Test mode checked.
    m_btnTestMode->setChecked(true);

    // 6. The history log takes the place of control 1011.
    m_controls.Subclass(IDC_EDIT_HISTORY, &m_editHistory);
    m_editHistory.m_bAcceptFocus = 1;

    // 7. The coefficients are edited only in calibration mode.
    GetDlgItem(IDC_EDIT_COEF1)->setEnabled(false);
    GetDlgItem(IDC_EDIT_COEF2)->setEnabled(false);

    // 8. The strip windows over their frames, which stay underneath.
    const struct {
        int frame;
        CDrawWave3Wnd* wave;
    } strips[] = {{IDC_FRAME_PULSE1, &m_wavePulse1},
                  {IDC_FRAME_PULSE2, &m_wavePulse2},
                  {IDC_FRAME_ECG, &m_waveEcg},
                  {IDC_FRAME_HEARTSOUND, &m_waveHeartSound}};
    for (const auto& s : strips) {
        const QRect rc = GetDlgItem(s.frame)->geometry(); // already in client coordinates
        s.wave->Create(this, rc, kStripWindowId);
    }

    // 9. Calibration mode is offered only after a zero calibration.
    GetDlgItem(IDC_RADIO_CALIB)->setEnabled(false);

    // 10.
    setWindowTitle(QCoreApplication::translate("CTovrelDlg", "电生理多参数采集软件V1.1.2"));
    return true;
}

void CTovrelDlg::OnSysCommand(unsigned nID, long long lParam) {
    (void)lParam;
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        DefaultSysCommand(this, nID);
    }
}

void CTovrelDlg::OnPaint() {
    if (isMinimized()) {
        QPainter dc(this);
        const QSize icon(style()->pixelMetric(QStyle::PM_LargeIconSize),
                         style()->pixelMetric(QStyle::PM_LargeIconSize));
        dc.fillRect(rect(), palette().window());
        const QPoint at = MinimizedIconPosition(size(), icon);
        m_hIcon.paint(&dc, QRect(at, icon));
    }
    // Otherwise the dialog's own painting, which QDialog does after us.
}

QIcon CTovrelDlg::OnQueryDragIcon() {
    return m_hIcon;
}

void CTovrelDlg::OnOK() {
    if (UpdateData(true))
        accept();
}

void CTovrelDlg::OnCancel() {
    reject();
}

void CTovrelDlg::paintEvent(QPaintEvent* e) {
    MessageMap().Dispatch(*this, Msg::Paint);
    QDialog::paintEvent(e);
}

void CTovrelDlg::closeEvent(QCloseEvent* e) {
    // The close request is the handler's to carry out: it ends the run itself
    // once the port is closed, and not when closing the port failed.
    e->ignore();
    if (!MessageMap().Dispatch(*this, Msg::Close))
        OnCancel();
}

void CTovrelDlg::keyPressEvent(QKeyEvent* e) {
    if (!HandleDialogKey(
            this, e, [this] { OnOK(); }, [this] { OnCancel(); }))
        QDialog::keyPressEvent(e);
}

void CTovrelDlg::contextMenuEvent(QContextMenuEvent* e) {
    // Controls with menus of their own (the entry fields, the log) keep the
    // event; what reaches the panel was a click on its background or a label.
    GetSystemMenu(this)->Open(e->globalPos());
    e->accept();
}
