// lumora-cli dump: each simulated model dumped, the dump loaded as the
// machine's scenario, and the tool and the window must then see the very
// same camera: same output, same wire traffic.

#include "sim/sim_kernel.h"
#include "support/testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QStringList trace; // the wire trace, its time stamps cut off
};

// One simulated machine: a scenario file, a home and a wire trace per run.
class Machine {
public:
    explicit Machine(const QString &scenarioPath) : m_scenario(scenarioPath) { QDir(m_dir.path()).mkpath("home"); }

    Run run(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString trace = m_dir.filePath(QStringLiteral("trace%1.log").arg(++m_runs));
        environment.insert("LUMORA_PLATFORM", "sim");
        environment.insert("LUMORA_SIM_SCENARIO", m_scenario);
        environment.insert("LUMORA_TRACE", trace);
        environment.insert("HOME", m_dir.filePath("home"));
        environment.insert("XDG_DATA_HOME", m_dir.filePath("home/data"));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        Run result;
        if (!process.waitForFinished(deadlineMs(60000)))
            return result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        QFile file(trace);
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray &line : file.readAll().split('\n'))
                if (!line.isEmpty())
                    result.trace << QString::fromUtf8(line).section(QLatin1Char(' '), 1);
        return result;
    }

    Run cli(int profile, const QStringList &arguments)
    {
        return run(LUMORA_CLI_PATH, QStringList{"--profile", QString::number(profile)} + arguments);
    }

    // The window reads its profile from product.ini beside its executable: a
    // copy of the driver here has a product.ini of its own.
    Run openWindow(int profile)
    {
        const QString driver = m_dir.filePath("window");
        if (!QFile::exists(driver)) {
            QFile::copy(LUMORA_WINDOW_DRIVER_PATH, driver);
            QFile ini(m_dir.filePath("product.ini"));
            if (ini.open(QIODevice::WriteOnly))
                ini.write(QStringLiteral("[product_model]\nmain=%1\n").arg(profile).toUtf8());
        }
        return run(driver, {"open"});
    }

private:
    QTemporaryDir m_dir;
    QString m_scenario;
    int m_runs = 0;
};

QString writeScenario(const QString &path, const QJsonObject &scenario)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QJsonDocument(scenario).toJson());
    return path;
}

// A dump may ask (a query packet on the request selector, read back on the
// reply selector, GET_INFO and GET_LEN) but never set anything, and has no
// business with SCSI or usbfs.
QStringList writes(const QStringList &trace)
{
    static const QRegularExpression query(QStringLiteral("^xu \\S+ set sel=1 out=(8[0-9a-f]|9[0-9a-f]|0b)[0-9a-f]{14} "));
    QStringList found;
    for (const QString &line : trace)
        if ((line.startsWith(QLatin1String("xu ")) && line.contains(QLatin1String(" set ")) && !query.match(line).hasMatch())
            || (line.startsWith(QLatin1String("ctl ")) && line.contains(QLatin1String(" set "))) || line.startsWith(QLatin1String("scsi ")) || line.startsWith(QLatin1String("usb ")))
            found << line;
    return found;
}

} // namespace

