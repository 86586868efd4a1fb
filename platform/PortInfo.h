#pragma once
// What an operator needs to find the device behind COMn: whether what a COMn
// stands for (platform/PortMap.h) is a serial line this user may open, and,
// when it is not, why. The facts only, as data: the panel's hint after a
// failed opening and the tovrel-ports tool each put them in words.
#include <QString>
#include <sys/types.h>
#include <vector>

// Where udev keeps the names that stay with a USB adapter across re-plugging.
inline constexpr const char* kSerialByIdDir = "/dev/serial/by-id";

// Whether a link followed hop by hop from path reaches linkPath (or path is
// linkPath itself): a COMn link made so would point to itself.
bool PathLeadsThrough(const QString& path, const QString& linkPath);

// The name in byIdDir that leads to the same node as device (the first in
// name order), or an empty text when there is none or no such folder.
QString ByIdPathFor(const QString& device, const QString& byIdDir);
// What a COMn link should point to: the by-id name where there is one, so
// the adapter keeps its number, else the device node itself.
QString StableDevicePath(const QString& device, const QString& byIdDir);

// Who asks: the process's effective user and every group it is in now.
struct PortUser {
    uid_t uid = 0;
    std::vector<gid_t> groups; // the effective group and the supplementary ones
    QString name;              // the login name, or the number
};
PortUser CurrentPortUser();

struct NodePermissions {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
};
enum class EPortAccess {
    Allowed,
    NotInGroup, // the device's group may read and write it; the user is not in that group
    Denied,     // the bits that apply to this user withhold reading or writing
};
// Whether user may open the node for reading and writing by its permission
// bits, as the kernel applies them: owner bits for the owner, else group bits
// for a member, else the others' bits; the superuser always may.
EPortAccess AccessByPermissions(const NodePermissions& node, const PortUser& user);

// Whether the character device major:minor is a serial line (a UART, a USB
// adapter, a modem line) or a pseudo-terminal's slave, by the kernel's table
// of tty drivers (/proc/tty/drivers): consoles, /dev/tty and the like are not.
bool IsSerialLineDevice(const QString& ttyDrivers, unsigned major, unsigned minor);

// "crw-rw----" for a mode, as ls shows it.
QString ModeText(mode_t mode);

// What a path leads to, for the process that asks.
struct DeviceFacts {
    enum class EState {
        Missing,     // nothing there (or a link to nothing)
        Unreachable, // a loop of links, or a folder on the way that may not be searched
        NotSerial,   // something that is no serial line
        NoAccess,    // a serial line this user may not open
        Usable,
    };
    enum class ENode { None, Directory, RegularFile, Fifo, Socket, BlockDevice, CharDevice };
    QString path;      // as asked
    QString canonical; // the node it leads to, once it exists
    EState state = EState::Missing;
    ENode node = ENode::None;
    int error = 0; // errno of the lookup when Missing or Unreachable
    NodePermissions permissions;
    QString ownerName, groupName; // names, or numbers without a name
    EPortAccess access = EPortAccess::Allowed;
    // The group database lists the user in the device's group although this
    // login is not in it: joined since logging in.
    bool groupListsUser = false;
    QString userName;
};
DeviceFacts ExamineDevice(const QString& path);
