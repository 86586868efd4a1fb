// The device commands: operations of the panel.
#include "link/CommandFrame.h"
#include "platform/Variant.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"

#include <QCoreApplication>
#include <QThread>

namespace {
constexpr int kCoefMin = 0, kCoefMax = 200;
constexpr std::uint32_t kGainMax = 127;
constexpr unsigned long kCalibModePauseMs = 50;
} // namespace

void CTovrelDlg::SendFrame(std::uint8_t command) {
    m_baSend.resize(0);
    m_baSend = BuildCommandFrame(command);
    COleVariant var(m_baSend);
    m_comm.put_Output(var); // the variant is released on every way out
}

void CTovrelDlg::SendFrame(std::uint8_t command, std::uint32_t arg1, std::uint32_t arg2) {
    m_baSend.resize(0);
    m_baSend = BuildCommandFrame(command, arg1, arg2);
    COleVariant var(m_baSend);
    m_comm.put_Output(var);
}

bool CTovrelDlg::EnsurePortOpen() {
    if (m_bPortOpen == 1)
        return true;
    if (OpenComPort()) {
        m_bPortOpen = 1;
        AppendHistory(m_editHistory, QCoreApplication::translate("CTovrelDlg", "串口打开成功"));
        return true; // the worker is the Open-port button's alone to start
    }
    m_bPortOpen = 0;
    return false;
}

void CTovrelDlg::OnBnClickedTestMode() {
    GetDlgItem(IDC_EDIT_COEF1)->setEnabled(false);
    GetDlgItem(IDC_EDIT_COEF2)->setEnabled(false);
    m_bTestMode = 1;
    SidecarNoteMode();
}

void CTovrelDlg::OnBnClickedCalibMode() {
    GetDlgItem(IDC_EDIT_COEF1)->setEnabled(true);
    GetDlgItem(IDC_EDIT_COEF2)->setEnabled(true);
    GetDlgItem(IDC_EDIT_COEF1)->setFocus();
    GetDlgItem(IDC_RADIO_CALIB)->setEnabled(false);
    m_bTestMode = 0;
    SidecarNoteMode();
    if (!EnsurePortOpen())
        return;
    // The device needs a moment between switching and the next command.
    QThread::msleep(kCalibModePauseMs);
    SendFrame(kCmdCalibMode);
}

void CTovrelDlg::OnBnClickedDownload() {
    // A failed exchange has prompted and stopped at the bad field, so the
    // fields after it still hold older values: sending those would set the
    // device to something the operator did not enter. The fields before it
    // are in force all the same.
    const bool exchanged = UpdateData(true);
    SidecarNoteMode();
    if (!exchanged)
        return;
    const std::int32_t c1 = m_iPressCoef1, c2 = m_iPressCoef2;
    if (c1 < kCoefMin || c1 > kCoefMax || c2 < kCoefMin || c2 > kCoefMax)
        return;
    SendFrame(kCmdDownloadCoef, std::uint32_t(c1), std::uint32_t(c2));
    AppendHistory(m_editHistory, QCoreApplication::translate(
                                     "CTovrelDlg", "设定标定压力系数1为%1,设定标定压力系数2为%2")
                                     .arg(c1)
                                     .arg(c2));
}

void CTovrelDlg::OnBnClickedStartSample() {
    if (!EnsurePortOpen())
        return;
    SendFrame(kCmdStartSample);
    m_session.StreamResumed(); // a recording's stream may go on after a gap
    GetDlgItem(IDC_BUTTON_START)->setEnabled(false);
    GetDlgItem(IDC_BUTTON_STOP)->setEnabled(true);
    GetDlgItem(IDC_RADIO_CALIB)->setEnabled(false);
    GetDlgItem(IDC_BUTTON_ZERO)->setEnabled(false);
    GetDlgItem(IDC_BUTTON_DOWNLOAD)->setEnabled(false);
}

void CTovrelDlg::OnBnClickedStopSample() {
    SendFrame(kCmdStopSample);
    GetDlgItem(IDC_BUTTON_START)->setEnabled(true);
    GetDlgItem(IDC_BUTTON_STOP)->setEnabled(false);
    GetDlgItem(IDC_BUTTON_ZERO)->setEnabled(true);
    GetDlgItem(IDC_BUTTON_DOWNLOAD)->setEnabled(true);
}

void CTovrelDlg::OnBnClickedZero() {
    if (!EnsurePortOpen())
        return;
    SendFrame(kCmdZero);
    GetDlgItem(IDC_RADIO_CALIB)->setEnabled(true);
}

void CTovrelDlg::OnBnClickedAmplify() {
    // As for Download: after a failed exchange the gains may be older ones
    // (a bad coefficient, exchanged first, stops it before them).
    const bool exchanged = UpdateData(true);
    SidecarNoteMode();
    if (!exchanged)
        return;
    // Compared unsigned: a gain typed as a negative number is far above 127.
    if (m_uPulseGain1 > kGainMax || m_iPulseGain2 > kGainMax)
        return;
    AppendHistory(m_editHistory, QCoreApplication::translate(
                                     "CTovrelDlg", "脉搏1放大倍数设置为%1,脉搏2放大倍数设置为%2")
                                     .arg(qint32(m_uPulseGain1))
                                     .arg(qint32(m_iPulseGain2)));
    if (!EnsurePortOpen())
        return;
    SendFrame(kCmdAmplify, m_uPulseGain1, m_iPulseGain2);
    SidecarNoteGain();
}
