#include "platform/Pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace platform {

void ProcessMessages()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitForEvents(int ms)
{
    if (!QCoreApplication::instance())
        return;
    // The single-shot timer bounds the wait; any socket notifier or posted
    // event ends it earlier.
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    bound.start(ms);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (bound.isActive())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace platform
