// Moving the frameless main window by dragging its title bar or any empty
// area (presses that no child widget takes arrive here), and the requests
// from outside the window: signals and later launches.

#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QDebug>
#include <QMouseEvent>
#include <QWindow>

#include <csignal>

namespace {

const char *signalName(int signo)
{
    switch (signo) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

} // namespace

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    // The compositor moves the window where it can (Wayland ignores move());
    // where the platform refuses, the window follows the pointer itself.
    QWindow *handle = windowHandle();
    if (event->button() == Qt::LeftButton && handle && handle->startSystemMove()) {
        m_dragging = false;
        event->accept();
        return;
    }
    m_dragging = event->buttons() == Qt::LeftButton;
    m_dragOffset = event->globalPos() - pos();
    QMainWindow::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (m_dragging) {
        const QPoint pointer = event->globalPos();
        if (isMaximized()) {
            ui->widgetTitle->updateMaximizeButton(false);
            const QSize restored = normalGeometry().size();
            // Keep the grab at the same fraction of the width.
            m_dragOffset.setX(m_dragOffset.x() * restored.width() / qMax(1, width()));
            showNormal();
            resize(restored);
            move(pointer - m_dragOffset);
        } else {
            move(pointer - m_dragOffset);
        }
    }
    QMainWindow::mouseMoveEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragging = false;
    QMainWindow::mouseReleaseEvent(event);
}

void MainWindow::changeEvent(QEvent *event)
{
    // The window manager may maximize or restore the window itself (a drag it runs).
    if (event->type() == QEvent::WindowStateChange)
        ui->widgetTitle->updateMaximizeButton(isMaximized());
    QMainWindow::changeEvent(event);
}

void MainWindow::closeForSignal(int signo)
{
    const char *name = signalName(signo);
    // A refusal box is already up for an earlier signal: one is enough.
    if (m_closingForSignal) {
        qWarning() << name << "received while the close is being refused; ignored";
        return;
    }
    if (m_isUpgrading)
        qWarning() << name << "received: cannot exit during the upgrade process";
    else
        qInfo() << name << "received: closing";
    m_closingForSignal = true;
    close();
    m_closingForSignal = false;
}

void MainWindow::raiseFromAnotherLaunch()
{
    qInfo() << "another launch asked for the window";
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}
