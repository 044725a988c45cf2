// Cameras arriving and leaving: the device monitor, the path rules applied to
// each event, and the reaction of the window.

#include "gui/mainwindow.h"

#include "core/catalogue.h"
#include "gui/cameraitemroles.h"
#include "platform/device_path.h"
#include "gui/mainwindow_form.h"

#include <QDebug>

using lumora::platform::DeviceEvent;

namespace {

// "prefix#ids#b&hash&0&0000#suffix" naming the first interface of a device;
// logs "camera logic error" for a path of another shape.
bool isFirstInterfacePath(const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('#'));
    const QStringList instance = parts.size() == 4 ? parts[2].split(QLatin1Char('&')) : QStringList();
    if (instance.size() != 4) {
        qDebug() << "camera logic error";
        return false;
    }
    return instance[3] == QLatin1String("0000");
}

} // namespace

void MainWindow::registerDeviceEvents()
{
    m_deviceMonitor = lumora::platform::kernel().createMonitor();
    connect(m_deviceMonitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, this, &MainWindow::onDeviceEvent);
    if (!m_deviceMonitor->start())
        qWarning() << "register device event failt!";
}

// Only a camera's first capture node stands for it; its other capture and
// metadata nodes, and disks, are someone else's business.
void MainWindow::onDeviceEvent(const DeviceEvent &event)
{
    if (!m_cameraEvents.announces(event))
        return;
    handleDeviceChange(event.action == DeviceEvent::Action::Add, lumora::platform::eventPath(event));
}

void MainWindow::handleDeviceChange(bool arrival, const QString &path)
{
    if (arrival) {
        qInfo().noquote() << "devicePath in" << path;
        if (!acceptsHotplugPath(path, m_manufacturerCode))
            return;
        qInfo() << "usb camera in";
        Q_EMIT onCameraPlugged(true, path.toLower());
        return;
    }
    qInfo().noquote() << "devicePath out" << path;
    if (!isFirstInterfacePath(path))
        return;
    // Each emission rebuilds the list: walk a copy of what it held.
    QStringList listed;
    for (int row = 0; row < ui->listWidgetCamera->count(); ++row)
        listed << ui->listWidgetCamera->item(row)->data(kRolePathId).toString();
    for (const QString &pathId : listed) {
        if (!path.contains(pathId, Qt::CaseInsensitive))
            continue;
        qInfo() << "usb camera out";
        Q_EMIT onCameraPlugged(false, path.toLower());
    }
}

void MainWindow::slotOnCameraPlugged(bool plug, QString path)
{
    if (!plug && path.contains(m_currentDevicePath, Qt::CaseInsensitive)) {
        qInfo() << "select device plug";
        Q_EMIT onCameraState(kCameraDisconnected, m_currentDeviceName);
        closeCurrentCamera();
        qInfo() << "plug out reset param";
        m_currentDeviceName.clear();
        m_currentDevicePath.clear();
        m_currentDeviceAlias.clear();
    }
    QVector<CameraDeviceInfo> devices;
    if (m_isUpgrading) {
        // The camera re-enumerates while its firmware is written: list it, open nothing.
        if (!relistCameras(&devices))
            clearCameraListWidget();
        return;
    }
    // Another camera left: the open one goes on as it is (preview, controls),
    // only the list changes.
    if (!plug && m_isOpened && relistCameras(&devices)) {
        for (int row = 0; row < ui->listWidgetCamera->count(); ++row) {
            if (ui->listWidgetCamera->item(row)->data(kRolePathId).toString() == m_currentDevicePath) {
                ui->listWidgetCamera->setCurrentRow(row);
                updateEmptyState(devices);
                return;
            }
        }
    }
    qInfo() << "reADD DEIVCE";
    refreshCameraList();
}

bool MainWindow::relistCameras(QVector<CameraDeviceInfo> *devices)
{
    devices->clear();
    m_camera.wrapper().ListCameraDevices(*devices);
    if (devices->isEmpty())
        return false;
    filterCameraList(*devices);
    clearCameraListWidget();
    fillCameraListWidget();
    return true;
}
