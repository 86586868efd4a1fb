#pragma once
// Reads a recording made by the panel line by line, each line parsed strictly
// (ParseRecordingLine, acquisition/RecordFormat.h).

#include "acquisition/RecordFormat.h"

#include <QIODevice>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

struct SRecordingLine {
    uint64_t number = 0; // 1 for the file's first line
    ELineKind kind = ELineKind::Malformed;
    uint8_t bytes[kRecordSize] = {};
};

// Streams the lines through one buffer of fixed size, so memory stays the
// same however long the recording is. A line longer than the buffer is read
// past and reported malformed. A last line without its line end counts as a
// line when it is a whole record; a shorter piece (a recording cut off by a
// crash) is left out and reported by CutOffBytes().
class CRecordingReader {
public:
    explicit CRecordingReader(QIODevice& in, size_t bufferBytes = size_t(1) << 20);

    // The next line; false at the end of the input or on a read error.
    bool Next(SRecordingLine& line);

    bool Failed() const { return !m_error.isEmpty(); }
    QString Error() const { return m_error; }
    // Bytes taken from the device so far.
    qint64 BytesRead() const { return m_bytesRead; }
    qint64 CutOffBytes() const { return m_cutOff; }

private:
    bool Fill();

    QIODevice& m_in;
    std::vector<char> m_buf;
    size_t m_pos = 0;
    size_t m_end = 0;
    bool m_eof = false;
    bool m_overlong = false; // inside a line that did not fit the buffer
    qint64 m_overlongBytes = 0;
    uint64_t m_line = 0;
    qint64 m_bytesRead = 0;
    qint64 m_cutOff = 0;
    QString m_error;
};
