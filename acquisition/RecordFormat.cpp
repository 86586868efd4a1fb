#include "acquisition/RecordFormat.h"

#include <array>

namespace {

// A table rather than comparisons: the export reads a gigabyte an hour of
// recording through it.
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

int HexDigit(char c) {
    return kHex[uint8_t(c)];
}

bool IsGap(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

} // namespace

uint8_t RecordChecksum(const uint8_t* rec) {
    uint8_t sum = 0;
    for (int j = 0; j < kRecordCheckPos; ++j)
        sum = uint8_t(sum + rec[j]);
    return sum;
}

void FormatRecordLine(const uint8_t* rec, char out[kRecordLineSize]) {
    static const char kDigits[] = "0123456789ABCDEF";
    char* p = out;
    for (int i = 0; i < kRecordSize; ++i) {
        *p++ = kDigits[rec[i] >> 4];
        *p++ = kDigits[rec[i] & 0x0F];
        *p++ = ' ';
    }
    *p++ = '\r';
    *p = '\n';
}

ELineKind ParseRecordingLine(const char* text, size_t length, uint8_t out[kRecordSize]) {
    if (length > 0 && text[length - 1] == '\r')
        --length;
    if (length != size_t(kRecordLineText))
        return ELineKind::Malformed;
    int bad = 0;
    for (int i = 0; i < kRecordSize; ++i, text += 3) {
        const int hi = HexDigit(text[0]), lo = HexDigit(text[1]);
        bad |= hi | lo | (text[2] == ' ' ? 0 : -1);
        out[i] = uint8_t(hi << 4 | lo);
    }
    if (bad < 0)
        return ELineKind::Malformed;
    return out[kRecordMarkerPos] == kRecordMarker ? ELineKind::Record : ELineKind::MarkerMissing;
}

bool ParseRecordingLineLeniently(const char* text, size_t length, uint8_t out[kRecordSize]) {
    int count = 0;
    for (size_t i = 0; i < length;) {
        if (IsGap(text[i])) {
            ++i;
            continue;
        }
        if (count == kRecordSize || i + 1 >= length)
            return false;
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || (i + 2 < length && !IsGap(text[i + 2])))
            return false;
        out[count++] = uint8_t(hi << 4 | lo);
        i += 2;
    }
    return count == kRecordSize;
}
