// LinuxKernel, the code that meets a user's camera, against emulated devices:
// each case runs a Lumora program twice on the same scenario, once on the
// simulated kernel and once on LinuxKernel under umockdev's preload, where
// the scenario's devices answer real open/ioctl calls on /dev nodes, sysfs is
// a real tree and hot-plug arrives through the real udev monitor. The wire
// traces must be the same.
// LABELS: umockdev
#include "emulated/child_run.h"
#include "emulated/emulated_machine.h"

#include "platform/linux_kernel.h"
#include "upgrade/zipwriter.h"

#include <QJsonArray>
#include <QtTest>

#include <cstdlib>
#include <unistd.h>

using emulated::ChildResult;
using emulated::ChildRun;
using emulated::EmulatedMachine;

namespace {

QJsonObject orbit400()
{
    return {{"id", "cam"},           {"vendorId", "0x5a17"}, {"productId", "0x0305"}, {"manufacturer", "ORBIT"},
            {"product", "ORBIT 400"}, {"serial", "OR4000001"}, {"port", "1-4"},         {"firmware", "1.0.0"}};
}

QJsonObject qx4k()
{
    return {{"id", "qx"},
            {"vendorId", "0x1d6b"},
            {"productId", "0xff01"},
            {"manufacturer", "QX"},
            {"product", "QX NV-Optica-4K-AI"},
            {"serial", "QX4K00017"},
            {"port", "1-1"},
            {"firmware", "1.4.2"}};
}

// An ORBIT 400 waiting in its boot ROM for a rescue.
QJsonObject romDrive()
{
    QJsonObject camera = orbit400();
    camera.insert("port", "1-6");
    QJsonObject drive = camera;
    drive.insert("id", "stuck");
    drive.insert("state", "rom");
    drive.insert("camera", camera);
    return drive;
}

// A camera whose nodes this user may not open, as without the udev rule.
QJsonObject denied(QJsonObject device)
{
    device.insert("denied", QJsonArray{"video", "disk", "usbfs"});
    return device;
}

QJsonObject machine(const QJsonArray &cameras, const QJsonArray &drives = {}, const QJsonObject &extra = {})
{
    QJsonObject scenario{{"cameras", cameras}, {"drives", drives}};
    // Where this machine really has the rule, so doctor reads the same on both kernels.
    const QString rule = lumora::platform::LinuxKernel().installedUdevRule(QStringLiteral("70-lumora.rules"));
    scenario.insert("udevRules", rule.isEmpty() ? QJsonValue(false) : QJsonValue(QFileInfo(rule).path()));
    for (auto it = extra.begin(); it != extra.end(); ++it)
        scenario.insert(it.key(), it.value());
    return scenario;
}

QString program(const QString &name)
{
    return name == QLatin1String("cli") ? QStringLiteral(LUMORA_CLI_PATH) : QStringLiteral(LUMORA_WINDOW_DRIVER_PATH);
}

QString show(const ChildResult &result)
{
    return QStringLiteral("exit %1\n--- out\n%2\n--- err\n%3\n--- wire\n%4")
        .arg(result.exitCode)
        .arg(QString::fromUtf8(result.out), QString::fromUtf8(result.err), result.wire.join('\n'));
}

} // namespace

