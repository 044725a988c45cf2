// Construction, destruction and closing of the main window. Each numbered
// step of the constructor is one call; steps owned by other subsystems are
// inserted at their number.

#include "ui/mainwindow.h"
#include "core/catalogue.h"
#include "ui/mainwindow_form.h"

#include <QCloseEvent>

MainWindow::MainWindow(QWidget *parent)
    // 1. Base window, form object and by-value members.
    : QMainWindow(parent), ui(new Ui::MainWindow)
{
    // 2. Widget tree.
    ui->setupUi(this);
    // 4-8. Event filters, buttons, lists, loading animations and the mask overlay.
    setupShell();
    // 9. Settings file: manufacturer profile.
    const ManufacturerProfile profile = loadManufacturerProfile();
    m_manufacturerCode = profile.code;
    m_manufacturerVid = profile.vid;
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_isUpgrading) {
        event->ignore();
        showMessageBox(tr("Cannot exit during the upgrade process!"));
        return;
    }
    event->accept();
}
