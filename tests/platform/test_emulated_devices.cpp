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
        // The output too, where it does not depend on the machine around the devices.
        QTest::addColumn<bool>("sameOutput");
        const QJsonObject camera = machine({orbit400()});
        QTest::newRow("list --json") << camera << "cli" << QStringList{"list", "--json"} << true;
        QTest::newRow("info") << camera << "cli" << QStringList{"info"} << true;
        QTest::newRow("get vendor feature") << camera << "cli" << QStringList{"get", "hdr"} << true;
        QTest::newRow("set vendor feature") << camera << "cli" << QStringList{"set", "hdr", "1"} << true;
        QTest::newRow("get control") << camera << "cli" << QStringList{"get", "zoom"} << true;
        QTest::newRow("set control") << camera << "cli" << QStringList{"set", "brightness", "90"} << true;
        QTest::newRow("controls") << camera << "cli" << QStringList{"controls"} << true;
    }

    void sameWireAsSimulated()
    {
        QFETCH(QJsonObject, scenario);
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(bool, sameOutput);
        ChildRun run(scenario);
        if (!run.userUnavailable().isEmpty())
            QSKIP(qPrintable(run.userUnavailable()));
        const QStringList command = program == QLatin1String("cli") ? QStringList{"--profile", "1"} + arguments : arguments;
        const ChildResult simulated = run.simulated(::program(program), command);
        QVERIFY2(simulated.finished, qPrintable(show(simulated)));
        EmulatedMachine machine(scenario);
        const ChildResult emulated = run.emulated(machine, ::program(program), command);
        QVERIFY2(emulated.finished, qPrintable(show(emulated)));
        QVERIFY2(machine.faults().isEmpty(), qPrintable(machine.faults().join('\n')));
        QVERIFY2(!simulated.wire.isEmpty(), qPrintable(show(simulated)));
        QVERIFY2(emulated.exitCode == simulated.exitCode, qPrintable(show(emulated)));
        if (emulated.wire != simulated.wire)
            QFAIL(qPrintable(QStringLiteral("simulated:\n%1\n\nemulated:\n%2").arg(show(simulated), show(emulated))));
        if (sameOutput)
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
