#include "preview/previewsurface.h"

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
    const QSize before = m_picture.size();
    m_picture = QPixmap::fromImage(picture);
    m_picture.setDevicePixelRatio(devicePixelRatioF());
    if (m_picture.size() != before || isHidden())
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
    const QSize size = (QSizeF(m_picture.size()) / m_picture.devicePixelRatio()).toSize().boundedTo(area.size());
    setGeometry(QRect(QPoint(area.left(), area.top() + (area.height() - size.height()) / 2), size));
    setVisible(!m_picture.isNull());
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
