#pragma once
// The recording folder's rule lives in RecordingDir.h; callers of the recorder
// get it here too.
#include "acquisition/RecordingDir.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

// One line of a recording file: the record's 15 bytes as "%.2X " groups,
// then CR LF.
inline constexpr int kRecordLineSize = 47;

// Fills out[0..46] with the line for rec (no terminating NUL).
void FormatRecordLine(const uint8_t* rec, char out[kRecordLineSize]);

// dir + the local start time as yyyymmddhhmmss + ".txt". When local time is
// unknown (local == nullptr) the date parts are 0 and the time parts -1, which
// gives dir + "00000-01-01-01.txt". The name is built whole however long dir
// is; whether the system accepts it is for the open to say.
std::string RecordingFileName(const std::string& dir, const struct tm* local);
// The same for the present moment.
std::string RecordingFileNameNow(const std::string& dir);

// The outcome of starting a recording.
struct SRecordingStart {
    bool opened = false;
    int error = 0;      // errno of the failed open
    std::string reason; // its text, for the history log
};

// A stretch of the stream after a pause (sampling stopped, the port closed):
// the first hand-over after it, as lines from the recording's start (1 = its
// first line), when it was written and how many lines it brought.
struct SRecordingResume {
    uint64_t line = 0;
    std::chrono::steady_clock::time_point at{};
    uint64_t lines = 0;
};

// What the recorder has done since its last start, for the recording's
// sidecar: the file's size when it was opened (earlier recordings appended
// to), the lines written since, and when the hand-overs that added lines were
// written, on the steady clock. The rate counts only the time between
// hand-overs of a steady stream: the first hand-over of each stretch brings
// records that arrived before it (after a pause, across the pause), so its
// interval and records are left out.
struct SRecordingCounts {
    uint64_t startBytes = 0;
    uint64_t lines = 0;
    uint64_t handOvers = 0;
    uint64_t firstHandOverLines = 0;
    std::chrono::steady_clock::time_point started{};
    std::chrono::steady_clock::time_point firstHandOver{};
    std::chrono::steady_clock::time_point lastHandOver{};
    uint64_t rateRecords = 0;
    std::chrono::steady_clock::duration rateTime{};
    std::vector<SRecordingResume> resumes; // at most kMaxResumes
    static constexpr size_t kMaxResumes = 10000;
};

// A write that failed: the recording has ended with it.
struct SRecordingFault {
    bool failed = false;
    uint64_t recording = 0; // which recording (Recording())
    std::string path;
    std::string reason;
};

// The raw recorder. The worker writes whole receive buffers while the UI
// thread starts and stops recordings; one lock covers the flag and the stream
// so that a file is never closed under a write.
class CRecorder {
public:
    CRecorder() = default;
    ~CRecorder(); // closes an open recording with everything written
    CRecorder(const CRecorder&) = delete;
    CRecorder& operator=(const CRecorder&) = delete;

    // UI thread. Opens path for appending (created when missing). On success
    // recording is on; on failure nothing changes and the reason is returned.
    SRecordingStart Start(const std::string& path);
    // UI thread. Recording off; closes the file if one is open. Safe without a
    // prior Start.
    void Stop();

    // Worker thread. Writes every whole record of buffer[0..count) as one line
    // when recording is on; a trailing piece shorter than a record is dropped.
    // The buffer's lines are flushed together, so a crash loses at most the
    // buffer in hand. When the write or the flush fails (a full disk, a
    // pulled stick) the file is cut back to the lines written before, closed,
    // and recording is off; the caller is told, to tell the user.
    SRecordingFault SaveRecords(int count, const uint8_t* buffer);

    bool IsSaving() const;
    bool HasFile() const;
    // Any thread; they stay as they were after a stop, until the next start.
    SRecordingCounts Counts() const;
    // UI thread: the stream may have paused and starts again (sampling
    // started, the port opened), so the next hand-over begins a new stretch.
    void StreamResumed();
    // Counts the recordings started, so that news of a failed one is not
    // taken for a later one.
    uint64_t Recording() const;

private:
    void Count(int n);

    mutable std::mutex m_mutex;
    bool m_bSaving = false;
    FILE* m_pSaveFile = nullptr;
    SRecordingCounts m_counts;
    bool m_bResumed = false;
    std::string m_strPath;
    long long m_iGoodSize = 0; // bytes known to be on disk
    uint64_t m_uRecording = 0;
};
