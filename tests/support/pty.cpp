#include "support/pty.h"

#include "platform/PortMap.h"
#include "support/testsupport.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

TestPty::TestPty() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    termios tio{};
    if (::tcgetattr(m_master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_master, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
}

TestPty::~TestPty() {
    if (!m_link.isEmpty())
        QFile::remove(m_link);
    CloseMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

bool TestPty::LinkComTo(int n, const QString& target) {
    QString error;
    return PlacePortMapLink(PortMapDir(), n, target, error);
}

bool TestPty::LinkAsCom(int n) {
    if (!IsValid() || !LinkComTo(n, m_slavePath))
        return false;
    m_link = PortMapLink(n);
    return true;
}

bool TestPty::Write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

bool TestPty::WriteDelivered(const QByteArray& bytes) {
    // The line discipline holds up to 4095 unread bytes.
    const qsizetype expected = std::min<qsizetype>(bytes.size(), 4000);
    return Write(bytes) && WaitWithoutEvents([&] { return SlaveInputWaiting() >= expected; });
}

QByteArray TestPty::Read(qsizetype count, int timeoutMs) {
    QByteArray out;
    while (m_master >= 0 && out.size() < count) {
        pollfd p{m_master, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || !(p.revents & POLLIN))
            break;
        char buf[4096];
        const ssize_t n =
            ::read(m_master, buf, std::min<qsizetype>(sizeof buf, count - out.size()));
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}

void TestPty::CloseMaster() {
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

bool TestPty::HangUpLine() {
    return m_slave >= 0 && ::ioctl(m_slave, TIOCVHANGUP) == 0;
}

int TestPty::SlaveInputWaiting() const {
    int n = 0;
    if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &n) != 0)
        return -1;
    return n;
}
