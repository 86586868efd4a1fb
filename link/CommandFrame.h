#pragma once
#include <QByteArray>
#include <cstdint>

// Frames the panel sends to the device: start byte, command byte, zero or two
// argument bytes, and the 8-bit sum of everything before it. The device takes
// no length and no terminator; it knows each command's size.

inline constexpr std::uint8_t kFrameStart = 0xF0;

inline constexpr std::uint8_t kCmdCalibMode = 0x4A;    // 'J'
inline constexpr std::uint8_t kCmdDownloadCoef = 0x41; // 'A', coefficient 1, coefficient 2
inline constexpr std::uint8_t kCmdStartSample = 0x32;  // '2'
inline constexpr std::uint8_t kCmdStopSample = 0x33;   // '3'
inline constexpr std::uint8_t kCmdZero = 0x40;         // '@'
inline constexpr std::uint8_t kCmdAmplify = 0x34;      // '4', pulse 1 gain, pulse 2 gain

// Sum of the bytes, modulo 256.
std::uint8_t FrameChecksum(const QByteArray& bytes);

// A 3-byte frame: start, command, checksum.
QByteArray BuildCommandFrame(std::uint8_t command);
// A 5-byte frame; each argument contributes its low 8 bits.
QByteArray BuildCommandFrame(std::uint8_t command, std::uint32_t arg1, std::uint32_t arg2);
