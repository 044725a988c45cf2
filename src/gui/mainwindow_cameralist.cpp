// The "MY DEVICES" list: rebuilt from a fresh enumeration, newest camera first.

#include "gui/mainwindow.h"

#include "core/catalogue.h"
#include "gui/cameraitemroles.h"
#include "gui/mainwindow_form.h"

#include <QDebug>
#include <QListWidgetItem>

void MainWindow::setupCameraList()
{
    m_selectedIcon.addFile(QStringLiteral(":/qss/light/Orbit-icon.png"), QSize(66, 36), QIcon::Selected);
    connect(this, &MainWindow::onCameraState, this, &MainWindow::slotOnCameraState);
    connect(ui->listWidgetCamera, &QListWidget::itemClicked, this, &MainWindow::slotSwitchCameraItem);
    connect(ui->listWidgetCamera, &QListWidget::currentItemChanged, this, &MainWindow::slotIconChangge);
}

QIcon MainWindow::normalCameraIcon() const
{
    return QIcon(m_isDarkTheme ? QStringLiteral(":/qss/dark/Orbit-icon-dark.png")
                               : QStringLiteral(":/qss/light/Orbit-icon-normal.png"));
}

void MainWindow::clearFeatureComboBoxes()
{
    ui->comboBoxAntiFlicker->clear();
    ui->comboBoxTrackEffect->clear();
    ui->comboBoxTrackMode->clear();
    ui->comboBoxTrackSpeend->clear();
}

void MainWindow::refreshCameraList()
{
    QVector<CameraDeviceInfo> devices;
    m_camera.wrapper().ListCameraDevices(devices);
    if (!devices.isEmpty()) {
        qInfo() << "load Camera!!!!";
        filterCameraList(devices);
        clearCameraListWidget();
        fillCameraListWidget();
        if (m_listCamera.isEmpty())
            clearFeatureComboBoxes();
        ui->listWidgetCamera->setCurrentRow(0);
        if (QListWidgetItem *current = ui->listWidgetCamera->currentItem())
            current->setIcon(m_selectedIcon);
        QListWidgetItem *first = ui->listWidgetCamera->item(0);
        ui->listWidgetCamera->setCurrentItem(first);
        if (first)
            selectCamera(first);
        slotStartPreview();
        updateEmptyState(devices);
        return;
    }
    if (m_isUpgrading)
        return;
    clearCameraListWidget();
    m_noCamera = true;
    m_isOpened = false;
    clearFeatureComboBoxes();
    setControlsEnabled(false);
    updateEmptyState(devices);
}

bool MainWindow::filterCameraList(const QVector<CameraDeviceInfo> &devices)
{
    m_listCamera.clear();
    bool foundNew = false;
    for (const CameraDeviceInfo &info : devices) {
        if (!acceptsCamera(info, m_manufacturerCode, m_manufacturerVid))
            continue;
        qInfo().noquote() << "info.name::" << info.friendlyName;
        bool listed = false;
        for (int row = 0; row < ui->listWidgetCamera->count() && !listed; ++row)
            listed = ui->listWidgetCamera->item(row)->data(kRolePathId).toString() == info.pathId;
        if (listed) {
            qInfo() << "###########device exist###########";
            m_listCamera.append(info);
        } else {
            m_listCamera.prepend(info);
            foundNew = true;
        }
    }
    qInfo() << "###########m_listCamera###########" << m_listCamera.size();
    return foundNew;
}

void MainWindow::fillCameraListWidget()
{
    const QIcon icon = normalCameraIcon();
    for (const CameraDeviceInfo &info : qAsConst(m_listCamera)) {
        auto *item = new QListWidgetItem(icon, shortDeviceName(info.friendlyName));
        item->setSizeHint(QSize(150, 54));
        item->setData(kRoleIndex, info.index);
        item->setData(kRoleFriendlyName, info.friendlyName);
        item->setData(kRolePathId, info.pathId);
        item->setData(kRoleAlias, info.alias);
        ui->listWidgetCamera->addItem(item);
    }
}

void MainWindow::clearCameraListWidget()
{
    while (ui->listWidgetCamera->count() > 0)
        delete ui->listWidgetCamera->takeItem(0);
}

void MainWindow::slotIconChangge(QListWidgetItem *current, QListWidgetItem *previous)
{
    if (previous)
        previous->setIcon(normalCameraIcon());
    if (current)
        current->setIcon(m_selectedIcon);
}

void MainWindow::slotOnCameraState(int state, QString name)
{
    ui->labelDevice->setText(shortDeviceName(name));
    ui->labelState->setText(cameraStateText(state));
    if (state == kCameraConnected) {
        ui->labelIcon->show();
        ui->labelState->setStyleSheet(QStringLiteral("color: #d12631;"));
        return;
    }
    ui->labelState->setStyleSheet(QStringLiteral("color: #f2813b;"));
    if (state == kCameraDisconnected) {
        ui->labelDevModel->setText(QString());
        ui->labelDevVer->setText(QString());
        ui->labelDevice->setText(QString());
        ui->labelIcon->hide();
        m_noCamera = true;
        m_isOpened = false;
    }
}
