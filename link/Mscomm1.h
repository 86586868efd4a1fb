#pragma once
#include "platform/SerialControl.h"
#include "platform/Variant.h"

#include <QWidget>

// The panel's serial communications control (control 1014). It holds a place
// in the panel's layout but never shows; its typed accessors forward to the
// serial control it owns, and every failure arrives as COleDispatchException.
class CMscomm1 : public QWidget {
    Q_OBJECT
public:
    explicit CMscomm1(QWidget* parent = nullptr);

    void put_CommPort(short port) { m_control.SetCommPort(port); }
    bool get_PortOpen() const { return m_control.GetPortOpen(); }
    void put_PortOpen(bool open) { m_control.SetPortOpen(open); }
    void put_Settings(const QString& settings) { m_control.SetSettings(settings); }
    QString get_Settings() const { return m_control.GetSettings(); }
    void put_InputMode(long mode) { m_control.SetInputMode(mode); }
    void put_RThreshold(short bytes) { m_control.SetRThreshold(bytes); }
    void put_InputLen(short bytes) { m_control.SetInputLen(bytes); }
    void put_Output(const COleVariant& data) { m_control.SetOutput(data); }
    COleVariant get_Input(qsizetype max = 0) { return m_control.GetInput(max); }
    std::chrono::steady_clock::time_point get_InputTime() const { return m_control.GetInputTime(); }
    qint64 ReadNow() { return m_control.ReadNow(); }
    QByteArray TakeQueued() { return m_control.TakeQueued(); }
    qint64 get_InBufferCount() const { return m_control.GetInBufferCount(); }
    short get_CommEvent() const { return m_control.GetCommEvent(); }

signals:
    // Received bytes wait (CommEvent 2).
    void OnComm();
    // The open port failed and has been closed.
    void PortLost(const QString& reason);

private:
    CSerialControl m_control;
};
