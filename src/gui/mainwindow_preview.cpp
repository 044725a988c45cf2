// The main window's preview area: starting and stopping the preview worker,
// showing its pictures, and the start and stop icons.

#include "gui/widgets/firstpaint.h"
#include "preview/previewdecoder.h"
#include "gui/widgets/previewsurface.h"
#include "preview/videostreamthread.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QDebug>
#include <QEvent>
#include <QMouseEvent>
#include <QMovie>
#include <QResizeEvent>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr int kStartDelayMs = 1000;
// The frame width the preview leaves to the control pages.
constexpr int kSidePanelWidth = 786;

const char *const kCameraStyle = "background-image:url(:/qss/light/camera_disable.png)";
const char *const kCameraHoverStyle = "background-image:url(:/qss/light/camera_disable-hover.png)";
const char *const kStopStyle = "background-image:url(:/qss/light/icon-stop.png)";
const char *const kStopHoverStyle = "background-image:url(:/qss/light/icon-stop-hover.png)";

} // namespace

MainWindow::PreviewShutdown::~PreviewShutdown()
{
    window->stopVideoWorker();
}

void MainWindow::stopVideoWorker()
{
    if (!m_pVideoWorker || !m_pVideoThread)
        return;
    // A worker left behind by the time limit must not reach a later preview.
    disconnect(m_pVideoWorker, &VideoStreamThread::onReader, this, &MainWindow::slotOnReader);
    disconnect(m_pVideoWorker, &VideoStreamThread::cameraBusy, this, &MainWindow::showCameraBusy);
    m_pVideoWorker->stop();
    m_pVideoThread->quit();
    if (m_pVideoThread->wait(kPreviewStopWaitMs)) {
        delete m_pVideoThread;
    } else {
        // The worker's read cannot be cut short (a driver that stopped
        // answering); the thread deletes itself once it ends.
        qWarning() << "preview worker did not stop within" << kPreviewStopWaitMs << "ms; left to end on its own";
    }
    m_pVideoThread = nullptr;
    m_pVideoWorker = nullptr;
}

void MainWindow::slotStartPreview()
{
    qDebug() << "currentRow" << ui->listWidgetCamera->currentRow();
    if (!m_isOpened) {
        m_isPreviewing = false;
        (m_isDarkTheme ? m_loadingMovieDark : m_loadingMovieLight)->stop();
        ui->labelloading->hide();
        ui->labelCamera->show();
        return;
    }
    if (m_pVideoWorker && m_pVideoThread) {
        qDebug().noquote() << "slotStartPreview::" + QString(101, QLatin1Char('#'));
        stopVideoWorker();
    }
    qDebug() << "slotStartPreview::m_nCurrentCameraIndex" << m_nCurrentCameraIndex;
    slotUpdateSliderValue(true);

    // Decoding and the camera's start-up wait until the window is on screen.
    if (hasBeenPainted(this))
        launchVideoWorker();
    else
        whenFirstPainted(this, [this] {
            if (m_isPreviewing && m_isOpened && !m_pVideoWorker)
                launchVideoWorker();
        });

    m_isPreviewing = true;
    ui->labelloading->hide();
    ui->labelCamera->hide();
    // A retry keeps the busy message up until a picture arrives.
    if (!m_previewBusy) {
        ui->labPreview_up->hide();
        ui->labPreview_down->hide();
    }
}

void MainWindow::launchVideoWorker()
{
    m_pVideoThread = new QThread;
    m_pVideoWorker = new VideoStreamThread(m_currentDeviceAlias);
    m_pVideoWorker->setShownSize(previewPixels());
    m_pVideoWorker->moveToThread(m_pVideoThread);
    connect(m_pVideoThread, &QThread::started, m_pVideoWorker, &VideoStreamThread::start);
    connect(m_pVideoThread, &QThread::finished, m_pVideoThread, &QObject::deleteLater);
    connect(m_pVideoWorker, &VideoStreamThread::workFinished, m_pVideoWorker, &QObject::deleteLater);
    connect(m_pVideoWorker, &QObject::destroyed, m_pVideoThread, &QThread::quit);
    connect(m_pVideoWorker, &VideoStreamThread::onReader, this, &MainWindow::slotOnReader);
    connect(m_pVideoWorker, &VideoStreamThread::cameraBusy, this, &MainWindow::showCameraBusy);
    // A worker that failed to open never finishes its work; it goes with its thread.
    connect(m_pVideoThread, &QThread::finished, m_pVideoWorker, &QObject::deleteLater);
    m_pVideoThread->start(QThread::InheritPriority);
}

void MainWindow::stopCameraPreView()
{
    if (m_pVideoWorker && m_pVideoThread) {
        qDebug() << "stop camera!";
        stopVideoWorker();
    }
    ui->labelloading->hide();
    ui->labelCamera->show();
    ui->labelStop->hide();
}

void MainWindow::stopPreviewByIcon()
{
    m_isPreviewing = false;
    leaveCameraBusy();
    stopCameraPreView();
}

void MainWindow::setPreviewMessage(const QString &headline, const QString &detail)
{
    if (m_previewHintUp.isNull()) {
        m_previewHintUp = ui->labPreview_up->text();
        m_previewHintDown = ui->labPreview_down->text();
        ui->labPreview_up->setWordWrap(true);
        ui->labPreview_down->setWordWrap(true);
    }
    const bool hints = headline.isEmpty() && detail.isEmpty();
    ui->labPreview_up->setText(hints ? m_previewHintUp : headline);
    ui->labPreview_down->setText(hints ? m_previewHintDown : detail);
}

