#include "support/testsupport.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QThread>

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
