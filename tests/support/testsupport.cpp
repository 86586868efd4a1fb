#include "support/testsupport.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <ctime>

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
