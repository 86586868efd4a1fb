#pragma once
#include <QByteArray>
#include <QString>
#include <optional>

// Line settings of a tty as the kernel holds them (termios2).
struct TtyLineSettings {
    unsigned outputBaud = 0; // the exact rate, also for non-standard ones
    unsigned inputBaud = 0;
    bool customBaud = false;  // the rate is given as a number (BOTHER)
    int dataBits = 0;         // 5..8
    char parity = 'n';        // n e o m s
    int stopBits = 0;         // 1 or 2
    bool raw = false;         // no input/output processing, no echo, no canonical mode
    bool flowControl = false; // CRTSCTS, IXON or IXOFF set
};

// Reads the settings of the tty open on fd (0 on failure).
std::optional<TtyLineSettings> ReadTtyLineSettings(int fd);

// A pseudo-terminal pair standing in for a serial device. The test plays the
// device on the master side; the code under test opens the slave path, e.g.
// as COMn through LinkAsCom(n).
class TestPty {
public:
    TestPty();
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool IsValid() const { return m_master >= 0; }
    QString SlavePath() const { return m_slavePath; }

    // Makes COMn name the slave: creates PortMapDir() and the link
    // PortMapLink(n). Call QStandardPaths::setTestModeEnabled(true) and
    // SetTovrelApplicationNames() first. The link is removed on destruction.
    bool LinkAsCom(int n);
    // Links COMn to a path that does not exist.
    static bool LinkComTo(int n, const QString& target);

    // Device side: write all bytes, blocking as needed. False on failure.
    bool Write(const QByteArray& bytes);
    // Write, then wait (without running the event loop) until the bytes, or
    // as many as the tty holds, wait on the slave side: the code under test
    // then reads them in one go, not mixed with what is sent next.
    bool WriteDelivered(const QByteArray& bytes);
    // Device side: read until count bytes have arrived or timeoutMs passed
    // without any byte arriving.
    QByteArray Read(qsizetype count, int timeoutMs = 2000);
    // Makes the device vanish: the slave side sees a hang-up.
    void CloseMaster();
    // Hangs the line up as an unplugged USB adapter does: every descriptor
    // of the slave then reads 0 bytes. Needs CAP_SYS_ADMIN; false without.
    bool HangUpLine();
    // Bytes written by the device that the slave side has not read yet: 0
    // once the code under test has taken in everything sent.
    int SlaveInputWaiting() const;

    // The slave tty's current settings, as the code under test left them.
    std::optional<TtyLineSettings> SlaveSettings() const { return ReadTtyLineSettings(m_slave); }

private:
    int m_master = -1;
    int m_slave = -1; // held so that the tty keeps its settings between openings
    QString m_slavePath;
    QString m_link;
};
