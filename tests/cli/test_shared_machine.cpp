// LABELS: worker
// One simulated machine per session: what one lumora-cli run changes, the
// next run of the same scenario sees, and a window's kernel sees it at its
// next read; a fresh start, another scenario or another session does not.

#include "support/testsupport.h"

#include "platform/kernel.h"
#include "sim/sim_kernel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include <fcntl.h>
#include <linux/videodev2.h>

namespace {

const char kSerial[] = "QX4K00017";

struct Run {
    QString scenario;     // empty: the built-in one
    QString session;      // XDG_RUNTIME_DIR
    bool fresh = false;
};

// `lumora-cli ARGS -c kSerial --json` in that session; its JSON, empty on failure.
QJsonObject cli(const Run &run, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", run.session);
    environment.remove("LUMORA_SIM_FRESH");
    if (run.fresh)
        environment.insert("LUMORA_SIM_FRESH", "1");
    environment.remove("LUMORA_SIM_SCENARIO");
    if (!run.scenario.isEmpty())
        environment.insert("LUMORA_SIM_SCENARIO", run.scenario);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(LUMORA_CLI_PATH, arguments + QStringList{"-c", kSerial, "--json"});
    if (!process.waitForFinished(deadlineMs(60000)) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning().noquote() << arguments << "failed:" << process.readAllStandardError();
        return {};
    }
    return QJsonDocument::fromJson(process.readAllStandardOutput()).object();
}

// A control through the simulated kernel's own node, as the window reads and sets it.
int controlThrough(lumora::platform::Kernel &kernel, const QString &node, unsigned id, int set = -1)
{
    const int fd = kernel.open(node, O_RDWR);
    v4l2_control control{id, set};
    const int rc = kernel.ioctl(fd, set >= 0 ? VIDIOC_S_CTRL : VIDIOC_G_CTRL, &control);
    kernel.close(fd);
    return rc == 0 ? control.value : -1;
}

int zoomThrough(lumora::platform::Kernel &kernel, const QString &node, int set = -1)
{
    return controlThrough(kernel, node, V4L2_CID_ZOOM_ABSOLUTE, set);
}

QString capturedNode(lumora::platform::Kernel &kernel)
{
    return static_cast<lumora::sim::SimKernel &>(kernel).devNodes("qx-4k").value(0);
}

} // namespace

class TestSharedMachine : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString session(const QString &name) const
    {
        QDir(m_dir.path()).mkpath(name);
        return m_dir.filePath(name);
    }

private Q_SLOTS:
    void laterRunsSeeTheChange_data()
    {
        QTest::addColumn<QString>("secondScenario");
        QTest::addColumn<QString>("secondSession");
        QTest::addColumn<bool>("secondFresh");
        QTest::addColumn<int>("zoom");
        // Each row starts its own session, sets zoom 250 there, then reads it in a second run.
        QTest::newRow("same session and scenario") << QString() << QString() << false << 250;
        QTest::newRow("LUMORA_SIM_FRESH=1") << QString() << QString() << true << 100;
        QTest::newRow("another scenario file") << "other" << QString() << false << 100;
        QTest::newRow("another session") << QString() << "elsewhere" << false << 100;
    }
    void laterRunsSeeTheChange()
    {
        QFETCH(QString, secondScenario);
        QFETCH(QString, secondSession);
        QFETCH(bool, secondFresh);
        QFETCH(int, zoom);
        const QString row = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
        const Run first{QString(), session(row), false};
        QCOMPARE(cli(first, {"set", "zoom", "250"}).value("value").toInt(), 250);

        Run second = first;
        second.fresh = secondFresh;
        if (!secondSession.isEmpty())
            second.session = session(row + secondSession);
        if (!secondScenario.isEmpty()) {
            // The built-in cameras, one fewer: another machine.
            QJsonObject scenario = lumora::sim::SimKernel::defaultScenario();
            QJsonArray cameras = scenario.value("cameras").toArray();
            cameras.removeLast();
            scenario.insert("cameras", cameras);
            second.scenario = m_dir.filePath(row + ".json");
            QFile file(second.scenario);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QJsonDocument(scenario).toJson());
        }
        QCOMPARE(cli(second, {"get", "zoom"}).value("value").toInt(), zoom);
    }

    // A window's kernel and a later one share the machine: a set in one shows
    // at the other's next read, and in both directions.
    void runningKernelsShareTheCameras()
    {
        qputenv("XDG_RUNTIME_DIR", session("live").toLocal8Bit());
        qunsetenv("LUMORA_SIM_SCENARIO");
        qputenv("LUMORA_SIM_FRESH", "1");
        const std::unique_ptr<lumora::platform::Kernel> window = lumora::sim::createKernelFromEnvironment();
        qunsetenv("LUMORA_SIM_FRESH");
        const std::unique_ptr<lumora::platform::Kernel> later = lumora::sim::createKernelFromEnvironment();
        const QString windowNode = capturedNode(*window), laterNode = capturedNode(*later);
        QVERIFY(!windowNode.isEmpty());

        QCOMPARE(zoomThrough(*window, windowNode), 100);
        QCOMPARE(zoomThrough(*later, laterNode, 250), 250);
        QCOMPARE(zoomThrough(*window, windowNode), 250);
        QCOMPARE(zoomThrough(*window, windowNode, 300), 300);
        QCOMPARE(zoomThrough(*later, laterNode), 300);
        // A kernel started afterwards builds its camera as the others left it.
        const std::unique_ptr<lumora::platform::Kernel> third = lumora::sim::createKernelFromEnvironment();
        QCOMPARE(zoomThrough(*third, capturedNode(*third)), 300);
    }

    // Two processes' worth of kernels changing different controls of one camera
    // at once, from two threads: neither change is lost to the other's save.
    void concurrentChangesAreAllKept()
    {
        qputenv("XDG_RUNTIME_DIR", session("concurrent").toLocal8Bit());
        qunsetenv("LUMORA_SIM_SCENARIO");
        qputenv("LUMORA_SIM_FRESH", "1");
        const std::unique_ptr<lumora::platform::Kernel> first = lumora::sim::createKernelFromEnvironment();
        qunsetenv("LUMORA_SIM_FRESH");
        const std::unique_ptr<lumora::platform::Kernel> second = lumora::sim::createKernelFromEnvironment();
        constexpr int kSteps = 60;
        const auto sweep = [](lumora::platform::Kernel *kernel, unsigned id) {
            const QString node = capturedNode(*kernel);
            bool taken = true;
            for (int value = 1; value <= kSteps; ++value)
                taken = controlThrough(*kernel, node, id, value) == value && taken;
            return taken;
        };
        bool brightnessTaken = false, contrastTaken = false;
        std::thread brightness([&] { brightnessTaken = sweep(first.get(), V4L2_CID_BRIGHTNESS); });
        std::thread contrast([&] { contrastTaken = sweep(second.get(), V4L2_CID_CONTRAST); });
        brightness.join();
        contrast.join();
        QVERIFY(brightnessTaken && contrastTaken);
        const std::unique_ptr<lumora::platform::Kernel> later = lumora::sim::createKernelFromEnvironment();
        const QString node = capturedNode(*later);
        QCOMPARE(controlThrough(*later, node, V4L2_CID_BRIGHTNESS), kSteps);
        QCOMPARE(controlThrough(*later, node, V4L2_CID_CONTRAST), kSteps);
    }
};

QTEST_GUILESS_MAIN(TestSharedMachine)
#include "test_shared_machine.moc"
