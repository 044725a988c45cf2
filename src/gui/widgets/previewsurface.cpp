#include "gui/widgets/previewsurface.h"

#include <QEvent>
#include <QPainter>

PreviewSurface::PreviewSurface(QWidget *area) : QWidget(area)
{
    setObjectName(QStringLiteral("previewSurface"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    lower();
    hide();
    area->installEventFilter(this);
}

void PreviewSurface::setPicture(const QImage &picture)
{
    if (picture.isNull()) {
        clear();
        return;
    }
    const QSizeF before = shownSize();
    m_picture = QPixmap::fromImage(picture);
    m_picture.setDevicePixelRatio(devicePixelRatioF());
    if (shownSize() != before || isHidden())
        place();
    update();
}

QSize PreviewSurface::pixelSize(QSize area) const
{
    const qreal ratio = devicePixelRatioF();
    return QSize(int(area.width() * ratio), int(area.height() * ratio));
}

void PreviewSurface::clear()
{
    m_picture = QPixmap();
    hide();
}

void PreviewSurface::place()
{
    const QRect area = parentWidget()->contentsRect();
    const QSize size = shownSize().toSize().boundedTo(area.size());
    setGeometry(QRect(QPoint(area.left(), area.top() + (area.height() - size.height()) / 2), size));
    setVisible(!m_picture.isNull());
}

QSizeF PreviewSurface::shownSize() const
{
    return QSizeF(m_picture.size()) / m_picture.devicePixelRatio();
}

void PreviewSurface::paintEvent(QPaintEvent *)
{
    QPainter(this).drawPixmap(0, 0, m_picture);
}

bool PreviewSurface::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize && !m_picture.isNull())
        place();
    return QWidget::eventFilter(watched, event);
}
