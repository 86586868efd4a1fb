#include "platform/PortInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The folder part made canonical, the last name kept: the path of the
// directory entry itself, not of what a link there leads to.
QString EntryPath(const QString& path) {
    const QFileInfo info(QDir::cleanPath(QDir::current().absoluteFilePath(path)));
    const QString dir = info.dir().canonicalPath();
    return dir.isEmpty() ? info.filePath() : dir + u'/' + info.fileName();
}

} // namespace

bool PathLeadsThrough(const QString& path, const QString& linkPath) {
    const QString link = EntryPath(linkPath);
    QString here = EntryPath(path);
    // The kernel gives up after 40 links; so does this walk.
    for (int hop = 0; hop <= 40; ++hop) {
        if (here == link)
            return true;
        const QFileInfo info(here);
        if (!info.isSymLink())
            return false;
        here = EntryPath(info.symLinkTarget());
    }
    return false;
}

QString ByIdPathFor(const QString& device, const QString& byIdDir) {
    const QString node = QFileInfo(device).canonicalFilePath();
    if (node.isEmpty())
        return {};
    const QDir dir(byIdDir);
    // Already a name in that folder: keep it as given.
    if (EntryPath(QFileInfo(device).absolutePath()) == EntryPath(dir.absolutePath()) &&
        QFileInfo(device).isSymLink())
        return QDir::cleanPath(device);
    for (const QString& name :
         dir.entryList(QDir::System | QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString path = dir.absoluteFilePath(name);
        if (QFileInfo(path).canonicalFilePath() == node)
            return path;
    }
    return {};
}

QString StableDevicePath(const QString& device, const QString& byIdDir) {
    const QString byId = ByIdPathFor(device, byIdDir);
    if (!byId.isEmpty())
        return byId;
    const QString node = QFileInfo(device).canonicalFilePath();
    return node.isEmpty() ? QDir::cleanPath(QDir::current().absoluteFilePath(device)) : node;
}

PortUser CurrentPortUser() {
    PortUser user;
    user.uid = ::geteuid();
    user.groups.push_back(::getegid());
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> more(static_cast<size_t>(count));
        const int got = ::getgroups(count, more.data());
        if (got > 0)
            user.groups.insert(user.groups.end(), more.begin(), more.begin() + got);
    }
    const passwd* pw = ::getpwuid(user.uid);
    user.name = pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(user.uid);
    return user;
}

EPortAccess AccessByPermissions(const NodePermissions& node, const PortUser& user) {
    if (user.uid == 0)
        return EPortAccess::Allowed;
    const auto readWrite = [&](mode_t r, mode_t w) { return (node.mode & r) && (node.mode & w); };
    if (user.uid == node.owner)
        return readWrite(S_IRUSR, S_IWUSR) ? EPortAccess::Allowed : EPortAccess::Denied;
    if (std::find(user.groups.begin(), user.groups.end(), node.group) != user.groups.end())
        return readWrite(S_IRGRP, S_IWGRP) ? EPortAccess::Allowed : EPortAccess::Denied;
    if (readWrite(S_IROTH, S_IWOTH))
        return EPortAccess::Allowed;
    return readWrite(S_IRGRP, S_IWGRP) ? EPortAccess::NotInGroup : EPortAccess::Denied;
}

bool IsSerialLineDevice(const QString& ttyDrivers, unsigned major, unsigned minor) {
    // Each line: driver name, device name, major, minors ("64" or "64-111"), type.
    for (const QString& line : ttyDrivers.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.simplified().split(u' ');
        if (f.size() < 5)
            continue;
        bool ok = false;
        if (f[f.size() - 3].toUInt(&ok) != major || !ok)
            continue;
        const QStringList range = f[f.size() - 2].split(u'-');
        bool okLow = false, okHigh = true;
        const unsigned low = range[0].toUInt(&okLow);
        const unsigned high = range.size() > 1 ? range[1].toUInt(&okHigh) : low;
        if (!okLow || !okHigh || minor < low || minor > high)
            continue;
        const QString type = f.last();
        return type == QLatin1String("serial") || type == QLatin1String("pty:slave");
    }
    return false;
}

QString ModeText(mode_t mode) {
    QString s(10, u'-');
    if (S_ISDIR(mode))
        s[0] = u'd';
    else if (S_ISCHR(mode))
        s[0] = u'c';
    else if (S_ISBLK(mode))
        s[0] = u'b';
    else if (S_ISFIFO(mode))
        s[0] = u'p';
    else if (S_ISSOCK(mode))
        s[0] = u's';
    else if (S_ISLNK(mode))
        s[0] = u'l';
    const char letters[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (mode_t(0400) >> i))
            s[1 + i] = QLatin1Char(letters[i]);
    return s;
}

namespace {

QString TtyDriversTable() {
    QFile f(QStringLiteral("/proc/tty/drivers"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll());
}

} // namespace

DeviceFacts ExamineDevice(const QString& path) {
    DeviceFacts f;
    f.path = path;
    const PortUser user = CurrentPortUser();
    f.userName = user.name;
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0) {
        f.error = errno;
        f.state = (errno == ENOENT || errno == ENOTDIR) ? DeviceFacts::EState::Missing
                                                        : DeviceFacts::EState::Unreachable;
        return f;
    }
    f.canonical = QFileInfo(path).canonicalFilePath();
    f.permissions = {st.st_uid, st.st_gid, st.st_mode};
    const passwd* pw = ::getpwuid(st.st_uid);
    f.ownerName = pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(st.st_uid);
    const group* gr = ::getgrgid(st.st_gid);
    f.groupName = gr ? QString::fromLocal8Bit(gr->gr_name) : QString::number(st.st_gid);
    if (gr) {
        const QByteArray me = user.name.toLocal8Bit();
        for (char** m = gr->gr_mem; *m; ++m)
            if (me == *m)
                f.groupListsUser = true;
        const passwd* mine = ::getpwuid(user.uid);
        if (mine && mine->pw_gid == st.st_gid)
            f.groupListsUser = true;
    }

    using N = DeviceFacts::ENode;
    f.node = S_ISDIR(st.st_mode)    ? N::Directory
             : S_ISREG(st.st_mode)  ? N::RegularFile
             : S_ISFIFO(st.st_mode) ? N::Fifo
             : S_ISSOCK(st.st_mode) ? N::Socket
             : S_ISBLK(st.st_mode)  ? N::BlockDevice
             : S_ISCHR(st.st_mode)  ? N::CharDevice
                                    : N::None;
    if (f.node != N::CharDevice) {
        f.state = DeviceFacts::EState::NotSerial;
        return f;
    }
    // Without the kernel's table (no /proc) any character device may be one.
    const QString table = TtyDriversTable();
    if (!table.isEmpty() && !IsSerialLineDevice(table, ::major(st.st_rdev), ::minor(st.st_rdev))) {
        f.state = DeviceFacts::EState::NotSerial;
        return f;
    }
    // access() also knows of access lists; the bits then tell why not.
    if (::access(native.constData(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        f.state = DeviceFacts::EState::NoAccess;
        f.access = AccessByPermissions(f.permissions, user);
        if (f.access == EPortAccess::Allowed)
            f.access = EPortAccess::Denied;
        return f;
    }
    f.state = DeviceFacts::EState::Usable;
    return f;
}
