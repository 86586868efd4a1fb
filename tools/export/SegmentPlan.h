#pragma once
// What an export will write, decided from the sidecar before a line is read:
// the stretches of the recording without a gap (one EDF+ file each), their
// rates, data records and start times, which sidecar events go with which
// stretch, and what about the sidecar is too odd to trust. A pure function of
// its input, so every rule here is tested without files.

#include "acquisition/Sidecar.h"
#include "tools/export/EdfOutput.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

// A stretch of a recording without a gap: a segment, or the part of one
// after the stream resumed; one EDF+ file. What the sidecar says about it.
struct SSegmentPlan {
    int sidecarIndex = -1; // into the sidecar's segments; -1: lines it does not cover
    int segment = 1;       // its segment's number in the recording, from 1
    int resume = 0;        // 0: the segment's start; k: after its k-th resume
    bool lastOfSegment = true;
    uint64_t firstLine = 1;
    uint64_t endLine = UINT64_MAX; // the first line after it
    double rate = 0;
    double rateUncertainty = 0; // one standard uncertainty; 0 when not known
    QString rateSource;
    SDataRecordLayout layout;
    QDateTime firstLineTime; // the time of its first line, invalid when unknown
    // Its events: [eventsBegin, eventsEnd) of SExportPlan::events.
    size_t eventsBegin = 0;
    size_t eventsEnd = 0;
    // For a part after a resume: the mode in force at its first line (into
    // its segment's modes), -1 when a mode starts on that line or none does.
    int modeInForce = -1;
};

enum class EPlanEvent { Mode, Gain, Marker };

// A sidecar event (into its segment's modes, gains or markers) and the line
// the sidecar gives it.
struct SPlanEvent {
    EPlanEvent kind = EPlanEvent::Marker;
    uint64_t line = 0;
    size_t index = 0;
};

struct SPlanInput {
    const SSidecar* sidecar = nullptr; // nullptr: none
    QString recording;                 // its path, for messages and the time in its name
    QString sidecarPath;               // for messages
    std::optional<double> rate;        // --rate
    bool acceptOdd = false;            // --accept-odd
    uint64_t estimatedLines = 0;       // from the recording's size
};

struct SExportPlan {
    std::vector<SSegmentPlan> parts;
    std::vector<SPlanEvent> events; // by part, each part's in line order
    int segments = 0;
    int edfFiles = 0;  // parts that hold lines (by the estimate)
    QStringList notes; // to tell the user: warnings, odd values accepted
    QString error;     // non-empty: the export is refused
};

SExportPlan PlanExport(const SPlanInput& input);

// ---- the rules, one by one ----------------------------------------------------------

// Records per second that a line of these settings ("926000,n,8,1") carries:
// 15 bytes a record, each byte a start bit, its data bits, a parity bit
// unless "n", and its stop bits. Settings it cannot read count as the
// device's own, 926000 baud 8N1. `described` gets "926000 baud 8N1".
double LineRecordRate(const QString& settings, QString* described = nullptr);

// How far above the line's rate a measured rate may lie before it is taken
// for an impossible one: the panel's measurement and the device's clock are
// off by far less.
inline constexpr double kLineRateMargin = 1.01;

// Whether a measured rate lies above what the line carries (with
// kLineRateMargin) by more than the measurement can be off.
bool RateAboveLine(const SSidecarRate& rate, double lineRate);

// EDF+ holds start dates from 1985 to 2084.
bool EdfYearInRange(const QDateTime& t);

// The time of a stretch's first line: `start` plus the time of the first
// hand-over after it less the time its records took at `rate`. Invalid when
// the offset is not a number or is beyond any real recording (centuries).
QDateTime FirstLineTime(const QDateTime& start, double afterStart, uint64_t records, double rate);

// Rates of two segments that differ by far more than their uncertainties
// (both known): the recording probably mixes devices or settings.
bool RatesDisagree(double a, double ua, double b, double ub);

// "6173.2917 Hz", or "6173.2917 ± 0.0123 Hz" when the uncertainty is known.
QString RateText(double hz, double uncertainty);

// The local start time in a recording's name (yyyymmddhhmmss.txt), or invalid.
QDateTime TimeFromRecordingName(const QString& path);
