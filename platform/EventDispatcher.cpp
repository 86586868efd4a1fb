#include "platform/EventDispatcher.h"

#include <QByteArray>
#include <QtGlobal>

void UseQtEventDispatcher() {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}
