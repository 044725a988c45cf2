#include "gui/widgets/windowedges.h"

namespace lumora::ui {

HitArea hitTestEdges(const QRect &window, const QPoint &cursor, bool horizontallyResizable,
                     bool verticallyResizable)
{
    // Right and bottom are exclusive, like the pixel grid the pointer lives on.
    const int left = window.x();
    const int top = window.y();
    const int right = window.x() + window.width();
    const int bottom = window.y() + window.height();
    const bool onLeft = left <= cursor.x() && cursor.x() < left + kResizeBorder;
    const bool onRight = right - kResizeBorder <= cursor.x() && cursor.x() < right;
    const bool onTop = top <= cursor.y() && cursor.y() < top + kResizeBorder;
    const bool onBottom = bottom - kResizeBorder <= cursor.y() && cursor.y() < bottom;

    // Later tests win, so corners beat edges and top/right beat bottom/left.
    HitArea result = HitArea::None;
    if (horizontallyResizable) {
        if (onLeft)
            result = HitArea::Left;
        if (onRight)
            result = HitArea::Right;
    }
    if (verticallyResizable) {
        if (onBottom)
            result = HitArea::Bottom;
        if (onTop)
            result = HitArea::Top;
    }
    if (horizontallyResizable && verticallyResizable) {
        if (onLeft && onBottom)
            result = HitArea::BottomLeft;
        if (onRight && onBottom)
            result = HitArea::BottomRight;
        if (onLeft && onTop)
            result = HitArea::TopLeft;
        if (onRight && onTop)
            result = HitArea::TopRight;
    }
    return result;
}

Qt::Edges edgesOf(HitArea area)
{
    switch (area) {
    case HitArea::Left: return Qt::LeftEdge;
    case HitArea::Right: return Qt::RightEdge;
    case HitArea::Top: return Qt::TopEdge;
    case HitArea::Bottom: return Qt::BottomEdge;
    case HitArea::TopLeft: return Qt::TopEdge | Qt::LeftEdge;
    case HitArea::TopRight: return Qt::TopEdge | Qt::RightEdge;
    case HitArea::BottomLeft: return Qt::BottomEdge | Qt::LeftEdge;
    case HitArea::BottomRight: return Qt::BottomEdge | Qt::RightEdge;
    case HitArea::None: break;
    }
    return {};
}

} // namespace lumora::ui
