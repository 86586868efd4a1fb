#pragma once
// The serial side of the simulated device: a raw pseudo-terminal that the
// panel opens as COMn through a link in the port-map folder, and a bounded
// queue that paces records onto it.

#include "tools/SimDevice.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simdev {

// "/dev/pts/<number>" and nothing else.
bool IsPtySlavePath(std::string_view path);

enum class LinkCheck {
    Free,        // nothing at the path
    Replaceable, // a link to a missing file or to a pseudo-terminal
    RealDevice,  // a link to something that exists and is not a pseudo-terminal
    NotALink,    // a file or folder that is not a symbolic link
};
struct LinkInspection {
    LinkCheck check = LinkCheck::Free;
    std::string target; // where the existing link points, absolute
};
// Looks at what occupies linkPath, so a real adapter mapped to COMn is never
// taken over by the simulator (the link itself is made by PlacePortMapLink,
// platform/PortMap.h, as tovrel-ports makes it).
LinkInspection InspectPortLink(const std::string& linkPath);

// Removes linkPath only if it still points at target: another instance may
// have taken the port over meanwhile.
bool RemoveLinkIfPointsTo(const std::string& linkPath, const std::string& target);

struct Pty {
    int master = -1;
    int slave = -1; // kept open so the terminal survives the panel closing it
    std::string slavePath;
};
// Opens a pseudo-terminal in raw mode; the master is non-blocking.
bool OpenRawPty(Pty& pty, std::string& error);
void ClosePty(Pty& pty);

// Whole records waiting to be written. When the reader falls behind, new
// records are refused rather than queued, so memory stays bounded and the
// reader sees a gap in the running numbers, as it would on a real line.
class OutputQueue {
public:
    explicit OutputQueue(size_t capacityRecords) : m_capacity(capacityRecords * kRecordSize) {}
    bool HasRoom() const { return Size() + kRecordSize <= m_capacity; }
    bool Push(const Record& record);
    const uint8_t* Data() const { return m_bytes.data() + m_head; }
    size_t Size() const { return m_bytes.size() - m_head; }
    void Consume(size_t count);
    // Drops every record not yet begun and returns how many; the rest of a
    // record partly written stays, so the stream never breaks inside a
    // record. Bytes consumed without being written (a cut start) count as
    // begun.
    size_t DropUnstarted();
    void Clear() { Consume(Size()); }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_head = 0;
    size_t m_capacity;
    uint64_t m_consumed = 0;
};

// Records due after elapsedNs nanoseconds at `rate` records per second.
uint64_t RecordsDue(int64_t elapsedNs, double rate);

} // namespace simdev
