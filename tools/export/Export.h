#pragma once
// tovrel-export: a recording made by the panel, with its sidecar, to EDF+
// and CSV.

#include "acquisition/Sidecar.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

struct SExportOptions {
    QString recording;
    QString edfPath; // empty: no EDF+
    QString csvPath; // empty: no CSV
    std::optional<double> rate;
    bool force = false;
    bool skipBad = false;
    bool noSidecar = false;
    bool progress = false; // a progress line on the messages stream
};

enum class EParse { Ok, Help, Error };
// args starts with the program name. On Help, message is the help text; on
// Error, what is wrong.
EParse ParseExportOptions(const QStringList& args, SExportOptions& options, QString& message);

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1; // bad input, or the output could not be written
inline constexpr int kExitUsage = 2;

// Runs the export; messages (and the progress line) go to `messages`.
int RunExport(const SExportOptions& options, std::FILE* messages);

// ---- the pieces, for tests ---------------------------------------------------------

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
    QString rateSource;
    QDateTime firstLineTime; // the time of its first line, invalid when unknown
};

// The local start time in a recording's name (yyyymmddhhmmss.txt), or invalid.
QDateTime TimeFromRecordingName(const QString& path);

// The EDF+ file of segment k (1-based) of several: the first is `edf`
// itself, later ones get "-k" before the extension.
QString SegmentEdfPath(const QString& edf, int k);

// "12.345678": seconds with six decimals from a count of microseconds.
int FormatMicroseconds(int64_t us, char* out);