class DumpTest : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QJsonObject>("camera");
        QTest::addColumn<int>("profile"); // the profile the camera belongs to; -1: none, the window does not open it
        const QJsonArray models = lumora::sim::SimKernel::defaultScenario().value("cameras").toArray();
        const QMap<QString, int> profiles{{"0x1d6b", 0}, {"0x5a17", 1}};
        for (const QJsonValue &camera : models)
            QTest::newRow(camera.toObject().value("id").toString().toUtf8().constData())
                << camera.toObject() << profiles.value(camera.toObject().value("vendorId").toString(), -1);
        // A camera answering the version only on the older query code.
        QJsonObject legacy = lumora::sim::SimKernel::defaultScenario().value("cameras").toArray().at(1).toObject();
        legacy.insert("extensionUnit", QJsonObject{{"legacyVersion", true}});
        legacy.insert("features", QJsonObject{{"hdr", 1}, {"trackMode", 3}});
        legacy.insert("controls", QJsonObject{{"zoom", QJsonObject{{"value", 250}}}, {"gain", false}});
        QTest::newRow("legacy version, changed state") << legacy << 0;
    }

    void roundTrip()
    {
        QFETCH(QJsonObject, camera);
        QFETCH(int, profile);
        const int cliProfile = qMax(profile, 0);
        QTemporaryDir dir;
        Machine original(writeScenario(dir.filePath("original.json"), {{"cameras", QJsonArray{camera}}}));

        const QString dumpPath = dir.filePath("dump.json");
        const Run dump = original.cli(cliProfile, {"dump", "--keep-serial", dumpPath});
        QCOMPARE(dump.exitCode, 0);
        QCOMPARE(writes(dump.trace), QStringList());
        QVERIFY2(dump.trace.size() > 0, "the dump asked the camera nothing");

        // Without --keep-serial the serial is a stand-in, the same every time.
        const Run hidden = original.cli(cliProfile, {"dump", "-c", "0"});
        QCOMPARE(hidden.exitCode, 0);
        const QJsonObject hiddenCamera = QJsonDocument::fromJson(hidden.out).object().value("cameras").toArray().at(0).toObject();
        QVERIFY(hiddenCamera.value("serial").toString() != camera.value("serial").toString());
        QCOMPARE(QJsonDocument::fromJson(original.cli(cliProfile, {"dump"}).out).object().value("cameras").toArray().at(0).toObject().value("serial"),
                 hiddenCamera.value("serial"));

        Machine dumped(dumpPath);
        const QList<QStringList> runs = {{"list"}, {"list", "--json"}, {"info"}, {"controls", "--json"}};
        for (const QStringList &arguments : runs) {
            const Run before = original.cli(cliProfile, arguments);
            const Run after = dumped.cli(cliProfile, arguments);
            QVERIFY2(!after.err.contains("scenario"), after.err.constData());
            QCOMPARE(after.exitCode, before.exitCode);
            QCOMPARE(after.out, before.out);
            QCOMPARE(after.trace, before.trace);
        }
        if (profile < 0)
            return;
        const Run windowBefore = original.openWindow(profile);
        const Run windowAfter = dumped.openWindow(profile);
        QCOMPARE(windowBefore.exitCode, 0);
        QCOMPARE(windowAfter.exitCode, 0);
        QCOMPARE(windowAfter.out, windowBefore.out);
        QCOMPARE(windowAfter.trace, windowBefore.trace);
    }

    // Bad requests get a message and an exit code, and an existing file keeps what it held.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("no such index") << QStringList{"dump", "-c", "7", "@kept"} << 3 << "no connected camera is named 7";
        QTest::newRow("no such node") << QStringList{"dump", "-c", "/dev/video9", "@kept"} << 3 << "no connected camera is named /dev/video9";
        QTest::newRow("platform camera") << QStringList{"dump", "-c", "/dev/video2", "@kept"} << 1 << "only USB cameras can be dumped";
        QTest::newRow("node denied") << QStringList{"dump", "-c", "/dev/video3", "@kept"} << 1 << "cannot open /dev/video3: Permission denied";
        QTest::newRow("folder missing") << QStringList{"dump", "@missing/dump.json"} << 5 << "cannot write";
        QTest::newRow("two files") << QStringList{"dump", "a.json", "b.json"} << 2 << "usage: lumora-cli dump";
        QTest::newRow("keep-serial elsewhere") << QStringList{"list", "--keep-serial"} << 2 << "--keep-serial goes with dump only";
    }

    void refusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QJsonObject usbCamera = lumora::sim::SimKernel::defaultScenario().value("cameras").toArray().at(0).toObject();
        const QJsonObject platformCamera{{"id", "platform"}, {"usb", false}, {"name", "Integrated Camera"}};
        QJsonObject deniedCamera = lumora::sim::SimKernel::defaultScenario().value("cameras").toArray().at(1).toObject();
        deniedCamera.insert("denied", QJsonArray{"video"});
        Machine machine(writeScenario(dir.filePath("scenario.json"),
                                      {{"cameras", QJsonArray{usbCamera, platformCamera, deniedCamera}}}));
        const QString kept = dir.filePath("kept.json");
        writeScenario(kept, {{"kept", true}});
        for (QString &argument : arguments)
            argument.replace("@kept", kept).replace("@missing", dir.filePath("missing"));
        const Run run = machine.cli(0, arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
        QVERIFY(run.out.isEmpty());
        QFile file(kept);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object(), QJsonObject({{"kept", true}}));
    }
};

QTEST_MAIN(DumpTest)
#include "test_dump.moc"
