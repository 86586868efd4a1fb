#include "acquisition/Recorder.h"

#include "acquisition/Record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdio_ext.h>
#include <sys/file.h>
#include <unistd.h>

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
    std::fseek(file, 0, SEEK_END);
    const long long size = std::ftell(file);
    SRecordingCounts counts;
    counts.startBytes = size < 0 ? 0 : uint64_t(size);
    counts.started = std::chrono::steady_clock::now();
    FILE* previous;
    {
        std::lock_guard lock(m_mutex);
        previous = m_pSaveFile;
        m_pSaveFile = file;
        m_bSaving = true;
        m_strPath = path;
        m_iGoodSize = size < 0 ? 0 : size;
        ++m_uRecording;
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

SRecordingFault CRecorder::SaveRecords(int count, const uint8_t* buffer) {
    SRecordingFault fault;
    const int n = count / kRecordSize;
    if (n <= 0 || !buffer)
        return fault;
    // Enough for a full 1024-byte receive buffer in one write.
    constexpr int kLinesPerBlock = 68;
    char block[kLinesPerBlock * kRecordLineSize];

    std::lock_guard lock(m_mutex);
    if (!m_pSaveFile || !m_bSaving)
        return fault;
    bool ok = true;
    errno = 0;
    for (int r = 0; r < n && ok;) {
        int lines = std::min(kLinesPerBlock, n - r);
        for (int j = 0; j < lines; ++j)
            FormatRecordLine(buffer + size_t(r + j) * kRecordSize, block + j * kRecordLineSize);
        ok = std::fwrite(block, kRecordLineSize, size_t(lines), m_pSaveFile) == size_t(lines);
        r += lines;
    }
    ok = std::fflush(m_pSaveFile) == 0 && ok;
    if (ok) {
        m_iGoodSize += (long long)n * kRecordLineSize;
        Count(n);
        return fault;
    }
    fault.failed = true;
    fault.recording = m_uRecording;
    fault.path = m_strPath;
    char buf[256];
    const int error = errno ? errno : EIO;
    fault.reason = ErrorText(strerror_r(error, buf, sizeof buf), buf);
    // Part of the buffer may have reached the disk: drop what stdio still
    // holds and cut the file back to whole lines, so that what was written
    // before stays readable as it was.
    __fpurge(m_pSaveFile);
    if (ftruncate(fileno(m_pSaveFile), m_iGoodSize) != 0) {
        // Nothing more can be done for a file that cannot be cut (a device).
    }
    std::fclose(m_pSaveFile);
    m_pSaveFile = nullptr;
    m_bSaving = false;
    return fault;
}

uint64_t CRecorder::Recording() const {
    std::lock_guard lock(m_mutex);
    return m_uRecording;
}

bool CRecorder::IsSaving() const {
    std::lock_guard lock(m_mutex);
    return m_bSaving;
}

bool CRecorder::HasFile() const {
    std::lock_guard lock(m_mutex);
    return m_pSaveFile != nullptr;
}

// Under the lock, after n lines were written.
void CRecorder::Count(int n) {
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

SRecordingCounts CRecorder::Counts() const {
    std::lock_guard lock(m_mutex);
    return m_counts;
}

void CRecorder::StreamResumed() {
    std::lock_guard lock(m_mutex);
    m_bResumed = true;
}
