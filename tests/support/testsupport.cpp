#include "support/testsupport.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <unistd.h>

int EventLoopPassesUntilIdle(int limit) {
    QAbstractEventDispatcher* dispatcher = QThread::currentThread()->eventDispatcher();
    int passes = 0;
    while (passes < limit && dispatcher->processEvents(QEventLoop::AllEvents))
        ++passes;
    return passes;
}

bool WaitWithoutEvents(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::usleep(200);
    }
    return true;
}

SSmallDisk::SSmallDisk(int kib) {
    const QString opts = QStringLiteral("size=%1k").arg(kib);
    mounted = dir.isValid() && ::geteuid() == 0 &&
              QProcess::execute("mount", {"-t", "tmpfs", "-o", opts, "tmpfs", dir.path()}) == 0;
}

SSmallDisk::~SSmallDisk() {
    if (mounted)
        QProcess::execute("umount", {"-l", dir.path()});
}
