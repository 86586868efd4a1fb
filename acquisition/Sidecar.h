#pragma once
// The sidecar of a recording: "20170305093012.json" beside "20170305093012.txt",
// JSON in UTF-8. The recording itself stays bare hex lines; what it takes to
// read them as signals (the rate, the clock time, what the operator did and
// when) is kept here, keyed by the recording's line numbers.
//
// Line numbers count the recording's lines from 1 over the whole file, across
// every segment appended to it. An event (marker, mode change, gain) carries
// the number of the next line to be written when it happened: it lies after
// line - 1 and before line.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

inline constexpr int kSidecarFormatVersion = 1;
inline constexpr char kSidecarFormat[] = "tovrel-recording-sidecar";
// A segment notes at most this many resumes of the stream.
inline constexpr size_t kMaxSidecarResumes = 10000;

// The record rate as the panel's steady clock saw it: the records handed over
// after the first hand-over of a segment, over the time from the first to the
// last hand-over. The first hand-over's own records arrived before it, so
// they are not counted; nor is a pause in the stream (see SSidecarResume).
struct SSidecarRate {
    double hz = 0;
    uint64_t records = 0;
    double seconds = 0;
    // One standard uncertainty of hz; 0 when not known (sidecars written
    // before the rate was fitted over the records' arrivals).
    double uncertaintyHz = 0;

    bool operator==(const SSidecarRate&) const = default;
};

// When the first records of a segment were written, and how many: with the
// rate, this places the segment's first line in time even when the device
// started streaming long after the recording did.
struct SSidecarFirstHandOver {
    double afterStart = 0; // seconds
    uint64_t records = 0;

    bool operator==(const SSidecarFirstHandOver&) const = default;
};

// The stream starting again within a segment after sampling was stopped or the
// port closed: from `line` on, timed by the first hand-over after it, like
// the segment's first line. The time in between holds no lines.
struct SSidecarResume {
    uint64_t line = 0;
    double afterStart = 0; // seconds after the segment's start
    uint64_t records = 0;  // of that hand-over

    bool operator==(const SSidecarResume&) const = default;
};

struct SSidecarPort {
    QString name; // "COM1"
    bool open = false;
    QString settings; // "926000,n,8,1" when open

    bool operator==(const SSidecarPort&) const = default;
};

// The mode and the pressure coefficients in force from `line` on.
struct SSidecarMode {
    uint64_t line = 0;
    QString time;
    bool calibration = false;
    int32_t coef1 = 100;
    int32_t coef2 = 100;

    bool operator==(const SSidecarMode&) const = default;
};

// Pulse amplifications sent to the device.
struct SSidecarGain {
    uint64_t line = 0;
    QString time;
    uint32_t gain1 = 0;
    uint32_t gain2 = 0;

    bool operator==(const SSidecarGain&) const = default;
};

struct SSidecarMarker {
    int number = 0; // 1, 2, ... over the whole recording file
    uint64_t line = 0;
    QString time;

    bool operator==(const SSidecarMarker&) const = default;
};

// One start-to-stop of the recording buttons.
struct SSidecarSegment {
    QString start;
    QString stop; // empty while recording, or when the panel ended without a stop
    uint64_t firstLine = 1;
    uint64_t records = 0; // lines written in this segment
    std::optional<SSidecarFirstHandOver> firstHandOver;
    std::optional<SSidecarRate> rate;
    std::vector<SSidecarResume> resumes;
    SSidecarPort port;
    std::vector<SSidecarMode> modes; // the mode at the start first
    std::vector<SSidecarGain> gains;
    std::vector<SSidecarMarker> markers;

    bool operator==(const SSidecarSegment&) const = default;
};

struct SSidecar {
    QString recording; // the recording's file name, without its folder
    QString program = QStringLiteral("tovrel");
    QString programVersion;
    QString written; // when this sidecar was last written
    std::vector<SSidecarSegment> segments;

    int NextMarkerNumber() const;
    bool operator==(const SSidecar&) const = default;
};

// The version of the panel that writes sidecars.
QString SidecarProgramVersion();

// "dir/20170305093012.json" for "dir/20170305093012.txt"; a name without
// ".txt" gets ".json" appended.
QString SidecarPathFor(const QString& recordingPath);

// Local time with milliseconds and the UTC offset: "2017-03-05T09:30:12.345+01:00".
QString SidecarTime(const QDateTime& t);
// Reads such a time back, keeping its offset (so date() and time() are the
// wall clock where it was written). Invalid when the text is not one.
QDateTime ParseSidecarTime(const QString& text);

// The measured rate from records over seconds of steady streaming, or
// nothing before there are any.
std::optional<SSidecarRate> MeasuredRate(uint64_t records, double seconds);

QByteArray SidecarToJson(const SSidecar& sidecar);
// False with the reason when json is not a sidecar this program can read.
bool SidecarFromJson(const QByteArray& json, SSidecar& out, QString& error);

// Replaces path as one step (a temporary file beside it, then a rename), so a
// reader, a crash or a kill finds the previous sidecar or this one, whole.
bool WriteSidecar(const QString& path, const SSidecar& sidecar, QString& error);
bool ReadSidecar(const QString& path, SSidecar& out, QString& error);
