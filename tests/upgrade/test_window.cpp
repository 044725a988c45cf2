// LABELS: worker
// The window's upgrade flow offscreen against the simulated kernel: package
// verdicts, the confirmation, a full run with its progress and result, the
// refused close, and the rescue of a camera left in an update state.

#include "../preview/qt_tsan_suppressions.h"
#include "hostilepackages.h"
#include "modalanswer.h"
#include "upgraderig.h"
#include "zipwriter.h"

#include "core/catalogue.h"
#include "gui/startup.h"
#include "sim/sim_camera.h"
#include "support/testsupport.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"
#include "gui/dialogs/formupgrade.h"
#include "upgrade/firmwareworkspace.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

using upgradetest::clickInNextModal;
using upgradetest::LogCapture;
using upgradetest::answerNextFileDialog;
using upgradetest::onNextModal;

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

    explicit Fixture(const QString &driveState = QString(), const QJsonObject &driveExtra = QJsonObject())
    {
        initLumoraResources();
        qputenv("LUMORA_TRACE", dir.filePath("trace.log").toUtf8());
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
            for (auto it = driveExtra.begin(); it != driveExtra.end(); ++it)
                drive.insert(it.key(), it.value());
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

    QString writePackage(const QByteArray &bytes) { return upgradetest::writeNumberedPackage(dir.path(), &m_packages, bytes); }

    // Whether EnterUpgradeMode or any vendor SCSI command reached a device.
    bool cameraTouched() const
    {
        QFile file(dir.filePath("trace.log"));
        return file.open(QIODevice::ReadOnly) && upgradetest::touchesCamera(QString::fromUtf8(file.readAll()).split('\n'));
    }

    static QStringList workspaceEntries()
    {
        return QDir(lumora::upgrade::firmwareWorkspace()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
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
        QTRY_COMPARE_WITH_TIMEOUT(f.window->m_cameraModel, 12, deadlineMs(5000));
        QString shown;
        answerNextFileDialog(f.package(model, kernel, extraEntry));
        answerNextMessageBox(true, &shown, 30000);
        f.window->on_btnUpgrade_clicked();
        QVERIFY2(shown == verdict || shown.startsWith(verdict + "<br>"), qPrintable(shown));
        QVERIFY(!f.window->m_isUpgrading);
        QVERIFY(f.bar()->isHidden());
        QCOMPARE(Fixture::workspaceEntries(), QStringList());
    }

    // Damaged packages: the verdict names the reason, nothing stays unpacked,
    // and nothing reaches the camera.
    void damagedPackages_data() { upgradetest::addHostilePackageRows(); }

    void damagedPackages()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QFETCH(bool, killTool);
        Fixture f;
        QTRY_COMPARE_WITH_TIMEOUT(f.window->m_cameraModel, 12, deadlineMs(5000));
        const QByteArray path = qgetenv("PATH");
        if (killTool)
            qputenv("PATH", upgradetest::writeKilledTool(f.dir.path()).toUtf8() + ':' + path);
        QString shown;
        answerNextFileDialog(f.writePackage(bytes));
        answerNextMessageBox(true, &shown, 30000);
        f.window->on_btnUpgrade_clicked();
        qputenv("PATH", path);
        QVERIFY2(shown.startsWith("<h3>Unable to Upgrade</h3>\r\nThe format of firmware file is not correct.<br>"), qPrintable(shown));
        QVERIFY2(shown.contains(reason), qPrintable(shown));
        QCOMPARE(Fixture::workspaceEntries(), QStringList());
        QVERIFY(!f.window->m_isUpgrading);
        QVERIFY(!f.cameraTouched());
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
        QTRY_COMPARE_WITH_TIMEOUT(f.window->m_cameraModel, 12, deadlineMs(5000));
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
        QTRY_COMPARE_WITH_TIMEOUT(f.window->m_cameraModel, 12, deadlineMs(5000));
        ShowCounter abnormalShown("FormAbnormal");
        QVector<int> shownValues;
        connect(f.bar(), &QProgressBar::valueChanged, this, [&](int value) { shownValues << value; });
        answerNextFileDialog(f.package("ORBIT 400"));
        QString confirmation;
        clickInNextModal("FormUpgrade", "btnOK", [&](QWidget *w) { confirmation = static_cast<FormUpgrade *>(w)->prompt(); });
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
        QTRY_VERIFY_WITH_TIMEOUT(!result.isEmpty() && f.bar()->isHidden(), deadlineMs(60000));
        QCOMPARE(result, kSuccess + "<br>V1.0.0 → V2.0.0");
        QCOMPARE(valueWithResult, 100);
        QCOMPARE(f.bar()->value(), 0);
        QVERIFY(f.window->ui->btnUpgrade->isEnabled());
        // Rising with the bytes sent, never past 95 before the result, then 100 with it, then 0.
        QVERIFY(shownValues.size() >= 3);
        QCOMPARE(shownValues.mid(shownValues.size() - 2), (QVector<int>{100, 0}));
        const QVector<int> during = shownValues.mid(0, shownValues.size() - 2);
        QCOMPARE(during.last(), 95);
        for (int i = 1; i < during.size(); ++i)
            QVERIFY2(during.at(i) > during.at(i - 1) && during.at(i) <= 95, qPrintable(QString::number(during.at(i))));
        QCOMPARE(f.cameraFirmware(), QString("2.0.0"));
        // The camera that came back is opened again, and no rescue was offered on the way.
        QTRY_VERIFY_WITH_TIMEOUT(f.window->m_isOpened, deadlineMs(10000));
        QCOMPARE(abnormalShown.shown, 0);
        QVERIFY2(confirmation.contains("Camera: ORBIT 400, firmware V1.0.0") && confirmation.contains("Package: ORBIT 400, firmware V2.0.0"),
                 qPrintable(confirmation));
        QVERIFY(!confirmation.contains("older") && !confirmation.contains("already has"));
    }

    // After a switch to the other profile, the poller looks for that profile's
    // update drives: an ORBIT left in u-Boot is offered for rescue.
    void pollerFollowsProfileSwitch()
    {
        initLumoraResources();
        QSettings(settingsFilePath(), QSettings::IniFormat).setValue("/product_model/main", 0);
        auto kernel = std::make_unique<lumora::sim::SimKernel>();
        kernel->plug(lumora::sim::makeCamera(upgradetest::cameraConfig("1.0.0")));
        QJsonObject stuck = upgradetest::cameraConfig("1.0.0");
        stuck["id"] = "stuck";
        stuck["port"] = "1-6";
        stuck["serial"] = "OR4000002";
        QJsonObject drive = stuck;
        drive.insert("state", "uboot");
        drive.insert("camera", stuck);
        kernel->plug(lumora::sim::makeUpdateDrive(drive));
        lumora::platform::installKernel(std::move(kernel));
        bool offered = false;
        clickInNextModal("FormAbnormal", "btnCancel", [&](QWidget *) { offered = true; });
        MainWindow window;
        QCOMPARE(window.m_manufacturerCode, 0);
        window.findChild<QPushButton *>(QStringLiteral("btnSwitchProfile"))->click();
        QCOMPARE(window.m_manufacturerCode, 1);
        QTRY_VERIFY_WITH_TIMEOUT(offered, deadlineMs(20000));
        window.close();
        QFile::remove(settingsFilePath());
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
        answerNextFileDialog(f.package("ORBIT 400"));
        QString confirmation;
        clickInNextModal("FormUpgrade", "btnOK", [&](QWidget *w) { confirmation = static_cast<FormUpgrade *>(w)->prompt(); });
        clickInNextModal("FormCustomizeMessagebox", "btnOK",
                         [&](QWidget *box) { result = box->findChild<QLabel *>("labeltext")->text(); }, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(result, kSuccess + "<br>V2.0.0", deadlineMs(60000));
        QVERIFY2(confirmation.contains("Package: ORBIT 400, firmware V2.0.0"), qPrintable(confirmation));
        QCOMPARE(f.cameraFirmware(), QString("2.0.0"));
        QCOMPARE(abnormalShown.shown, 1);
        QVERIFY(log.count("Detect camera abnormal, state: 0") >= 2);
        QVERIFY(!f.window->m_isAbnormalShown);
    }

    // Claiming the drive's interface takes its disk node away: that is no
    // drive leaving, no camera leaving and no reason to offer a rescue.
    void diskNodeGoesWhileClaimed()
    {
        Fixture f("uboot");
        ShowCounter abnormalShown("FormAbnormal");
        LogCapture log;
        QString result;
        clickInNextModal("FormAbnormal", "btnUpgrade");
        answerNextFileDialog(f.package("ORBIT 400"));
        clickInNextModal("FormUpgrade", "btnOK");
        clickInNextModal("FormCustomizeMessagebox", "btnOK",
                         [&](QWidget *box) { result = box->findChild<QLabel *>("labeltext")->text(); }, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(result, kSuccess + "<br>V2.0.0", deadlineMs(60000));
        QTRY_COMPARE_WITH_TIMEOUT(f.cameraFirmware(), QString("2.0.0"), deadlineMs(10000));

        QFile file(f.dir.filePath("trace.log"));
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

    // The confirmation warns about a package that is not newer than the camera.
    void confirmationWarnsAboutOldFirmware_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("warning");
        QTest::newRow("same") << "1.0.0" << "The camera already has this firmware version.";
        QTest::newRow("older") << "0.9.12" << "The package's firmware is older than the camera's.";
    }

    void confirmationWarnsAboutOldFirmware()
    {
        QFETCH(QString, version);
        QFETCH(QString, warning);
        Fixture f;
        QTRY_COMPARE_WITH_TIMEOUT(f.window->m_cameraModel, 12, deadlineMs(5000));
        upgradetest::PackageParts parts;
        parts.version = version;
        QString confirmation;
        answerNextFileDialog(f.writePackage(upgradetest::testPackage("ORBIT 400", parts).bytes()));
        clickInNextModal("FormUpgrade", "btnCancel", [&](QWidget *w) { confirmation = static_cast<FormUpgrade *>(w)->prompt(); });
        f.window->on_btnUpgrade_clicked();
        QVERIFY2(confirmation.contains(warning), qPrintable(confirmation));
        QVERIFY(confirmation.contains("Package: ORBIT 400, firmware V" + version));
    }

    // The file dialog opens in Downloads, then in the folder used last.
    void fileDialogStartsInDownloadsThenTheLastFolder()
    {
        Fixture f;
        QTRY_COMPARE_WITH_TIMEOUT(f.window->m_cameraModel, 12, deadlineMs(5000));
        const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QDir().mkpath(downloads);
        QStringList folders;
        const auto note = [&] {
            onNextModal([](QWidget *w) { return qobject_cast<QFileDialog *>(w) != nullptr; },
                        [&](QWidget *w) {
                            folders << QFileInfo(static_cast<QFileDialog *>(w)->directory().absolutePath()).canonicalFilePath();
                        }, 30000);
        };
        note();
        answerNextFileDialog(f.package("ORBIT 400"));
        clickInNextModal("FormUpgrade", "btnCancel");
        f.window->on_btnUpgrade_clicked();
        note();
        answerNextFileDialog(QString());
        f.window->on_btnUpgrade_clicked();
        QCOMPARE(folders, (QStringList{QFileInfo(downloads).canonicalFilePath(), QFileInfo(f.dir.path()).canonicalFilePath()}));
    }

    // A package that fails its check is named in a box; the rescue dialog stays open.
    void rescueRefusesWhatDoesNotFit_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<bool>("kernel");
        QTest::addColumn<QString>("shown");
        QTest::newRow("another family") << QByteArray("ORBIT 160A") << true << "The camera is a ORBIT 400; the package is for the ORBIT 160A.";
        QTest::newRow("no model") << QByteArray("nothing known") << true << "The firmware file is corrupted.";
        QTest::newRow("no kernel") << QByteArray("ORBIT 400") << false << "The format of firmware file is not correct.";
    }

    void rescueRefusesWhatDoesNotFit()
    {
        QFETCH(QByteArray, model);
        QFETCH(bool, kernel);
        QFETCH(QString, shown);
        Fixture f("rom");
        QString box;
        bool stillOpen = false;
        clickInNextModal("FormAbnormal", "btnUpgrade");
        answerNextFileDialog(f.package(model, kernel));
        clickInNextModal("FormCustomizeMessagebox", "btnOK", [&](QWidget *w) {
            box = w->findChild<QLabel *>("labeltext")->text();
            // The rescue dialog then stays for another choice: cancel it.
            clickInNextModal("FormAbnormal", "btnCancel", [&](QWidget *) { stillOpen = true; });
        });
        LogCapture log;
        QTRY_VERIFY_WITH_TIMEOUT(log.has("FormAbnormal rejected."), deadlineMs(30000));
        QVERIFY2(box.contains(shown), qPrintable(box));
        QVERIFY(stillOpen);
        QVERIFY(!f.cameraTouched());
    }

    // A drive whose USB device node this user cannot write to: the offer says
    // so at once, with the rule line for its ids, before anything is sent.
    void rescueOfferNamesTheRuleLineForIdsOutOfReach()
    {
        Fixture f("rom", {{"vendorId", "0x1b3f"}, {"productId", "0x0c52"}});
        LogCapture log;
        QString prompt;
        clickInNextModal("FormAbnormal", "btnCancel",
                         [&](QWidget *w) { prompt = w->findChild<QLabel *>("labelPrompt")->text(); });
        QTRY_VERIFY_WITH_TIMEOUT(log.has("FormAbnormal rejected."), deadlineMs(30000));
        const QString line = R"(SUBSYSTEM=="usb", ATTR{idVendor}=="1b3f", ATTR{idProduct}=="0c52", TAG+="uaccess")";
        QVERIFY2(prompt.contains(line.toHtmlEscaped()), qPrintable(prompt));
        QVERIFY2(prompt.contains("cannot be opened for writing"), qPrintable(prompt));
        QVERIFY2(prompt.contains("sudo udevadm control --reload"), qPrintable(prompt));
        QVERIFY2(prompt.contains("Running the rescue as root works at once."), qPrintable(prompt));
        QVERIFY(!f.cameraTouched());
    }

    // A drive that does not tell its model is flashed only after a second confirmation naming the package's model.
    void rescueOfAnUnknownModelAsksFirst_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("confirmed") << true;
        QTest::newRow("declined") << false;
    }

    void rescueOfAnUnknownModelAsksFirst()
    {
        QFETCH(bool, confirm);
        Fixture f("uboot", {{"vendorId", "0x5a17"}, {"productId", "0x0999"}});
        QString question, result;
        clickInNextModal("FormAbnormal", "btnUpgrade");
        answerNextFileDialog(f.package("ORBIT 400"));
        clickInNextModal("FormCustomizeMessagebox", confirm ? "btnOK" : "btnCancel", [&](QWidget *w) {
            question = w->findChild<QLabel *>("labeltext")->text();
            if (confirm) {
                clickInNextModal("FormUpgrade", "btnOK");
                clickInNextModal("FormCustomizeMessagebox", "btnOK",
                                 [&](QWidget *box) { result = box->findChild<QLabel *>("labeltext")->text(); }, 60000);
            } else {
                clickInNextModal("FormAbnormal", "btnCancel");
            }
        });
        LogCapture log;
        if (confirm) {
            QTRY_VERIFY_WITH_TIMEOUT(result.startsWith(kSuccess), deadlineMs(60000));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(log.has("FormAbnormal rejected."), deadlineMs(30000));
            QVERIFY(!f.cameraTouched());
        }
        QVERIFY2(question.contains("<b>ORBIT 400</b>"), qPrintable(question));
    }
};

QTEST_MAIN(TestWindowUpgrade)
#include "test_window.moc"
