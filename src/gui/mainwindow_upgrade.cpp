// The main window's side of a firmware upgrade: the upgrade button and the
// package verdicts, the confirmation, the worker run with its progress, the
// result, and the rescue offer for a camera left in an update state.

#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include "core/catalogue.h"
#include "upgrade/abnormaldetectthread.h"
#include "upgrade/firmwarepackage.h"
#include "upgrade/firmwareworkspace.h"
#include "gui/dialogs/formabnormal.h"
#include "gui/dialogs/formupgrade.h"
#include "upgrade/upgradethread.h"
#include "upgrade/workerthread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>

#include <mutex>
#include <optional>

using namespace lumora::upgrade;

namespace {
constexpr int kProgressCeiling = 95;
constexpr int kAbnormalFreshMs = 15000;
}

// A worker is touched from here only until it says it has finished: the
// pointers are cleared, under the lock, by the worker's own workFinished.
// The rest is GUI-thread state of the upgrade flow.
struct MainWindow::UpgradeWorkers {
    std::mutex mutex;
    UpgradeThread *upgrade = nullptr;
    QPointer<QThread> upgradeThread;
    AbnormalDetectThread *poller = nullptr;
    QPointer<QThread> pollerThread;

    // GUI thread only.
    UpdateDriveInfo lastAbnormalDrive;
    QElapsedTimer lastAbnormalSeen;
    std::optional<UpdateDriveInfo> rescueDrive; // the next run is a rescue of this drive
    int packageModel = -1;
    bool familyConfirmed = false;
    QString versionChange;
    QString packageFolder;

    template <class Worker>
    void track(Worker *worker, Worker *UpgradeWorkers::*slot)
    {
        std::lock_guard<std::mutex> lock(mutex);
        this->*slot = worker;
        QObject::connect(worker, &Worker::workFinished, worker, [this, slot] {
            std::lock_guard<std::mutex> lock(mutex);
            this->*slot = nullptr;
        }, Qt::DirectConnection);
    }

    void watchProfile(int manufacturerCode)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (poller)
            poller->watchProfile(manufacturerCode);
    }

    template <class Worker>
    void stop(Worker *UpgradeWorkers::*slot, QPointer<QThread> &thread)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (Worker *worker = this->*slot)
                worker->stop();
        }
        if (thread)
            thread->wait();
    }
};

MainWindow::UpgradeWorkersHolder::~UpgradeWorkersHolder()
{
    if (!workers)
        return;
    workers->stop(&UpgradeWorkers::upgrade, workers->upgradeThread);
    workers->stop(&UpgradeWorkers::poller, workers->pollerThread);
    // The workers' last use of the lock is over (their threads have ended);
    // taking it once more orders that use before the delete for race checkers.
    { std::lock_guard<std::mutex> lock(workers->mutex); }
    delete workers;
}

void MainWindow::centreOnWindow(QWidget *dialog) const
{
    dialog->move(x() + (width() - dialog->width()) / 2, y() + (height() - dialog->height()) / 2);
}

QString MainWindow::packageFolder() const
{
    if (m_upgradeWorkers.workers && QFileInfo(m_upgradeWorkers.workers->packageFolder).isDir())
        return m_upgradeWorkers.workers->packageFolder;
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return QFileInfo(downloads).isDir() ? downloads : QDir::homePath();
}

void MainWindow::startAbnormalDetection()
{
    if (!m_upgradeWorkers.workers)
        m_upgradeWorkers.workers = new UpgradeWorkers;
    auto *poller = new AbnormalDetectThread(m_manufacturerCode);
    connect(poller, &AbnormalDetectThread::abnormalDriveFound, this,
            [this](const UpdateDriveInfo &drive) {
                m_upgradeWorkers.workers->lastAbnormalDrive = drive;
                m_upgradeWorkers.workers->lastAbnormalSeen.start();
            });
    connect(poller, &AbnormalDetectThread::onDeviceAbnormal, this, &MainWindow::slotOnDeviceAbnormal);
    m_upgradeWorkers.workers->track(poller, &UpgradeWorkers::poller);
    m_upgradeWorkers.workers->pollerThread = startOnOwnThread(poller);
}

