#include "ui/maskwidget.h"

#include <QApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QScreen>

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
    setWindowOpacity(0.7);
    setBgColor(QColor(0, 0, 0, 255));
    if (QScreen *screen = QGuiApplication::primaryScreen())
        setGeometry(screen->geometry());
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    qApp->installEventFilter(this);
    // Lives until the event loop ends; a later instance() makes a new one.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        qApp->removeEventFilter(this);
        g_mask.store(nullptr);
        deleteLater();
    });
}

void MaskWidget::setMainWidget(QWidget *mainWidget)
{
    if (this->mainWidget != mainWidget)
        this->mainWidget = mainWidget;
}

void MaskWidget::setDialogNames(const QStringList &dialogNames)
{
    if (this->dialogNames != dialogNames)
        this->dialogNames = dialogNames;
}

void MaskWidget::setBgColor(const QColor &bgColor)
{
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Window, QBrush(bgColor));
    setPalette(pal);
    setAutoFillBackground(true);
}

void MaskWidget::setOpacity(double opacity)
{
    setWindowOpacity(opacity);
}

bool MaskWidget::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
        if (dialogNames.contains(watched->objectName())) {
            show();
            activateWindow();
            if (watched->isWidgetType()) {
                // Without a window manager activation does not raise.
                QWidget *dialog = static_cast<QWidget *>(watched)->window();
                dialog->raise();
                dialog->activateWindow();
            }
        }
        break;
    case QEvent::Hide:
        if (dialogNames.contains(watched->objectName()))
            hide();
        break;
    case QEvent::WindowActivate:
        if (mainWidget && watched->objectName() == mainWidget->objectName() && isVisible())
            activateWindow();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void MaskWidget::showEvent(QShowEvent *event)
{
    if (mainWidget)
        setGeometry(mainWidget->geometry());
    QWidget::showEvent(event);
}
