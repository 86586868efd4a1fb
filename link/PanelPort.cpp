// Opening and closing the port: operations of the panel.
#include "link/PortHints.h"
#include "platform/Errors.h"
#include "platform/MessageBox.h"
#include "shell/TovrelDlg.h"

#include <QComboBox>
#include <QCoreApplication>

namespace {
constexpr long kInputModeBinary = 1;
constexpr short kReceiveThreshold = 4;
constexpr short kReadAllWaiting = 0;
constexpr int kErrorTextMax = 511;
} // namespace

int CTovrelDlg::OpenComPort() {
    m_iComPort = m_cbComPort->currentIndex() + 1;
    bool openedHere = false;
    try {
        if (m_comm.get_PortOpen())
            return 1;
        // The port is opened before its line settings are applied.
        m_comm.put_CommPort(short(m_iComPort));
        m_comm.put_PortOpen(true);
        openedHere = true;
        m_comm.put_Settings(m_strLineSettings);
        m_comm.put_InputMode(kInputModeBinary);
        m_comm.put_RThreshold(kReceiveThreshold);
        m_comm.put_InputLen(kReadAllWaiting);
        // A device may be streaming already: the first bytes can fall
        // anywhere in a record. Bytes still kept from the port before go
        // first; the new stream begins after them.
        m_feed.Schedule(CRecvFeed::EEvent::Break, 0, true);
        m_session.StreamResumed(); // a recording's stream may go on after a gap
        return 1;
    } catch (const COleDispatchException& e) {
        // A port left open with only part of its settings (an adapter that
        // refuses 926000 baud keeps the rate it had) would pass the next
        // press as a success and talk to the device at the wrong rate. Shut
        // it, so that every attempt starts afresh and fails the same way.
        if (openedHere) {
            try {
                m_comm.put_PortOpen(false);
            } catch (const COleDispatchException&) {
                // Closing is best effort here; the opening failure is the news.
            }
        }
        const QString reason = e.m_strDescription.left(kErrorTextMax);
        const QString text =
            QCoreApplication::translate("CTovrelDlg", "串口(COM%1)打开失败,错误号%2")
                .arg(m_iComPort)
                .arg(reason);
        AppendHistory(m_editHistory, text);
        // The system's reason names the path, not what to do about it. When
        // the device is missing or may not be opened, one more line says
        // what COMn stands for and how to change that; it comes before the
        // box so that it is there to read while the box waits.
        const QString hint = OpenFailureHintFor(m_iComPort);
        if (!hint.isEmpty())
            AppendHistory(m_editHistory, hint);
        AfxMessageBox(text, this);
        return 0;
    }
}

void CTovrelDlg::OnBnClickedOpenPort() {
    if (OpenComPort()) {
        m_bPortOpen = 1;
        AppendHistory(m_editHistory, QCoreApplication::translate("CTovrelDlg", "串口打开成功"));
        // Only the first successful press starts the worker, and none
        // starts once the run has ended and the worker has been stopped.
        if (!m_pRecvThread.IsStarted()) {
            m_save.SetWriter(true);
            m_pRecvThread.Start(m_recv, [this](const std::atomic<bool>&) { RecvThreadProc(this); });
        }
    } else {
        m_bPortOpen = 0;
    }
}

void CTovrelDlg::OnBnClickedClosePort() {
    if (!m_comm.get_PortOpen())
        return;
    m_comm.put_PortOpen(false);
    // What was received before the close is still recorded.
    KeepQueuedInput();
    // A later command with the port check then opens the port again instead
    // of writing to a closed one.
    m_bPortOpen = 0;
    AppendHistory(m_editHistory, QCoreApplication::translate("CTovrelDlg", "串口关闭成功"));
}

void CTovrelDlg::OnClose() {
    OnBnClickedClosePort();
    // Then the close request takes its usual course: the Cancel command.
    OnCancel();
}

void CTovrelDlg::OnPortLostMscomm1() {
    // The control has closed the port already. Say so once; the flag goes
    // down so that the next command or Open press opens the port afresh. A
    // recording that is on stays on and keeps what it has, and what was
    // received before the end is still recorded.
    KeepQueuedInput();
    m_bPortOpen = 0;
    AppendHistory(m_editHistory,
                  QCoreApplication::translate("CTovrelDlg", "串口(COM%1)连接中断").arg(m_iComPort));
}
