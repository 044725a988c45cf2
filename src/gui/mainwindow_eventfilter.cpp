// The main window's event filter over its watched labels: each subsystem
// handles its own labels (support page here, preview labels in src/preview).

#include "gui/mainwindow.h"

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (supportLabelEvent(watched, event) || previewLabelEvent(watched, event) || cameraKeyEvent(watched, event))
        return true;
    return QMainWindow::eventFilter(watched, event);
}
