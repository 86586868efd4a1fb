#include "acquisition/Recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

std::string RecordingFileName(const std::string& dir, const struct tm* local) {
    int year = 0, month = 0, day = 0, hour = -1, minute = -1, second = -1;
    if (local) {
        year = local->tm_year + 1900;
        month = local->tm_mon + 1;
        day = local->tm_mday;
        hour = local->tm_hour;
        minute = local->tm_min;
        second = local->tm_sec;
    }
    // The stamp alone is bounded: at most 11 + 5 * 11 characters plus ".txt".
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%d%.2d%.2d%.2d%.2d%.2d.txt", year, month, day, hour, minute,
                  second);
    return dir + stamp;
}

std::string RecordingFileNameNow(const std::string& dir) {
    std::time_t now = std::time(nullptr);
    struct tm local;
    if (now == std::time_t(-1) || !localtime_r(&now, &local))
        return RecordingFileName(dir, nullptr);
    return RecordingFileName(dir, &local);
}

namespace {
// strerror_r comes in a GNU and an XSI flavour; either way the caller gets the text.
[[maybe_unused]] const char* ErrorText(int rc, const char* buf) {
    return rc == 0 ? buf : "?";
}
[[maybe_unused]] const char* ErrorText(const char* text, const char*) {
    return text;
}
} // namespace

std::string RecordingFileNameTaken(const std::string& path, int k) {
    if (k <= 1)
        return path;
    const std::string suffix = "-" + std::to_string(k);
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

namespace {

std::string ErrnoText(int error) {
    char buf[256];
    return ErrorText(strerror_r(error, buf, sizeof buf), buf);
}

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Another panel may record into the same folder in the same second; each
// panel's file is its own.
constexpr int kMaxNameTries = 99;
constexpr auto kSyncEvery = std::chrono::seconds(1);

// The same file as the one open on fd: not removed, and still at its path.
bool StillThere(int fd, const std::string& path) {
    struct stat open, named;
    if (fstat(fd, &open) != 0)
        return true; // nothing known: leave it to the writes
    if (open.st_nlink == 0)
        return false;
    if (::stat(path.c_str(), &named) != 0)
        return errno != ENOENT && errno != ENOTDIR;
    return named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

void SyncPath(const std::string& path, bool folderToo) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        (void)fdatasync(fd);
        ::close(fd);
    }
    if (!folderToo)
        return;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd); // the sidecar's rename
        ::close(dfd);
    }
}

} // namespace

CRecorder::~CRecorder() {
    std::lock_guard lock(m_mutex);
    for (SSession& s : m_sessions)
        if (s.file)
            std::fclose(s.file);
    m_sessions.clear();
}

CRecorder::SSession* CRecorder::Find(uint32_t id) {
    for (SSession& s : m_sessions)
        if (s.id == id)
            return &s;
    return nullptr;
}

const CRecorder::SSession* CRecorder::Find(uint32_t id) const {
    return const_cast<CRecorder*>(this)->Find(id);
}

bool CRecorder::Shared(const SSession& s) const {
    for (const SSession& o : m_sessions)
        if (&o != &s && o.file && o.path == s.path)
            return true;
    return false;
}

