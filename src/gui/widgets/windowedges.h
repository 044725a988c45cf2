#pragma once
// Which resize edge of a frameless window lies under the pointer. The border
// is 5 px wide; an axis whose minimum and maximum size are equal has no edges.

#include <QPoint>
#include <QRect>

namespace lumora::ui {

constexpr int kResizeBorder = 5;

enum class HitArea {
    None = 0,
    Left = 10,
    Right = 11,
    Top = 12,
    TopLeft = 13,
    TopRight = 14,
    Bottom = 15,
    BottomLeft = 16,
    BottomRight = 17,
};

// window is in the same (global) coordinates as cursor.
HitArea hitTestEdges(const QRect &window, const QPoint &cursor, bool horizontallyResizable,
                     bool verticallyResizable);

Qt::Edges edgesOf(HitArea area);

} // namespace lumora::ui
