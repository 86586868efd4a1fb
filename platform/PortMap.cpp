#include "platform/PortMap.h"

#include <QCoreApplication>
#include <QFileInfo>
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
    const QFileInfo link(PortMapLink(n));
    if (link.isSymLink())
        return link.symLinkTarget();
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}
