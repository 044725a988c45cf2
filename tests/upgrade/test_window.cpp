// LABELS: worker
// The window's upgrade flow offscreen against the simulated kernel: package
// verdicts, the confirmation, a full run with its progress and result, the
// refused close, and the rescue of a camera left in an update state.

#include "../preview/qt_tsan_suppressions.h"
#include "modalanswer.h"
#include "upgraderig.h"
#include "zipwriter.h"

#include "core/catalogue.h"
#include "core/startup.h"
#include "sim/sim_camera.h"
#include "support/testsupport.h"
#include "ui/mainwindow.h"
#include "ui/mainwindow_form.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

using upgradetest::clickInNextModal;
using upgradetest::LogCapture;
using upgradetest::answerNextFileDialog;

namespace {

const QString kSuccess = "<h3>Upgrade is done!</h3>\r\nThe device is initializing, don't power off.";

class Window : public MainWindow {
public:
    using MainWindow::m_isAbnormalShown;
};

// Counts how often a widget of a given name is shown.
class ShowCounter : public QObject {
public:
    explicit ShowCounter(QString name) : m_name(std::move(name)) { qApp->installEventFilter(this); }
    ~ShowCounter() override { qApp->removeEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->objectName() == m_name && watched->isWidgetType())
            ++shown;
        return false;
    }

private:
    QString m_name;
};

// The real window (profile "Orvanta") with either the camera or its update drive plugged.
struct Fixture {
    QTemporaryDir dir;
    lumora::sim::SimKernel *sim = nullptr;
    std::unique_ptr<Window> window;

    explicit Fixture(const QString &driveState = QString())
    {
        initLumoraResources();
        QSettings settings(settingsFilePath(), QSettings::IniFormat);
        settings.setValue("/product_model/main", 1);
        settings.sync();
        auto kernel = std::make_unique<lumora::sim::SimKernel>();
        sim = kernel.get();
        if (driveState.isEmpty()) {
            sim->plug(lumora::sim::makeCamera(upgradetest::cameraConfig("1.0.0")));
        } else {
            QJsonObject drive = upgradetest::cameraConfig();
            drive.insert("state", driveState);
            drive.insert("camera", upgradetest::cameraConfig("1.0.0"));
            sim->plug(lumora::sim::makeUpdateDrive(drive));
        }
        lumora::platform::installKernel(std::move(kernel));
        window = std::make_unique<Window>();
    }
    ~Fixture()
    {
        window->close();
        window.reset();
        QFile::remove(settingsFilePath());
    }

    QProgressBar *bar() const { return window->ui->progressBarUpdate; }

    QString package(const QByteArray &model, bool kernel = true, const QByteArray &extraEntry = QByteArray())
    {
        const QString path = dir.filePath(QStringLiteral("fw%1.zip").arg(++m_packages));
        upgradetest::writeTestPackage(path, model, kernel, extraEntry);
        return path;
    }

    QString cameraFirmware() const
    {
        auto camera = sim->find<lumora::sim::SimCamera>("cam");
        return camera ? camera->config().value("firmware").toString() : QString();
    }

private:
    int m_packages = 0;
};

} // namespace

