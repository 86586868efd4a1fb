#pragma once
// The CSV output: one row per line of the recording, formatted by hand into a
// buffer of fixed size (an hour of recording is 22 million rows).

#include "tools/export/EdfOutput.h"

#include <QFile>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr char kCsvHeader[] =
    "line,time_s,pulse1_raw,pulse2_raw,ecg_raw,heart_sound_raw,pressure1_raw,"
    "pressure2_raw,pulse1,pulse2,ecg,heart_sound,pressure1,pressure2,marker,problem\n";

struct SCsvRow {
    uint64_t line = 0;
    int64_t timeUs = 0;
    bool good = true;           // false: a malformed line skipped, its values empty
    bool markerMissing = false; // byte 1 is not ':'
    uint16_t raw[kEdfSignalCount] = {};
    bool calibration = false; // the mode in force on this line
    int32_t coef1 = 100, coef2 = 100;
};

// Markers one row takes at most; more on one line go on the rows after it.
inline constexpr size_t kCsvMarkersPerRow = 10000;
// The most a row with `markers` markers takes.
constexpr size_t CsvRowBytes(size_t markers) {
    return 256 + 12 * markers;
}

// Writes the row (with its line end) at out; returns the end.
char* FormatCsvRow(const SCsvRow& row, const int* markers, size_t markerCount, char* out);

// "12.345678": seconds with six decimals from a count of microseconds.
int FormatMicroseconds(int64_t us, char* out);

class CCsvWriter {
public:
    bool Open(const QString& path, QString& error);
    // Room for `bytes` more; flushes when needed.
    char* Reserve(size_t bytes, QString& error);
    void Commit(char* end) { m_fill = size_t(end - m_buf.data()); }
    bool Flush(QString& error);
    bool Close(QString& error);

private:
    static constexpr size_t kBufferBytes = size_t(1) << 20;
    QFile m_file;
    std::vector<char> m_buf;
    size_t m_fill = 0;
};
