#include "platform/SerialControl.h"

#include "platform/Errors.h"
#include "platform/PortMap.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
const char* const kPortClosedText = "Operation valid only when the port is open";
const char* const kPortAlreadyOpenText = "Port already open";

bool AllDigits(const QString& text) {
    if (text.isEmpty())
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}
} // namespace

std::optional<SerialLineSettings> ParseSerialSettings(const QString& text) {
    const QStringList fields = text.split(u',');
    if (fields.size() != 4)
        return std::nullopt;
    const QString baudText = fields[0].trimmed();
    const QString parityText = fields[1].trimmed().toLower();
    const QString dataText = fields[2].trimmed();
    const QString stopText = fields[3].trimmed();

    SerialLineSettings s;
    bool ok = false;
    const qint32 baud = baudText.toInt(&ok);
    if (!AllDigits(baudText) || !ok || baud <= 0)
        return std::nullopt;
    s.baud = baud;

    if (parityText == u"n")
        s.parity = QSerialPort::NoParity;
    else if (parityText == u"e")
        s.parity = QSerialPort::EvenParity;
    else if (parityText == u"o")
        s.parity = QSerialPort::OddParity;
    else if (parityText == u"m")
        s.parity = QSerialPort::MarkParity;
    else if (parityText == u"s")
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    if (dataText == u"5")
        s.dataBits = QSerialPort::Data5;
    else if (dataText == u"6")
        s.dataBits = QSerialPort::Data6;
    else if (dataText == u"7")
        s.dataBits = QSerialPort::Data7;
    else if (dataText == u"8")
        s.dataBits = QSerialPort::Data8;
    else
        return std::nullopt;

    if (stopText == u"1")
        s.stopBits = QSerialPort::OneStop;
    else if (stopText == u"1.5")
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stopText == u"2")
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

CSerialControl::CSerialControl(QObject* parent) : QObject(parent) {
    // Raw 8-bit data: no handshaking of any kind. QSerialPort opens the tty in
    // raw mode (no echo, no translation, no signals).
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    ApplySettings(m_settings);
    connect(&m_port, &QSerialPort::errorOccurred, this, &CSerialControl::OnPortError);
    m_tmReadPace.setSingleShot(true);
    m_tmReadPace.setInterval(kReadPaceMs);
    connect(&m_tmReadPace, &QTimer::timeout, this, &CSerialControl::OnReadPace);
}

CSerialControl::~CSerialControl() {
    // No signal may reach a half-destroyed control while the port shuts.
    disconnect(&m_port, nullptr, this, nullptr);
    if (m_port.isOpen())
        ClosePort();
}

void CSerialControl::ThrowPortError(const QString& context) const {
    QString reason = m_port.errorString();
    if (reason.isEmpty())
        reason = QStringLiteral("Unknown error");
    throw COleDispatchException(context.isEmpty() ? reason
                                                  : QStringLiteral("%1 (%2)").arg(reason, context));
}

void CSerialControl::SetCommPort(short port) {
    if (port < 1 || port > 16)
        throw COleDispatchException(QStringLiteral("Invalid port number %1").arg(port));
    if (m_port.isOpen())
        throw COleDispatchException(QString::fromLatin1(kPortAlreadyOpenText));
    m_sCommPort = port;
}

bool CSerialControl::GetPortOpen() const {
    return m_port.isOpen();
}