class TestWindowUpgrade : public QObject {
    Q_OBJECT

private slots:
    void verdicts_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<bool>("kernel");
        QTest::addColumn<QByteArray>("extraEntry");
        QTest::addColumn<QString>("verdict");
        const QString format = "<h3>Unable to Upgrade</h3>\r\nThe format of firmware file is not correct.";
        QTest::newRow("no kernel") << QByteArray("ORBIT 400") << false << QByteArray() << format;
        QTest::newRow("entry outside the package") << QByteArray("ORBIT 400") << true << QByteArray("../evil") << format;
        QTest::newRow("no model in the model file")
            << QByteArray("nothing") << true << QByteArray()
            << "<h3>Unable to Upgrade</h3>\r\nThe firmware file is corrupted.";
        QTest::newRow("another model") << QByteArray("ORBIT 300") << true << QByteArray()
                                       << "<h3>Unable to Upgrade</h3>\r\nThe upgrade version does not match this device.";
    }

    void verdicts()
    {
        QFETCH(QByteArray, model);
        QFETCH(bool, kernel);
        QFETCH(QByteArray, extraEntry);
        QFETCH(QString, verdict);
        Fixture f;
        QTRY_COMPARE(f.window->m_cameraModel, 12);
        QString shown;
        answerNextFileDialog(f.package(model, kernel, extraEntry));
        answerNextMessageBox(true, &shown, 30000);
        f.window->on_btnUpgrade_clicked();
        QCOMPARE(shown, verdict);
        QVERIFY(!f.window->m_isUpgrading);
        QVERIFY(f.bar()->isHidden());
    }

    void cancelled_data()
    {
        QTest::addColumn<bool>("pickPackage");
        QTest::addColumn<QString>("logged");
        QTest::newRow("file dialog") << false << "Open file dialog cancel.";
        QTest::newRow("confirmation") << true << "FormUpgrade rejected.";
    }

    void cancelled()
    {
        QFETCH(bool, pickPackage);
        QFETCH(QString, logged);
        Fixture f;
        QTRY_COMPARE(f.window->m_cameraModel, 12);
        const bool upgradeEnabled = f.window->ui->btnUpgrade->isEnabled();
        answerNextFileDialog(pickPackage ? f.package("ORBIT 400") : QString());
        clickInNextModal("FormUpgrade", "btnCancel");
        LogCapture log;
        f.window->on_btnUpgrade_clicked();
        QVERIFY(log.has(logged));
        QVERIFY(!f.window->m_isUpgrading);
        QVERIFY(f.bar()->isHidden());
        QCOMPARE(f.window->ui->btnUpgrade->isEnabled(), upgradeEnabled);
    }

    void fullRun()
    {
        Fixture f;
        QTRY_COMPARE(f.window->m_cameraModel, 12);
        QVector<int> shownValues;
        connect(f.bar(), &QProgressBar::valueChanged, this, [&](int value) { shownValues << value; });
        answerNextFileDialog(f.package("ORBIT 400"));
        clickInNextModal("FormUpgrade", "btnOK");
        f.window->on_btnUpgrade_clicked();
        QVERIFY(f.window->m_isUpgrading);
        QVERIFY(!f.bar()->isHidden());
        QCOMPARE(f.bar()->value(), 0);
        QVERIFY(!f.window->ui->btnUpgrade->isEnabled());

        QString refusal;
        answerNextMessageBox(true, &refusal);
        QVERIFY(!f.window->close());
        QCOMPARE(refusal, QString("Cannot exit during the upgrade process!"));

        QString result;
        int valueWithResult = -1;
        clickInNextModal("FormCustomizeMessagebox", "btnOK", [&](QWidget *box) {
            result = box->findChild<QLabel *>("labeltext")->text();
            valueWithResult = f.bar()->value();
        });
        QTRY_VERIFY_WITH_TIMEOUT(!result.isEmpty() && f.bar()->isHidden(), 60000);
        QCOMPARE(result, kSuccess);
        QCOMPARE(valueWithResult, 100);
        QCOMPARE(f.bar()->value(), 0);
        QVERIFY(f.window->ui->btnUpgrade->isEnabled());
        // 2 to 4 a tick from 0, never past 99, then 100 with the result, then 0.
        QVERIFY(shownValues.size() >= 2);
        QCOMPARE(shownValues.mid(shownValues.size() - 2), (QVector<int>{100, 0}));
        int previous = 0;
        for (int value : shownValues.mid(0, shownValues.size() - 2)) {
            QVERIFY2(value <= 99 && (value - previous >= 2 && value - previous <= 4 || value == 99), qPrintable(QString::number(value)));
            previous = value;
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.cameraFirmware(), QString("2.0.0"), 10000);
    }

    void rescue()
    {
        Fixture f("rom");
        ShowCounter abnormalShown("FormAbnormal");
        LogCapture log;
        QString result;
        clickInNextModal("FormAbnormal", "btnUpgrade", [&](QWidget *) {
            // The poller keeps reporting: logged, but no second dialog.
            f.window->slotOnDeviceAbnormal(0);
        });
        answerNextFileDialog(f.package("nothing known"));
        clickInNextModal("FormUpgrade", "btnOK");
        clickInNextModal("FormCustomizeMessagebox", "btnOK",
                         [&](QWidget *box) { result = box->findChild<QLabel *>("labeltext")->text(); }, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(result, kSuccess, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(f.cameraFirmware(), QString("2.0.0"), 10000);
        QCOMPARE(abnormalShown.shown, 1);
        QVERIFY(log.count("Detect camera abnormal, state: 0") >= 2);
        QVERIFY(!f.window->m_isAbnormalShown);
    }

    // Claiming the drive's interface takes its disk node away: that is no
    // drive leaving, no camera leaving and no reason to offer a rescue.
    void diskNodeGoesWhileClaimed()
    {
        QTemporaryDir traceDir;
        const QString tracePath = traceDir.filePath("trace.log");
        qputenv("LUMORA_TRACE", tracePath.toUtf8());
        Fixture f("uboot");
        qunsetenv("LUMORA_TRACE");
        ShowCounter abnormalShown("FormAbnormal");
        LogCapture log;
        QString result;
        clickInNextModal("FormAbnormal", "btnUpgrade");
        answerNextFileDialog(f.package("ORBIT 400"));
        clickInNextModal("FormUpgrade", "btnOK");
        clickInNextModal("FormCustomizeMessagebox", "btnOK",
                         [&](QWidget *box) { result = box->findChild<QLabel *>("labeltext")->text(); }, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(result, kSuccess, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(f.cameraFirmware(), QString("2.0.0"), 10000);

        QFile file(tracePath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString trace = QString::fromUtf8(file.readAll());
        const int claimed = trace.indexOf(" claim if=0 disconnect");
        QVERIFY(claimed > 0);
        QVERIFY2(trace.indexOf(QRegularExpression("event remove \\S+/block/sd[b-z]\n"), claimed) > claimed,
                 qPrintable(trace.left(2000)));
        QCOMPARE(abnormalShown.shown, 1);
        const QStringList lines = log.lines();
        const int switched = lines.indexOf(QRegularExpression("update drive /dev/sd.: SG_IO refuses vendor commands.*"));
        QVERIFY(switched >= 0);
        for (const QString &line : lines.mid(switched)) {
            QVERIFY2(!line.startsWith("Detect camera abnormal"), qPrintable(line));
            QVERIFY2(!line.startsWith("devicePath out") && line != "usb camera out", qPrintable(line));
        }
    }
};

QTEST_MAIN(TestWindowUpgrade)
#include "test_window.moc"
