#include "groupinput.h"

#include <QtGlobal>

namespace GroupInput {

int androidKeyCode(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Escape:
    case Qt::Key_Back:
        return kKeyBack;
    case Qt::Key_HomePage:
    case Qt::Key_Home:
        return kKeyHome;
    case Qt::Key_End:
        return kKeyMoveEnd;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return kKeyEnter;
    case Qt::Key_Backspace:
        return kKeyDel;
    case Qt::Key_Delete:
        return kKeyForwardDel;
    case Qt::Key_Up:
        return kKeyUp;
    case Qt::Key_Down:
        return kKeyDown;
    case Qt::Key_Left:
        return kKeyLeft;
    case Qt::Key_Right:
        return kKeyRight;
    case Qt::Key_Tab:
        return kKeyTab;
    case Qt::Key_PageUp:
        return kKeyPageUp;
    case Qt::Key_PageDown:
        return kKeyPageDown;
    case Qt::Key_Menu:
        return kKeyMenu;
    default:
        return -1;
    }
}

QRectF shownRect(const QSize& widget, const QSize& picture)
{
    if (picture.isEmpty() || widget.isEmpty())
        return QRectF();
    const QSizeF shown = QSizeF(picture).scaled(QSizeF(widget), Qt::KeepAspectRatio);
    return QRectF(QPointF((widget.width() - shown.width()) / 2.0, (widget.height() - shown.height()) / 2.0),
                  shown);
}

std::optional<QPointF> fractionOf(const QPointF& local, const QSize& widget, const QSize& picture)
{
    const QRectF shown = shownRect(widget, picture);
    if (shown.isEmpty())
        return std::nullopt;
    const double fx = (local.x() - shown.x()) / shown.width();
    const double fy = (local.y() - shown.y()) / shown.height();
    return QPointF(qBound(0.0, fx, 1.0), qBound(0.0, fy, 1.0));
}

int rollSteps(int angleDelta)
{
    return qBound(-100, -angleDelta / 120, 100);
}

} // namespace GroupInput