void CSerialControl::SetPortOpen(bool open) {
    if (!open) {
        if (m_port.isOpen())
            ClosePort();
        return;
    }
    if (m_port.isOpen())
        throw COleDispatchException(QString::fromLatin1(kPortAlreadyOpenText));

    const QString path = PortDevicePath(m_sCommPort);
    // A descriptor of the control's own for reading, opened before
    // QSerialPort makes the line exclusive. QSerialPort, opened for writing
    // only, never reads the line and never watches it.
    const int fdIn =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fdIn < 0)
        throw COleDispatchException(
            QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(std::strerror(errno)), path));
    m_port.setPortName(path);
    m_port.clearError();
    // open() puts the tty into raw mode and applies the stored line settings.
    if (!m_port.open(QIODevice::WriteOnly)) {
        ::close(fdIn);
        ThrowPortError(path);
    }
    // open() does not notice when the driver quietly drops part of the line
    // settings (a tty that only carries 8 bits without parity, for one);
    // setting them once more on the open port does, and then the opening fails.
    if (!ApplySettings(m_settings)) {
        const QString reason = m_port.errorString();
        m_bClosing = true;
        m_port.close();
        m_bClosing = false;
        ::close(fdIn);
        throw COleDispatchException(QStringLiteral("%1 (%2)").arg(reason, path));
    }
    // A port opened for writing only is not told to receive.
    termios tio{};
    if (::tcgetattr(fdIn, &tio) == 0 && !(tio.c_cflag & CREAD)) {
        tio.c_cflag |= CREAD;
        ::tcsetattr(fdIn, TCSANOW, &tio);
    }
    m_fdIn = fdIn;
    m_inQueue.resize(0);
    m_iInHead = 0;
    m_reads.clear();
    m_iReadTotal = m_iTakenTotal = 0;
    m_pInNotifier = std::make_unique<QSocketNotifier>(fdIn, QSocketNotifier::Read);
    connect(m_pInNotifier.get(), &QSocketNotifier::activated, this,
            &CSerialControl::OnLineReadable);
    ++m_uOpenGeneration;
    m_bEnding = false;
    m_bRaisePending = false;
    m_sCommEvent = 0;
}

void CSerialControl::ClosePort() {
    m_bClosing = true;
    // What the line holds has been received: it joins the queue, which stays
    // for TakeQueued.
    if (m_fdIn >= 0 && !m_bEnding)
        ReadLine();
    // Hand the kernel what is still queued for sending; it does not block.
    m_port.flush();
    m_port.close();
    m_tmReadPace.stop();
    m_pInNotifier.reset();
    if (m_fdIn >= 0)
        ::close(m_fdIn);
    m_fdIn = -1;
    m_reads.clear();
    m_bClosing = false;
    m_bEnding = false;
    m_bRaisePending = false;
}

bool CSerialControl::ApplySettings(const SerialLineSettings& s) {
    return m_port.setBaudRate(s.baud) && m_port.setParity(s.parity) &&
           m_port.setDataBits(s.dataBits) && m_port.setStopBits(s.stopBits);
}

void CSerialControl::SetSettings(const QString& text) {
    const std::optional<SerialLineSettings> parsed = ParseSerialSettings(text);
    if (!parsed)
        throw COleDispatchException(
            QStringLiteral("Invalid settings \"%1\" (expected baud,parity,data,stop)").arg(text));
#ifndef Q_OS_WIN
    // termios cannot express 1.5 stop bits and QSerialPort would quietly use
    // 1 instead; a line that silently differs from what was asked is worse
    // than a refusal.
    if (parsed->stopBits == QSerialPort::OneAndHalfStop)
        throw COleDispatchException(
            QStringLiteral("1.5 stop bits are not supported here (settings \"%1\")").arg(text));
#endif
    if (!ApplySettings(*parsed)) {
        // Only an open port can refuse; put back what it ran with so that it
        // does not stay half-changed, then report the refusal.
        const QString reason = m_port.errorString();
        ApplySettings(m_settings);
        throw COleDispatchException(
            QStringLiteral("%1 (settings \"%2\")")
                .arg(reason.isEmpty() ? QStringLiteral("Unknown error") : reason, text));
    }
    m_settings = *parsed;
    m_strSettings = text;
}

void CSerialControl::SetInputMode(long mode) {
    if (mode != 1)
        throw COleDispatchException(QStringLiteral("Invalid input mode %1").arg(mode));
}

void CSerialControl::SetRThreshold(short bytes) {
    if (bytes < 0)
        throw COleDispatchException(QStringLiteral("Invalid receive threshold %1").arg(bytes));
    m_sRThreshold = bytes;
    // Bytes that already wait count against the new threshold too; they are
    // offered from the event loop, not from inside this put.
    if (bytes > 0 && m_port.isOpen() && !m_bEnding)
        ScheduleReceiveCheck();
}

