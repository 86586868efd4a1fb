#pragma once
#include "platform/Variant.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>

// Line settings as the "baud,parity,data,stop" text names them.
struct SerialLineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    bool operator==(const SerialLineSettings&) const = default;
};

// Reads "baud,parity,data,stop": baud any positive decimal number (devices
// may use non-standard rates such as 926000), parity one of n e o m s (either
// case), data 5 to 8, stop 1, 1.5 or 2. Anything else yields nothing.
std::optional<SerialLineSettings> ParseSerialSettings(const QString& text);

// The serial communications control: a port named COM1..COM16, opened and
// configured through properties, that passes raw 8-bit data both ways and
// raises OnComm on the thread that owns it when received bytes wait.
//
// Every access the port cannot carry out throws COleDispatchException with a
// readable reason; the control itself never catches it.
//
// Sizes: Input hands out at most kMaxInputChunk (495) bytes per read when
// InputLen is 0: the receiving side takes no chunk over 512 bytes, keeps its
// buffers cut into the device's 15-byte records and carries the last record
// of a buffer over to the next one, so pieces of 33 whole records let two of
// them and a carried record share one 1024-byte buffer. The input queue holds
// up to kInputQueueSize (1 MiB, about 11 s of the device's full 92,600
// bytes/s) so that a stalled UI thread loses nothing; behind it the kernel
// keeps buffering. After each OnComm in which the handler read, the control
// raises OnComm again (queued, so the event loop keeps breathing) while
// RThreshold bytes still wait, so a backlog is drained at 495 bytes per
// event-loop pass, far faster than the line can fill it.
//
// Reading: a quiet line is watched, and the first bytes after a silence are
// read and offered at once; while bytes keep coming the line is read once
// every kReadPaceMs instead of at every arrival. A USB adapter hands bytes
// over every 1 to 2 ms, and waking the UI thread for each of them is CPU
// spent for nothing. 12 ms of the device's full rate is about two pieces of
// Input, one receive buffer: the receiving side hands a buffer over when the
// next piece does not fit and its worker then pauses 10 ms, so reading more
// often gets no record decoded sooner (bench/README.md has the CPU and the
// latencies measured). The kernel holds the line meanwhile: 12 ms is about
// 1.1 kB.
class CSerialControl : public QObject {
    Q_OBJECT
public:
    static constexpr short comEvReceive = 2;
    static constexpr qsizetype kMaxInputChunk = 495;
    static constexpr qint64 kInputQueueSize = 1 << 20;
    static constexpr int kReadPaceMs = 12;

    explicit CSerialControl(QObject* parent = nullptr);
    ~CSerialControl() override;

    // 1 to 16; refused while the port is open.
    void SetCommPort(short port);
    bool GetPortOpen() const;
    // true opens COM<CommPort> (via PortDevicePath) with the current settings;
    // false closes it (closing a closed port does nothing).
    void SetPortOpen(bool open);
    // Kept for the next opening and applied at once to an open port.
    void SetSettings(const QString& settings);
    // The settings last accepted, as given.
    QString GetSettings() const { return m_strSettings; }
    // Only 1 (binary: Input delivers raw bytes) is offered.
    void SetInputMode(long mode);
    // Raise OnComm once at least this many bytes wait; 0 raises no events.
    void SetRThreshold(short bytes);
    // Most bytes one read of Input takes; 0 means all that wait, up to
    // kMaxInputChunk.
    void SetInputLen(short bytes);
    // Sends the bytes, in order.
    void SetOutput(const COleVariant& data);
    // The bytes waiting (within InputLen, and within max when given), removed
    // from the queue.
    COleVariant GetInput(qsizetype max = 0);
    // When the newest byte of the last Input was read from the line, on the
    // steady clock (the epoch before any).
    std::chrono::steady_clock::time_point GetInputTime() const { return m_lastInputAt; }
    // Reads what the line holds now into the queue (an open port only) and
    // tells how many bytes wait: everything received up to this moment.
    qint64 ReadNow();
    // Takes every byte waiting in the queue, the port open or not: what was
    // read before a close (or before the device vanished) stays until taken
    // or until the next opening.
    QByteArray TakeQueued();
    // How many received bytes wait in the input queue.
    qint64 GetInBufferCount() const;
    // Code of the latest event: 0 before any, comEvReceive after a receive.
    short GetCommEvent() const;

signals:
    void OnComm();
    // The open port failed under us (device unplugged, other side gone). The
    // port has been closed when this is raised, so PortOpen reads false.
    void PortLost(const QString& reason);

private:
    void OnLineReadable();
    void OnReadPace();
    void TakeFromLine(bool watchWhenQuiet);
    bool ReadLine();
    void LineFailed(const QString& reason, bool writing);
    qint64 Queued() const { return m_inQueue.size() - m_iInHead; }
    void OnPortError(QSerialPort::SerialPortError error);
    void MaybeRaiseReceive();
    void RaiseReceive();
    void ScheduleReceiveCheck();
    void EndLostPort(quint64 generation);
    void ClosePort();
    bool ApplySettings(const SerialLineSettings& settings);
    [[noreturn]] void ThrowPortError(const QString& context) const;

    // Opened for writing and for the line settings only; the control reads
    // the line itself on m_fdIn, so that it chooses when to look.
    QSerialPort m_port;
    int m_fdIn = -1;
    std::unique_ptr<QSocketNotifier> m_pInNotifier;
    QTimer m_tmReadPace;
    // Received bytes not yet taken: m_inQueue from m_iInHead on.
    QByteArray m_inQueue;
    qsizetype m_iInHead = 0;
    // When each read from the line ended, by the count of bytes read since
    // the opening, until its bytes are taken.
    struct SRead {
        qint64 end;
        std::chrono::steady_clock::time_point at;
    };
    std::deque<SRead> m_reads;
    qint64 m_iReadTotal = 0;
    qint64 m_iTakenTotal = 0;
    std::chrono::steady_clock::time_point m_lastInputAt{};
    SerialLineSettings m_settings;
    QString m_strSettings = QStringLiteral("9600,n,8,1");
    short m_sCommPort = 1;
    short m_sRThreshold = 0;
    short m_sInputLen = 0;
    short m_sCommEvent = 0;
    // Bumped at each opening so that late work for an earlier opening is dropped.
    quint64 m_uOpenGeneration = 0;
    // Reads of Input that returned bytes; tells whether an OnComm handler drained.
    quint64 m_uInputReads = 0;
    bool m_bRaisePending = false;
    bool m_bEnding = false;
    bool m_bClosing = false;
    QString m_strLostReason;
};
