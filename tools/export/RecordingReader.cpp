#include "tools/export/RecordingReader.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<int8_t, 256> MakeHexTable() {
    std::array<int8_t, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[size_t(i)] = -1;
    for (int i = 0; i < 10; ++i)
        t[size_t('0' + i)] = int8_t(i);
    for (int i = 0; i < 6; ++i) {
        t[size_t('A' + i)] = int8_t(10 + i);
        t[size_t('a' + i)] = int8_t(10 + i);
    }
    return t;
}
constexpr std::array<int8_t, 256> kHex = MakeHexTable();

} // namespace

ELineKind ParseRecordingLine(const char* text, size_t length, uint8_t out[kLineRecordBytes]) {
    if (length > 0 && text[length - 1] == '\r')
        --length;
    if (length != size_t(kLineTextBytes))
        return ELineKind::Malformed;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    int bad = 0;
    for (int i = 0; i < kLineRecordBytes; ++i, p += 3) {
        const int hi = kHex[p[0]], lo = kHex[p[1]];
        bad |= hi | lo | (p[2] == ' ' ? 0 : -1);
        out[i] = uint8_t(hi << 4 | lo);
    }
    if (bad < 0)
        return ELineKind::Malformed;
    return out[1] == ':' ? ELineKind::Record : ELineKind::MarkerMissing;
}

CRecordingReader::CRecordingReader(QIODevice& in, size_t bufferBytes)
    : m_in(in), m_buf(std::max<size_t>(bufferBytes, size_t(kLineBytes) * 2)) {}

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
