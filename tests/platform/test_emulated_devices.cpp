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
#include "sim/sim_kernel.h"
#include "upgrade/zipwriter.h"

#include <QJsonArray>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <vector>
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

// A camera that tracks, so opening it restores no pad position a moment later.
QJsonObject orbit410(const QString &id, const QString &port)
{
    return {{"id", id},
            {"vendorId", "0x5a17"},
            {"productId", "0x0306"},
            {"manufacturer", "ORBIT"},
            {"product", "ORBIT 410"},
            {"serial", id},
            {"port", port},
            {"firmware", "1.0.0"},
            {"features", QJsonObject{{"trackMode", 3}}}};
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
    // The end of the log is what tells why a run failed.
    return QStringLiteral("exit %1\n--- err (end)\n%2\n--- out (end)\n%3")
        .arg(result.exitCode)
        .arg(QString::fromUtf8(result.err.right(300)), QString::fromUtf8(result.out.right(300)));
}

// Where two wires part, with a few lines around.
QString difference(const QStringList &simulated, const QStringList &emulated)
{
    int at = 0;
    while (at < simulated.size() && at < emulated.size() && simulated[at] == emulated[at])
        ++at;
    const int from = std::max(0, at - 3);
    return QStringLiteral("the wires part at line %1\n--- simulated\n%2\n--- emulated\n%3")
        .arg(at + 1)
        .arg(simulated.mid(from, 8).join('\n'), emulated.mid(from, 8).join('\n'));
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
        const QJsonObject plain = machine({orbit410("cam", "1-4")});
        QTest::newRow("window: start-up open") << plain << "window" << QStringList{"open"} << "^xu /dev/video0 get " << 0;
        QTest::newRow("window: preview frames") << plain << "window" << QStringList{"preview"} << "^frames shown$" << 0;
        QJsonObject second = orbit410("second", "1-5");
        second.insert("plugged", false);
        QTest::newRow("window: hot-plug and unplug")
            << machine({orbit410("cam", "1-4"), second}) << "window" << QStringList{"hotplug"}
            << "^event add (.*\\n)*event remove " << 0;
        QJsonObject phaseError = romDrive();
        phaseError.insert("usbFaults", QJsonObject{{"phaseErrorAt", 1}});
        QTest::newRow("rescue, Bulk-Only reset recovery after a phase error")
            << machine({}, {phaseError}) << "cli" << orbit + QStringList{"rescue", "PACKAGE:ORBIT 400"}
            << "^usb /dev/bus/usb/001/\\d+ control type=21 req=ff (.*\\n)*usb /dev/bus/usb/001/\\d+ clear_halt ep=81 " << 0;
        QTest::newRow("doctor") << machine({orbit400()}, {romDrive()}) << "cli" << orbit + QStringList{"doctor"}
                                << "^scsi /dev/sdb cdb=12" << 0;
        QTest::newRow("doctor, no access to the nodes")
            << machine({denied(orbit400())}, {denied(romDrive())}) << "cli" << orbit + QStringList{"doctor"}
            << "/dev/bus/usb/001/\\d+ cannot be opened: Permission denied" << 1;
    }

    void initTestCase()
    {
        // The window driver's profile: the ORBIT cameras.
        QSettings(QFileInfo(QStringLiteral(LUMORA_WINDOW_DRIVER_PATH)).path() + QStringLiteral("/product.ini"),
                  QSettings::IniFormat)
            .setValue("/product_model/main", 1);
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
        // The window driver asks for device changes; here they happen in the machine's kernel.
        const auto change = [&machine](const QString &line) {
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.value(0) == QLatin1String("plug"))
                machine.kernel().replug(words.value(1));
            else if (words.value(0) == QLatin1String("unplug"))
                machine.kernel().unplug(words.value(1));
        };
        const ChildResult emulated = run.emulated(machine, ::program(program), command, change);
        QVERIFY2(emulated.finished, qPrintable(show(emulated)));
        QVERIFY2(machine.faults().isEmpty(), qPrintable(machine.faults().join('\n')));
        QVERIFY2(simulated.exitCode == exitCode, qPrintable(show(simulated)));
        const QRegularExpression shows(evidence, QRegularExpression::MultilineOption);
        QVERIFY2(shows.match(QString::fromUtf8(simulated.out) + simulated.wire.join('\n')).hasMatch(),
                 qPrintable(show(simulated) + QStringLiteral("\n--- wire\n") + simulated.wire.join('\n').right(1500)));
        QVERIFY2(emulated.exitCode == exitCode, qPrintable(show(emulated)));
        // The preview worker's capture calls run beside the window's own
        // traffic and the device events: each keeps its order, their
        // interleaving is the threads'.
        for (const bool capture : {false, true}) {
            const auto part = [capture](const QStringList &wire) {
                QStringList lines;
                for (const QString &line : wire)
                    if (line.startsWith(QLatin1String("v4l2 ")) == capture)
                        lines << line;
                return lines;
            };
            QVERIFY2(part(emulated.wire) == part(simulated.wire), qPrintable(difference(part(simulated.wire), part(emulated.wire))));
        }
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
