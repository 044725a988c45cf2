// LABELS: worker
// The upgrade worker end to end from every starting point, and the poller,
// on their own threads against the simulated kernel.

#include "../preview/qt_tsan_suppressions.h"
#include "hostilepackages.h"
#include "upgraderig.h"
#include "device/uvcextensionunit.h"
#include "sim/sim_camera.h"
#include "upgrade/abnormaldetectthread.h"
#include "upgrade/upgradetarget.h"
#include "upgrade/upgradethread.h"
#include "upgrade/workerthread.h"
#include "support/testsupport.h"

#include <QPointer>
#include <QtTest>

using namespace lumora::upgrade;
using upgradetest::UpgradeRig;

namespace {

constexpr int kOrvanta = 1;
constexpr int kNoProfile = 2; // accepts no update drive at all

struct Report {
    bool success;
    int progress;
    QString message;
    bool operator==(const Report &o) const { return success == o.success && progress == o.progress && message == o.message; }
};

const Report kDone{true, 100, "Upgrade done."};

// Collects a worker's results on the test's thread, as the window does.
class Recorder : public QObject {
    Q_OBJECT
public:
    QVector<Report> reports;
    QVector<QPair<qint64, qint64>> progress;
    QStringList versions;
    QVector<int> abnormal;
    int started = 0;
    int finished = 0;
    QPointer<QThread> thread;
    int driveSearchIntervalMs = 0; // 0: the worker's own

    void run(UpgradeThread *worker)
    {
        if (driveSearchIntervalMs > 0)
            worker->setDriveSearchIntervalMs(driveSearchIntervalMs);
        connect(worker, &UpgradeThread::onUpgradeReport, this, &Recorder::report);
        connect(worker, &UpgradeThread::onUpgradeProgress, this, [this](qint64 sent, qint64 total) { progress.append({sent, total}); });
        connect(worker, &UpgradeThread::cameraReturned, this, [this](const QString &a, const QString &b) { versions << a << b; });
        connect(worker, &UpgradeThread::workStart, this, [this] { ++started; });
        connect(worker, &UpgradeThread::workFinished, this, [this] { ++finished; });
        thread = startOnOwnThread(worker);
    }
    // A run on the working camera `target` names.
    UpgradeThread *runOn(const QString &workspace, UVCExtensionUnit *unit, const UpgradeTarget &target, int profile = kOrvanta)
    {
        auto *worker = new UpgradeThread(profile, true, unit, workspace);
        worker->setTarget(target);
        run(worker);
        return worker;
    }
    void run(AbnormalDetectThread *poller)
    {
        connect(poller, &AbnormalDetectThread::onDeviceAbnormal, this, [this](int state) { abnormal << state; });
        connect(poller, &AbnormalDetectThread::workFinished, this, [this] { ++finished; });
        thread = startOnOwnThread(poller);
    }

public slots:
    void report(bool success, int progress, const QString &message) { reports.append({success, progress, message}); }
};

void writePackage(UpgradeRig &rig, bool updater = true, bool bootLoader = true)
{
    rig.writeFile("auto_update.txt", "# demo\nsetenv fw_version 2.0.0\nestar scripts/kernel.txt\nreset\n");
    rig.writeFile("scripts/kernel.txt", "tftp 0x21000000 kernel\nsetenv bootcmd bootm 0x21000000\n");
    rig.writeFile("kernel", QByteArray(70000, 'k'));
    if (updater)
        rig.writeFile("usb_updater.bin", QByteArray(5000, 'u'));
    if (bootLoader)
        rig.writeFile("u-boot.bin", QByteArray(40000, 'b'));
}

// The working camera of cameraConfig(), opened, as the upgrade's target.
struct WorkingCamera {
    UVCExtensionUnit unit;
    UpgradeTarget target;
    explicit WorkingCamera(UpgradeRig &rig, const QJsonObject &config = upgradetest::cameraConfig("1.0.0"))
    {
        rig.kernel->plug(lumora::sim::makeCamera(config));
        unit.InitVideoDevice(QString(), config.value("product").toString());
        target.node = rig.kernel->devNodes(config.value("id").toString()).value(0);
        target.version = config.value("firmware").toString();
    }
};

// Bytes of data chunks and command lines the drives took, from the trace.
qint64 payloadBytes(const QStringList &vendorCommands)
{
    qint64 bytes = 0;
    static const QRegularExpression payload("^cdb=e8(01|04|06)\\S+ dir=out len=(\\d+)");
    for (const QString &line : vendorCommands) {
        const QRegularExpressionMatch m = payload.match(line);
        if (m.hasMatch())
            bytes += m.captured(2).toLongLong();
    }
    return bytes;
}

QString cameraFirmware(UpgradeRig &rig)
{
    auto camera = rig.kernel->find<lumora::sim::SimCamera>("cam");
    return camera ? camera->config().value("firmware").toString() : QString();
}

} // namespace

