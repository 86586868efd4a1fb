#pragma once
// tovrel-export's command line.

#include <QString>
#include <QStringList>
#include <optional>

struct SExportOptions {
    QString recording;
    QString edfPath; // empty: no EDF+
    QString csvPath; // empty: no CSV
    std::optional<double> rate;
    bool force = false;
    bool acceptOdd = false; // export what the sanity checks would refuse
    bool skipBad = false;
    bool noSidecar = false;
    bool progress = false; // a progress line on the messages stream
};

enum class EParse { Ok, Help, Version, Error };
// args starts with the program name. On Help and Version, message is the
// text to print (on stdout); on Error, what is wrong.
EParse ParseExportOptions(const QStringList& args, SExportOptions& options, QString& message);

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1; // bad input, or the output could not be written
inline constexpr int kExitUsage = 2;
