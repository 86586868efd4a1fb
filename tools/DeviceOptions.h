#pragma once
// The simulated device's command line.

#include "tools/SimDevice.h"

#include <QString>
#include <QStringList>

namespace simdev {

struct Options {
    int port = 1;                // COMn
    double rate = kFullLineRate; // records per second
    double bpm = 72;
    double duration = 0; // seconds; 0 runs until a signal
    bool startNow = false;
    QString replayPath;
    bool verbatim = false; // replay bytes 0 and 14 as recorded
    ChunkPlan chunks;      // how the stream is cut into writes
    int startOffset = 0;   // bytes of the first record never sent
};

enum class ParseResult { Ok, Help, Version, Error };
// args starts with the program name. On Help and Version, `message` holds the
// text to print; on Error, what was wrong.
ParseResult ParseOptions(const QStringList& args, Options& options, QString& message);

} // namespace simdev
