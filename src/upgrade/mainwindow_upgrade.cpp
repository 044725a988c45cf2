// The main window's side of a firmware upgrade: the upgrade button and the
// package verdicts, the confirmation, the worker run with its simulated
// progress, the result, and the rescue offer for a camera left in an update
// state.

#include "ui/mainwindow.h"
#include "ui/mainwindow_form.h"

#include "upgrade/abnormaldetectthread.h"
#include "upgrade/firmwarepackage.h"
#include "upgrade/firmwareworkspace.h"
#include "upgrade/formabnormal.h"
#include "upgrade/formupgrade.h"
#include "upgrade/upgradethread.h"
#include "upgrade/workerthread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileDialog>
#include <QPointer>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <mutex>

using namespace lumora::upgrade;

// A worker is touched from here only until it says it has finished: the
// pointers are cleared, under the lock, by the worker's own workFinished.
struct MainWindow::UpgradeWorkers {
    std::mutex mutex;
    UpgradeThread *upgrade = nullptr;
    QPointer<QThread> upgradeThread;
    AbnormalDetectThread *poller = nullptr;
    QPointer<QThread> pollerThread;

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

void MainWindow::startAbnormalDetection()
{
    if (!m_upgradeWorkers.workers)
        m_upgradeWorkers.workers = new UpgradeWorkers;
    auto *poller = new AbnormalDetectThread(m_manufacturerCode);
    connect(poller, &AbnormalDetectThread::onDeviceAbnormal, this, &MainWindow::slotOnDeviceAbnormal);
    m_upgradeWorkers.workers->track(poller, &UpgradeWorkers::poller);
    m_upgradeWorkers.workers->pollerThread = startOnOwnThread(poller);
}

void MainWindow::on_btnUpgrade_clicked()
{
    qInfo().noquote() << "app dir:" << QCoreApplication::applicationDirPath();
    const QString path = QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Upgrade File(*.zip)"));
    if (path.isEmpty()) {
        qDebug() << "Open file dialog cancel.";
        m_isUpgrading = false;
        return;
    }
    const QString workspace = firmwareWorkspace();
    int model = -1;
    QString verdict;
    if (!unpackPackage(path, workspace))
        verdict = tr("<h3>Unable to Upgrade</h3>\r\nThe format of firmware file is not correct.");
    else if (!readPackageModel(workspace, &model))
        verdict = tr("<h3>Unable to Upgrade</h3>\r\nThe firmware file is corrupted.");
    if (verdict.isEmpty()) {
        qDebug() << "firmware file model:" << model << m_cameraModel;
        if (model != m_cameraModel)
            verdict = tr("<h3>Unable to Upgrade</h3>\r\nThe upgrade version does not match this device.");
    }
    if (!verdict.isEmpty()) {
        showMessageBox(verdict);
        m_isUpgrading = false;
        return;
    }
    FormUpgrade confirm;
    centreOnWindow(&confirm);
    if (confirm.exec() == QDialog::Accepted) {
        startUpgrade();
        return;
    }
    qDebug() << "FormUpgrade rejected.";
    m_isUpgrading = false;
}

void MainWindow::startUpgrade()
{
    m_isUpgrading = true;
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->show();

    if (!m_upgradeWorkers.workers)
        m_upgradeWorkers.workers = new UpgradeWorkers;
    auto *worker = new UpgradeThread(m_manufacturerCode, m_isOpened, &m_camera.unit(), firmwareWorkspace());
    connect(worker, &UpgradeThread::onUpgradeReport, this, &MainWindow::slotOnUpgradeReport);
    m_upgradeWorkers.workers->track(worker, &UpgradeWorkers::upgrade);
    m_upgradeWorkers.workers->upgradeThread = startOnOwnThread(worker);

    ui->btnUpgrade->setEnabled(false);
    ui->btnRestoreDefaults->setEnabled(false);

    m_dummyProgress = 0;
    if (m_dummyTimer) {
        m_dummyTimer->stop();
        delete m_dummyTimer;
    }
    m_dummyTimer = new QTimer(this);
    connect(m_dummyTimer, &QTimer::timeout, this, &MainWindow::slotOnUpdateDummyTimeout);
    m_dummyTimer->start(1000);
}

void MainWindow::slotOnUpdateDummyTimeout()
{
    // 2 plus 0, 1 or 2, until the report takes over at 99 at the most.
    const auto step = int((quint64(QRandomGenerator::global()->generate()) * 3) >> 32);
    m_dummyProgress = qMin(m_dummyProgress + 2 + step, 99);
    ui->progressBarUpdate->setValue(m_dummyProgress);
}

void MainWindow::slotOnUpgradeReport(bool success, int progress, QString message)
{
    qDebug().noquote() << "upgrade report:" << message;
    m_isUpgrading = false;
    if (success && progress != 100)
        return;
    delete m_dummyTimer;
    m_dummyTimer = nullptr;
    if (success)
        ui->progressBarUpdate->setValue(100);
    showMessageBox(success ? tr("<h3>Upgrade is done!</h3>\r\nThe device is initializing, don't power off.")
                           : tr("<h3>Upgrade Failed!</h3>\r\nPlease unplug and re-plug the device and try again."),
                   true);
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->hide();
    ui->btnUpgrade->setEnabled(true);
    ui->btnRestoreDefaults->setEnabled(true);
}

void MainWindow::slotOnDeviceAbnormal(int state)
{
    qWarning() << "Detect camera abnormal, state:" << state;
    if (m_isUpgrading || m_isAbnormalShown)
        return;
    m_isAbnormalShown = true;
    FormAbnormal rescue;
    rescue.setFixedSize(450, 180);
    centreOnWindow(&rescue);
    if (rescue.exec() == QDialog::Accepted) {
        ui->btnNavSupport->click();
        FormUpgrade confirm;
        centreOnWindow(&confirm);
        if (confirm.exec() == QDialog::Accepted)
            startUpgrade();
        else
            qDebug() << "FormUpgrade rejected.";
    } else {
        qDebug() << "FormAbnormal rejected.";
    }
    m_isAbnormalShown = false;
}
