#include "tools/export/ExportFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

QString ErrnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

QString KindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO (named pipe)");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    return S_ISREG(mode) ? QString() : QStringLiteral("not a regular file");
}

} // namespace

QString NotRegularFile(const QString& path, bool follow) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    if ((follow ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st)) != 0)
        return {};
    return KindOf(st.st_mode);
}

bool OpenRegularFile(const QString& path, const QString& what, QFile& file, QString& error) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    if (::stat(name.constData(), &st) != 0) {
        error = errno == ENOENT
                    ? QStringLiteral("cannot read %1: no such file").arg(Native(path))
                    : QStringLiteral("cannot read %1: %2").arg(Native(path), ErrnoText(errno));
        return false;
    }
    auto refuse = [&](mode_t mode) {
        error = QStringLiteral("%1 is %2, not a %3 file").arg(Native(path), KindOf(mode), what);
        return false;
    };
    if (!S_ISREG(st.st_mode))
        return refuse(st.st_mode);
    // Not blocking even if the name changed hands in between; no terminal
    // taken as the controlling one.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = QStringLiteral("cannot read %1: %2").arg(Native(path), ErrnoText(errno));
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse(st.st_mode);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = QStringLiteral("cannot read %1: %2").arg(Native(path), file.errorString());
        return false;
    }
    return true;
}

bool ReadRegularFile(const QString& path, const QString& what, qint64 maxBytes, QByteArray& out,
                     QString& error) {
    QFile file;
    if (!OpenRegularFile(path, what, file, error))
        return false;
    if (file.size() > maxBytes) {
        error = QStringLiteral("%1 is too large for a %2 (%3 bytes)")
                    .arg(Native(path), what)
                    .arg(file.size());
        return false;
    }
    out = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot read %1: %2").arg(Native(path), file.errorString());
        return false;
    }
    return true;
}

bool CTempOutput::Create(const QString& finalPath, QString& error) {
    m_final = finalPath;
    const QFileInfo info(finalPath);
    QTemporaryFile file(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                        QStringLiteral(".XXXXXX"));
    file.setAutoRemove(false);
    if (!file.open()) {
        error = QStringLiteral("cannot write in the folder %1: %2")
                    .arg(Native(info.absolutePath()), file.errorString());
        return false;
    }
    // A temporary file is private; the result gets a new file's usual rights.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(file.handle(), 0666 & ~mask);
    m_temp = file.fileName();
    file.close();
    return true;
}

bool CTempOutput::Sync(QString& error) {
    const QByteArray temp = QFile::encodeName(m_temp);
    const int fd = ::open(temp.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fdatasync(fd) != 0) {
        error = QStringLiteral("cannot write %1: %2").arg(Native(m_final), ErrnoText(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

namespace {

// The syncs, on a thread of their own with nothing but file names, so that
// the export can leave it behind when interrupted (a sync of a gigabyte on a
// slow disk takes its time and cannot itself be interrupted).
struct SSyncJob {
    std::vector<std::string> files;   // fdatasync each
    std::vector<std::string> folders; // syncfs the file system of each
    std::string failed;               // what could not be synced
    int error = 0;

    void Run() {
        for (const std::string& f : files)
            if (!Sync(f.c_str(), O_RDONLY | O_CLOEXEC, ::fdatasync))
                return;
        for (const std::string& d : folders)
            if (!Sync(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, ::syncfs))
                return;
    }
    bool Sync(const char* path, int flags, int (*sync)(int)) {
        const int fd = ::open(path, flags);
        if (fd < 0 || sync(fd) != 0) {
            error = errno;
            failed = path;
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        ::close(fd);
        return true;
    }
};

} // namespace

bool SyncOutputs(const std::vector<CTempOutput*>& outputs, const volatile std::sig_atomic_t& stop,
                 QString& error) {
    constexpr size_t kOneByOne = 16;
    auto job = std::make_shared<SSyncJob>();
    if (outputs.size() <= kOneByOne) {
        for (CTempOutput* out : outputs)
            job->files.push_back(QFile::encodeName(out->TempPath()).toStdString());
    } else {
        QSet<QString> folders;
        for (CTempOutput* out : outputs)
            folders.insert(QFileInfo(out->TempPath()).absolutePath());
        for (const QString& folder : folders)
            job->folders.push_back(QFile::encodeName(folder).toStdString());
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread([job, done = std::move(done)]() mutable {
        job->Run();
        done.set_value();
    }).detach();
    while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        if (stop)
            return false;
    if (!job->failed.empty()) {
        error = QStringLiteral("cannot write %1: %2")
                    .arg(Native(QFile::decodeName(job->failed.c_str())), ErrnoText(job->error));
        return false;
    }
    return true;
}

bool CTempOutput::Commit(bool replace, QString& error) {
    const QByteArray temp = QFile::encodeName(m_temp);
    const QByteArray final = QFile::encodeName(m_final);
    int rc;
    if (replace) {
        // Checked once more just before: a device or a folder put there
        // meanwhile is never replaced.
        const QString kind = NotRegularFile(m_final, false);
        if (!kind.isEmpty()) {
            error = QStringLiteral("%1 is %2; an output replaces only a regular file")
                        .arg(Native(m_final), kind);
            return false;
        }
        rc = ::rename(temp.constData(), final.constData());
    } else {
        rc = ::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, final.constData(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the no-replace rename: a hard link
            // also refuses to replace.
            rc = ::link(temp.constData(), final.constData());
            if (rc == 0)
                ::unlink(temp.constData());
        }
    }
    if (rc != 0) {
        error = errno == EEXIST ? QStringLiteral("%1 appeared while exporting; it is left as it is "
                                                 "(--force replaces it)")
                                      .arg(Native(m_final))
                                : QStringLiteral("cannot name the output %1: %2")
                                      .arg(Native(m_final), ErrnoText(errno));
        return false;
    }
    m_temp.clear();
    m_committed = true;
    return true;
}

void CTempOutput::Discard() {
    if (!m_temp.isEmpty())
        QFile::remove(m_temp);
    m_temp.clear();
}

void CTempOutput::Withdraw() {
    if (m_committed)
        QFile::remove(m_final);
    m_committed = false;
}
