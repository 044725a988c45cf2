// LABELS: fleet
// The Ansible collection end to end: ansible-playbook against localhost
// (connection: local) runs the built lumora-cli on the simulated machine,
// kept for the run so a second task sees what the first one did. One play of
// cases read back task by task, and the rooms playbook on two simulated rooms.

#include "support/testsupport.h"

#include "sim/sim_kernel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kSourceDir = qEnvironmentVariable("LUMORA_SOURCE_DIR");

struct Finished {
    int exitCode = -1;
    QByteArray out, err;
};

Finished runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Finished finished;
    if (!process.waitForFinished(deadlineMs(240000)))
        return finished;
    finished.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    finished.out = process.readAllStandardOutput();
    finished.err = process.readAllStandardError();
    return finished;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The task's result for `host` in the report callback's document; the first one, or the one in `play`.
QJsonObject taskResult(const QJsonObject &report, const QString &task, const QString &host, const QString &play = {})
{
    for (const QJsonValue &each : report.value("plays").toArray()) {
        if (!play.isEmpty() && each.toObject().value("play").toObject().value("name").toString() != play)
            continue;
        for (const QJsonValue &entry : each.toObject().value("tasks").toArray()) {
            const QJsonObject hosts = entry.toObject().value("hosts").toObject();
            if (entry.toObject().value("task").toObject().value("name").toString() == task && hosts.contains(host))
                return hosts.value(host).toObject();
        }
    }
    return {};
}

// A transfer that changes a camera: a control set, an extension-unit write other than
// a query (selector 1 with a code below 0x80 other than 0x0B), the upgrade selector, a vendor SCSI command.
bool writesToCamera(const QString &line)
{
    static const QRegularExpression xuSet(QStringLiteral(" xu \\S+ set sel=(\\d+) out=([0-9a-f]{2})"));
    if ((line.contains(" ctl ") && line.contains(" set ")) || line.contains("cdb=e8"))
        return true;
    const QRegularExpressionMatch match = xuSet.match(line);
    if (!match.hasMatch())
        return false;
    const int code = match.captured(2).toInt(nullptr, 16);
    return match.captured(1) != QLatin1String("1") || (code < 0x80 && code != 0x0B);
}

QStringList firmwareOf(const QJsonObject &facts)
{
    QStringList versions;
    for (const QJsonValue &camera : facts.value("cameras").toArray())
        versions << camera.toObject().value("serial").toString() + ' ' + camera.toObject().value("firmware").toString();
    versions.sort();
    return versions;
}

} // namespace