SRecordingStart CRecorder::Start(const std::string& path) {
    SRecordingStart result;
    // Opened outside the lock: a slow file system must not hold up the worker.
    FILE* file = nullptr;
    std::string chosen;
    for (int k = 1; k <= kMaxNameTries && !file; ++k) {
        chosen = RecordingFileNameTaken(path, k);
        {
            // An earlier recording of this panel still writing the file (a
            // start within the same second): the same open file, whose lock
            // this panel already holds.
            std::lock_guard lock(m_mutex);
            for (const SSession& s : m_sessions)
                if (s.file && s.path == chosen) {
                    const int fd = dup(fileno(s.file));
                    file = fd >= 0 ? fdopen(fd, "a+") : nullptr;
                    if (!file && fd >= 0)
                        ::close(fd);
                    if (file)
                        result.sharedWith = s.id;
                    break;
                }
        }
        if (file)
            break;
        file = std::fopen(chosen.c_str(), "a+");
        if (!file) {
            result.error = errno;
            result.reason = ErrnoText(result.error);
            result.path = chosen;
            return result;
        }
        // The lock goes with the process, also when it is killed; tools (the
        // export) see that the recording is still being written.
        if (flock(fileno(file), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            std::fclose(file); // another panel's: take the next name
            file = nullptr;
        }
        // Any other refusal (a file system without locks) records unlocked.
    }
    if (!file) {
        result.error = EEXIST;
        result.reason = ErrnoText(EEXIST);
        result.path = chosen;
        return result;
    }
    std::fseek(file, 0, SEEK_END);
    const long long size = std::ftell(file);
    result.startBytes = size < 0 ? 0 : uint64_t(size);
    result.path = chosen;
    std::vector<FILE*> closing;
    {
        std::lock_guard lock(m_mutex);
        // A start without a stop ends the recording before it: the new
        // session's tag is where the old one's records end.
        ++m_uLast;
        for (SSession& s : m_sessions)
            if (!s.ended) {
                s.ended = true;
                s.endTag = m_uLast;
            }
        SSession s;
        s.id = m_uLast;
        s.file = file;
        s.path = chosen;
        s.lastSync = s.lastCheck = std::chrono::steady_clock::now();
        m_sessions.push_back(std::move(s));
        result.session = m_uLast;
        if (!m_bWriter)
            TakeClosable(m_uLast, false, closing);
    }
    CloseFiles(closing);
    result.opened = true;
    return result;
}

void CRecorder::TakeClosable(uint32_t sessionAfter, bool worker, std::vector<FILE*>& out) {
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const bool done = it->ended && !it->busy &&
                          (it->closeNow || (worker ? sessionAfter >= it->endTag : !m_bWriter));
        if (!done) {
            ++it;
            continue;
        }
        if (it->file)
            out.push_back(it->file);
        m_closedLines.emplace_back(it->id, it->lines);
        if (m_closedLines.size() > 8)
            m_closedLines.erase(m_closedLines.begin());
        it = m_sessions.erase(it);
    }
}

void CRecorder::CloseFiles(std::vector<FILE*>& files) {
    for (FILE* f : files) {
        Busy(true);
        std::fclose(f);
        Busy(false);
    }
    files.clear();
}

void CRecorder::Busy(bool on) {
    m_iBusySince.store(on ? SteadyNs() : 0, std::memory_order_relaxed);
}

uint32_t CRecorder::End(uint32_t session) {
    std::vector<FILE*> closing;
    uint32_t tag;
    {
        std::lock_guard lock(m_mutex);
        tag = ++m_uLast;
        SSession* s = Find(session);
        if (s && !s->ended) {
            s->ended = true;
            s->endTag = tag;
        }
        TakeClosable(0, false, closing);
    }
    CloseFiles(closing);
    return tag;
}

void CRecorder::Stop() {
    std::vector<FILE*> closing;
    {
        std::lock_guard lock(m_mutex);
        for (SSession& s : m_sessions) {
            if (!s.ended)
                s.endTag = ++m_uLast;
            s.ended = true;
            s.closeNow = true;
        }
        TakeClosable(0, false, closing);
    }
    CloseFiles(closing);
}

void CRecorder::SetWriter(bool attached) {
    std::vector<FILE*> closing;
    {
        std::lock_guard lock(m_mutex);
        m_bWriter = attached;
        if (!attached)
            TakeClosable(0, false, closing);
    }
    CloseFiles(closing);
}

