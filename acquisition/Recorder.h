#pragma once
// The recording folder's rule lives in RecordingDir.h and the line's format
// in RecordFormat.h; callers of the recorder get them here too.
#include "acquisition/RecordFormat.h"
#include "acquisition/RecordingDir.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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
    std::string path;   // the file opened: the one asked for, or the next free name
    uint32_t session = 0;
    uint64_t startBytes = 0; // the file's size when it was opened
    // An earlier recording of this panel still had the file open (started
    // again within the same second): its last lines still come first.
    uint32_t sharedWith = 0;
};

// A recording ended by its file: a write or a flush that failed, or the file
// or its folder gone from where it was.
struct SRecordingFault {
    bool failed = false;
    bool removed = false;
    uint32_t session = 0;
    std::string path;
    std::string reason;
};

// "dir/20170305093012-2.txt" for k = 2; k = 1 gives path itself.
std::string RecordingFileNameTaken(const std::string& path, int k);

// The raw recorder. Each start opens a recording (a session); the receive
// path tags every record with the session that was on when it arrived, and
// the worker writes each record into its session's file. Tags count up: a
// session's tag comes from its start, and its end hands out the next one,
// for the records after it; so a buffer's sessionAfter at or past a
// session's end says that all its records have been handed over.
//
// The UI thread never waits for a file: the worker holds a file while it
// writes, and the lock covers only the list of sessions, never a write. A
// session that ends is closed by the worker once its last records are
// written (or at once when no worker writes), so a file is never closed
// under a write.
class CRecorder {
public:
    CRecorder() = default;
    ~CRecorder(); // closes what is open, with everything written
    CRecorder(const CRecorder&) = delete;
    CRecorder& operator=(const CRecorder&) = delete;

    // UI thread. Opens path for appending ("a+", created when missing) and
    // holds it with an exclusive lock while recording. A name another panel
    // holds gives way to the next free one (RecordingFileNameTaken); a file
    // an earlier session of this recorder still writes is shared with it. On
    // failure nothing changes and the reason is returned.
    SRecordingStart Start(const std::string& path);
    // UI thread. No more records will carry this session: its file is closed
    // once the worker has written them (see SaveRecords' sessionAfter), at
    // once when no worker writes. Returns the tag for the records after it,
    // which no session takes.
    uint32_t End(uint32_t session);
    // UI thread. Ends every session and closes every file no write holds;
    // one a write holds is closed as soon as that write returns. Safe without
    // a prior Start.
    void Stop();
    // UI thread: whether a worker writes (set before it starts, cleared once
    // it has ended).
    void SetWriter(bool attached);

    // Worker thread. Writes every whole record of buffer[0..count) whose tag
    // in sessions[] names an open session as one line of that session's
    // file; a trailing piece shorter than a record is dropped. Each
    // session's lines of the buffer are flushed together, so a crash loses
    // at most the buffer in hand. sessionAfter is the tag in force when the
    // buffer was handed over: an ended session other than it has no records
    // left, and is closed. When a write fails (a full disk, a pulled stick)
    // its file is cut back to the lines written before and closed, and the
    // caller is told, to tell the user.
    SRecordingFault SaveRecords(int count, const uint8_t* buffer, const uint32_t* sessions,
                                uint32_t sessionAfter);
    // The same for a buffer whose records all belong to the newest session.
    SRecordingFault SaveRecords(int count, const uint8_t* buffer);
    // Worker thread, after each buffer and at least once a second: brings
    // each open recording and its sidecar to the disk once a second, and
    // ends a recording whose file or folder has gone.
    SRecordingFault Housekeep();

    // Any thread.
    bool IsSaving() const;                  // a session is on (started, not ended)
    bool HasFile() const;                   // a file is open (on, or ending)
    bool IsOpen(uint32_t session) const;    // its file is still open
    uint32_t Recording() const;             // the newest session, 0 before any
    uint64_t Lines(uint32_t session) const; // lines written in it so far
    // How long the write (or flush, sync, close) under way has been going
    // on, and in which file; zero when none is.
    std::chrono::steady_clock::duration Stalled(std::string* path = nullptr) const;
    // UI thread: the sidecar beside a session's recording, brought to the
    // disk with it after each rewrite (SidecarWritten).
    void SetSidecar(uint32_t session, const std::string& path);
    void SidecarWritten(uint32_t session);
    // What bringing files to the disk has cost: calls and seconds.
    uint64_t Syncs() const { return m_nSyncs.load(std::memory_order_relaxed); }
    double SyncSeconds() const { return m_nSyncNs.load(std::memory_order_relaxed) * 1e-9; }

private:
    struct SSession {
        uint32_t id = 0;
        FILE* file = nullptr;
        std::string path;
        std::string sidecar;
        uint64_t lines = 0;
        bool ended = false;
        uint32_t endTag = 0;   // records from this tag on are not its own
        bool closeNow = false; // close as soon as no write holds it
        bool busy = false;     // the worker is writing, syncing or closing it
        bool dirty = false;    // lines written since the last sync
        bool sidecarDirty = false;
        std::chrono::steady_clock::time_point lastSync{};
        std::chrono::steady_clock::time_point lastCheck{};
    };
    SSession* Find(uint32_t id);
    const SSession* Find(uint32_t id) const;
    // Under the lock: whether another session shares s's file.
    bool Shared(const SSession& s) const;
    // Under the lock: files of ended sessions no write holds, taken out of
    // their sessions to be closed outside the lock.
    void TakeClosable(uint32_t sessionAfter, bool worker, std::vector<FILE*>& out);
    void CloseFiles(std::vector<FILE*>& files);
    SRecordingFault WriteRun(uint32_t session, const uint8_t* records, int n);
    void Busy(bool on);

    mutable std::mutex m_mutex;
    std::vector<SSession> m_sessions; // open or ending; closed ones go
    // Lines of the last sessions closed, for Lines() afterwards.
    std::vector<std::pair<uint32_t, uint64_t>> m_closedLines;
    uint32_t m_uLast = 0;
    bool m_bWriter = false;
    // Steady-clock nanoseconds at which the write under way began; 0 if none.
    std::atomic<int64_t> m_iBusySince{0};
    std::string m_strBusyPath; // under the lock
    std::atomic<uint64_t> m_nSyncs{0};
    std::atomic<int64_t> m_nSyncNs{0};
};