class TestPlaybooks : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcessEnvironment m_environment; // ansible-playbook's, and through it lumora-cli's
    QJsonObject m_packages;            // "nv-optica-4k-ai-2.0.0" -> path
    QJsonObject m_cases;               // the cases play's report
    Finished m_casesRun;

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    // A simulated room: its own session folder, home and state, on a scenario file.
    QJsonObject room(const QString &name, const QJsonObject &scenario) const
    {
        for (const char *folder : {"run", "home", "state"})
            QDir().mkpath(path(name + '/' + folder));
        writeFile(path(name + "/scenario.json"), QJsonDocument(scenario).toJson());
        return {{"XDG_RUNTIME_DIR", path(name + "/run")}, {"HOME", path(name + "/home")},
                {"XDG_STATE_HOME", path(name + "/state")}, {"LUMORA_SIM_SCENARIO", path(name + "/scenario.json")}};
    }

    // The demo's cameras, quick to switch into upgrade mode; `shape` goes into the 4K camera.
    static QJsonObject demo(const QJsonObject &shape = {})
    {
        QJsonObject scenario = lumora::sim::SimKernel::defaultScenario();
        QJsonArray cameras;
        for (const QJsonValue &value : scenario.value("cameras").toArray()) {
            QJsonObject camera = value.toObject();
            camera.insert("upgradeSwitchMs", 100);
            if (camera.value("id") == QLatin1String("qx-4k"))
                for (auto it = shape.begin(); it != shape.end(); ++it)
                    camera.insert(it.key(), it.value());
            cameras.append(camera);
        }
        scenario.insert("cameras", cameras);
        return scenario;
    }

    // A 4K camera an interrupted upgrade left in its boot loader, on port 1-6.
    static QJsonObject withStuckCamera(QJsonObject scenario)
    {
        const QJsonObject camera{{"id", "stuck"},     {"vendorId", "0x1d6b"},
                                 {"productId", "0xff01"}, {"manufacturer", "QX"},
                                 {"product", "QX NV-Optica-4K-AI"}, {"serial", "QX4K00099"},
                                 {"port", "1-6"},     {"firmware", "1.0.0"}};
        QJsonObject drive = camera;
        drive.insert("state", "uboot");
        drive.insert("camera", camera);
        scenario.insert("drives", QJsonArray{drive});
        return scenario;
    }

    Finished playbook(const QString &file, const QString &inventory, const QJsonObject &vars,
                      const QJsonObject &environment = {}) const
    {
        static int runs = 0;
        const QString varsFile = path(QStringLiteral("vars-%1.json").arg(++runs));
        writeFile(varsFile, QJsonDocument(vars).toJson());
        QProcessEnvironment env = m_environment;
        for (auto it = environment.begin(); it != environment.end(); ++it)
            env.insert(it.key(), it.value().toString());
        return runTool("ansible-playbook", {"-i", inventory, "--diff", "-e", '@' + varsFile, file}, env);
    }

    // lumora-cli list in a room, as the room's own runs see it.
    QStringList roomFirmware(const QJsonObject &roomEnvironment) const
    {
        QProcessEnvironment env = m_environment;
        for (auto it = roomEnvironment.begin(); it != roomEnvironment.end(); ++it)
            env.insert(it.key(), it.value().toString());
        const Finished list = runTool(LUMORA_CLI_PATH, {"list", "--json"}, env);
        return firmwareOf(QJsonDocument::fromJson(list.out).object());
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *tool : {"ansible-playbook", "ansible-galaxy", "7z"})
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed (scripts/deps.sh installs it)").arg(QLatin1String(tool))));
        QVERIFY(m_dir.isValid());
        m_environment = QProcessEnvironment::systemEnvironment();
        // One machine per room for the whole run: every task sees what the earlier ones did.
        m_environment.remove("LUMORA_SIM_FRESH");
        m_environment.insert("PATH", QFileInfo(LUMORA_CLI_PATH).path() + ':' + m_environment.value("PATH"));
        m_environment.insert("ANSIBLE_COLLECTIONS_PATH", path("collections"));
        m_environment.insert("ANSIBLE_CALLBACK_PLUGINS", QFileInfo(QFINDTESTDATA("callback_plugins/report.py")).path());
        m_environment.insert("ANSIBLE_STDOUT_CALLBACK", "report");
        m_environment.insert("ANSIBLE_PYTHON_INTERPRETER", "/usr/bin/python3");
        m_environment.insert("ANSIBLE_LOCAL_TEMP", path("ansible-local"));
        m_environment.insert("ANSIBLE_REMOTE_TEMP", path("ansible-remote"));
        m_environment.insert("ANSIBLE_NOCOLOR", "1");
        m_environment.insert("ANSIBLE_RETRY_FILES_ENABLED", "0");

        // The collection as users get it: built, then installed.
        const Finished build = runTool("ansible-galaxy", {"collection", "build", kSourceDir + "/ansible/lumora/cameras",
                                                          "--output-path", path("dist")}, m_environment);
        QVERIFY2(build.exitCode == 0, build.err.constData());
        const Finished install = runTool("ansible-galaxy", {"collection", "install", "--offline", "-p", path("collections"),
                                                            path("dist/lumora-cameras-" LUMORA_VERSION ".tar.gz")}, m_environment);
        QVERIFY2(install.exitCode == 0, install.err.constData());

        for (const QStringList &package : {QStringList{"2.0.0", "NV-Optica-4K-AI", "ORBIT 160A"}, QStringList{"1.0.0", "NV-Optica-4K-AI"}}) {
            const Finished made = runTool(kSourceDir + "/tools/make-demo-package",
                                          QStringList{"-s", "64", "-v", package.first(), "-o", path("packages")} + package.mid(1),
                                          m_environment);
            QVERIFY2(made.exitCode == 0, made.err.constData());
            for (const QByteArray &line : made.out.trimmed().split('\n')) {
                const QString file = QString::fromUtf8(line);
                m_packages.insert(QFileInfo(file).completeBaseName().remove("lumora-demo-"), file);
            }
        }

        QDir().mkpath(path("traces"));
        const QJsonObject cases = room("cases", withStuckCamera(demo()));
        for (auto it = cases.begin(); it != cases.end(); ++it)
            m_environment.insert(it.key(), it.value().toString());
        m_casesRun = playbook(QFINDTESTDATA("cases.yml"), "localhost,", {{"packages", m_packages}, {"traces", path("traces")}});
        m_cases = QJsonDocument::fromJson(m_casesRun.out).object();
        QVERIFY2(!m_cases.isEmpty(), m_casesRun.err.constData());
    }

    void cases_data()
    {
        QTest::addColumn<QString>("task");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QString>("failure"); // empty: the task succeeds
        QTest::newRow("facts") << "facts" << false << "";
        QTest::newRow("settings, first run") << "settings, first run" << true << "";
        QTest::newRow("settings, second run") << "settings, second run" << false << "";
        QTest::newRow("settings, check mode") << "settings, check mode" << true << "";
        QTest::newRow("settings, by model") << "settings, by model" << true << "";
        QTest::newRow("feature the model lacks") << "settings, feature the model lacks" << false
                                                 << "pan cannot be adjusted on the NV-Optica-1080-AI";
        QTest::newRow("value the model does not take") << "settings, value the model does not take" << false
                                                       << "brightness takes 0 to 255, not \"999\"";
        QTest::newRow("preset slot out of range") << "settings, preset slot out of range" << false
                                                  << "preset 12: slots are 1 to 9";
        QTest::newRow("firmware, rescue") << "firmware, rescue" << true << "";
        QTest::newRow("firmware, check mode") << "firmware, check mode" << true << "";
        QTest::newRow("firmware, upgrade") << "firmware, upgrade" << true << "";
        QTest::newRow("firmware, same package") << "firmware, same package again" << false << "";
        QTest::newRow("firmware, another model") << "firmware, package for another model" << false
                                                 << "The upgrade version does not match this device.";
        QTest::newRow("firmware, downgrade refused") << "firmware, downgrade without allow_downgrade" << false
                                                     << "a downgrade needs allow_downgrade: true";
        QTest::newRow("firmware, rescue without a drive") << "firmware, rescue without a waiting camera" << false
                                                          << "no camera waits in an update state on USB port 1-1";
        QTest::newRow("firmware, downgrade allowed") << "firmware, downgrade allowed" << true << "";
    }
    void cases()
    {
        QFETCH(QString, task);
        QFETCH(bool, changed);
        QFETCH(QString, failure);
        const QJsonObject result = taskResult(m_cases, task, "localhost");
        QVERIFY2(!result.isEmpty(), qPrintable(task + " did not run"));
        QCOMPARE(result.value("failed").toBool(), !failure.isEmpty());
        QCOMPARE(result.value("changed").toBool(), changed);
        if (!failure.isEmpty())
            QVERIFY2(result.value("msg").toString().contains(failure), qPrintable(result.value("msg").toString()));
    }

    void factsListTheDemoCameras()
    {
        const QJsonObject facts = taskResult(m_cases, "facts", "localhost");
        QCOMPARE(firmwareOf(facts), (QStringList{"QX1080042 1.3.9", "QX4K00017 1.4.2"}));
        const QJsonObject first = facts.value("cameras").toArray().first().toObject();
        QCOMPARE(QStringList(first.keys()), (QStringList{"firmware", "index", "model", "node", "port", "profile", "serial"}));
        QCOMPARE(facts.value("update_drives").toArray().size(), 1);
        const QJsonObject drive = facts.value("update_drives").toArray().first().toObject();
        QCOMPARE(drive.value("port").toString(), "1-6");
        QCOMPARE(drive.value("state").toString(), "u-Boot");
        QVERIFY(facts.value("ready").toBool());
        QCOMPARE(firmwareOf(taskResult(m_cases, "facts after", "localhost")),
                 (QStringList{"QX1080042 1.3.9", "QX4K00017 1.0.0", "QX4K00099 2.0.0"}));
    }

    void firmwareFromTo_data()
    {
        QTest::addColumn<QString>("task");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::newRow("rescue") << "firmware, rescue" << "" << "2.0.0";
        QTest::newRow("check mode") << "firmware, check mode" << "1.4.2" << "2.0.0";
        QTest::newRow("upgrade") << "firmware, upgrade" << "1.4.2" << "2.0.0";
        QTest::newRow("same package") << "firmware, same package again" << "2.0.0" << "2.0.0";
        QTest::newRow("downgrade allowed") << "firmware, downgrade allowed" << "2.0.0" << "1.0.0";
    }
    void firmwareFromTo()
    {
        QFETCH(QString, task);
        QFETCH(QString, from);
        QFETCH(QString, to);
        const QJsonObject result = taskResult(m_cases, task, "localhost");
        QCOMPARE(result.value("from").toString(), from);
        QCOMPARE(result.value("to").toString(), to);
    }

    // Check mode and a refused package read the camera and change nothing on it.
    void nothingWritten_data()
    {
        QTest::addColumn<QString>("trace");
        QTest::newRow("settings, check mode") << "settings-check.log";
        QTest::newRow("firmware, check mode") << "firmware-check.log";
        QTest::newRow("firmware, package for another model") << "firmware-mismatch.log";
    }
    void nothingWritten()
    {
        QFETCH(QString, trace);
        QFile file(path("traces/" + trace));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(trace + " was not written"));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(std::any_of(lines.begin(), lines.end(), [](const QString &l) { return l.contains(" get "); }),
                 "the camera was not read");
        for (const QString &line : lines)
            QVERIFY2(!writesToCamera(line), qPrintable(line));
    }

    void checkModeShowsTheDiff()
    {
        const QJsonObject diff = taskResult(m_cases, "settings, check mode", "localhost").value("diff").toObject();
        const QJsonObject before = diff.value("before").toObject().value("QX4K00017").toObject();
        const QJsonObject after = diff.value("after").toObject().value("QX4K00017").toObject();
        QCOMPARE(QStringList(after.keys()), (QStringList{"anti-flicker", "brightness", "preset 2", "restore"}));
        QCOMPARE(before.value("brightness").toInt(), 150);
        QCOMPARE(after.value("brightness").toInt(), 90);
        QCOMPARE(before.value("anti-flicker").toString(), "60");
        QCOMPARE(before.value("preset 2"), QJsonValue());
        QCOMPARE(before.value("restore").toBool(), false);
        QCOMPARE(after.value("restore").toBool(), true);
    }

    // Two rooms, each its own simulated machine: the canary's wave runs alone and
    // first; a canary whose camera does not come back stops the rollout.
    void rooms_data()
    {
        QTest::addColumn<QJsonObject>("canaryShape");
        QTest::addColumn<bool>("canaryFails");
        QTest::newRow("canary, then the other room") << QJsonObject() << false;
        QTest::newRow("canary fails: the other room is left alone")
            << QJsonObject{{"updateDrive", QJsonObject{{"protocolFaults", QJsonObject{{"neverAcknowledge", true}}}}}} << true;
    }
    void rooms()
    {
        QFETCH(QJsonObject, canaryShape);
        QFETCH(bool, canaryFails);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).section(',', 0, 0).section(':', 0, 0).replace(' ', '-');
        const QJsonObject canary = room(tag + "-canary", demo(canaryShape));
        const QJsonObject other = room(tag + "-other", demo());
        const QJsonObject local{{"ansible_connection", "local"}};
        QJsonObject canaryVars = local, otherVars = local;
        canaryVars.insert("lumora_environment", canary);
        otherVars.insert("lumora_environment", other);
        const QJsonObject inventory{{"all", QJsonObject{{"children", QJsonObject{
            {"rooms", QJsonObject{{"hosts", QJsonObject{{"room-b", otherVars}}}, {"children", QJsonObject{{"canary", QJsonObject()}}}}},
            {"canary", QJsonObject{{"hosts", QJsonObject{{"room-a", canaryVars}}}}}}}}}};
        const QString inventoryFile = path(tag + "-inventory.json");
        QVERIFY(writeFile(inventoryFile, QJsonDocument(inventory).toJson()));
        const QJsonObject vars{
            {"lumora_firmware", QJsonObject{{"NV-Optica-4K-AI", m_packages.value("nv-optica-4k-ai-2.0.0")}}},
            {"lumora_settings", QJsonObject{{"NV-Optica-4K-AI", QJsonObject{{"values", QJsonObject{{"brightness", 140}}}}}}}};

        const Finished run = playbook(kSourceDir + "/ansible/playbooks/rooms.yml", inventoryFile, vars);
        const QJsonObject report = QJsonDocument::fromJson(run.out).object();
        QVERIFY2(!report.isEmpty(), run.err.constData());
        const QString firmwareTask = "Firmware of each camera that has a package";
        const QJsonObject canaryWave = taskResult(report, firmwareTask, "room-a", "Firmware on the canary room first");
        const QJsonObject otherWave = taskResult(report, firmwareTask, "room-b", "Firmware on the other rooms, wave by wave");
        // The canary's wave holds the canary alone.
        QVERIFY(taskResult(report, firmwareTask, "room-b", "Firmware on the canary room first").isEmpty());
        QCOMPARE(canaryWave.value("failed").toBool(), canaryFails);
        if (canaryFails) {
            QVERIFY(run.exitCode != 0);
            const QJsonObject attempt = canaryWave.value("results").toArray().first().toObject();
            QVERIFY2(attempt.value("msg").toString().contains(QRegularExpression("Rescue it with: lumora-cli rescue /\\S+\\.zip")),
                     qPrintable(attempt.value("msg").toString()));
            QVERIFY(otherWave.isEmpty());
            QCOMPARE(roomFirmware(other), (QStringList{"QX1080042 1.3.9", "QX4K00017 1.4.2"}));
            return;
        }
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QCOMPARE(otherWave.value("changed").toBool(), true);
        for (const QJsonObject &room : {canary, other})
            QCOMPARE(roomFirmware(room), (QStringList{"QX1080042 1.3.9", "QX4K00017 2.0.0"}));
        QCOMPARE(taskResult(report, "Settings per model", "room-b").value("changed").toBool(), true);
    }
};

QTEST_GUILESS_MAIN(TestPlaybooks)
#include "test_playbooks.moc"
