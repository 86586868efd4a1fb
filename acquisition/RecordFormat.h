#pragma once
// The device's record and the line a recording holds for it. The panel writes
// the line (CRecorder), the export reads it strictly, the simulated device
// replays it leniently and the benchmarks read it back: all of them through
// this file, so that the record's size and the line's length are said once.

#include <QtEndian>
#include <cstddef>
#include <cstdint>

// ---- the record ---------------------------------------------------------------

// The device streams these records back to back:
//   byte 0        a running number, which the panel does not read
//   byte 1        the marker ':'
//   bytes 2..13   six values, unsigned 16-bit, high byte first (ERecordValue)
//   byte 14       a check byte: where the device sends one, the 8-bit sum of
//                 bytes 0 to 13
inline constexpr int kRecordSize = 15;
// Byte 1 of every well-formed record; anything else means the stream is
// misaligned or damaged and the record is not shown.
inline constexpr uint8_t kRecordMarker = 0x3A; // ':'
inline constexpr int kRecordMarkerPos = 1;
inline constexpr int kRecordCheckPos = kRecordSize - 1;

// The values in the order the record carries them; the first four are the
// strip windows' samples.
enum ERecordValue : int {
    kValuePulse1,
    kValuePulse2,
    kValueEcg,
    kValueHeartSound,
    kValuePressure1,
    kValuePressure2,
    kRecordValues
};
inline constexpr int kRecordSamples = kValuePressure1;
inline constexpr int kRecordFirstValuePos = 2;

inline uint16_t RecordValue(const uint8_t* rec, int value) {
    return qFromBigEndian<quint16>(rec + kRecordFirstValuePos + 2 * value);
}
inline void SetRecordValue(uint8_t* rec, int value, uint16_t v) {
    qToBigEndian<quint16>(v, rec + kRecordFirstValuePos + 2 * value);
}

// The 8-bit sum of bytes 0 to 13, and whether byte 14 holds it.
uint8_t RecordChecksum(const uint8_t* rec);
inline bool RecordChecksumOk(const uint8_t* rec) {
    return RecordChecksum(rec) == rec[kRecordCheckPos];
}

// ---- the line of a recording ------------------------------------------------------

// Each byte as two upper-case hexadecimal digits and a space, then CR LF.
inline constexpr int kRecordLineText = 3 * kRecordSize; // without the line end
inline constexpr int kRecordLineSize = kRecordLineText + 2;

// Fills out[0..46] with the line for rec (no terminating NUL).
void FormatRecordLine(const uint8_t* rec, char out[kRecordLineSize]);

enum class ELineKind {
    Record,        // a whole record with the marker ':' in byte 1
    MarkerMissing, // a whole record, byte 1 something else
    Malformed,     // wrong length, or not byte pairs in hexadecimal
};

// Strict, for the export and the checks: one line's text without its LF (a
// CR before it is allowed and left out), as the panel writes it but for the
// case of the digits.
ELineKind ParseRecordingLine(const char* text, size_t length, uint8_t out[kRecordSize]);

// Lenient, for replaying a file someone may have edited: 15 byte pairs in
// either case, separated by any run of blanks, tabs or CRs, with or without
// them at the ends. False when the line is not exactly one record.
bool ParseRecordingLineLeniently(const char* text, size_t length, uint8_t out[kRecordSize]);
