#include "link/CommandFrame.h"

std::uint8_t FrameChecksum(const QByteArray& bytes) {
    std::uint8_t sum = 0;
    for (char c : bytes)
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    return sum;
}

namespace {
QByteArray Finish(QByteArray frame) {
    frame.append(static_cast<char>(FrameChecksum(frame)));
    return frame;
}
} // namespace

QByteArray BuildCommandFrame(std::uint8_t command) {
    QByteArray frame;
    frame.append(static_cast<char>(kFrameStart));
    frame.append(static_cast<char>(command));
    return Finish(frame);
}

QByteArray BuildCommandFrame(std::uint8_t command, std::uint32_t arg1, std::uint32_t arg2) {
    QByteArray frame;
    frame.append(static_cast<char>(kFrameStart));
    frame.append(static_cast<char>(command));
    frame.append(static_cast<char>(arg1 & 0xFFu));
    frame.append(static_cast<char>(arg2 & 0xFFu));
    return Finish(frame);
}