SRecordingFault CRecorder::WriteRun(uint32_t session, const uint8_t* records, int n) {
    SRecordingFault fault;
    FILE* file = nullptr;
    {
        std::lock_guard lock(m_mutex);
        SSession* s = Find(session);
        if (!s || !s->file || s->busy)
            return fault;
        s->busy = true;
        file = s->file;
        m_strBusyPath = s->path;
    }
    // Enough for a full 1024-byte receive buffer in one write.
    constexpr int kLinesPerBlock = 68;
    char block[kLinesPerBlock * kRecordLineSize];
    struct stat st;
    const long long before = fstat(fileno(file), &st) == 0 ? (long long)st.st_size : -1;
    Busy(true);
    bool ok = true;
    errno = 0;
    for (int r = 0; r < n && ok;) {
        const int lines = std::min(kLinesPerBlock, n - r);
        for (int j = 0; j < lines; ++j)
            FormatRecordLine(records + size_t(r + j) * kRecordSize, block + j * kRecordLineSize);
        ok = std::fwrite(block, kRecordLineSize, size_t(lines), file) == size_t(lines);
        r += lines;
    }
    ok = std::fflush(file) == 0 && ok;
    const int error = errno ? errno : EIO;
    Busy(false);

    bool closeNow = false;
    {
        std::lock_guard lock(m_mutex);
        SSession* s = Find(session);
        s->busy = false;
        if (ok) {
            s->lines += uint64_t(n);
            s->dirty = true;
            closeNow = s->closeNow;
        } else {
            fault.failed = true;
            fault.session = session;
            fault.path = s->path;
            fault.reason = ErrnoText(error);
            s->ended = s->closeNow = true;
        }
        if (closeNow || !ok) {
            s->file = nullptr;
            m_closedLines.emplace_back(s->id, s->lines);
            m_sessions.erase(m_sessions.begin() + (s - m_sessions.data()));
        }
    }
    if (!ok) {
        // Part of the buffer may have reached the disk: drop what stdio still
        // holds and cut the file back to whole lines, so that what was
        // written before stays readable as it was. Nothing more can be done
        // for a file that cannot be cut (a device, a pipe).
        __fpurge(file);
        if (before >= 0 && ftruncate(fileno(file), before) != 0) {
        }
    }
    if (closeNow || !ok) {
        Busy(true);
        std::fclose(file);
        Busy(false);
    }
    return fault;
}

SRecordingFault CRecorder::SaveRecords(int count, const uint8_t* buffer, const uint32_t* sessions,
                                       uint32_t sessionAfter) {
    SRecordingFault first;
    const int n = count / kRecordSize;
    for (int r = 0; buffer && sessions && r < n;) {
        int end = r + 1;
        while (end < n && sessions[end] == sessions[r])
            ++end;
        if (sessions[r] != 0) {
            const SRecordingFault f =
                WriteRun(sessions[r], buffer + size_t(r) * kRecordSize, end - r);
            if (f.failed && !first.failed)
                first = f;
        }
        r = end;
    }
    std::vector<FILE*> closing;
    {
        std::lock_guard lock(m_mutex);
        TakeClosable(sessionAfter, true, closing);
    }
    CloseFiles(closing);
    return first;
}

SRecordingFault CRecorder::SaveRecords(int count, const uint8_t* buffer) {
    uint32_t session = 0;
    {
        std::lock_guard lock(m_mutex);
        for (const SSession& s : m_sessions)
            if (!s.ended)
                session = s.id;
    }
    const int n = count / kRecordSize;
    if (n <= 0 || !buffer || session == 0)
        return {};
    return WriteRun(session, buffer, n);
}

