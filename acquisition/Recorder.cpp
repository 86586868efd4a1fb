#include "acquisition/Recorder.h"

#include "acquisition/Record.h"

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

void FormatRecordLine(const uint8_t* rec, char out[kRecordLineSize]) {
    static const char kHex[] = "0123456789ABCDEF";
    char* p = out;
    for (int i = 0; i < kRecordSize; ++i) {
        *p++ = kHex[rec[i] >> 4];
        *p++ = kHex[rec[i] & 0x0F];
        *p++ = ' ';
    }
    *p++ = '\r';
    *p = '\n';
}

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

std::string GetModuleDir() {
    std::vector<char> buf(1024);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            break;
        if (size_t(n) < buf.size()) {
            std::string path(buf.data(), size_t(n));
            return path.substr(0, path.rfind('/') + 1);
        }
        buf.resize(buf.size() * 2); // possibly cut short: try again with room to spare
    }
    if (QCoreApplication::instance())
        return QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString() + '/';
    return "./";
}

namespace {
std::string g_recordingDir; // empty: the program's own directory
} // namespace

void SetRecordingDir(const std::string& dir) {
    g_recordingDir = dir;
}

std::string RecordingDir() {
    return g_recordingDir.empty() ? GetModuleDir() : g_recordingDir;
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

CRecorder::~CRecorder() {
    std::lock_guard lock(m_mutex);
    if (m_pSaveFile)
        std::fclose(m_pSaveFile);
    m_pSaveFile = nullptr;
    m_bSaving = false;
}

SRecordingStart CRecorder::Start(const std::string& path) {
    SRecordingStart result;
    // Opened outside the lock: a slow file system must not hold up the worker.
    FILE* file = std::fopen(path.c_str(), "a+");
    if (!file) {
        result.error = errno;
        char buf[256];
        result.reason = ErrorText(strerror_r(result.error, buf, sizeof buf), buf);
        return result;
    }
    // A shared lock for as long as the file is open tells tools (the export)
    // that the recording is still being written; the lock goes with the
    // process, also when it is killed.
    (void)flock(fileno(file), LOCK_SH | LOCK_NB);
    SRecordingCounts counts;
    struct stat st;
    if (fstat(fileno(file), &st) == 0)
        counts.startBytes = uint64_t(st.st_size);
    counts.started = std::chrono::steady_clock::now();
    FILE* previous;
    {
        std::lock_guard lock(m_mutex);
        previous = m_pSaveFile;
        m_pSaveFile = file;
        m_bSaving = true;
        m_counts = std::move(counts);
        m_bResumed = false;
    }
    // A second start without a stop would otherwise leak the first stream.
    if (previous)
        std::fclose(previous);
    result.opened = true;
    return result;
}

void CRecorder::Stop() {
    std::lock_guard lock(m_mutex);
    m_bSaving = false;
    if (m_pSaveFile) {
        std::fclose(m_pSaveFile);
        m_pSaveFile = nullptr;
    }
}

void CRecorder::SaveRecords(int count, const uint8_t* buffer) {
    const int n = count / kRecordSize;
    if (n <= 0 || !buffer)
        return;
    // Enough for a full 1024-byte receive buffer in one write.
    constexpr int kLinesPerBlock = 68;
    char block[kLinesPerBlock * kRecordLineSize];

    std::lock_guard lock(m_mutex);
    if (!m_pSaveFile || !m_bSaving)
        return;
    for (int r = 0; r < n;) {
        int lines = std::min(kLinesPerBlock, n - r);
        for (int j = 0; j < lines; ++j)
            FormatRecordLine(buffer + size_t(r + j) * kRecordSize, block + j * kRecordLineSize);
        std::fwrite(block, kRecordLineSize, size_t(lines), m_pSaveFile);
        r += lines;
    }
    std::fflush(m_pSaveFile);
    const auto now = std::chrono::steady_clock::now();
    if (m_counts.handOvers == 0) {
        m_counts.firstHandOver = now;
        m_counts.firstHandOverLines = uint64_t(n);
    } else if (m_bResumed) {
        if (m_counts.resumes.size() < SRecordingCounts::kMaxResumes)
            m_counts.resumes.push_back({m_counts.lines + 1, now, uint64_t(n)});
    } else {
        m_counts.rateRecords += uint64_t(n);
        m_counts.rateTime += now - m_counts.lastHandOver;
    }
    m_bResumed = false;
    ++m_counts.handOvers;
    m_counts.lastHandOver = now;
    m_counts.lines += uint64_t(n);
}

bool CRecorder::IsSaving() const {
    std::lock_guard lock(m_mutex);
    return m_bSaving;
}

bool CRecorder::HasFile() const {
    std::lock_guard lock(m_mutex);
    return m_pSaveFile != nullptr;
}

SRecordingCounts CRecorder::Counts() const {
    std::lock_guard lock(m_mutex);
    return m_counts;
}

void CRecorder::StreamResumed() {
    std::lock_guard lock(m_mutex);
    m_bResumed = true;
}
