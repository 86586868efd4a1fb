#include "support/testsupport.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <ctime>
#include <unistd.h>

double ProcessCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int RunEventLoopFor(int ms) {
    int wakeups = 0;
    QAbstractEventDispatcher* dispatcher = QThread::currentThread()->eventDispatcher();
    const QMetaObject::Connection counter =
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++wakeups; });
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counter);
    return wakeups;
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
