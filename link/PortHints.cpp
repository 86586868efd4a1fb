#include "link/PortHints.h"

#include <QCoreApplication>

QString OpenFailureHint(const PortMapEntry& entry, const DeviceFacts& facts) {
    using S = DeviceFacts::EState;
    const QString tool = QCoreApplication::translate(
                             "PortHints", "运行tovrel-ports可列出找到的串口设备,用tovrel-ports set "
                                          "COM%1 设备路径 ")
                             .arg(entry.n);
    switch (facts.state) {
    case S::Missing:
        if (entry.kind == PortMapEntry::EKind::Link)
            return QCoreApplication::translate("PortHints",
                                               "COM%1链接到%2,该设备不存在(设备未连接?);%3重新设定")
                .arg(entry.n)
                .arg(entry.device, tool);
        return QCoreApplication::translate("PortHints",
                                           "COM%1未设置链接%2,即%3,该设备不存在;%4设定COM%1")
            .arg(entry.n)
            .arg(entry.kind == PortMapEntry::EKind::NotALink
                     ? QCoreApplication::translate("PortHints", "(%1不是链接)").arg(entry.link)
                     : QString(),
                 entry.device, tool);
    case S::NoAccess:
        if (facts.access == EPortAccess::NotInGroup && facts.groupListsUser)
            return QCoreApplication::translate(
                       "PortHints", "当前用户%1已加入%2组,但本次登录尚未生效,无权打开%3;请重新登录")
                .arg(facts.userName, facts.groupName, facts.path);
        if (facts.access == EPortAccess::NotInGroup)
            return QCoreApplication::translate(
                       "PortHints", "当前用户%1不在%2组,无权打开%3;执行sudo adduser %1 %2,"
                                    "重新登录后生效")
                .arg(facts.userName, facts.groupName, facts.path);
        return QCoreApplication::translate("PortHints",
                                           "当前用户%1无权读写%2(权限%3,所有者%4,组%5)")
            .arg(facts.userName, facts.path, ModeText(facts.permissions.mode), facts.ownerName,
                 facts.groupName);
    case S::Unreachable:
    case S::NotSerial:
    case S::Usable:
        break;
    }
    return {};
}

QString OpenFailureHintFor(int n) {
    const PortMapEntry entry = ReadPortMapEntry(PortMapDir(), n);
    return OpenFailureHint(entry, ExamineDevice(entry.device));
}
