#include "acquisition/Record.h"

#include <QCoreApplication>
#include <atomic>

namespace {
const char kCalibrationLineSource[] = QT_TRANSLATE_NOOP(
    "Record",
    "原始压力值wStressTmp1=%d,wStressTmp2=%d,压力系数1=%d,压力系数2=%d,新的压力值1=%d,2=%d");

// Counts the changes of language; each thread that formats lines looks the
// format up again when it finds the count changed.
std::atomic<unsigned> g_language{0};

// The conversions of a printf format, in order ("%d%d..."): a translation
// must have the source's, or formatting it would read arguments that are
// not there.
QByteArray Conversions(const QByteArray& format) {
    QByteArray c;
    for (qsizetype i = 0; i + 1 < format.size(); ++i)
        if (format[i] == '%') {
            c += format.mid(i, 2);
            ++i;
        }
    return c;
}

// The calibration line's format in the language in force, as UTF-8. In
// calibration mode the worker writes some 560 lines a second: the format is
// translated once per language, not for every line.
const QByteArray& CalibrationLineFormat() {
    thread_local unsigned language = ~0u;
    thread_local QByteArray format;
    const unsigned now = g_language.load(std::memory_order_acquire);
    if (language != now) {
        const QByteArray translated =
            QCoreApplication::translate("Record", kCalibrationLineSource).toUtf8();
        format = Conversions(translated) == Conversions(kCalibrationLineSource)
                     ? translated
                     : QByteArray(kCalibrationLineSource);
        language = now;
    }
    return format;
}
} // namespace

void ReloadRecordTexts() {
    g_language.fetch_add(1, std::memory_order_release);
}

SDecodedRecord DecodeRecord(const uint8_t* rec) {
    SDecodedRecord d{};
    if (rec[kRecordMarkerPos] != kRecordMarker)
        return d;
    d.valid = true;
    for (int k = 0; k < kRecordSamples; ++k)
        d.samples[k] = uint16_t(RecordValue(rec, k) / kSampleDivisor);
    d.stress1 = RecordValue(rec, kValuePressure1);
    d.stress2 = RecordValue(rec, kValuePressure2);
    return d;
}

int32_t CalibratePressure(int32_t raw, int32_t coef) {
    if (coef == 0)
        return raw;
    // Widened so that no pair of 32-bit inputs can overflow (INT32_MIN / -1).
    return int32_t(int64_t(raw) / int64_t(coef));
}

QString FormatCalibrationLine(int32_t stressTmp1, int32_t stressTmp2, int32_t coef1, int32_t coef2,
                              int32_t pressure1, int32_t pressure2) {
    return QString::asprintf(CalibrationLineFormat().constData(), int(stressTmp1), int(stressTmp2),
                             int(coef1), int(coef2), int(pressure1), int(pressure2));
}
