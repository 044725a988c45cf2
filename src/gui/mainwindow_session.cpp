// The camera session: selecting a list entry, opening its camera, closing it.

#include "gui/mainwindow.h"

#include "core/catalogue.h"
#include "gui/cameraitemroles.h"
#include "gui/widgets/previewsurface.h"
#include "gui/mainwindow_form.h"

#include <QDebug>
#include <QListWidgetItem>
#include <QMovie>
#include <QTimer>

namespace {

// Model whose status the window polls while it is selected.
constexpr int kPolledModel = 4;
constexpr int kStatusPollMs = 3000;
constexpr int kPreviewDelayMs = 1000;

struct EntryIdentity {
    int index;
    QString friendlyName;
    QString pathId;
    QString alias;

    explicit EntryIdentity(const QListWidgetItem *entry)
        : index(entry->data(kRoleIndex).toInt()), friendlyName(entry->data(kRoleFriendlyName).toString()),
          pathId(entry->data(kRolePathId).toString()), alias(entry->data(kRoleAlias).toString())
    {
    }
    bool usable() const { return index != -1 && !friendlyName.isEmpty() && !pathId.isEmpty(); }
};

} // namespace

void MainWindow::selectCamera(QListWidgetItem *entry)
{
    if (!entry)
        return;
    const EntryIdentity id(entry);
    if (!id.usable())
        return;
    m_currentDeviceName = id.friendlyName;
    m_currentDevicePath = id.pathId;
    m_currentDeviceAlias = id.alias;
    qInfo().noquote() << "current open camera name:" << id.friendlyName;
    m_cameraModel = modelFromFriendlyName(id.friendlyName);
    qInfo() << "current open camera model:" << m_cameraModel;

    closeCurrentCamera();
    m_camera.setIdentity(id.pathId, id.friendlyName);
    fillFeatureLists();
    if (openCameraCapture(id.pathId, id.friendlyName)) {
        m_noCamera = false;
        m_isOpened = true;
        setControlsEnabled(true);
    }

    if (m_cameraModel == kPolledModel) {
        if (!m_statusTimer) {
            m_statusTimer = new QTimer(this);
            m_statusTimer->setInterval(kStatusPollMs);
            connect(m_statusTimer, &QTimer::timeout, this, &MainWindow::slotUpdate410BStatus);
        }
        if (!m_statusTimer->isActive())
            m_statusTimer->start();
    } else if (m_statusTimer) {
        m_statusTimer->stop();
        delete m_statusTimer;
        m_statusTimer = nullptr;
    }
    applyModelTraits(id.pathId);
}

void MainWindow::slotSwitchCameraItem(QListWidgetItem *item)
{
    if (!item)
        return;
    const EntryIdentity id(item);
    if (!id.usable())
        return;
    // A click on the camera that is already open does nothing at all.
    if (id.friendlyName == m_currentDeviceName && id.pathId == m_currentDevicePath && m_isOpened)
        return;
    selectCamera(item);
    ui->labelCamera->hide();
    if (QMovie *loading = m_isDarkTheme ? m_loadingMovieDark : m_loadingMovieLight)
        loading->start();
    ui->labelloading->show();
    QTimer::singleShot(kPreviewDelayMs, this, &MainWindow::slotStartPreview);
}

void MainWindow::slotOnSingleClickedCameraItem(QListWidgetItem *item)
{
    selectCamera(item);
}

bool MainWindow::openCameraCapture(const QString &pathId, const QString &friendlyName)
{
    if (pathId.isEmpty() || friendlyName.isEmpty())
        return false;
    int position = -1;
    if (m_camera.pathId() != pathId || m_camera.friendlyName() != friendlyName)
        m_camera.setIdentity(pathId, friendlyName);
    const bool bound = m_camera.bindCapture(&position);
    qInfo() << "dshow detect camera :" << (bound ? 1 : 0);
    qInfo() << "openCameraCapture::m_nCurrentCameraIndex" << position;
    m_nCurrentCameraIndex = position;
    if (!m_camera.openChannel()) {
        qInfo() << "UVC init failed!";
        return false;
    }
    Q_EMIT onCameraState(bound ? kCameraConnected : kCameraDisconnected, friendlyName);
    // The user's values come back before the page reads the camera, so it shows them.
    m_camera.restoreMemory();
    readDeviceState();
    return true;
}

bool MainWindow::closeCurrentCamera()
{
    if (m_pVideoWorker && m_pVideoThread) {
        qInfo() << "Thread video quit 111.";
        stopVideoWorker();
        qInfo() << "Thread video quit 222.";
        m_previewSurface->clear();
        ui->labPreview_up->show();
        ui->labPreview_down->show();
        ui->labPreview->repaint();
    }
    m_isPreviewing = false;
    leaveCameraBusy();
    m_camera.close();
    m_nCurrentCameraIndex = -1;
    m_isOpened = false;
    setControlsEnabled(false);
    clearFeatureComboBoxes();
    showCameraMemory();
    return true;
}