class TestEmulatedDevices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sameWireAsSimulated_data()
    {
        QTest::addColumn<QJsonObject>("scenario");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        // What shows the case took its path, in the output or the wire.
        QTest::addColumn<QString>("evidence");
        QTest::addColumn<int>("exitCode");
        // "PACKAGE:<model>" stands for a firmware package for that model.
        const QJsonObject camera = machine({orbit400()});
        const QStringList orbit{"--profile", "1"};
        QTest::newRow("list --json") << camera << "cli" << orbit + QStringList{"list", "--json"} << "\"name\": \"ORBIT 400\"" << 0;
        QTest::newRow("info") << camera << "cli" << orbit + QStringList{"info"} << "^ctl /dev/video0 get zoom " << 0;
        QTest::newRow("get vendor feature") << camera << "cli" << orbit + QStringList{"get", "hdr"} << "^xu /dev/video0 get " << 0;
        QTest::newRow("set vendor feature") << camera << "cli" << orbit + QStringList{"set", "hdr", "on"} << "^xu /dev/video0 set " << 0;
        QTest::newRow("get control") << camera << "cli" << orbit + QStringList{"get", "zoom"} << "^ctl /dev/video0 get zoom " << 0;
        QTest::newRow("set control") << camera << "cli" << orbit + QStringList{"set", "brightness", "90"}
                                     << "^ctl /dev/video0 set brightness value=90 rc=0" << 0;
        QTest::newRow("controls") << camera << "cli" << orbit + QStringList{"controls"} << "zoom_absolute 0x009a090d" << 0;
        const QStringList upgrade4k{"--profile", "0", "upgrade", "PACKAGE:NV-Optica-4K-AI", "-c", "0"};
        QTest::newRow("upgrade, ordinary user: Bulk-Only on usbfs")
            << machine({qx4k()}) << "cli" << upgrade4k << "^usb /dev/bus/usb/001/\\d+ bulk ep=02 len=31 head=55534243" << 0;
        QTest::newRow("upgrade, SG_IO allowed") << machine({qx4k()}, {}, {{"privileged", true}}) << "cli" << upgrade4k
                                                << "^scsi /dev/sdb cdb=e8" << 0;
        QTest::newRow("rescue from the boot ROM") << machine({}, {romDrive()}) << "cli"
                                                  << orbit + QStringList{"rescue", "PACKAGE:ORBIT 400"}
                                                  << "Upgrade done. V2.0.0" << 0;
        QTest::newRow("doctor") << machine({orbit400()}, {romDrive()}) << "cli" << orbit + QStringList{"doctor"}
                                << "^scsi /dev/sdb cdb=12" << 0;
        QTest::newRow("doctor, no access to the nodes")
            << machine({denied(orbit400())}, {denied(romDrive())}) << "cli" << orbit + QStringList{"doctor"}
            << "/dev/bus/usb/001/\\d+ cannot be opened: Permission denied" << 1;
    }

    void sameWireAsSimulated()
    {
        QFETCH(QJsonObject, scenario);
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, evidence);
        QFETCH(int, exitCode);
        ChildRun run(scenario);
        if (!run.userUnavailable().isEmpty())
            QSKIP(qPrintable(run.userUnavailable()));
        QStringList command;
        for (const QString &argument : arguments) {
            if (!argument.startsWith(QLatin1String("PACKAGE:"))) {
                command << argument;
                continue;
            }
            command << run.path(QStringLiteral("fw.zip"));
            upgradetest::writeTestPackage(command.last(), argument.mid(8).toUtf8());
        }
        const ChildResult simulated = run.simulated(::program(program), command);
        QVERIFY2(simulated.finished, qPrintable(show(simulated)));
        EmulatedMachine machine(scenario);
        const ChildResult emulated = run.emulated(machine, ::program(program), command);
        QVERIFY2(emulated.finished, qPrintable(show(emulated)));
        QVERIFY2(machine.faults().isEmpty(), qPrintable(machine.faults().join('\n')));
        QVERIFY2(simulated.exitCode == exitCode, qPrintable(show(simulated)));
        const QRegularExpression shows(evidence, QRegularExpression::MultilineOption);
        QVERIFY2(shows.match(QString::fromUtf8(simulated.out) + simulated.wire.join('\n')).hasMatch(),
                 qPrintable(show(simulated)));
        QVERIFY2(emulated.exitCode == exitCode, qPrintable(show(emulated)));
        if (emulated.wire != simulated.wire)
            QFAIL(qPrintable(QStringLiteral("simulated:\n%1\n\nemulated:\n%2").arg(show(simulated), show(emulated))));
        QCOMPARE(QString::fromUtf8(emulated.out), QString::fromUtf8(simulated.out));
    }
};

// umockdev builds a uevent from the testbed through libudev in the calling
// process, so this process runs under the preload too: it starts itself again
// through umockdev-wrapper when it is not.
int main(int argc, char **argv)
{
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("libumockdev-preload"))) {
        std::vector<char *> wrapped{const_cast<char *>("umockdev-wrapper")};
        wrapped.insert(wrapped.end(), argv, argv + argc);
        wrapped.push_back(nullptr);
        ::execvp(wrapped[0], wrapped.data());
        perror("umockdev-wrapper");
        return 1;
    }
    QCoreApplication app(argc, argv);
    TestEmulatedDevices test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_emulated_devices.moc"
