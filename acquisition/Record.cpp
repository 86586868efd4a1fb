#include "acquisition/Record.h"

namespace {
inline int32_t Word(const uint8_t* p) {
    return (int32_t(p[0]) << 8) | int32_t(p[1]);
}
} // namespace

SDecodedRecord DecodeRecord(const uint8_t* rec) {
    SDecodedRecord d{};
    if (rec[kRecordMarkerPos] != kRecordMarker)
        return d;
    d.valid = true;
    for (int k = 0; k < kRecordSamples; ++k)
        d.samples[k] = uint16_t(Word(rec + 2 + 2 * k) / kSampleDivisor);
    d.stress1 = Word(rec + 10);
    d.stress2 = Word(rec + 12);
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
    return QString::asprintf(
        "原始压力值wStressTmp1=%d,wStressTmp2=%d,压力系数1=%d,压力系数2=%d,新的压力值1=%d,2=%d",
        int(stressTmp1), int(stressTmp2), int(coef1), int(coef2), int(pressure1), int(pressure2));
}
