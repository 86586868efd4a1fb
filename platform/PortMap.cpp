#include "platform/PortMap.h"

#include "platform/PortInfo.h"

#include <QCoreApplication>
#include <QStandardPaths>

void SetTovrelApplicationNames() {
    QCoreApplication::setOrganizationName(QString::fromUtf8(kTovrelOrganization));
    QCoreApplication::setApplicationName(QString::fromUtf8(kTovrelApplication));
}

QString PortMapDir() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/ports");
}

QString PortMapLink(int n) {
    return PortMapDir() + QStringLiteral("/com%1").arg(n);
}

QString PortDevicePath(int n) {
    return ReadPortMapEntry(PortMapDir(), n).device;
}