void CSerialControl::SetInputLen(short bytes) {
    if (bytes < 0)
        throw COleDispatchException(QStringLiteral("Invalid input length %1").arg(bytes));
    m_sInputLen = bytes;
}

void CSerialControl::SetOutput(const COleVariant& data) {
    if (!m_port.isOpen())
        throw COleDispatchException(QString::fromLatin1(kPortClosedText));
    if (m_bEnding)
        throw COleDispatchException(m_strLostReason);
    const QByteArray& bytes = data.Bytes();
    if (bytes.isEmpty())
        return;
    if (m_port.write(bytes) != bytes.size())
        ThrowPortError(QString());
    // Push the bytes to the kernel now rather than at the next event-loop
    // pass, so that a failing device is reported to this caller.
    m_port.flush();
    if (m_bEnding)
        throw COleDispatchException(m_strLostReason);
}

COleVariant CSerialControl::GetInput(qsizetype max) {
    if (!m_port.isOpen())
        throw COleDispatchException(QString::fromLatin1(kPortClosedText));
    qint64 limit = m_sInputLen > 0 ? m_sInputLen : kMaxInputChunk;
    if (max > 0)
        limit = std::min<qint64>(limit, max);
    const qsizetype n = qsizetype(std::min(limit, Queued()));
    COleVariant input(QByteArray(m_inQueue.constData() + m_iInHead, n));
    m_iInHead += n;
    m_iTakenTotal += n;
    while (!m_reads.empty() && m_reads.front().end < m_iTakenTotal)
        m_reads.pop_front();
    if (n > 0 && !m_reads.empty())
        m_lastInputAt = m_reads.front().at;
    if (!m_reads.empty() && m_reads.front().end == m_iTakenTotal)
        m_reads.pop_front();
    if (m_iInHead == m_inQueue.size()) {
        m_inQueue.resize(0); // keeps its capacity for the next reads
        m_iInHead = 0;
    } else if (m_iInHead >= (64 << 10)) {
        m_inQueue.remove(0, m_iInHead);
        m_iInHead = 0;
    }
    if (n > 0)
        ++m_uInputReads;
    return input;
}

qint64 CSerialControl::ReadNow() {
    if (!m_port.isOpen())
        throw COleDispatchException(QString::fromLatin1(kPortClosedText));
    if (m_fdIn >= 0 && !m_bEnding) {
        const qint64 before = Queued();
        if (ReadLine() && Queued() > before)
            ScheduleReceiveCheck();
    }
    return Queued();
}

QByteArray CSerialControl::TakeQueued() {
    QByteArray out = m_inQueue.mid(m_iInHead);
    m_inQueue = QByteArray();
    m_iInHead = 0;
    m_iTakenTotal = m_iReadTotal;
    m_reads.clear();
    return out;
}

qint64 CSerialControl::GetInBufferCount() const {
    if (!m_port.isOpen())
        throw COleDispatchException(QString::fromLatin1(kPortClosedText));
    return Queued();
}

short CSerialControl::GetCommEvent() const {
    return m_sCommEvent;
}

void CSerialControl::OnLineReadable() {
    // From here on the pace timer looks, until a look finds the line quiet.
    m_pInNotifier->setEnabled(false);
    TakeFromLine(false);
}

void CSerialControl::OnReadPace() {
    if (m_fdIn < 0 || m_bEnding)
        return;
    TakeFromLine(true);
}

void CSerialControl::TakeFromLine(bool watchWhenQuiet) {
    const qint64 before = Queued();
    if (!ReadLine())
        return;
    const bool arrived = Queued() > before;
    // A full queue is looked at again on the pace as well: the handler
    // frees it, and the kernel holds the line meanwhile.
    if (watchWhenQuiet && !arrived && Queued() < kInputQueueSize)
        m_pInNotifier->setEnabled(true);
    else
        m_tmReadPace.start();
    // Last: the handler may close or reopen the port.
    if (arrived)
        MaybeRaiseReceive();
}

namespace {
bool LineHungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}
} // namespace