class TestWorkers : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // No system bus here, whatever the machine running the tests has.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/lumora-test-bus");
    }

    void rescueFromEachState_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("ROM") << "rom";
        QTest::newRow("Updater") << "updater";
        QTest::newRow("u-Boot") << "uboot";
    }

    void rescueFromEachState()
    {
        QFETCH(QString, state);
        UpgradeRig rig;
        writePackage(rig);
        rig.plugDrive(state);
        Recorder recorder;
        recorder.run(new UpgradeThread(kOrvanta, false, nullptr, rig.workspace()));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(20000));
        QCOMPARE(recorder.reports, QVector<Report>{kDone});
        QTRY_COMPARE_WITH_TIMEOUT(cameraFirmware(rig), QString("2.0.0"), deadlineMs(5000));
        QTRY_VERIFY_WITH_TIMEOUT(recorder.thread.isNull(), deadlineMs(5000));
    }

    void fromWorkingCamera()
    {
        UpgradeRig rig;
        writePackage(rig);
        WorkingCamera camera(rig);
        upgradetest::LogCapture log;
        Recorder recorder;
        recorder.runOn(rig.workspace(), &camera.unit, camera.target);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(30000));
        QCOMPARE(recorder.reports, QVector<Report>{kDone});
        // Without a system bus the run says so once and goes on.
        QCOMPARE(log.count("no system bus: the machine is not kept from sleeping during the upgrade"), 1);
        // Success is reported once the camera is back with its new firmware.
        QCOMPARE(cameraFirmware(rig), QString("2.0.0"));
        QCOMPARE(recorder.versions, (QStringList{"1.0.0", "2.0.0"}));
        // The kernel went in as one sub-command 1 chunk of 32768 bytes, then the rest.
        const QStringList commands = rig.takeVendorCommands();
        QVERIFY(commands.contains("cdb=e8010000000000008000 dir=out len=32768"));
        QVERIFY(commands.contains("cdb=e8040000000000001170 dir=out len=4464"));
        QVERIFY(commands.contains("cdb=e806000000000000001b dir=out len=27"));
        // Progress counts the bytes the drive took: never backwards, all of them at the end.
        QVERIFY(!recorder.progress.isEmpty());
        for (int i = 1; i < recorder.progress.size(); ++i)
            QVERIFY(recorder.progress.at(i).first >= recorder.progress.at(i - 1).first);
        QCOMPARE(recorder.progress.last().first, recorder.progress.last().second);
        QCOMPARE(recorder.progress.last().second, payloadBytes(commands));
    }

    // A camera that takes 15 s to come back as its update drive, ten times
    // the simulator's own: the run keeps searching (about 20 s) and succeeds.
    void slowCameraIsWaitedFor()
    {
        UpgradeRig rig;
        writePackage(rig);
        QJsonObject config = upgradetest::cameraConfig("1.0.0");
        // A camera that takes most of the worker's 41 searches to switch (15 s
        // of 20.5 s for a user); searches five times faster, and so is it.
        config.insert("upgradeSwitchMs", 3000);
        WorkingCamera camera(rig, config);
        Recorder recorder;
        recorder.driveSearchIntervalMs = 100;
        recorder.runOn(rig.workspace(), &camera.unit, camera.target);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(45000));
        QCOMPARE(recorder.reports, QVector<Report>{kDone});
        QCOMPARE(cameraFirmware(rig), QString("2.0.0"));
        QTRY_VERIFY_WITH_TIMEOUT(recorder.thread.isNull(), deadlineMs(5000));
    }

    // Each script is refused before EnterUpgradeMode: nothing reaches the camera.
    void scriptsRefusedBeforeTheFirstWrite_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("why");
        const QByteArray load = "tftp 0x21000000 kernel\n";
        QByteArray nested = "estar n1.txt\nreset\n";
        QTest::newRow("CR-only line ends") << QByteArray("setenv a 1\rtftp 0x21000000 kernel\rreset\r") << "no command to run";
        QTest::newRow("reset on an unterminated last line") << load + "reset" << "never reaches \"reset\"";
        QTest::newRow("missing tftp file") << QByteArray("tftp 0x21000000 kernel2\nreset\n") << "the file kernel2";
        QTest::newRow("tftp address not hexadecimal") << QByteArray("tftp 0xZZ kernel\nreset\n") << "tftp address";
        QTest::newRow("missing estar target") << QByteArray("mmc erase 0 100\nestar scripts/none.txt\nreset\n")
                                              << "scripts/none.txt is not in the package";
        QTest::newRow("nesting of 17") << nested << "deeper than 16 levels";
        QTest::newRow("line of 1024 characters") << "setenv a " + QByteArray(1015, 'x') + "\nreset\n" << "longer than 1023";
        QTest::newRow("no executable line") << QByteArray("# only\n\n% comments\n") << "no command to run";
        QTest::newRow("reset only in a nested script") << QByteArray("estar scripts/end.txt\n") << "never reaches";
    }

    void scriptsRefusedBeforeTheFirstWrite()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, why);
        UpgradeRig rig;
        writePackage(rig);
        rig.writeFile("auto_update.txt", script);
        rig.writeFile("scripts/end.txt", "reset\n");
        for (int i = 1; i <= 17; ++i)
            rig.writeFile(QStringLiteral("n%1.txt").arg(i), i < 17 ? QStringLiteral("estar n%1.txt\n").arg(i + 1).toLatin1() : "printenv\n");
        WorkingCamera camera(rig);
        rig.takeTrace();
        Recorder recorder;
        recorder.runOn(rig.workspace(), &camera.unit, camera.target);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(10000));
        QCOMPARE(recorder.reports.size(), 1);
        QVERIFY(!recorder.reports.first().success);
        QVERIFY2(recorder.reports.first().message.contains(why), qPrintable(recorder.reports.first().message));
        QVERIFY(!upgradetest::touchesCamera(rig.takeTrace()));
        QCOMPARE(cameraFirmware(rig), QString("1.0.0"));
    }

    // Camera A is upgraded while camera B waits in u-Boot on another port: B gets nothing.
    void twoCamerasOnlyTheChosenOneIsFlashed()
    {
        UpgradeRig rig;
        writePackage(rig);
        QJsonObject other = upgradetest::cameraConfig();
        other.insert("id", "stuck");
        other.insert("port", "1-6");
        other.insert("serial", "OR4000002");
        other.insert("state", "uboot");
        auto stuck = std::make_shared<lumora::sim::SimUpdateDrive>(other);
        rig.kernel->plug(stuck);
        WorkingCamera camera(rig);
        Recorder recorder;
        recorder.runOn(rig.workspace(), &camera.unit, camera.target);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(30000));
        QCOMPARE(recorder.reports, QVector<Report>{kDone});
        QCOMPARE(cameraFirmware(rig), QString("2.0.0"));
        QCOMPARE(stuck->commandLines(), QStringList());
        QCOMPARE(stuck->state(), lumora::sim::SimUpdateDrive::State::UBoot);
        for (const QString &line : rig.takeTrace())
            QVERIFY2(!line.contains("cdb=e8") || !line.contains(rig.kernel->devNodes("stuck").value(0) + ' '), qPrintable(line));
    }

    void rescueChecksTheFamily_data()
    {
        QTest::addColumn<QJsonObject>("drive");   // overrides of the drive's config
        QTest::addColumn<int>("packageModel");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<bool>("done");
        const QJsonObject unknownIds{{"vendorId", "0x1d6b"}, {"productId", "0x9999"}};
        QJsonObject gc = unknownIds, orbit = unknownIds;
        orbit.insert("inquiryVendor", "ORBIT");
        QTest::newRow("ids name the model: right package") << QJsonObject() << 12 << false << true;
        QTest::newRow("ids name the model: another ORBIT") << QJsonObject() << 14 << false << false;
        QTest::newRow("ids name the model: confirmation does not override") << QJsonObject() << 14 << true << false;
        QTest::newRow("ORBIT vendor, NV-Optica package") << orbit << 7 << true << false;
        QTest::newRow("ORBIT vendor, ORBIT package") << orbit << 14 << false << true;
        QTest::newRow("GC tells nothing: unconfirmed") << gc << 12 << false << false;
        QTest::newRow("GC tells nothing: confirmed") << gc << 12 << true << true;
    }

    void rescueChecksTheFamily()
    {
        QFETCH(QJsonObject, drive);
        QFETCH(int, packageModel);
        QFETCH(bool, confirmed);
        QFETCH(bool, done);
        UpgradeRig rig;
        writePackage(rig);
        // The family check is what is tried here: the drive's ids are granted.
        rig.grantUsbIds(0x1d6b, 0x9999);
        rig.plugDrive("rom", drive);
        rig.takeTrace();
        Recorder recorder;
        auto *worker = new UpgradeThread(kOrvanta, false, nullptr, rig.workspace());
        worker->setPackageModel(packageModel, confirmed);
        recorder.run(worker);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(20000));
        QCOMPARE(recorder.reports.size(), 1);
        QCOMPARE(recorder.reports.first().success, done);
        if (!done) {
            QVERIFY(recorder.reports.first().message.startsWith("Upgrade refused"));
            QVERIFY(!upgradetest::touchesCamera(rig.takeTrace()));
        }
    }

    // The script ran to its reset, but no camera comes back on the port.
    void resetButTheCameraNeverComesBack()
    {
        UpgradeRig rig;
        writePackage(rig);
        auto drive = rig.plugDrive("uboot");
        QJsonObject config = drive->config();
        config.remove("camera");
        rig.kernel->unplug("cam");
        rig.kernel->plug(std::make_shared<lumora::sim::SimUpdateDrive>(config));
        Recorder recorder;
        auto *worker = new UpgradeThread(kOrvanta, false, nullptr, rig.workspace());
        worker->setReturnWaitMs(1500);
        recorder.run(worker);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(20000));
        QCOMPARE(recorder.reports.size(), 1);
        QVERIFY(!recorder.reports.first().success);
        QVERIFY2(recorder.reports.first().message.contains("did not come back within 1 s"), qPrintable(recorder.reports.first().message));
        QVERIFY(recorder.reports.first().message.contains("rescue"));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("state"); // drive plugged at the start; empty for none
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<bool>("updater");
        QTest::addColumn<bool>("cameraOpened");
        QTest::addColumn<QString>("message");
        const QJsonObject none;
        QTest::newRow("no drive, no camera") << "" << none << true << false << "No camera device detected.";
        QTest::newRow("camera open but no extension unit") << "" << none << true << true << "Upgrade failed.";
        QTest::newRow("ROM without usb_updater.bin")
            << "rom" << none << false << false
            << "Upgrade refused, nothing was sent to the camera: the camera is in its boot ROM and the package has no usb_updater.bin.";
        QTest::newRow("u-Boot never acknowledges") << "uboot" << QJsonObject{{"neverAcknowledge", true}} << true << false
                                                   << "Upgrade failed.";
        QTest::newRow("drive leaves mid-transfer") << "uboot" << QJsonObject{{"dropAtChunk", 2}} << true << false
                                                   << "Upgrade failed.";
        QTest::newRow("Updater drive leaves during the boot loader")
            << "updater" << QJsonObject{{"dropAtChunk", 1}} << true << false << "Upgrade failed.";
    }

    void failures()
    {
        QFETCH(QString, state);
        QFETCH(QJsonObject, faults);
        QFETCH(bool, updater);
        QFETCH(bool, cameraOpened);
        QFETCH(QString, message);
        UpgradeRig rig;
        writePackage(rig, updater);
        if (!state.isEmpty())
            rig.plugDrive(state, {{"protocolFaults", faults}});
        rig.takeTrace();
        Recorder recorder;
        recorder.run(new UpgradeThread(kOrvanta, cameraOpened, nullptr, rig.workspace()));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(20000));
        QCOMPARE(recorder.reports, (QVector<Report>{{false, 0, message}}));
        if (state.isEmpty() || !updater)
            QCOMPARE(rig.takeVendorCommands(), QStringList());
    }

    // The camera leaves for its update drive but no drive is ever accepted.
    void cameraNeverComesBack_data()
    {
        QTest::addColumn<bool>("stopped");
        QTest::newRow("41 searches") << false;
        QTest::newRow("stopped while waiting") << true;
    }

    void cameraNeverComesBack()
    {
        QFETCH(bool, stopped);
        UpgradeRig rig;
        writePackage(rig);
        WorkingCamera camera(rig);
        Recorder recorder;
        recorder.driveSearchIntervalMs = 50;
        auto *worker = recorder.runOn(rig.workspace(), &camera.unit, camera.target, kNoProfile);
        if (stopped) {
            // Stopped once the camera has been told to switch.
            QStringList trace;
            QTRY_VERIFY_WITH_TIMEOUT((trace << rig.takeTrace(), trace.filter(" sel=4 ").size() == 1), deadlineMs(10000));
            worker->stop();
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(stopped ? 2000 : 30000));
        const Report expected = stopped ? Report{false, 0, "Upgrade stopped; the camera is left in its update state."}
                                        : Report{false, 0, "Failed to find camera device."};
        QCOMPARE(recorder.reports, QVector<Report>{expected});
    }

    // A desktop user's run goes over Bulk-Only, root's over SG_IO: the drive
    // sees the same commands with the same data, and the run ends the same.
    void sameCommandsOverBothTransports_data()
    {
        QTest::addColumn<QString>("state"); // empty: from the working camera
        QTest::newRow("rescue from ROM") << "rom";
        QTest::newRow("rescue from Updater") << "updater";
        QTest::newRow("rescue from u-Boot") << "uboot";
        QTest::newRow("working camera") << "";
    }

    void sameCommandsOverBothTransports()
    {
        QFETCH(QString, state);
        QMap<bool, QStringList> sent;
        QMap<bool, QVector<Report>> reports;
        for (bool privileged : {true, false}) {
            UpgradeRig rig(privileged);
            writePackage(rig);
            std::unique_ptr<WorkingCamera> camera;
            if (state.isEmpty())
                camera = std::make_unique<WorkingCamera>(rig);
            else
                rig.plugDrive(state);
            rig.takeTrace();
            Recorder recorder;
            if (camera)
                recorder.runOn(rig.workspace(), &camera->unit, camera->target);
            else
                recorder.run(new UpgradeThread(kOrvanta, false, nullptr, rig.workspace()));
            QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(30000));
            QTRY_VERIFY_WITH_TIMEOUT(recorder.thread.isNull(), deadlineMs(5000));
            QTRY_COMPARE_WITH_TIMEOUT(cameraFirmware(rig), QString("2.0.0"), deadlineMs(5000));
            const QStringList trace = rig.takeTrace();
            const QString all = trace.join('\n');
            QCOMPARE(all.contains(" usb /dev/bus/usb/"), !privileged);
            QCOMPARE(all.contains(QRegularExpression(" scsi \\S+ cdb=e8\\S+ .* rc=0\n")), privileged);
            sent[privileged] = UpgradeRig::vendorExchanges(trace);
            reports[privileged] = recorder.reports;
        }
        QVERIFY(sent[true].size() > 10);
        QCOMPARE(sent[false], sent[true]);
        QCOMPARE(reports[false], reports[true]);
        QCOMPARE(reports[true], QVector<Report>{kDone});
    }

    // Faults of the Bulk-Only path against the nearest fault of the SG_IO
    // path: the same report, after the recovery Bulk-Only calls for.
    void bulkOnlyFaults_data()
    {
        QTest::addColumn<QJsonObject>("usbFaults");
        QTest::addColumn<QJsonObject>("sgFaults");
        QTest::addColumn<QString>("recovery"); // part of a trace line the recovery leaves
        QTest::addColumn<QString>("message");
        // Transfers of a u-Boot rescue: 1-3 the first command line, 4-6 its
        // status read, 7-9 the kernel's load header, 10-12 its first chunk.
        QTest::newRow("stalled chunk: halt cleared, chunk sent again")
            << QJsonObject{{"stallAt", 11}} << QJsonObject{} << "usb /dev/bus/usb/001/002 clear_halt ep=02 rc=0"
            << "Upgrade done.";
        QTest::newRow("phase error: reset, status read again")
            << QJsonObject{{"phaseErrorAt", 2}} << QJsonObject{{"lateStatusReads", 1}}
            << "control type=21 req=ff value=0000 index=0000 len=0 rc=0" << "Upgrade done.";
        QTest::newRow("wrong CSW tag: reset, status read again")
            << QJsonObject{{"wrongTagAt", 2}} << QJsonObject{{"lateStatusReads", 1}}
            << "control type=21 req=ff value=0000 index=0000 len=0 rc=0" << "Upgrade done.";
        QTest::newRow("short status passed with its residue: the bytes that came are used")
            << QJsonObject{{"shortDataAt", 1}} << QJsonObject{{"lateStatusReads", 1}}
            << "bulk ep=81 len=2 head=0d00 rc=2" << "Upgrade done.";
        QTest::newRow("drive vanishes mid-chunk")
            << QJsonObject{{"vanishAt", 11}} << QJsonObject{{"dropAtChunk", 1}}
            << "bulk ep=02 len=32768 head=6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b6b rc=-19"
            << "Upgrade failed.";
    }

    void bulkOnlyFaults()
    {
        QFETCH(QJsonObject, usbFaults);
        QFETCH(QJsonObject, sgFaults);
        QFETCH(QString, recovery);
        QFETCH(QString, message);
        for (bool privileged : {true, false}) {
            UpgradeRig rig(privileged);
            writePackage(rig);
            rig.plugDrive("uboot", privileged ? QJsonObject{{"protocolFaults", sgFaults}}
                                              : QJsonObject{{"usbFaults", usbFaults}});
            Recorder recorder;
            recorder.run(new UpgradeThread(kOrvanta, false, nullptr, rig.workspace()));
            QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(30000));
            QCOMPARE(recorder.reports, (QVector<Report>{{message == kDone.message, message == kDone.message ? 100 : 0, message}}));
            if (!privileged) {
                const QString trace = rig.takeTrace().join('\n');
                QVERIFY2(trace.contains(recovery), qPrintable(trace.left(3000)));
            }
            QTRY_VERIFY_WITH_TIMEOUT(recorder.thread.isNull(), deadlineMs(5000));
        }
    }

    void pollerReportsKnownStates_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("reported");
        QTest::newRow("ROM") << "rom" << 0;
        QTest::newRow("Updater") << "updater" << 1;
        QTest::newRow("u-Boot") << "uboot" << 2;
    }

    void pollerReportsKnownStates()
    {
        QFETCH(QString, state);
        QFETCH(int, reported);
        UpgradeRig rig;
        rig.plugDrive(state);
        Recorder recorder;
        auto *poller = new AbnormalDetectThread(kOrvanta);
        recorder.run(poller);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.abnormal, QVector<int>{reported}, deadlineMs(3000));
        // Stopped in its pause after a report, it still ends at once, once.
        poller->stop();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(2000));
        QTRY_VERIFY_WITH_TIMEOUT(recorder.thread.isNull(), deadlineMs(5000));
        QCOMPARE(recorder.abnormal, QVector<int>{reported});
    }

    // The poller only reads: no disk is ever opened for writing.
    void pollerOpensDisksReadOnly()
    {
        UpgradeRig rig;
        rig.plugDrive("uboot");
        Recorder recorder;
        auto *poller = new AbnormalDetectThread(kOrvanta);
        recorder.run(poller);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.abnormal, QVector<int>{2}, deadlineMs(3000));
        poller->stop();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(2000));
        QCOMPARE(rig.kernel->writableOpens(rig.kernel->devNodes("cam").value(0)), 0);
    }

    // Stopped in the middle of the transfer: the camera stays in u-Boot, and a rescue then brings it back.
    void stoppedMidTransferStaysRescuable()
    {
        UpgradeRig rig;
        writePackage(rig);
        rig.writeFile("kernel", QByteArray(40 * 32768, 'k'));
        rig.plugDrive("uboot", {{"protocolFaults", QJsonObject{{"chunkDelayMs", 20}}}});
        Recorder first;
        auto *worker = new UpgradeThread(kOrvanta, false, nullptr, rig.workspace());
        first.run(worker);
        QTRY_VERIFY_WITH_TIMEOUT(!first.progress.isEmpty() && first.progress.last().first > 32768, deadlineMs(20000));
        worker->stop();
        QTRY_COMPARE_WITH_TIMEOUT(first.finished, 1, deadlineMs(5000));
        QCOMPARE(first.reports, (QVector<Report>{{false, 0, "Upgrade stopped; the camera is left in its update state."}}));
        QCOMPARE(rig.drive()->state(), lumora::sim::SimUpdateDrive::State::UBoot);
        QVERIFY(!rig.drive()->commandLines().contains("reset"));
        QVERIFY(rig.takeVendorCommands().filter("cdb=e801").size() < 39); // stopped between chunks

        Recorder second;
        auto *rescuer = new UpgradeThread(kOrvanta, false, nullptr, rig.workspace());
        rescuer->setPackageModel(12, false);
        second.run(rescuer);
        QTRY_COMPARE_WITH_TIMEOUT(second.finished, 1, deadlineMs(30000));
        QCOMPARE(second.reports, QVector<Report>{kDone});
        QCOMPARE(cameraFirmware(rig), QString("2.0.0"));
    }

    // Asked to stop at a safe point before the camera was told anything: it is left as it was.
    void safeStopBeforeTheSwitch()
    {
        UpgradeRig rig;
        writePackage(rig);
        WorkingCamera camera(rig);
        rig.takeTrace();
        Recorder recorder;
        auto *worker = new UpgradeThread(kOrvanta, true, &camera.unit, rig.workspace());
        worker->setTarget(camera.target);
        worker->stopAtSafePoint();
        recorder.run(worker);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(10000));
        QCOMPARE(recorder.reports, (QVector<Report>{{false, 0, "Upgrade stopped before the camera was changed."}}));
        QVERIFY(!upgradetest::touchesCamera(rig.takeTrace()));
    }

    void pollerIgnoresUnknownState()
    {
        UpgradeRig rig;
        rig.plugDrive("uboot", {{"inquiryProduct", "DISK"}});
        Recorder recorder;
        auto *poller = new AbnormalDetectThread(kOrvanta);
        recorder.run(poller);
        // Two passes have asked the drive.
        int inquiries = 0;
        auto countInquiries = [&] { return inquiries += rig.takeTrace().join('\n').count("cdb=120000002400"); };
        QTRY_VERIFY_WITH_TIMEOUT(countInquiries() >= 2, deadlineMs(4000));
        poller->stop();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, deadlineMs(2000));
        QCOMPARE(recorder.abnormal, QVector<int>());
    }
};

QTEST_GUILESS_MAIN(TestWorkers)
#include "test_workers.moc"
