#include "platform/PortMap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <unistd.h>

void SetTovrelApplicationNames() {
    QCoreApplication::setOrganizationName(QString::fromUtf8(kTovrelOrganization));
    QCoreApplication::setApplicationName(QString::fromUtf8(kTovrelApplication));
}

std::optional<int> ParseComNumber(const QString& text) {
    static const QRegularExpression com(QStringLiteral("^COM([0-9]{1,9})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = com.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toInt();
}

QString PortMapDir() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/ports");
}

QString PortMapLink(const QString& dir, int n) {
    return dir + QStringLiteral("/com%1").arg(n);
}

QString PortMapLink(int n) {
    return PortMapLink(PortMapDir(), n);
}

PortMapEntry ReadPortMapEntry(const QString& dir, int n) {
    PortMapEntry e;
    e.n = n;
    e.link = PortMapLink(dir, n);
    const QFileInfo info(e.link);
    if (info.isSymLink()) {
        e.kind = PortMapEntry::EKind::Link;
        e.device = info.symLinkTarget();
        char buf[4096];
        const ssize_t len = ::readlink(QFile::encodeName(e.link).constData(), buf, sizeof buf);
        e.linkText = len > 0 ? QFile::decodeName(QByteArray(buf, len)) : e.device;
        return e;
    }
    if (info.exists())
        e.kind = PortMapEntry::EKind::NotALink;
    e.device = QStringLiteral("/dev/ttyS%1").arg(n - 1);
    return e;
}

QString PortDevicePath(int n) {
    return ReadPortMapEntry(PortMapDir(), n).device;
}

bool PlacePortMapLink(const QString& dir, int n, const QString& target, QString& error) {
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("cannot create the port-map folder %1").arg(dir);
        return false;
    }
    const QByteArray link = QFile::encodeName(PortMapLink(dir, n));
    const QByteArray temporary = link + ".new." + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    const auto failed = [&](const char* what, const QByteArray& path) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        error = QStringLiteral("cannot %1 link %2: %3")
                    .arg(QLatin1String(what), QFile::decodeName(path), reason);
        return false;
    };
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0)
        return failed("create", temporary);
    if (::rename(temporary.constData(), link.constData()) != 0) {
        failed("place", link);
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}
