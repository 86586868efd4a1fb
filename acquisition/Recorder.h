#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

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

// Directory of the running executable, ending with '/'.
std::string GetModuleDir();

// Where the recording buttons put their files: the program's folder when the
// user may write there, as it always was; otherwise (an installed program in
// /usr/bin) the subfolder Tovrel of the user's documents folder, made when
// missing. Ends with '/'.
std::string ChooseRecordingDir(const std::string& moduleDir, bool moduleWritable,
                               const std::string& documentsDir);
std::string RecordingDir();
// Test seam: recordings go to dir (ending with '/') instead, so test runs
// never write into the build folder; an empty dir restores the rule above.
void SetRecordingDir(const std::string& dir);

// The outcome of starting a recording.
struct SRecordingStart {
    bool opened = false;
    int error = 0;      // errno of the failed open
    std::string reason; // its text, for the history log
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
    // Counts the recordings started, so that news of a failed one is not
    // taken for a later one.
    uint64_t Recording() const;

private:
    mutable std::mutex m_mutex;
    bool m_bSaving = false;
    FILE* m_pSaveFile = nullptr;
    std::string m_strPath;
    long long m_iGoodSize = 0; // bytes known to be on disk
    uint64_t m_uRecording = 0;
};