bool CSerialControl::ReadLine() {
    char chunk[16384];
    for (;;) {
        const qint64 room = kInputQueueSize - Queued();
        if (room <= 0)
            return true;
        const size_t want = size_t(std::min<qint64>(room, qint64(sizeof chunk)));
        const ssize_t n = ::read(m_fdIn, chunk, want);
        if (n > 0) {
            m_inQueue.append(chunk, qsizetype(n));
            m_iReadTotal += n;
            m_reads.push_back({m_iReadTotal, std::chrono::steady_clock::now()});
            if (size_t(n) < want)
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        // The raw line returns 0 both when nothing waits and when it has
        // been hung up (a USB adapter unplugged); only the latter says so
        // to poll. Any failure names its reason.
        if (n == 0 && !LineHungUp(m_fdIn))
            return true;
        LineFailed(n == 0 ? QString() : QString::fromLocal8Bit(std::strerror(errno)), false);
        return false;
    }
}

void CSerialControl::MaybeRaiseReceive() {
    if (m_bRaisePending || m_bEnding || !m_port.isOpen() || m_sRThreshold <= 0)
        return;
    if (Queued() < m_sRThreshold)
        return;
    RaiseReceive();
}

void CSerialControl::RaiseReceive() {
    const quint64 readsBefore = m_uInputReads;
    const quint64 generation = m_uOpenGeneration;
    m_sCommEvent = comEvReceive;
    emit OnComm();
    // The line's notifier and the read pace announce only bytes that reach
    // the queue anew, so a backlog left in the queue must be offered again.
    // Only when the handler took something: a handler that reads nothing
    // would otherwise be called in a tight loop.
    if (m_uInputReads == readsBefore || generation != m_uOpenGeneration || m_bEnding ||
        !m_port.isOpen() || m_sRThreshold <= 0 || Queued() < m_sRThreshold)
        return;
    ScheduleReceiveCheck();
}

void CSerialControl::ScheduleReceiveCheck() {
    if (m_bRaisePending)
        return;
    m_bRaisePending = true;
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_uOpenGeneration] {
            if (generation != m_uOpenGeneration || !m_bRaisePending)
                return;
            m_bRaisePending = false;
            MaybeRaiseReceive();
        },
        Qt::QueuedConnection);
}

void CSerialControl::OnPortError(QSerialPort::SerialPortError error) {
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError &&
        error != QSerialPort::WriteError)
        return;
    // Only a resource error carries the reason of the failing call; the
    // others' text is whatever errno held before.
    LineFailed(error == QSerialPort::ResourceError ? m_port.errorString() : QString(),
               error == QSerialPort::WriteError);
}

void CSerialControl::LineFailed(const QString& reason, bool writing) {
    if (m_bClosing || m_bEnding || !m_port.isOpen())
        return;
    // The port is finished: no more reading, and it is closed from the
    // event loop, not from inside the failing call, whose caller may still
    // be working on the port (QSerialPort's write notification, for one).
    m_bEnding = true;
    m_tmReadPace.stop();
    if (m_pInNotifier)
        m_pInNotifier->setEnabled(false);
    m_strLostReason = reason;
    if (m_strLostReason.isEmpty())
        m_strLostReason = QStringLiteral("The device is no longer available (%1 failed)")
                              .arg(writing ? u"write" : u"read");
    QMetaObject::invokeMethod(
        this, [this, generation = m_uOpenGeneration] { EndLostPort(generation); },
        Qt::QueuedConnection);
}

void CSerialControl::EndLostPort(quint64 generation) {
    if (generation != m_uOpenGeneration || !m_bEnding || !m_port.isOpen())
        return;
    // What arrived before the end still goes to the handler; no more comes.
    // (A failed write leaves the line readable: take what the kernel holds.)
    ReadLine();
    while (m_sRThreshold > 0 && m_port.isOpen() && generation == m_uOpenGeneration &&
           Queued() >= m_sRThreshold) {
        const quint64 readsBefore = m_uInputReads;
        m_sCommEvent = comEvReceive;
        emit OnComm();
        if (m_uInputReads == readsBefore)
            break;
    }
    if (generation != m_uOpenGeneration || !m_port.isOpen())
        return; // the handler closed (or reopened) the port itself
    const QString reason = m_strLostReason;
    ClosePort();
    emit PortLost(reason);
}
