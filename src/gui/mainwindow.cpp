// Construction, destruction and closing of the main window. Each numbered
// step of the constructor is one call; steps owned by other subsystems are
// inserted at their number.

#include "gui/widgets/firstpaint.h"
#include "gui/widgets/previewsurface.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QCloseEvent>
#include <QDebug>

MainWindow::MainWindow(QWidget *parent)
    // 1. Base window, form object and by-value members.
    : QMainWindow(parent), ui(new Ui::MainWindow)
{
    // 2. Widget tree.
    ui->setupUi(this);
    // The live picture, on a surface of its own over the preview area.
    m_previewSurface = new PreviewSurface(ui->labPreview);
    // 3. Size for the screen's resolution and scale.
    adaptToScreen();
    // 4-8. Event filters, buttons, lists, loading animations and the mask
    // overlay. The theme is applied once, with the settings (step 16-17).
    setupShell();
    // 9. Settings file: manufacturer profile, last geometry, theme.
    loadWindowSettings();
    // 10. A camera arriving or leaving rebuilds the list at once.
    connect(this, &MainWindow::onCameraPlugged, this, &MainWindow::slotOnCameraPlugged, Qt::DirectConnection);
    // 11. Device-change notifications.
    registerDeviceEvents();
    // 12. Connection state, device-list clicks and selection icons.
    setupCameraList();
    // Extension-unit recovery, the camera model's signals and the sliders,
    // before any camera opens: the first camera recovers like every other.
    setupControlPage();
    // 13-14. Fresh enumeration: fill the list, open the first camera, start its preview.
    m_listCamera.clear();
    refreshCameraList();
    // 15. Watch for a camera left in an update state.
    startAbnormalDetection();
    // 16-17. Position log line, saved theme, window placement.
    restoreWindowPlacement();
    whenFirstPainted(this, [] { qInfo() << "first paint"; });
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_isUpgrading) {
        event->ignore();
        showMessageBox(QStringLiteral("Cannot exit during the upgrade process!"), true);
        return;
    }
    saveWindowSettings();
    closeCurrentCamera();
    event->accept();
}