void MainWindow::watchProfileForAbnormalDrives()
{
    if (m_upgradeWorkers.workers)
        m_upgradeWorkers.workers->watchProfile(m_manufacturerCode);
}

void MainWindow::on_btnUpgrade_clicked()
{
    qInfo().noquote() << "app dir:" << QCoreApplication::applicationDirPath();
    if (!m_upgradeWorkers.workers)
        m_upgradeWorkers.workers = new UpgradeWorkers;
    const QString path = QFileDialog::getOpenFileName(this, tr("Open File"), packageFolder(), tr("Upgrade File(*.zip)"));
    if (path.isEmpty()) {
        qDebug() << "Open file dialog cancel.";
        m_isUpgrading = false;
        return;
    }
    m_upgradeWorkers.workers->packageFolder = QFileInfo(path).absolutePath();
    const QString workspace = firmwareWorkspace();
    const PackageCheck check = checkPackage(path, workspace);
    QString verdict;
    if (check.verdict == PackageCheck::BadFormat)
        verdict = tr("<h3>Unable to Upgrade</h3>\r\nThe format of firmware file is not correct.");
    else if (check.verdict == PackageCheck::Corrupted)
        verdict = tr("<h3>Unable to Upgrade</h3>\r\nThe firmware file is corrupted.");
    if (verdict.isEmpty()) {
        qDebug() << "firmware file model:" << check.model << m_cameraModel;
        if (check.model != m_cameraModel)
            verdict = tr("<h3>Unable to Upgrade</h3>\r\nThe upgrade version does not match this device.");
    }
    if (!verdict.isEmpty()) {
        clearWorkspace(workspace);
        showMessageBox(check.reason.isEmpty() ? verdict : verdict + "<br>" + check.reason.toHtmlEscaped());
        m_isUpgrading = false;
        return;
    }
    FormUpgrade confirm;
    confirm.setDetails(shortDeviceName(m_currentDeviceName), m_camera.state().firmware, modelDisplayName(check.model), check.version);
    // The poller reports a waiting camera about every 11 s: one seen lately is still there.
    const UpgradeWorkers &state = *m_upgradeWorkers.workers;
    if (state.lastAbnormalSeen.isValid() && state.lastAbnormalSeen.elapsed() < kAbnormalFreshMs)
        confirm.addNote(tr("Another camera, on USB port %1, is waiting in its update state. It is left as it is; "
                           "its rescue is offered once this upgrade has ended.")
                            .arg(state.lastAbnormalDrive.port));
    centreOnWindow(&confirm);
    if (confirm.exec() == QDialog::Accepted) {
        m_upgradeWorkers.workers->rescueDrive.reset();
        m_upgradeWorkers.workers->packageModel = check.model;
        m_upgradeWorkers.workers->familyConfirmed = false;
        startUpgrade();
        return;
    }
    qDebug() << "FormUpgrade rejected.";
    m_isUpgrading = false;
}

void MainWindow::startUpgrade()
{
    m_isUpgrading = true;
    m_dummyProgress = 0;
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->show();

    if (!m_upgradeWorkers.workers)
        m_upgradeWorkers.workers = new UpgradeWorkers;
    UpgradeWorkers &state = *m_upgradeWorkers.workers;
    auto *worker = new UpgradeThread(m_manufacturerCode, m_isOpened, &m_camera.unit(), firmwareWorkspace());
    UpgradeTarget target;
    if (state.rescueDrive) {
        target.port = state.rescueDrive->port;
        target.serial = state.rescueDrive->serial;
    } else {
        target.node = m_currentDeviceAlias;
        target.name = shortDeviceName(m_currentDeviceName);
        target.version = m_camera.state().firmware;
    }
    worker->setTarget(target);
    worker->setPackageModel(state.packageModel, state.familyConfirmed);
    state.rescueDrive.reset();
    state.versionChange.clear();
    connect(worker, &UpgradeThread::onUpgradeProgress, this, &MainWindow::slotOnUpgradeProgress);
    connect(worker, &UpgradeThread::cameraReturned, this, [this](const QString &before, const QString &after) {
        m_upgradeWorkers.workers->versionChange =
            before.isEmpty() ? QStringLiteral("V%1").arg(after) : QStringLiteral("V%1 → V%2").arg(before, after);
    });
    connect(worker, &UpgradeThread::onUpgradeReport, this, &MainWindow::slotOnUpgradeReport);
    state.track(worker, &UpgradeWorkers::upgrade);
    state.upgradeThread = startOnOwnThread(worker);

    ui->btnUpgrade->setEnabled(false);
    ui->btnRestoreDefaults->setEnabled(false);
}

