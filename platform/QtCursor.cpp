#include "platform/QtCursor.h"

#include <QCursor>
#include <QGuiApplication>

namespace platform {

void QtCursor::set(CursorShape shape)
{
    if (shape == shape_)
        return;
    if (shape_ == CursorShape::Wait)
        QGuiApplication::restoreOverrideCursor();
    if (shape == CursorShape::Wait)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    shape_ = shape;
}

} // namespace platform
