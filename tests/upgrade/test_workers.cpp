// LABELS: worker
// The upgrade worker end to end from every starting point, and the poller,
// on their own threads against the simulated kernel.

#include "../preview/qt_tsan_suppressions.h"
#include "upgraderig.h"
#include "control/uvcextensionunit.h"
#include "sim/sim_camera.h"
#include "upgrade/abnormaldetectthread.h"
#include "upgrade/upgradethread.h"
#include "upgrade/workerthread.h"

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
const Report kFailed{false, 0, "Upgrade failed."};

// Collects a worker's results on the test's thread, as the window does.
class Recorder : public QObject {
    Q_OBJECT
public:
    QVector<Report> reports;
    QVector<int> abnormal;
    int started = 0;
    int finished = 0;
    QPointer<QThread> thread;

    void run(UpgradeThread *worker)
    {
        connect(worker, &UpgradeThread::onUpgradeReport, this, &Recorder::report);
        connect(worker, &UpgradeThread::workStart, this, [this] { ++started; });
        connect(worker, &UpgradeThread::workFinished, this, [this] { ++finished; });
        thread = startOnOwnThread(worker);
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

QString cameraFirmware(UpgradeRig &rig)
{
    auto camera = rig.kernel->find<lumora::sim::SimCamera>("cam");
    return camera ? camera->config().value("firmware").toString() : QString();
}

} // namespace

class TestWorkers : public QObject {
    Q_OBJECT

private slots:
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
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 20000);
        QCOMPARE(recorder.reports, QVector<Report>{kDone});
        QTRY_COMPARE_WITH_TIMEOUT(cameraFirmware(rig), QString("2.0.0"), 5000);
        QTRY_VERIFY(recorder.thread.isNull());
    }

    void fromWorkingCamera()
    {
        UpgradeRig rig;
        writePackage(rig);
        rig.kernel->plug(lumora::sim::makeCamera(upgradetest::cameraConfig("1.0.0")));
        UVCExtensionUnit unit;
        QVERIFY(unit.InitVideoDevice(QString(), "ORBIT 400"));
        Recorder recorder;
        recorder.run(new UpgradeThread(kOrvanta, true, &unit, rig.workspace()));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 30000);
        QCOMPARE(recorder.reports, QVector<Report>{kDone});
        QTRY_COMPARE_WITH_TIMEOUT(cameraFirmware(rig), QString("2.0.0"), 5000);
        // The kernel went in as one sub-command 1 chunk of 32768 bytes, then the rest.
        const QStringList commands = rig.takeVendorCommands();
        QVERIFY(commands.contains("cdb=e8010000000000008000 dir=out len=32768"));
        QVERIFY(commands.contains("cdb=e8040000000000001170 dir=out len=4464"));
        QVERIFY(commands.contains("cdb=e806000000000000001b dir=out len=27"));
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
        QTest::newRow("ROM without usb_updater.bin") << "rom" << none << false << false << "Upgrade failed.";
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
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 20000);
        QCOMPARE(recorder.reports, (QVector<Report>{{false, 0, message}}));
        if (state.isEmpty())
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
        rig.kernel->plug(lumora::sim::makeCamera(upgradetest::cameraConfig()));
        UVCExtensionUnit unit;
        QVERIFY(unit.InitVideoDevice(QString(), "ORBIT 400"));
        Recorder recorder;
        auto *worker = new UpgradeThread(kNoProfile, true, &unit, rig.workspace());
        recorder.run(worker);
        if (stopped) {
            QTRY_COMPARE(recorder.started, 1);
            worker->stop();
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, stopped ? 2000 : 30000);
        const Report expected = stopped ? kFailed : Report{false, 0, "Failed to find camera device."};
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
            std::unique_ptr<UVCExtensionUnit> unit;
            if (state.isEmpty()) {
                rig.kernel->plug(lumora::sim::makeCamera(upgradetest::cameraConfig("1.0.0")));
                unit = std::make_unique<UVCExtensionUnit>();
                QVERIFY(unit->InitVideoDevice(QString(), "ORBIT 400"));
            } else {
                rig.plugDrive(state);
            }
            rig.takeTrace();
            Recorder recorder;
            recorder.run(new UpgradeThread(kOrvanta, state.isEmpty(), unit.get(), rig.workspace()));
            QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 30000);
            QTRY_VERIFY(recorder.thread.isNull());
            QTRY_COMPARE_WITH_TIMEOUT(cameraFirmware(rig), QString("2.0.0"), 5000);
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
        QTest::newRow("short status: read again")
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
            QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 30000);
            QCOMPARE(recorder.reports, (QVector<Report>{{message == kDone.message, message == kDone.message ? 100 : 0, message}}));
            if (!privileged) {
                const QString trace = rig.takeTrace().join('\n');
                QVERIFY2(trace.contains(recovery), qPrintable(trace.left(3000)));
            }
            QTRY_VERIFY(recorder.thread.isNull());
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
        QTRY_COMPARE_WITH_TIMEOUT(recorder.abnormal, QVector<int>{reported}, 3000);
        // Stopped in its pause after a report, it still ends at once, once.
        poller->stop();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 2000);
        QTRY_VERIFY(recorder.thread.isNull());
        QCOMPARE(recorder.abnormal, QVector<int>{reported});
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
        QTRY_VERIFY_WITH_TIMEOUT(countInquiries() >= 2, 4000);
        poller->stop();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.finished, 1, 2000);
        QCOMPARE(recorder.abnormal, QVector<int>());
    }
};

QTEST_GUILESS_MAIN(TestWorkers)
#include "test_workers.moc"