void MainWindow::slotOnUpgradeProgress(qint64 sent, qint64 total)
{
    if (!m_isUpgrading || total <= 0)
        return;
    const int percent = int(qMin<qint64>(kProgressCeiling, sent * 100 / total));
    if (percent <= m_dummyProgress)
        return;
    m_dummyProgress = percent;
    ui->progressBarUpdate->setValue(m_dummyProgress);
}

void MainWindow::slotOnUpgradeReport(bool success, int progress, QString message)
{
    qDebug().noquote() << "upgrade report:" << message;
    m_isUpgrading = false;
    if (success && progress != 100)
        return;
    QString prompt;
    if (success) {
        ui->progressBarUpdate->setValue(100);
        prompt = tr("<h3>Upgrade is done!</h3>\r\nThe device is initializing, don't power off.");
        if (m_upgradeWorkers.workers && !m_upgradeWorkers.workers->versionChange.isEmpty())
            prompt += "<br>" + m_upgradeWorkers.workers->versionChange.toHtmlEscaped();
    } else {
        prompt = tr("<h3>Upgrade Failed!</h3>\r\nPlease unplug and re-plug the device and try again.");
        if (message != tr("Upgrade failed."))
            prompt += "<br>" + message.toHtmlEscaped();
    }
    showMessageBox(prompt, true);
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->hide();
    ui->btnUpgrade->setEnabled(true);
    ui->btnRestoreDefaults->setEnabled(true);
    // The camera came back while the run held the window: open it now.
    if (success && !m_isUpgrading)
        refreshCameraList();
}

void MainWindow::slotOnDeviceAbnormal(int state)
{
    qWarning() << "Detect camera abnormal, state:" << state;
    if (m_isUpgrading || m_isAbnormalShown)
        return;
    m_isAbnormalShown = true;
    UpgradeWorkers &workers = *m_upgradeWorkers.workers;
    FormAbnormal rescue;
    rescue.setDrive(workers.lastAbnormalDrive);
    rescue.setStartFolder(packageFolder());
    // Room for the udev rule line when the drive cannot be reached.
    rescue.setFixedSize(workers.lastAbnormalDrive.accessProblem.isEmpty() ? QSize(450, 180) : QSize(620, 360));
    centreOnWindow(&rescue);
    const int result = rescue.exec();
    if (!rescue.chosenFolder().isEmpty())
        workers.packageFolder = rescue.chosenFolder();
    if (result == QDialog::Accepted) {
        ui->btnNavSupport->click();
        FormUpgrade confirm;
        confirm.setDetails(QString(), QString(), modelDisplayName(rescue.packageModel()), rescue.packageVersion());
        centreOnWindow(&confirm);
        if (confirm.exec() == QDialog::Accepted) {
            workers.rescueDrive = workers.lastAbnormalDrive;
            workers.packageModel = rescue.packageModel();
            workers.familyConfirmed = rescue.familyConfirmed();
            startUpgrade();
        } else {
            qDebug() << "FormUpgrade rejected.";
        }
    } else {
        qDebug() << "FormAbnormal rejected.";
    }
    m_isAbnormalShown = false;
}
