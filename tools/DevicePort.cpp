#include "tools/DevicePort.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace simdev {

bool IsPtySlavePath(std::string_view path) {
    constexpr std::string_view prefix = "/dev/pts/";
    if (path.substr(0, prefix.size()) != prefix || path.size() == prefix.size())
        return false;
    for (char c : path.substr(prefix.size()))
        if (c < '0' || c > '9')
            return false;
    return true;
}

static std::string DirName(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

LinkInspection InspectPortLink(const std::string& linkPath) {
    LinkInspection result;
    struct stat st;
    if (lstat(linkPath.c_str(), &st) != 0) {
        result.check = LinkCheck::Free;
        return result;
    }
    if (!S_ISLNK(st.st_mode)) {
        result.check = LinkCheck::NotALink;
        return result;
    }
    char buf[PATH_MAX];
    const ssize_t n = readlink(linkPath.c_str(), buf, sizeof buf - 1);
    if (n < 0) {
        result.check = LinkCheck::NotALink;
        return result;
    }
    result.target.assign(buf, static_cast<size_t>(n));
    if (!result.target.empty() && result.target[0] != '/')
        result.target = DirName(linkPath) + "/" + result.target;

    struct stat targetStat;
    const bool exists = stat(linkPath.c_str(), &targetStat) == 0;
    result.check =
        (!exists || IsPtySlavePath(result.target)) ? LinkCheck::Replaceable : LinkCheck::RealDevice;
    return result;
}

bool RemoveLinkIfPointsTo(const std::string& linkPath, const std::string& target) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(linkPath.c_str(), buf, sizeof buf - 1);
    if (n < 0 || std::string(buf, static_cast<size_t>(n)) != target)
        return false;
    return unlink(linkPath.c_str()) == 0;
}

bool OpenRawPty(Pty& pty, std::string& error) {
    char name[PATH_MAX] = {};
    if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    pty.slavePath = name;
    termios tio;
    if (tcgetattr(pty.slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B921600);
        cfsetospeed(&tio, B921600);
        tcsetattr(pty.slave, TCSANOW, &tio);
    }
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    fcntl(pty.master, F_SETFD, FD_CLOEXEC);
    fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
    return true;
}

void ClosePty(Pty& pty) {
    if (pty.master >= 0)
        close(pty.master);
    if (pty.slave >= 0)
        close(pty.slave);
    pty.master = pty.slave = -1;
}

bool OutputQueue::Push(const Record& record) {
    if (!HasRoom())
        return false;
    if (m_head > 0 && m_head >= m_bytes.size() / 2) {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<ptrdiff_t>(m_head));
        m_head = 0;
    }
    m_bytes.insert(m_bytes.end(), record.begin(), record.end());
    return true;
}

void OutputQueue::Consume(size_t count) {
    count = std::min(count, Size());
    m_head += count;
    m_consumed += count;
    if (m_head == m_bytes.size()) {
        m_bytes.clear();
        m_head = 0;
    }
}

size_t OutputQueue::DropUnstarted() {
    const size_t rest = std::min((kRecordSize - m_consumed % kRecordSize) % kRecordSize, Size());
    const size_t dropped = (Size() - rest) / kRecordSize;
    m_bytes.resize(m_head + rest);
    return dropped;
}

uint64_t RecordsDue(int64_t elapsedNs, double rate) {
    if (elapsedNs <= 0 || rate <= 0)
        return 0;
    return static_cast<uint64_t>(std::floor(static_cast<double>(elapsedNs) * rate / 1e9));
}

} // namespace simdev
