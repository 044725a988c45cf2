#include "gui/widgets/framelesswindow.h"
#include "gui/widgets/windowedges.h"

#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

using lumora::ui::HitArea;

namespace {

Qt::CursorShape cursorFor(HitArea area)
{
    switch (area) {
    case HitArea::Left:
    case HitArea::Right: return Qt::SizeHorCursor;
    case HitArea::Top:
    case HitArea::Bottom: return Qt::SizeVerCursor;
    case HitArea::TopLeft:
    case HitArea::BottomRight: return Qt::SizeFDiagCursor;
    case HitArea::TopRight:
    case HitArea::BottomLeft: return Qt::SizeBDiagCursor;
    case HitArea::None: break;
    }
    return Qt::ArrowCursor;
}

} // namespace

FramelessWindow::FramelessWindow(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    m_window->setWindowFlags(m_window->windowFlags() | Qt::FramelessWindowHint);
    m_baseMargins = m_window->contentsMargins();
    m_window->installEventFilter(this);
    watchNativeWindow();
}

void FramelessWindow::setBaseMargins(const QMargins &margins)
{
    m_baseMargins = margins;
    m_window->setContentsMargins(m_baseMargins + m_frameMargins);
}

void FramelessWindow::watchNativeWindow()
{
    QWindow *handle = m_window->windowHandle();
    if (!handle || handle == m_handle)
        return;
    m_handle = handle;
    m_handle->installEventFilter(this);
}

bool FramelessWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window) {
        if (event->type() == QEvent::WinIdChange || event->type() == QEvent::Show)
            watchNativeWindow();
        else if (event->type() == QEvent::WindowStateChange)
            updateMaximizedMargins();
    } else if (watched == m_handle && handleWindowEvent(event)) {
        return true;
    }
    return QObject::eventFilter(watched, event);
}

bool FramelessWindow::handleWindowEvent(QEvent *event)
{
    // The native window sees the pointer before any child widget does, so the
    // edges work over buttons and labels too.
    if (resizeByHand(event))
        return true;
    const auto type = event->type();
    if (type != QEvent::MouseMove && type != QEvent::MouseButtonPress && type != QEvent::Leave)
        return false;
    HitArea area = HitArea::None;
    if (type != QEvent::Leave && !(m_window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        const QSize min = m_window->minimumSize();
        const QSize max = m_window->maximumSize();
        area = lumora::ui::hitTestEdges(m_window->frameGeometry(), mouse->globalPos(),
                                        min.width() != max.width(), min.height() != max.height());
        if (type == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton && area != HitArea::None) {
            if (m_handle->startSystemResize(lumora::ui::edgesOf(area)))
                return true;
            m_handEdges = lumora::ui::edgesOf(area);
            m_handStart = mouse->globalPos();
            m_handGeometry = m_window->geometry();
            return true;
        }
        if (type == QEvent::MouseMove && mouse->buttons() != Qt::NoButton)
            return false;
    }
    if (area != HitArea::None) {
        m_window->setCursor(cursorFor(area));
        m_cursorOverridden = true;
    } else if (m_cursorOverridden) {
        m_window->unsetCursor();
        m_cursorOverridden = false;
    }
    return false;
}

bool FramelessWindow::resizeByHand(QEvent *event)
{
    if (!m_handEdges)
        return false;
    const auto type = event->type();
    if (type == QEvent::MouseButtonRelease) {
        m_handEdges = {};
        return true;
    }
    if (type != QEvent::MouseMove)
        return false;
    const QPoint delta = static_cast<QMouseEvent *>(event)->globalPos() - m_handStart;
    const QSize min = m_window->minimumSize();
    const QSize max = m_window->maximumSize();
    QRect g = m_handGeometry;
    // The edge opposite the one dragged stays where it is.
    if (m_handEdges & Qt::LeftEdge)
        g.setLeft(qBound(g.right() + 1 - max.width(), g.left() + delta.x(), g.right() + 1 - min.width()));
    if (m_handEdges & Qt::RightEdge)
        g.setWidth(qBound(min.width(), g.width() + delta.x(), max.width()));
    if (m_handEdges & Qt::TopEdge)
        g.setTop(qBound(g.bottom() + 1 - max.height(), g.top() + delta.y(), g.bottom() + 1 - min.height()));
    if (m_handEdges & Qt::BottomEdge)
        g.setHeight(qBound(min.height(), g.height() + delta.y(), max.height()));
    m_window->setGeometry(g);
    return true;
}

void FramelessWindow::updateMaximizedMargins()
{
    if (m_window->isMaximized()) {
        // A frameless X11/Wayland window has no hidden frame reaching past the
        // screen; whatever frame the platform still reports is added back.
        m_frameMargins = m_handle ? m_handle->frameMargins() : QMargins();
        m_window->setContentsMargins(m_baseMargins + m_frameMargins);
        m_maximizedMarginsApplied = true;
    } else if (m_maximizedMarginsApplied) {
        m_window->setContentsMargins(m_baseMargins);
        m_maximizedMarginsApplied = false;
        m_frameMargins = QMargins();
    }
}