SRecordingFault CRecorder::Housekeep() {
    SRecordingFault fault;
    const auto now = std::chrono::steady_clock::now();
    struct SWork {
        uint32_t id;
        int fd;
        std::string path, sidecar;
        bool sync, syncSidecar, check;
    };
    std::vector<SWork> work;
    {
        std::lock_guard lock(m_mutex);
        for (SSession& s : m_sessions) {
            if (!s.file || s.busy)
                continue;
            SWork w{s.id, fileno(s.file), s.path, s.sidecar, false, false, false};
            w.sync = s.dirty && now - s.lastSync >= kSyncEvery;
            w.syncSidecar = s.sidecarDirty && !s.sidecar.empty() && now - s.lastSync >= kSyncEvery;
            w.check = now - s.lastCheck >= kSyncEvery;
            if (!w.sync && !w.syncSidecar && !w.check)
                continue;
            s.busy = true;
            if (w.sync || w.syncSidecar) {
                s.lastSync = now;
                s.dirty = false;
                s.sidecarDirty = false;
            }
            if (w.check)
                s.lastCheck = now;
            m_strBusyPath = s.path;
            work.push_back(std::move(w));
        }
    }
    for (const SWork& w : work) {
        bool there = true;
        Busy(true);
        if (w.sync || w.syncSidecar) {
            const int64_t t0 = SteadyNs();
            if (w.sync)
                (void)fdatasync(w.fd);
            if (w.syncSidecar)
                SyncPath(w.sidecar, true);
            m_nSyncs.fetch_add(1, std::memory_order_relaxed);
            m_nSyncNs.fetch_add(SteadyNs() - t0, std::memory_order_relaxed);
        }
        if (w.check)
            there = StillThere(w.fd, w.path);
        Busy(false);
        FILE* gone = nullptr;
        std::vector<FILE*> closing;
        {
            std::lock_guard lock(m_mutex);
            SSession* s = Find(w.id);
            s->busy = false;
            if (!there) {
                if (!fault.failed) {
                    fault.failed = true;
                    fault.removed = true;
                    fault.session = w.id;
                    fault.path = w.path;
                    fault.reason = ErrnoText(ENOENT);
                }
                gone = s->file;
                s->file = nullptr;
                m_closedLines.emplace_back(s->id, s->lines);
                m_sessions.erase(m_sessions.begin() + (s - m_sessions.data()));
            } else if (s->closeNow) {
                TakeClosable(0, false, closing);
            }
        }
        if (gone)
            std::fclose(gone);
        CloseFiles(closing);
    }
    return fault;
}

uint32_t CRecorder::Recording() const {
    std::lock_guard lock(m_mutex);
    uint32_t newest = 0;
    for (const SSession& s : m_sessions)
        newest = std::max(newest, s.id);
    for (const auto& [id, lines] : m_closedLines)
        newest = std::max(newest, id);
    return newest;
}

bool CRecorder::IsSaving() const {
    std::lock_guard lock(m_mutex);
    for (const SSession& s : m_sessions)
        if (!s.ended)
            return true;
    return false;
}

bool CRecorder::HasFile() const {
    std::lock_guard lock(m_mutex);
    for (const SSession& s : m_sessions)
        if (s.file)
            return true;
    return false;
}

bool CRecorder::IsOpen(uint32_t session) const {
    std::lock_guard lock(m_mutex);
    const SSession* s = Find(session);
    return s && s->file;
}

uint64_t CRecorder::Lines(uint32_t session) const {
    std::lock_guard lock(m_mutex);
    if (const SSession* s = Find(session))
        return s->lines;
    for (const auto& [id, lines] : m_closedLines)
        if (id == session)
            return lines;
    return 0;
}

std::chrono::steady_clock::duration CRecorder::Stalled(std::string* path) const {
    const int64_t since = m_iBusySince.load(std::memory_order_relaxed);
    if (since == 0)
        return {};
    if (path) {
        std::lock_guard lock(m_mutex);
        *path = m_strBusyPath;
    }
    return std::chrono::nanoseconds(SteadyNs() - since);
}

void CRecorder::SetSidecar(uint32_t session, const std::string& path) {
    std::lock_guard lock(m_mutex);
    if (SSession* s = Find(session))
        s->sidecar = path;
}

void CRecorder::SidecarWritten(uint32_t session) {
    std::lock_guard lock(m_mutex);
    if (SSession* s = Find(session))
        s->sidecarDirty = true;
}
