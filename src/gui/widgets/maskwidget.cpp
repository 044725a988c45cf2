#include "gui/widgets/maskwidget.h"

#include <QApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>

#include <atomic>

namespace {
std::atomic<MaskWidget *> g_mask{nullptr};
QMutex g_maskMutex;
} // namespace

MaskWidget *MaskWidget::instance()
{
    if (MaskWidget *mask = g_mask.load())
        return mask;
    QMutexLocker lock(&g_maskMutex);
    if (!g_mask.load())
        g_mask.store(new MaskWidget);
    return g_mask.load();
}

MaskWidget::MaskWidget()
    : QWidget(nullptr)
{
    setObjectName(QStringLiteral("MaskWidget"));
    hide();
    qApp->installEventFilter(this);
    // Without a window it lives until the event loop ends; a later instance() makes a new one.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (!parentWidget())
            deleteLater();
    });
}

MaskWidget::~MaskWidget()
{
    qApp->removeEventFilter(this);
    MaskWidget *self = this;
    g_mask.compare_exchange_strong(self, nullptr);
}

void MaskWidget::setMainWidget(QWidget *mainWidget)
{
    if (this->mainWidget == mainWidget)
        return;
    if (this->mainWidget)
        this->mainWidget->removeEventFilter(this);
    this->mainWidget = mainWidget;
    setParent(mainWidget); // hides it
    if (mainWidget) {
        mainWidget->installEventFilter(this);
        cover();
    }
}

void MaskWidget::setDialogNames(const QStringList &dialogNames)
{
    this->dialogNames = dialogNames;
}

void MaskWidget::setBgColor(const QColor &bgColor)
{
    m_color = bgColor;
    update();
}

void MaskWidget::setOpacity(double opacity)
{
    m_opacity = qBound(0.0, opacity, 1.0);
    update();
}

void MaskWidget::cover()
{
    if (!mainWidget)
        return;
    setGeometry(mainWidget->rect());
    raise();
}

bool MaskWidget::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
        if (dialogNames.contains(watched->objectName()) && mainWidget) {
            m_dialog = watched->isWidgetType() ? static_cast<QWidget *>(watched)->window() : nullptr;
            cover();
            show();
            if (m_dialog) {
                // Without a window manager activation does not raise.
                m_dialog->raise();
                m_dialog->activateWindow();
            }
        }
        break;
    case QEvent::Hide:
        if (dialogNames.contains(watched->objectName())) {
            hide();
            m_dialog = nullptr;
        }
        break;
    case QEvent::Resize:
        if (watched == mainWidget)
            cover();
        break;
    case QEvent::WindowActivate:
        // The dialog keeps the focus while the window under it is dimmed.
        if (watched == mainWidget && isVisible() && m_dialog)
            m_dialog->activateWindow();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void MaskWidget::paintEvent(QPaintEvent *)
{
    QColor colour = m_color;
    colour.setAlphaF(m_opacity);
    QPainter painter(this);
    painter.fillRect(rect(), colour);
}
