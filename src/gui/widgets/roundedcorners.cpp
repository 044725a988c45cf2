#include "gui/widgets/roundedcorners.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWidget>

namespace {

class RoundedCornersFilter : public QObject {
public:
    RoundedCornersFilter(QWidget *widget, int radius)
        : QObject(widget), m_radius(radius) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Resize)
            apply(static_cast<QWidget *>(watched));
        return QObject::eventFilter(watched, event);
    }

    void apply(QWidget *widget) const { widget->setMask(roundedWindowMask(widget->size(), m_radius)); }

private:
    int m_radius;
};

} // namespace

QBitmap roundedWindowMask(const QSize &size, int radius)
{
    QBitmap mask(size);
    mask.fill(Qt::color0);
    QPainter painter(&mask);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::color1);
    QPainterPath path;
    path.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), radius, radius);
    painter.drawPath(path);
    return mask;
}

void installRoundedCorners(QWidget *widget, int radius)
{
    auto *filter = new RoundedCornersFilter(widget, radius);
    widget->installEventFilter(filter);
    filter->apply(widget);
}
