#pragma once
// The record's layout lives in RecordFormat.h; what the panel makes of a
// record is here.
#include "acquisition/RecordFormat.h"

#include <QString>
#include <cstdint>

// The device sends samples at 20 times the resolution the strip windows plot.
inline constexpr int kSampleDivisor = 20;

// One record as the panel uses it: four samples (pulse 1, pulse 2, ECG, heart
// sound), already divided for plotting, and the two raw pressures.
struct SDecodedRecord {
    bool valid;                       // marker in place; otherwise nothing else is set
    uint16_t samples[kRecordSamples]; // 0 to 3276
    int32_t stress1;                  // wStressTmp1, 0 to 65535
    int32_t stress2;                  // wStressTmp2, 0 to 65535
};

// Reads bytes 0 to 14 of rec. Bytes 0 and 14 carry nothing the panel shows.
SDecodedRecord DecodeRecord(const uint8_t* rec);

// Calibration-mode pressure: raw / coef, truncating toward zero. The operator
// may enter a coefficient of 0; the channel then shows the raw value
// undivided rather than failing.
int32_t CalibratePressure(int32_t raw, int32_t coef);

// The history line written for every decoded record in calibration mode, in
// the language in force when the calling thread last found it changed.
QString FormatCalibrationLine(int32_t stressTmp1, int32_t stressTmp2, int32_t coef1, int32_t coef2,
                              int32_t pressure1, int32_t pressure2);

// Has every thread look the line's format up again at its next line: for a
// change of language.
void ReloadRecordTexts();