void MainWindow::showCameraBusy(const QVector<lumora::platform::NodeHolder> &holders)
{
    // A report queued by a worker already replaced (another camera chosen meanwhile) is old news.
    if (sender() && sender() != m_pVideoWorker)
        return;
    stopVideoWorker();
    if (!m_isOpened || !m_isPreviewing)
        return;
    QStringList names;
    for (const lumora::platform::NodeHolder &holder : holders)
        names.append(tr("%1 (pid %2)").arg(holder.name).arg(holder.pid));
    const QString headline = names.isEmpty() ? tr("The camera is in use by another application.")
                                             : tr("The camera is in use by %1.").arg(names.join(QStringLiteral(", ")));
    setPreviewMessage(headline, tr("Its controls still work here. The preview starts by itself when the camera is free."));
    m_previewBusy = true;
    m_previewSurface->clear();
    ui->labelloading->hide();
    ui->labelCamera->hide();
    ui->labelStop->hide();
    ui->labPreview_up->show();
    ui->labPreview_down->show();
    if (!m_busyRetryTimer) {
        m_busyRetryTimer = new QTimer(this);
        m_busyRetryTimer->setInterval(kBusyRetryMs);
        connect(m_busyRetryTimer, &QTimer::timeout, this, &MainWindow::retryBusyPreview);
    }
    if (!m_busyRetryTimer->isActive())
        m_busyRetryTimer->start();
}

void MainWindow::retryBusyPreview()
{
    if (!m_isOpened || !m_isPreviewing) {
        leaveCameraBusy();
        return;
    }
    // Only while someone can see it; a hidden window has no use for the camera.
    if (!isVisible() || isMinimized() || (m_pVideoWorker && m_pVideoThread))
        return;
    slotStartPreview();
}

void MainWindow::leaveCameraBusy()
{
    if (m_busyRetryTimer)
        m_busyRetryTimer->stop();
    if (!std::exchange(m_previewBusy, false))
        return;
    setPreviewMessage(QString(), QString());
    if (m_isPreviewing && m_pVideoWorker) {
        ui->labPreview_up->hide();
        ui->labPreview_down->hide();
    }
}

void MainWindow::startPreviewAfterDelay()
{
    ui->labelCamera->hide();
    (m_isDarkTheme ? m_loadingMovieDark : m_loadingMovieLight)->start();
    ui->labelloading->show();
    QTimer::singleShot(kStartDelayMs, this, &MainWindow::slotStartPreview);
}

void MainWindow::showPreviewHints()
{
    m_previewSurface->clear();
    ui->labPreview_up->show();
    ui->labPreview_down->show();
    ui->labPreview->repaint();
}

QSize MainWindow::previewPixels() const
{
    return m_previewSurface->pixelSize(QSize(m_previewWidth, m_previewHeight));
}

void MainWindow::slotOnReader(QImage image)
{
    if (image.isNull() || m_noCamera || !m_isPreviewing) {
        showPreviewHints();
        return;
    }
    if (m_previewBusy)
        leaveCameraBusy();
    // The worker sends pictures at the shown size; only one decoded before
    // the last resize, or on a screen of another scale, still needs scaling
    // here. The window may have moved to such a screen: the worker hears of
    // the size there with every picture.
    const QSize area = previewPixels();
    if (m_pVideoWorker)
        m_pVideoWorker->setShownSize(area);
    const bool fits = PreviewDecoder::shownSize(image.size(), area) == image.size();
    const bool fills = image.width() + 8 > image.size().scaled(area, Qt::KeepAspectRatio).width();
    if (fits && fills) {
        m_previewSurface->setPicture(image);
        return;
    }
    m_previewSurface->setPicture(image.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

bool MainWindow::previewLabelEvent(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    const bool hoverIn = type == QEvent::HoverEnter || type == QEvent::HoverMove;
    const bool hoverOut = type == QEvent::HoverLeave;
    if (watched == ui->labPreview) {
        if (m_isPreviewing && (hoverIn || hoverOut))
            ui->labelStop->setVisible(hoverIn);
        return false;
    }
    const bool isCamera = watched == ui->labelCamera;
    if (!isCamera && watched != ui->labelStop)
        return false;
    if (hoverIn || hoverOut) {
        const char *style = isCamera ? (hoverIn ? kCameraHoverStyle : kCameraStyle) : (hoverIn ? kStopHoverStyle : kStopStyle);
        static_cast<QWidget *>(watched)->setStyleSheet(QString::fromLatin1(style));
        return false;
    }
    if (type != QEvent::MouseButtonPress || static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
        return false;
    if (isCamera)
        startPreviewAfterDelay();
    else
        stopPreviewByIcon();
    return true;
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    const QRect frame = frameGeometry();
    const int width = std::max(0, frame.width() - kSidePanelWidth);
    ui->labPreview->setFixedSize(width, width * 9 / 16);
    m_previewWidth = width;
    m_previewHeight = width * 9 / 16;
    if (m_pVideoWorker)
        m_pVideoWorker->setShownSize(previewPixels());
    qDebug() << "window size change" << frame.width() << frame.height();
}
