// tovrel-ports: shows which serial devices this machine has and what COM1 to
// COM16 stand for, and makes or removes the COMn links the panel follows.
// It only ever creates or removes links named comN in the port-map folder.

#include "platform/PortInfo.h"
#include "platform/PortMap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <unistd.h>

namespace {

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

const char kUsage[] =
    "Usage: tovrel-ports [COMMAND]\n"
    "Shows the serial devices of this machine and what the panel's COM1 to COM16 stand\n"
    "for, and links a COMn to a device.\n"
    "\n"
    "Commands:\n"
    "  (none)              list the serial devices found and what COM1 to COM16 stand\n"
    "                      for\n"
    "  set COMn DEVICE     make COMn the device (by its /dev/serial/by-id name where it\n"
    "                      has one)\n"
    "  unset COMn          remove the link: COMn is /dev/ttyS(n-1) again\n"
    "  folder              print the port-map folder\n"
    "  -h, --help          print this help and exit\n"
    "      --version       print the version and exit\n"
    "\n"
    "DEVICE is a path (/dev/ttyUSB0) or a name in /dev (ttyUSB0).\n"
    "The links are comN in ~/.local/share/应用程序向导生成的本地应用程序/Tovrel/ports\n"
    "(under $XDG_DATA_HOME when that is set); nothing else there is touched.\n"
    "\n"
    "Exit status: 0 when done, 1 when refused (the reason on stderr), 2 for bad usage.\n";

void Out(const QString& text) {
    std::fputs(qPrintable(text + u'\n'), stdout);
}

int Refuse(const QString& text) {
    std::fprintf(stderr, "tovrel-ports: %s\n", qPrintable(text));
    return 1;
}

int Usage(const QString& problem) {
    std::fprintf(stderr, "tovrel-ports: %s\n%s", qPrintable(problem), kUsage);
    return 2;
}

QString NodeText(DeviceFacts::ENode node) {
    using N = DeviceFacts::ENode;
    switch (node) {
    case N::Directory:
        return QStringLiteral("directory");
    case N::RegularFile:
        return QStringLiteral("regular file");
    case N::Fifo:
        return QStringLiteral("named pipe");
    case N::Socket:
        return QStringLiteral("socket");
    case N::BlockDevice:
        return QStringLiteral("block device");
    case N::CharDevice:
        return QStringLiteral("character device that is no serial line");
    case N::None:
        break;
    }
    return QStringLiteral("unknown kind of file");
}

QString AccessReason(const DeviceFacts& f) {
    if (f.access == EPortAccess::NotInGroup && f.groupListsUser)
        return QStringLiteral("group %1 lists %2, but this login is not in it yet: log in again")
            .arg(f.groupName, f.userName);
    if (f.access == EPortAccess::NotInGroup)
        return QStringLiteral("not in group %1 (sudo adduser %2 %1, then log in again)")
            .arg(f.groupName, f.userName);
    return QStringLiteral("%1, owner %2, group %3")
        .arg(ModeText(f.permissions.mode), f.ownerName, f.groupName);
}

// Whether the path is there, and what stands in the way if it cannot serve.
QString StateText(const DeviceFacts& f) {
    using S = DeviceFacts::EState;
    switch (f.state) {
    case S::Missing:
        return QStringLiteral("missing");
    case S::Unreachable:
        return QStringLiteral("cannot be reached: %1")
            .arg(QString::fromLocal8Bit(strerror(f.error)));
    case S::NotSerial:
        return QStringLiteral("not a serial port (%1)").arg(NodeText(f.node));
    case S::NoAccess:
        return QStringLiteral("present, may not open: %1").arg(AccessReason(f));
    case S::Usable:
        break;
    }
    return QStringLiteral("present");
}

bool IsSerialLine(const DeviceFacts& f) {
    return f.state == DeviceFacts::EState::Usable || f.state == DeviceFacts::EState::NoAccess;
}

QString OrDash(const QString& text) {
    return text.isEmpty() ? QStringLiteral("-") : text;
}

struct MapState {
    QString dir;
    std::vector<PortMapEntry> entries;
    std::vector<DeviceFacts> facts; // of each entry's device
};

MapState ReadMap() {
    MapState map;
    map.dir = PortMapDir();
    for (int n = 1; n <= kComPortCount; ++n) {
        map.entries.push_back(ReadPortMapEntry(map.dir, n));
        map.facts.push_back(ExamineDevice(map.entries.back().device));
    }
    return map;
}

int List() {
    const MapState map = ReadMap();

    // The devices Qt's scan finds, then the serial lines the map links to
    // that the scan does not report (pseudo-terminals, for one).
    struct Device {
        QString path;
        DeviceFacts facts;
        std::optional<QSerialPortInfo> info;
        QString via;
    };
    std::vector<Device> devices;
    std::map<QString, size_t> byNode;
    const auto add = [&](Device d) {
        const QString node = d.facts.canonical.isEmpty() ? d.path : d.facts.canonical;
        if (byNode.count(node))
            return;
        byNode[node] = devices.size();
        devices.push_back(std::move(d));
    };
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        add({info.systemLocation(), ExamineDevice(info.systemLocation()), info, {}});
    for (size_t i = 0; i < map.entries.size(); ++i)
        if (map.entries[i].kind == PortMapEntry::EKind::Link && IsSerialLine(map.facts[i]))
            add({map.facts[i].canonical, ExamineDevice(map.facts[i].canonical), std::nullopt,
                 QStringLiteral("COM%1").arg(map.entries[i].n)});

    Out(QStringLiteral("Serial devices:"));
    if (devices.empty())
        Out(QStringLiteral("  none found"));
    for (const Device& d : devices) {
        Out(QStringLiteral("  %1%2").arg(
            d.path,
            d.info ? QString()
                   : QStringLiteral(" (not found by the port scan; %1 links to it)").arg(d.via)));
        Out(QStringLiteral("    by-id:          %1")
                .arg(OrDash(ByIdPathFor(d.path, QString::fromLatin1(kSerialByIdDir)))));
        QString usbIds;
        if (d.info && d.info->hasVendorIdentifier() && d.info->hasProductIdentifier())
            usbIds = QStringLiteral("%1:%2")
                         .arg(d.info->vendorIdentifier(), 4, 16, QLatin1Char('0'))
                         .arg(d.info->productIdentifier(), 4, 16, QLatin1Char('0'));
        Out(QStringLiteral("    description:    %1")
                .arg(OrDash(d.info ? d.info->description() : QString())));
        Out(QStringLiteral("    manufacturer:   %1")
                .arg(OrDash(d.info ? d.info->manufacturer() : QString())));
        Out(QStringLiteral("    serial number:  %1")
                .arg(OrDash(d.info ? d.info->serialNumber() : QString())));
        Out(QStringLiteral("    USB VID:PID:    %1").arg(OrDash(usbIds)));
        Out(QStringLiteral("    may open:       %1")
                .arg(d.facts.state == DeviceFacts::EState::Usable ? QStringLiteral("yes")
                     : d.facts.state == DeviceFacts::EState::NoAccess
                         ? QStringLiteral("no, ") + AccessReason(d.facts)
                         : StateText(d.facts)));
        QStringList coms;
        for (size_t i = 0; i < map.entries.size(); ++i) {
            if (map.facts[i].canonical.isEmpty() || map.facts[i].canonical != d.facts.canonical)
                continue;
            coms << QStringLiteral("COM%1%2")
                        .arg(map.entries[i].n)
                        .arg(map.entries[i].kind == PortMapEntry::EKind::Link
                                 ? QString()
                                 : QStringLiteral(" (no link)"));
        }
        Out(QStringLiteral("    mapped to:      %1")
                .arg(coms.isEmpty()
                         ? QStringLiteral("none (tovrel-ports set COMn %1)")
                               .arg(StableDevicePath(d.path, QString::fromLatin1(kSerialByIdDir)))
                         : coms.join(QStringLiteral(", "))));
    }

    Out(QString());
    Out(QStringLiteral("COM1 to COM16, links in %1:").arg(map.dir));
    for (size_t i = 0; i < map.entries.size(); ++i) {
        const PortMapEntry& e = map.entries[i];
        const QString com = QStringLiteral("COM%1").arg(e.n).leftJustified(6);
        switch (e.kind) {
        case PortMapEntry::EKind::Link:
            Out(QStringLiteral("  %1-> %2: %3").arg(com, e.linkText, StateText(map.facts[i])));
            break;
        case PortMapEntry::EKind::None:
            Out(QStringLiteral("  %1no link, so %2: %3")
                    .arg(com, e.device, StateText(map.facts[i])));
            break;
        case PortMapEntry::EKind::NotALink:
            Out(QStringLiteral("  %1com%2 is not a link (left alone), so %3: %4")
                    .arg(com)
                    .arg(e.n)
                    .arg(e.device, StateText(map.facts[i])));
            break;
        }
    }
    return 0;
}

// The COM number of an argument. Anything but COM1 to COM16 is bad usage,
// as it is for the simulated device's --port: no state of the machine makes
// it right.
std::optional<int> ComArgument(const QString& text, int& status) {
    const std::optional<int> n = ParseComNumber(text);
    if (!n) {
        status = Usage(QStringLiteral("'%1' is not a COM port; use COM1 to COM16").arg(text));
        return std::nullopt;
    }
    if (!IsComInMap(*n)) {
        status = Usage(QStringLiteral("%1 is outside COM1 to COM16").arg(text.toUpper()));
        return std::nullopt;
    }
    return n;
}

// A bare name that is nothing here means a name in /dev, as people name
// ports ("ttyUSB0"); a refusal then names /dev/ttyUSB0, which is what was meant.
QString DeviceArgument(const QString& text) {
    const QFileInfo here(text);
    if (!text.contains(u'/') && !here.exists() && !here.isSymLink())
        return QStringLiteral("/dev/") + text;
    return QDir::cleanPath(QDir::current().absoluteFilePath(text));
}

int Set(const QString& comText, const QString& deviceText) {
    int status = 0;
    const std::optional<int> n = ComArgument(comText, status);
    if (!n)
        return status;
    const QString dir = PortMapDir();
    const PortMapEntry entry = ReadPortMapEntry(dir, *n);
    const QString device = DeviceArgument(deviceText);
    if (PathLeadsThrough(device, entry.link))
        return Refuse(QStringLiteral("COM%1 would point to itself: %2 leads to its own link %3")
                          .arg(*n)
                          .arg(device, entry.link));
    const DeviceFacts facts = ExamineDevice(device);
    if (!IsSerialLine(facts)) {
        if (facts.state == DeviceFacts::EState::Missing)
            return Refuse(QStringLiteral("no such device: %1").arg(device));
        if (facts.state == DeviceFacts::EState::NotSerial)
            return Refuse(
                QStringLiteral("%1 is not a serial port (%2)").arg(device, NodeText(facts.node)));
        return Refuse(QStringLiteral("%1 %2").arg(device, StateText(facts)));
    }
    if (entry.kind == PortMapEntry::EKind::NotALink)
        return Refuse(QStringLiteral("%1 is not a link; it is left alone").arg(entry.link));

    const QString target = StableDevicePath(device, QString::fromLatin1(kSerialByIdDir));
    QString error;
    if (!PlacePortMapLink(dir, *n, target, error))
        return Refuse(error);
    Out(QStringLiteral("COM%1 -> %2%3")
            .arg(*n)
            .arg(target, target == facts.canonical ? QString()
                                                   : QStringLiteral(" (%1)").arg(facts.canonical)));
    if (facts.state == DeviceFacts::EState::NoAccess)
        Out(QStringLiteral("note: you may not open it yet: %1").arg(AccessReason(facts)));
    return 0;
}

int Unset(const QString& comText) {
    int status = 0;
    const std::optional<int> n = ComArgument(comText, status);
    if (!n)
        return status;
    const PortMapEntry entry = ReadPortMapEntry(PortMapDir(), *n);
    switch (entry.kind) {
    case PortMapEntry::EKind::None:
        Out(QStringLiteral("COM%1 has no link; it is %2").arg(*n).arg(entry.device));
        return 0;
    case PortMapEntry::EKind::NotALink:
        return Refuse(QStringLiteral("%1 is not a link; it is left alone").arg(entry.link));
    case PortMapEntry::EKind::Link:
        break;
    }
    if (::unlink(QFile::encodeName(entry.link).constData()) != 0)
        return Refuse(QStringLiteral("cannot remove %1: %2")
                          .arg(entry.link, QString::fromLocal8Bit(strerror(errno))));
    Out(QStringLiteral("COM%1 link removed; COM%1 is /dev/ttyS%2 again").arg(*n).arg(*n - 1));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetTovrelApplicationNames();
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);

    if (args.isEmpty())
        return List();
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::puts("tovrel-ports " TOVREL_VERSION);
        return 0;
    }
    if (command == "folder" && args.size() == 1) {
        Out(PortMapDir());
        return 0;
    }
    if (command == "set" && args.size() == 3)
        return Set(args[1], args[2]);
    if (command == "unset" && args.size() == 2)
        return Unset(args[1]);
    if (command == "set" || command == "unset" || command == "folder")
        return Usage(QStringLiteral("wrong number of arguments for '%1'").arg(command));
    if (command.startsWith(u'-'))
        return Usage(QStringLiteral("unknown option '%1'").arg(command));
    return Usage(QStringLiteral("unknown command '%1'").arg(command));
}
