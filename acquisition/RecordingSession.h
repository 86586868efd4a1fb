#pragma once
// A recording as the operator makes it: the file the records go into (the
// recorder, which the worker writes), and the sidecar that says what the
// lines are: when they were recorded, at which rate, and what the operator
// did on which line. UI thread, but for the recorder (shared with the worker).
//
// What the operator does is placed in the stream where it happened (through
// the receive feed), and takes its line when the stream gets there: a
// recording holds exactly the records that arrived while it was on, and a
// marker lies before the first record that arrived after F2, however far
// behind the worker was.

#include "acquisition/RateFit.h"
#include "acquisition/Recorder.h"
#include "acquisition/RecvFeed.h"
#include "acquisition/Sidecar.h"

#include <QString>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

// What the panel is doing, as the sidecar notes it.
struct SRecordingContext {
    bool calibration = false;
    int32_t coef1 = 100;
    int32_t coef2 = 100;
    QString portName; // "COM1": the open port, or the one the list shows
    bool portOpen = false;
    QString portSettings; // while open
};

class CRecordingSession {
public:
    explicit CRecordingSession(CRecvFeed& feed);
    CRecordingSession(const CRecordingSession&) = delete;
    CRecordingSession& operator=(const CRecordingSession&) = delete;

    CRecorder& Recorder() { return m_recorder; }
    const CRecorder& Recorder() const { return m_recorder; }
    // Asked at every start, mode change and sidecar write.
    void SetContext(std::function<SRecordingContext()> context) { m_context = std::move(context); }
    // Lines for the operator (a sidecar that cannot be written).
    void SetLog(std::function<void(const QString&)> log) { m_log = std::move(log); }

    // Opens the recording at path (or the next free name, which the result
    // names) and begins its segment; nothing changes when the file cannot be
    // opened. A recording still on is stopped first.
    SRecordingStart Start(const QString& path);
    // The recording on ends with the records that arrived before now.
    void Stop();
    bool IsOn() const;
    QString Path() const;     // the recording on, or empty
    uint32_t Current() const; // its recorder session, or 0

    // F2: the marker's number, or 0 without a recording.
    int Marker();
    // The mode and coefficients, noted when they differ from the last noted.
    void NoteMode();
    void NoteGain(uint32_t gain1, uint32_t gain2);
    // The stream may have paused and starts again here (sampling started,
    // the port opened): the next records begin a new stretch.
    void StreamResumed();

    // From the receive path, in stream order.
    void OnRecords(uint32_t tag, int records, TArrival arrival);
    void OnEvent(const CRecvFeed::SEvent& event);
    // The worker ended a recording (a write failed, the file went): true when
    // it was the one on, which has now been stopped.
    bool OnFault(const SRecordingFault& fault);
    // Once a second: the sidecars rewritten with what has come since, so a
    // crash or a power cut leaves them at most a second old.
    void Tick();

    // For tests: the sidecar of the recording on (or the last one), as kept.
    const SSidecar* Sidecar() const;

private:
    struct SFile {
        QString path; // the recording
        QString sidecarPath;
        SSidecar sidecar;
        bool failed = false; // a failed write has been logged
        int nextMarker = 1;
    };
    struct SLive {
        uint32_t tag = 0;
        std::shared_ptr<SFile> file;
        size_t segment = 0;
        SRecordingStart opened;
        std::chrono::steady_clock::time_point started{};
        bool begun = false;      // its start has taken effect: firstLine known
        bool stopped = false;    // 停止保存 pressed
        bool ended = false;      // ... and taken effect: no more records
        uint64_t attributed = 0; // records that arrived for it
        uint64_t writtenAt = ~uint64_t(0);
        bool firstSeen = false;
        bool resumePending = false;
        CRateFit fit;
        SSidecarMode lastMode;
    };
    enum class EWhat { Start, Stop, Marker, Mode, Gain, Resume };
    struct SPending {
        uint64_t id = 0;
        EWhat what = EWhat::Marker;
        uint32_t tag = 0;
        SSidecarMode mode;
        SSidecarGain gain;
        SSidecarMarker marker;
    };

    SLive* On();
    SLive* Find(uint32_t tag);
    void Schedule(SPending p, CRecvFeed::EEvent kind, uint32_t tag);
    void Apply(const SPending& p);
    void Write(SLive& live);
    void Forget();
    SRecordingContext Context() const;

    CRecorder m_recorder;
    CRecvFeed& m_feed;
    std::function<SRecordingContext()> m_context;
    std::function<void(const QString&)> m_log;
    std::vector<SLive> m_lives; // the recording on, and those still ending
    std::deque<SPending> m_pending;
    std::shared_ptr<SFile> m_last; // the last file written, for Sidecar()
};
