// Moving the frameless main window by dragging its title bar or any empty
// area (presses that no child widget takes arrive here).

#include "ui/mainwindow.h"
#include "ui/mainwindow_form.h"

#include <QMouseEvent>

void MainWindow::mousePressEvent(QMouseEvent *event)
{
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
