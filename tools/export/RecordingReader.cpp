#include "tools/export/RecordingReader.h"

#include <algorithm>
#include <cstring>

CRecordingReader::CRecordingReader(QIODevice& in, size_t bufferBytes)
    : m_in(in), m_buf(std::max<size_t>(bufferBytes, size_t(kRecordLineSize) * 2)) {}

bool CRecordingReader::Fill() {
    if (m_pos > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_pos, m_end - m_pos);
        m_end -= m_pos;
        m_pos = 0;
    }
    const qint64 n = m_in.read(m_buf.data() + m_end, qint64(m_buf.size() - m_end));
    if (n < 0) {
        m_error = m_in.errorString();
        return false;
    }
    if (n == 0)
        m_eof = true;
    m_end += size_t(n);
    m_bytesRead += n;
    return true;
}

bool CRecordingReader::Next(SRecordingLine& line) {
    for (;;) {
        const char* start = m_buf.data() + m_pos;
        const size_t avail = m_end - m_pos;
        const auto* nl = static_cast<const char*>(std::memchr(start, '\n', avail));
        if (nl) {
            const size_t length = size_t(nl - start);
            m_pos += length + 1;
            line.number = ++m_line;
            line.kind =
                m_overlong ? ELineKind::Malformed : ParseRecordingLine(start, length, line.bytes);
            m_overlong = false;
            m_overlongBytes = 0;
            return true;
        }
        if (m_eof) {
            m_pos = m_end;
            if (avail == 0)
                return false;
            if (!m_overlong &&
                ParseRecordingLine(start, avail, line.bytes) != ELineKind::Malformed) {
                line.number = ++m_line;
                line.kind = ParseRecordingLine(start, avail, line.bytes);
                return true;
            }
            m_cutOff = m_overlongBytes + qint64(avail);
            return false;
        }
        if (m_pos == 0 && m_end == m_buf.size()) {
            // No line end in a whole buffer: not a recording line. Read on
            // to its end without keeping it.
            m_overlong = true;
            m_overlongBytes += qint64(m_end);
            m_end = 0;
        }
        if (!Fill())
            return false;
    }
}
