#include "tools/export/CsvWriter.h"

#include "acquisition/Record.h"

#include <algorithm>
#include <charconv>

namespace {

char* PutUnsigned(char* p, uint64_t v) {
    return std::to_chars(p, p + 24, v).ptr;
}

char* PutInt(char* p, int64_t v) {
    return std::to_chars(p, p + 24, v).ptr;
}

template <size_t N> char* PutText(char* p, const char (&text)[N]) {
    return std::copy(text, text + N - 1, p);
}

} // namespace

int FormatMicroseconds(int64_t us, char* out) {
    char* p = out;
    if (us < 0) {
        *p++ = '-';
        us = -us;
    }
    p = PutUnsigned(p, uint64_t(us / 1000000));
    *p++ = '.';
    int64_t frac = us % 1000000;
    for (int d = 5; d >= 0; --d) {
        p[d] = char('0' + frac % 10);
        frac /= 10;
    }
    p += 6;
    return int(p - out);
}

char* FormatCsvRow(const SCsvRow& r, const int* markers, size_t markerCount, char* p) {
    p = PutUnsigned(p, r.line);
    *p++ = ',';
    p += FormatMicroseconds(r.timeUs, p);
    if (r.good) {
        for (int s = 0; s < kEdfSignalCount; ++s) {
            *p++ = ',';
            p = PutUnsigned(p, r.raw[s]);
        }
        for (int s = 0; s < 4; ++s) {
            *p++ = ',';
            p = PutUnsigned(p, r.raw[s] / kSampleDivisor);
        }
        *p++ = ',';
        p = PutInt(p, r.calibration ? CalibratePressure(r.raw[4], r.coef1) : r.raw[4]);
        *p++ = ',';
        p = PutInt(p, r.calibration ? CalibratePressure(r.raw[5], r.coef2) : r.raw[5]);
    } else {
        for (int s = 0; s < kEdfSignalCount + 6; ++s)
            *p++ = ',';
    }
    *p++ = ',';
    for (size_t n = 0; n < markerCount; ++n) {
        if (n > 0)
            *p++ = ';';
        p = PutInt(p, markers[n]);
    }
    *p++ = ',';
    if (r.markerMissing)
        p = PutText(p, "no-marker-byte");
    else if (!r.good)
        p = PutText(p, "malformed");
    *p++ = '\n';
    return p;
}

bool CCsvWriter::Open(const QString& path, QString& error) {
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        error = m_file.errorString();
        return false;
    }
    m_buf.resize(kBufferBytes);
    m_fill = 0;
    return true;
}

char* CCsvWriter::Reserve(size_t bytes, QString& error) {
    if (m_fill + bytes > m_buf.size() && !Flush(error))
        return nullptr;
    if (bytes > m_buf.size())
        m_buf.resize(bytes);
    return m_buf.data() + m_fill;
}

bool CCsvWriter::Flush(QString& error) {
    if (m_fill > 0 && m_file.write(m_buf.data(), qint64(m_fill)) != qint64(m_fill)) {
        error = m_file.errorString();
        return false;
    }
    m_fill = 0;
    return true;
}

bool CCsvWriter::Close(QString& error) {
    if (!Flush(error))
        return false;
    m_file.close();
    return true;
}
