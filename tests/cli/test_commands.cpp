// lumora-cli end to end: each case runs the built tool against a simulated
// machine described by a scenario file, with the wire trace on.

#include "upgrade/hostilepackages.h"
#include "upgrade/zipwriter.h"
#include "support/testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QImageReader>
#include <QtTest>

#include <csignal>

namespace {

QJsonObject orbit(const QString &product, const QString &productId, const QJsonArray &faults = {})
{
    QJsonObject camera{{"id", "cam"}, {"vendorId", "0x5a17"}, {"productId", productId}, {"manufacturer", "ORBIT"},
                       {"product", product}, {"serial", "OR4000001"}, {"port", "1-4"}, {"firmware", "1.0.0"}};
    if (!faults.isEmpty())
        camera.insert("faults", faults);
    return camera;
}

QJsonObject orbit400(const QJsonArray &faults = {})
{
    return orbit("ORBIT 400", "0x0305", faults);
}

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

class Machine {
public:
    explicit Machine(const QJsonObject &scenario)
    {
        QFile file(m_dir.filePath("scenario.json"));
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(scenario).toJson());
        QDir(m_dir.path()).mkpath("home");
    }

    void start(QProcess &process, const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LUMORA_PLATFORM", "sim");
        environment.insert("LUMORA_SIM_SCENARIO", m_dir.filePath("scenario.json"));
        environment.insert("LUMORA_TRACE", m_dir.filePath("trace.log"));
        environment.insert("HOME", m_dir.filePath("home"));
        environment.insert("XDG_DATA_HOME", m_dir.filePath("home/data"));
        if (!m_pathFirst.isEmpty())
            environment.insert("PATH", m_pathFirst + ':' + environment.value("PATH"));
        process.setProcessEnvironment(environment);
        process.start(LUMORA_CLI_PATH, QStringList{"--profile", "1"} + arguments);
    }

    Result run(const QStringList &arguments)
    {
        QProcess process;
        start(process, arguments);
        Result result;
        if (!process.waitForFinished(deadlineMs(120000)))
            return result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    QStringList trace(const QString &kind) const
    {
        QFile file(m_dir.filePath("trace.log"));
        QStringList lines;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                if (line.contains(' ' + kind.toUtf8() + ' '))
                    lines << QString::fromUtf8(line);
            }
        }
        return lines;
    }

    QString package(const QByteArray &model, bool kernel = true)
    {
        const QString path = m_dir.filePath(QStringLiteral("fw%1.zip").arg(++m_packages));
        upgradetest::writeTestPackage(path, model, kernel);
        return path;
    }

    QString package(const QByteArray &model, const upgradetest::PackageParts &parts)
    {
        return packageBytes(upgradetest::testPackage(model, parts).bytes());
    }

    QString packageBytes(const QByteArray &bytes) { return upgradetest::writeNumberedPackage(m_dir.path(), &m_packages, bytes); }

    // Everything left in the firmware workspace.
    QStringList workspaceEntries() const
    {
        QStringList found;
        QDirIterator it(m_dir.filePath("home/data"), {"firmware"}, QDir::Dirs, QDirIterator::Subdirectories);
        while (it.hasNext())
            found += QDir(it.next()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        return found;
    }

    // Whether EnterUpgradeMode or any vendor SCSI command reached a device.
    bool cameraTouched() const { return upgradetest::touchesCamera(trace("xu") + trace("scsi")); }

    void useKilledTool() { m_pathFirst = upgradetest::writeKilledTool(m_dir.path()); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    int m_packages = 0;
    QString m_pathFirst;
};

QJsonObject oneCamera(const QJsonArray &faults = {})
{
    return {{"cameras", QJsonArray{orbit400(faults)}}};
}

// A camera waiting in an update state; `extra` overrides its fields.
QJsonObject stuckDrive(const QString &state, const QJsonObject &extra = {})
{
    QJsonObject drive = orbit400();
    drive.insert("state", state);
    drive.insert("camera", orbit400());
    for (auto it = extra.begin(); it != extra.end(); ++it)
        drive.insert(it.key(), it.value());
    return drive;
}

// The JSON lines a running command printed since the last call.
QVector<QJsonObject> newJsonLines(QProcess &process)
{
    QVector<QJsonObject> lines;
    while (process.canReadLine())
        lines << QJsonDocument::fromJson(process.readLine()).object();
    return lines;
}

// "name:type" of each field of an object, sorted: the shape scripts read.
QStringList shapeOf(const QJsonValue &value)
{
    QStringList fields;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        static const char *const types[] = {"null", "bool", "number", "string", "array", "object"};
        const int type = it.value().type();
        fields << it.key() + ':' + QLatin1String(type >= 0 && type <= 5 ? types[type] : "undefined");
    }
    fields.sort();
    return fields;
}

// The value at a path such as "cameras/0/name" ("" is the object itself).
QJsonValue valueAt(const QJsonObject &root, const QString &path)
{
    QJsonValue value = root;
    for (const QString &step : path.split('/', Qt::SkipEmptyParts)) {
        bool index = false;
        const int i = step.toInt(&index);
        value = index ? value.toArray().at(i) : value.toObject().value(step);
    }
    return value;
}

QStringList lines(const QByteArray &out)
{
    return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestCommands : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A camera with two VideoStreaming interfaces (two capture nodes) is one
    // camera, named by the node that offers MJPEG.
    void listAndInfo_data()
    {
        QTest::addColumn<QJsonArray>("streams");
        QTest::addColumn<QString>("node");
        QTest::newRow("one stream") << QJsonArray{} << "/dev/video0";
        QTest::newRow("two streams, MJPEG on the second")
            << QJsonArray{QJsonObject{{"formats", QJsonArray{"yuyv"}}}, QJsonObject{{"formats", QJsonArray{"mjpeg", "yuyv"}}}}
            << "/dev/video2";
    }
    void listAndInfo()
    {
        QFETCH(QJsonArray, streams);
        QFETCH(QString, node);
        QJsonObject config = orbit400();
        if (!streams.isEmpty())
            config.insert("streams", streams);
        Machine machine(QJsonObject{{"cameras", QJsonArray{config}}});
        const Result list = machine.run({"list", "--json"});
        QCOMPARE(list.exitCode, 0);
        const QJsonArray cameras = list.json().value("cameras").toArray();
        QCOMPARE(cameras.size(), 1);
        QCOMPARE(cameras.at(0).toObject().value("model").toString(), QStringLiteral("ORBIT 400"));
        QCOMPARE(cameras.at(0).toObject().value("index").toInt(), 0);
        QCOMPARE(cameras.at(0).toObject().value("node").toString(), node);

        const Result info = machine.run({"info", "--json"});
        QCOMPARE(info.exitCode, 0);
        const QJsonObject camera = info.json();
        QCOMPARE(camera.value("firmware").toString(), QStringLiteral("1.0.0"));
        QCOMPARE(camera.value("controls").toObject().keys().size(), 9);
        QCOMPARE(camera.value("controls").toObject().value("zoom").toObject().value("min").toInt(), 100);
        QVERIFY(camera.value("features").toObject().contains("tracking"));
        QVERIFY(info.err.isEmpty());
    }

    // The --json field names and types are an interface: the manual page's
    // JSON OUTPUT, written out here so that a renamed or retyped field fails.
    void jsonShapes_data()
    {
        QTest::addColumn<QJsonObject>("scenario");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("fields");
        const QJsonObject cameraAndDrive{{"cameras", QJsonArray{orbit400()}},
                                         {"drives", QJsonArray{stuckDrive("uboot", {{"id", "stuck"}, {"port", "1-6"}})}}};
        const QStringList camera{"devicePath:string", "firmware:string", "index:number", "model:string",
                                 "modelIndex:number", "name:string", "node:string", "pathId:string",
                                 "port:string", "profile:number", "serial:string"};
        QTest::newRow("list") << cameraAndDrive << QStringList{"list"} << ""
                              << QStringList{"cameras:array", "otherProfiles:array", "profile:number",
                                             "updateDrive:object", "updateDrives:array"};
        QTest::newRow("list, no drive") << oneCamera() << QStringList{"list"} << ""
                                        << QStringList{"cameras:array", "otherProfiles:array", "profile:number",
                                                       "updateDrive:null", "updateDrives:array"};
        QTest::newRow("list, camera") << cameraAndDrive << QStringList{"list"} << "cameras/0" << camera;
        QTest::newRow("list, update drive") << cameraAndDrive << QStringList{"list"} << "updateDrive"
                                            << QStringList{"node:string", "port:string", "state:string"};
        QTest::newRow("list, update drives") << cameraAndDrive << QStringList{"list"} << "updateDrives/0"
                                             << QStringList{"node:string", "port:string", "state:string"};
        QTest::newRow("info") << oneCamera() << QStringList{"info"} << ""
                              << QStringList{"controls:object", "devicePath:string", "features:object", "firmware:string",
                                             "model:string", "modelIndex:number", "name:string", "node:string",
                                             "notAdjustable:array", "pathId:string", "port:string", "restore:bool",
                                             "serial:string"};
        QTest::newRow("restore switch") << oneCamera() << QStringList{"restore", "off"} << ""
                                        << QStringList{"memory:string", "node:string", "restore:bool"};
        const QStringList control{"adjustable:bool", "default:number", "max:number", "min:number", "value:number"};
        QTest::newRow("info, control") << oneCamera() << QStringList{"info"} << "controls/zoom" << control;
        QTest::newRow("info, control with auto") << oneCamera() << QStringList{"info"} << "controls/hue"
                                                 << QStringList{"adjustable:bool", "auto:bool", "default:number",
                                                                "max:number", "min:number", "value:number"};
        QTest::newRow("info, control not on the model") << QJsonObject{{"cameras", QJsonArray{orbit("ORBIT 60F", "0x0110")}}}
                                                        << QStringList{"info"} << "controls/pan" << QStringList{"adjustable:bool"};
        QTest::newRow("get, vendor feature") << oneCamera() << QStringList{"get", "hdr"} << ""
                                             << QStringList{"feature:string", "value:string"};
        QTest::newRow("get, control") << oneCamera() << QStringList{"get", "zoom"} << ""
                                      << QStringList{"feature:string", "value:number"};
        QTest::newRow("get, control with auto") << oneCamera() << QStringList{"get", "hue"} << ""
                                                << QStringList{"auto:bool", "feature:string", "value:number"};
        QTest::newRow("set") << oneCamera() << QStringList{"set", "brightness", "90"} << ""
                             << QStringList{"feature:string", "value:number"};
        QTest::newRow("doctor") << oneCamera() << QStringList{"doctor"} << ""
                                << QStringList{"checks:array", "devices:number", "ready:bool"};
        QTest::newRow("doctor, check") << oneCamera() << QStringList{"doctor"} << "checks/0"
                                       << QStringList{"check:string", "detail:string", "subject:string", "verdict:string"};
    }

    void jsonShapes()
    {
        QFETCH(QJsonObject, scenario);
        QFETCH(QStringList, arguments);
        QFETCH(QString, path);
        QFETCH(QStringList, fields);
        Machine machine(scenario);
        const Result result = machine.run(arguments + QStringList{"--json"});
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QCOMPARE(shapeOf(valueAt(result.json(), path)), fields);
    }

    void checkPackageShape()
    {
        Machine machine(oneCamera());
        const Result result = machine.run({"check-package", machine.package("ORBIT 400"), "--json"});
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QCOMPARE(shapeOf(result.json()), (QStringList{"model:string", "modelIndex:number", "version:string"}));
    }

    void setReadsBack_data()
    {
        QTest::addColumn<QJsonObject>("camera");
        QTest::addColumn<QString>("feature");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("wire");
        // Field of view exists on the ORBIT 160A only; the ORBIT 400 holds tracking off.
        QJsonObject orbit160a = orbit("ORBIT 160A", "0x0307");
        orbit160a.insert("features", QJsonObject{{"trackMode", 0}});
        const QJsonObject orbit410 = orbit("ORBIT 410", "0x0306");
        QTest::newRow("hdr") << orbit400() << "hdr" << "on" << "xu";
        QTest::newRow("anti-flicker") << orbit400() << "anti-flicker" << "60" << "xu";
        QTest::newRow("fov") << orbit160a << "fov" << "65" << "xu";
        QTest::newRow("tracking") << orbit410 << "tracking" << "presenter" << "xu";
        QTest::newRow("tracking-speed") << orbit410 << "tracking-speed" << "fast" << "xu";
        QTest::newRow("zoom") << orbit400() << "zoom" << "250" << "ctl";
        QTest::newRow("brightness") << orbit400() << "brightness" << "90" << "ctl";
    }
    void setReadsBack()
    {
        QFETCH(QJsonObject, camera);
        QFETCH(QString, feature);
        QFETCH(QString, value);
        QFETCH(QString, wire);
        Machine machine({{"cameras", QJsonArray{camera}}});
        const Result set = machine.run({"set", feature, value, "--json"});
        QCOMPARE(set.exitCode, 0);
        // Numbers come as JSON numbers, choices as words.
        QCOMPARE(set.json().value("value").toVariant().toString(), value);
        const QStringList sets = machine.trace(wire).filter(" set ");
        QVERIFY2(!sets.isEmpty(), qPrintable(machine.trace(wire).join('\n')));

        const Result get = machine.run({"get", feature});
        QCOMPARE(get.exitCode, 0);
        QVERIFY(get.out.startsWith(feature.toUtf8() + ": "));
    }

    void errors_data()
    {
        QTest::addColumn<QJsonArray>("faults");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QJsonArray none;
        const QJsonArray allFail{QJsonObject{{"kind", "failDuring"}, {"startMs", 0}, {"durationMs", 600000}}};
        const QJsonArray dropAtOnce{QJsonObject{{"kind", "dropOnNth"}, {"n", 1}}};
        QTest::newRow("refused set") << allFail << QStringList{"set", "hdr", "on"} << 1 << "lumora-cli: the camera did not take hdr on";
        // The camera acknowledges and keeps its value, or rounds it to its step: the read-back tells.
        const QJsonArray allIgnored{QJsonObject{{"kind", "ignoreDuring"}, {"startMs", 0}, {"durationMs", 600000}}};
        QTest::newRow("vendor set not applied") << allIgnored << QStringList{"set", "anti-flicker", "60"} << 1
                                                << "lumora-cli: the camera kept anti-flicker at 50";
        QTest::newRow("vendor switch not applied") << allIgnored << QStringList{"set", "hdr", "on"} << 1
                                                   << "lumora-cli: the camera kept hdr at off";
        QTest::newRow("control set not applied") << allIgnored << QStringList{"set", "brightness", "90"} << 1
                                                 << "lumora-cli: the camera kept brightness at 128";
        QTest::newRow("zoom rounded to its step") << none << QStringList{"set", "zoom", "205"} << 1
                                                  << "lumora-cli: the camera kept zoom at 210";
        QTest::newRow("unplugged mid-command") << dropAtOnce << QStringList{"set", "zoom", "200"} << 3 << "lumora-cli: the camera was unplugged";
        QTest::newRow("out of range") << none << QStringList{"set", "zoom", "999"} << 4 << "lumora-cli: zoom takes 100 to 400, not \"999\"";
        QTest::newRow("unknown value") << none << QStringList{"set", "tracking", "everyone"} << 4 << "lumora-cli: tracking takes off/auto-framing/presenter, not \"everyone\"";
        QTest::newRow("no such camera") << none << QStringList{"get", "hdr", "-c", "3"} << 3 << "lumora-cli: there is no camera 3 (cameras 0 to 0 are connected)";
        QTest::newRow("unknown feature") << none << QStringList{"get", "volume"} << 2 << "lumora-cli: unknown feature \"volume\"; `lumora-cli get --help` lists them";
        QTest::newRow("unreadable file") << none << QStringList{"check-package", "/nonexistent/fw.zip"} << 5 << "lumora-cli: cannot read /nonexistent/fw.zip";
        QTest::newRow("reset without a terminal") << none << QStringList{"reset-defaults"} << 2 << "lumora-cli: reset-defaults asks first; pass --yes to run it without a terminal";
    }
    void errors()
    {
        QFETCH(QJsonArray, faults);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        Machine machine(oneCamera(faults));
        const Result result = machine.run(arguments);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(QString::fromUtf8(result.err).trimmed(), message);
    }

    void arguments_data()
    {
        QTest::addColumn<QJsonObject>("camera");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // a line of standard output, or of standard error when it fails
        QJsonObject zoomedIn = orbit("ORBIT 410", "0x0306");
        zoomedIn.insert("controls", QJsonObject{{"zoom", QJsonObject{{"value", 200}}}});
        QJsonObject orbit160a = orbit("ORBIT 160A", "0x0307");
        orbit160a.insert("features", QJsonObject{{"trackMode", 0}});
        const QJsonObject orbit60f = orbit("ORBIT 60F", "0x0110");
        QTest::newRow("negative pan") << zoomedIn << QStringList{"set", "pan", "-10"} << 0 << "pan: -10";
        QTest::newRow("negative hue") << zoomedIn << QStringList{"set", "hue", "-20"} << 0 << "hue: -20";
        QTest::newRow("after --") << zoomedIn << QStringList{"set", "pan", "--", "-10"} << 0 << "pan: -10";
        QTest::newRow("options after --") << zoomedIn << QStringList{"--", "set", "tilt", "-3"} << 0 << "tilt: -3";
        QTest::newRow("-c by index") << zoomedIn << QStringList{"get", "zoom", "-c", "0"} << 0 << "zoom: 200";
        QTest::newRow("-c by serial") << zoomedIn << QStringList{"get", "zoom", "-c", "OR4000001"} << 0 << "zoom: 200";
        QTest::newRow("-c by node") << zoomedIn << QStringList{"get", "zoom", "-c", "/dev/video0"} << 0 << "zoom: 200";
        QTest::newRow("-c by id") << zoomedIn
                                  << QStringList{"get", "zoom", "-c", "/dev/v4l/by-id/usb-ORBIT_ORBIT_410_OR4000001-video-index0"}
                                  << 0 << "zoom: 200";
        QTest::newRow("-c -1") << zoomedIn << QStringList{"get", "zoom", "-c", "-1"} << 2
                               << "lumora-cli: -c takes a camera index from 0, a serial, /dev/videoN or a /dev/v4l/by-id path, not \"-1\"";
        QTest::newRow("-c unknown serial") << zoomedIn << QStringList{"get", "zoom", "-c", "NOPE"} << 3
                                           << "lumora-cli: no connected camera is named NOPE";
        QTest::newRow("case") << zoomedIn << QStringList{"SET", "Anti-Flicker", "60"} << 0 << "anti-flicker: 60";
        QTest::newRow("choice case") << zoomedIn << QStringList{"set", "tracking", "Presenter"} << 0 << "tracking: presenter";
        QTest::newRow("version") << zoomedIn << QStringList{"--version"} << 0 << "lumora-cli 1.0.4";
        QTest::newRow("hue auto") << zoomedIn << QStringList{"set", "hue", "auto"} << 0 << "hue: auto";
        QTest::newRow("focus auto") << orbit160a << QStringList{"set", "focus", "AUTO"} << 0 << "focus: auto";
        QTest::newRow("sharpness auto") << zoomedIn << QStringList{"set", "sharpness", "auto"} << 4
                                        << "lumora-cli: sharpness has no automatic mode on the ORBIT 410";
        QTest::newRow("zoom auto") << zoomedIn << QStringList{"set", "zoom", "auto"} << 4
                                   << "lumora-cli: zoom has no automatic mode on the ORBIT 410";
        QTest::newRow("pan on a model without") << orbit60f << QStringList{"set", "pan", "5"} << 1
                                                << "lumora-cli: pan cannot be adjusted on the ORBIT 60F";
        QTest::newRow("fov on a model without") << orbit400() << QStringList{"set", "fov", "78"} << 1
                                                << "lumora-cli: fov cannot be adjusted on the ORBIT 400";
        QTest::newRow("effect outside auto framing") << orbit160a << QStringList{"set", "tracking-effect", "smooth"} << 1
                                                     << "lumora-cli: tracking-effect applies only while tracking is auto-framing (it is off)";
        QTest::newRow("pan beyond the pad") << zoomedIn << QStringList{"set", "pan", "-31"} << 4
                                            << "lumora-cli: pan takes -30 to 30, not \"-31\"";
        QTest::newRow("unknown option") << zoomedIn << QStringList{"get", "zoom", "--loud"} << 2
                                        << "lumora-cli: unknown option --loud; `lumora-cli --help` lists them";
    }
    void arguments()
    {
        QFETCH(QJsonObject, camera);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        Machine machine({{"cameras", QJsonArray{camera}}});
        const Result result = machine.run(arguments);
        QVERIFY2(result.exitCode == exitCode, result.err.constData());
        const QByteArray text = exitCode == 0 ? result.out : result.err;
        QVERIFY2(text.split('\n').contains(out.toUtf8()), text.constData());
    }

    // Two cameras whose serials share a beginning: -c matches a serial whole,
    // so a part of one selects no camera and nothing is sent to either.
    void partialSerialSelectsNoCamera_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("line");
        QTest::newRow("the first, whole") << "OR4000001" << 0 << "zoom: 200";
        QTest::newRow("the second, whole") << "OR4000002" << 0 << "zoom: 300";
        QTest::newRow("the shared beginning") << "OR400000" << 3 << "lumora-cli: no connected camera is named OR400000";
        QTest::newRow("a beginning of one") << "OR40" << 3 << "lumora-cli: no connected camera is named OR40";
        QTest::newRow("an end of one") << "R4000002" << 3 << "lumora-cli: no connected camera is named R4000002";
        QTest::newRow("longer than one") << "OR40000011" << 3 << "lumora-cli: no connected camera is named OR40000011";
    }

    void partialSerialSelectsNoCamera()
    {
        QFETCH(QString, selector);
        QFETCH(int, exitCode);
        QFETCH(QString, line);
        QJsonObject first = orbit("ORBIT 410", "0x0306");
        first.insert("controls", QJsonObject{{"zoom", QJsonObject{{"value", 200}}}});
        QJsonObject second = first;
        second.insert("id", "cam2");
        second.insert("serial", "OR4000002");
        second.insert("port", "1-5");
        second.insert("controls", QJsonObject{{"zoom", QJsonObject{{"value", 300}}}});
        Machine machine({{"cameras", QJsonArray{first, second}}});
        const Result result = machine.run({"get", "zoom", "-c", selector});
        QCOMPARE(result.exitCode, exitCode);
        const QByteArray text = exitCode == 0 ? result.out : result.err;
        QVERIFY2(text.split('\n').contains(line.toUtf8()), text.constData());
        if (exitCode != 0)
            QVERIFY(machine.trace("xu").isEmpty() && machine.trace("ctl").isEmpty());
    }

    void restartingChangeWaitsForTheCamera_data()
    {
        QTest::addColumn<QString>("feature");
        QTest::newRow("hd") << "hd";
        QTest::newRow("mic") << "mic";
    }
    void restartingChangeWaitsForTheCamera()
    {
        QFETCH(QString, feature);
        Machine machine(oneCamera());
        const Result set = machine.run({"set", feature, "off", "--json"});
        QVERIFY2(set.exitCode == 0, set.err.constData());
        // Read from the camera that came back.
        QCOMPARE(set.json().value("value").toString(), QString("off"));
        QCOMPARE(machine.trace("xu").filter(QRegularExpression("set sel=1 out=80")).size(), 2);
    }

    void listShowsBothProfiles()
    {
        QJsonObject vpt{{"id", "vpt"}, {"vendorId", "0x1d6b"}, {"productId", "0x0307"}, {"product", "VPT410B-100 NV-Optica-1080-AI"},
                        {"serial", "VPT0001"}, {"port", "1-5"}};
        Machine machine({{"cameras", QJsonArray{orbit400(), vpt}}});
        const Result list = machine.run({"list"});
        QCOMPARE(list.exitCode, 0);
        const QString text = QString::fromUtf8(list.out);
        QVERIFY2(text.contains("serial OR4000001"), qPrintable(text));
        QVERIFY2(text.contains("/dev/video0"), qPrintable(text));
        QVERIFY2(text.contains("usb 1-4"), qPrintable(text));
        QVERIFY2(text.contains("firmware 1.0.0"), qPrintable(text));
        QVERIFY2(text.contains("profile 1 does not show these connected cameras:"), qPrintable(text));
        QVERIFY2(text.contains("(profile 0)"), qPrintable(text));
        // People read Linux names; the interface path stays in the JSON.
        QVERIFY2(!text.contains("vid_"), qPrintable(text));
        const QJsonObject json = machine.run({"list", "--json"}).json();
        const QJsonObject camera = json.value("cameras").toArray().at(0).toObject();
        QVERIFY(camera.value("devicePath").toString().contains("vid_5a17&pid_0305"));
        QVERIFY(camera.value("index").isDouble());
        QCOMPARE(json.value("otherProfiles").toArray().at(0).toObject().value("serial").toString(), QString("VPT0001"));
    }

    void checkPackage_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<bool>("kernel");
        QTest::addColumn<bool>("againstCamera");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("verdict");
        QTest::newRow("usable") << QByteArray("ORBIT 400") << true << true << 0 << QString();
        QTest::newRow("usable, no camera named") << QByteArray("ORBIT 160A") << true << false << 0 << QString();
        QTest::newRow("bad format") << QByteArray("ORBIT 400") << false << true << 10 << "The format of firmware file is not correct.";
        QTest::newRow("corrupted") << QByteArray("nothing known") << true << true << 11 << "The firmware file is corrupted.";
        QTest::newRow("other model") << QByteArray("ORBIT 160A") << true << true << 12 << "The upgrade version does not match this device.";
    }
    void checkPackage()
    {
        QFETCH(QByteArray, model);
        QFETCH(bool, kernel);
        QFETCH(bool, againstCamera);
        QFETCH(int, exitCode);
        QFETCH(QString, verdict);
        Machine machine(oneCamera());
        QStringList arguments{"check-package", machine.package(model, kernel), "--json"};
        if (againstCamera)
            arguments << "-c" << "0";
        const Result result = machine.run(arguments);
        QCOMPARE(result.exitCode, exitCode);
        if (verdict.isEmpty())
            QCOMPARE(result.json().value("model").toString(), QString::fromLatin1(model));
        else
            QCOMPARE(QString::fromUtf8(result.err).trimmed(), "lumora-cli: " + verdict);
    }

    void upgradeAndRescue()
    {
        Machine camera(oneCamera());
        const Result upgrade = camera.run({"upgrade", camera.package("ORBIT 400"), "-c", "0"});
        QVERIFY2(upgrade.exitCode == 0, upgrade.err.constData());
        QCOMPARE(lines(upgrade.out).last(), QString("Upgrade done. V1.0.0 → V2.0.0"));
        QVERIFY(!camera.trace("scsi").isEmpty());

        Machine drive(QJsonObject{{"drives", QJsonArray{stuckDrive("rom")}}});
        const Result list = drive.run({"list"});
        QVERIFY2(list.out.contains("update drive /dev/sdb: ROM (USB port 1-4)"), list.out.constData());
        const Result rescue = drive.run({"rescue", drive.package("ORBIT 400"), "--json"});
        QVERIFY2(rescue.exitCode == 0, rescue.err.constData());
        QCOMPARE(rescue.json().value("report").toString(), QString("Upgrade done. V2.0.0"));
        QCOMPARE(rescue.json().value("to").toString(), QString("2.0.0"));
        QCOMPARE(shapeOf(rescue.json()),
                 (QStringList{"from:string", "progress:number", "report:string", "success:bool", "to:string"}));
    }

    // Each damaged package gets its verdict with the reason, from check-package
    // and from upgrade; nothing stays unpacked and nothing reaches the camera.
    void damagedPackages_data() { upgradetest::addHostilePackageRows(); }

    void damagedPackages()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QFETCH(bool, killTool);
        Machine machine(oneCamera());
        if (killTool)
            machine.useKilledTool();
        const QString package = machine.packageBytes(bytes);
        for (const QStringList &arguments : {QStringList{"check-package", package}, QStringList{"upgrade", package, "-c", "0"}}) {
            const Result result = machine.run(arguments);
            QCOMPARE(result.exitCode, 10);
            const QString error = QString::fromUtf8(result.err).trimmed();
            QVERIFY2(error.startsWith("lumora-cli: The format of firmware file is not correct. Reason: ") && error.contains(reason),
                     qPrintable(error));
            QCOMPARE(machine.workspaceEntries(), QStringList());
        }
        QVERIFY(!machine.cameraTouched());
    }

    // A package without usb_updater.bin after one with it: the camera in ROM is
    // not given the earlier package's updater.
    void staleUpdaterIsNotUsed()
    {
        Machine machine(QJsonObject{{"drives", QJsonArray{stuckDrive("rom")}}});
        QCOMPARE(machine.run({"check-package", machine.package("ORBIT 400")}).exitCode, 0);
        upgradetest::PackageParts noUpdater;
        noUpdater.updater = false;
        const Result rescue = machine.run({"rescue", machine.package("ORBIT 400", noUpdater)});
        QCOMPARE(rescue.exitCode, 1);
        QCOMPARE(lines(rescue.out).last(), QString("Upgrade refused, nothing was sent to the camera: the camera is in its "
                                                   "boot ROM and the package has no usb_updater.bin."));
        QVERIFY(!machine.cameraTouched());
    }

    // Camera A is upgraded; camera B, stuck in u-Boot on another port, is left untouched.
    void twoCamerasOnlyTheChosenOneIsFlashed()
    {
        Machine machine(QJsonObject{{"cameras", QJsonArray{orbit400()}},
                                    {"drives", QJsonArray{stuckDrive("uboot", {{"id", "stuck"}, {"port", "1-6"}, {"serial", "OR4000002"}})}}});
        const Result upgrade = machine.run({"upgrade", machine.package("ORBIT 400"), "-c", "0"});
        QVERIFY2(upgrade.exitCode == 0, upgrade.out.constData());
        QVERIFY2(upgrade.out.contains("the camera on USB port 1-6 is in its u-Boot state and is left as it is"), upgrade.out.constData());
        QCOMPARE(lines(upgrade.out).last(), QString("Upgrade done. V1.0.0 → V2.0.0"));
        const QStringList vendor = machine.trace("scsi").filter("cdb=e8");
        QVERIFY(!vendor.isEmpty());
        QCOMPARE(vendor.filter(" /dev/sdb ").size(), 0); // the stuck camera's drive
    }

    void rescueChecksTheFamily_data()
    {
        QTest::addColumn<QJsonObject>("drive");
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error");
        const QJsonObject unknownIds{{"vendorId", "0x5a17"}, {"productId", "0x0999"}};
        QTest::newRow("right model") << QJsonObject() << QByteArray("ORBIT 400") << false << 0 << QString();
        QTest::newRow("another model of the family")
            << QJsonObject() << QByteArray("ORBIT 160A") << false << 12
            << "lumora-cli: The upgrade version does not match this device. Reason: the camera in its update state is a ORBIT 400 and the package is for the ORBIT 160A";
        QTest::newRow("GC without --force") << unknownIds << QByteArray("ORBIT 400") << false << 12
                                            << "lumora-cli: the camera in its update state does not tell its model; if it is a ORBIT 400, run again with --force";
        QTest::newRow("GC with --force") << unknownIds << QByteArray("ORBIT 400") << true << 0 << QString();
    }

    void rescueChecksTheFamily()
    {
        QFETCH(QJsonObject, drive);
        QFETCH(QByteArray, model);
        QFETCH(bool, force);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        Machine machine(QJsonObject{{"drives", QJsonArray{stuckDrive("rom", drive)}}});
        QStringList arguments{"rescue", machine.package(model)};
        if (force)
            arguments << "--force";
        const Result rescue = machine.run(arguments);
        QCOMPARE(rescue.exitCode, exitCode);
        QCOMPARE(QString::fromUtf8(rescue.err).trimmed(), error);
        if (exitCode != 0)
            QVERIFY(!machine.cameraTouched());
    }

    // A drive whose ids the rule does not name is found, but its USB device
    // node cannot be opened for writing: the rescue says so before anything
    // is sent, with the exact line for its ids; as root it goes through.
    void rescueOutOfReachNamesTheRuleLine_data()
    {
        QTest::addColumn<bool>("privileged");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("as the seat user") << false << 1;
        QTest::newRow("as root") << true << 0;
    }

    void rescueOutOfReachNamesTheRuleLine()
    {
        QFETCH(bool, privileged);
        QFETCH(int, exitCode);
        const QJsonObject chipIds{{"vendorId", "0x1b3f"}, {"productId", "0x0c52"}};
        Machine machine(QJsonObject{{"drives", QJsonArray{stuckDrive("rom", chipIds)}}, {"privileged", privileged}});
        const Result rescue = machine.run({"rescue", machine.package("ORBIT 400"), "--force"});
        QCOMPARE(rescue.exitCode, exitCode);
        if (privileged)
            return;
        const QString err = QString::fromUtf8(rescue.err);
        const QString line = R"(SUBSYSTEM=="usb", ATTR{idVendor}=="1b3f", ATTR{idProduct}=="0c52", TAG+="uaccess")";
        QVERIFY2(err.contains("its USB device node /dev/bus/usb/001/002 cannot be opened for writing"), qPrintable(err));
        QVERIFY2(err.contains("\n  " + line + "\n"), qPrintable(err));
        QVERIFY2(err.contains("echo '" + line + "' | sudo tee -a /etc/udev/rules.d/70-lumora.rules"), qPrintable(err));
        QVERIFY2(err.contains("sudo udevadm control --reload && sudo udevadm trigger"), qPrintable(err));
        QVERIFY2(err.contains("Running the rescue as root works at once."), qPrintable(err));
        QVERIFY(!machine.cameraTouched());
    }

    // The script ran, but the camera never came back: no success, and the rescue is named.
    void cameraNeverComesBack()
    {
        QJsonObject camera = orbit400();
        camera.insert("updateDrive", QJsonObject{{"camera", false}});
        Machine machine(QJsonObject{{"cameras", QJsonArray{camera}}});
        const QString package = machine.package("ORBIT 400");
        const Result upgrade = machine.run({"upgrade", package, "-c", "0", "--wait", "2", "--json"});
        QCOMPARE(upgrade.exitCode, 1);
        QVERIFY(!upgrade.json().value("success").toBool());
        QVERIFY2(upgrade.json().value("report").toString().startsWith("The camera did not come back within 2 s"),
                 upgrade.out.constData());
        QCOMPARE(upgrade.json().value("rescue").toString(), "lumora-cli rescue " + package);
        QCOMPARE(shapeOf(upgrade.json()), (QStringList{"progress:number", "report:string", "rescue:string", "success:bool"}));
    }

    // Interrupted while chunks are in flight on a slow drive.
    void interrupted_data()
    {
        QTest::addColumn<int>("interrupts");
        QTest::newRow("once: finishes, then stops") << 1;
        QTest::newRow("twice: stops at once") << 2;
    }

    void interrupted()
    {
        QFETCH(int, interrupts);
        QJsonObject camera = orbit400();
        camera.insert("updateDrive", QJsonObject{{"protocolFaults", QJsonObject{{"chunkDelayMs", 40}}}});
        // Privileged, so the chunks show as scsi lines; the stop does not depend on the transport.
        Machine machine(QJsonObject{{"cameras", QJsonArray{camera}}, {"privileged", true}});
        upgradetest::PackageParts big;
        big.kernelSize = 60 * 32768;
        const QString package = machine.package("ORBIT 400", big);
        QProcess process;
        machine.start(process, {"upgrade", package, "-c", "0"});
        QTRY_VERIFY_WITH_TIMEOUT(!machine.trace("scsi").filter("cdb=e801").isEmpty(), deadlineMs(30000));
        QByteArray err;
        ::kill(pid_t(process.processId()), SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("stops at the next safe point"), deadlineMs(10000));
        if (interrupts == 2)
            ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(deadlineMs(60000)));
        const QStringList out = lines(process.readAllStandardOutput());
        QCOMPARE(out.size(), 2); // "upgrading with ...", then the one report line
        if (interrupts == 1) {
            QCOMPARE(process.exitCode(), 0);
            QCOMPARE(out.last(), QString("Upgrade done. V1.0.0 → V2.0.0"));
        } else {
            QCOMPARE(process.exitCode(), 130);
            QCOMPARE(out.last(), "Upgrade stopped; the camera is left in its update state. Rescue it with: lumora-cli rescue " + package);
            // It stopped between two chunks of the kernel, well before its last one.
            QVERIFY(machine.trace("scsi").filter("cdb=e801").size() < 50);
            QVERIFY(machine.trace("scsi").filter("cdb=e8040000000000008000").isEmpty());
        }
    }

    // A desktop user's upgrade carries the vendor commands inside CBWs over
    // usbfs; a privileged one sends them with SG_IO.
    void upgradeOverEachTransport_data()
    {
        QTest::addColumn<bool>("privileged");
        QTest::newRow("desktop user: Bulk-Only") << false;
        QTest::newRow("privileged: SG_IO") << true;
    }

    void upgradeOverEachTransport()
    {
        QFETCH(bool, privileged);
        Machine camera(QJsonObject{{"cameras", QJsonArray{orbit400()}}, {"privileged", privileged}});
        const Result upgrade = camera.run({"upgrade", camera.package("ORBIT 400"), "-c", "0"});
        QVERIFY2(upgrade.exitCode == 0, upgrade.err.constData());
        const QRegularExpression cbw(" usb /dev/bus/usb/\\d{3}/\\d{3} bulk ep=02 len=31 head=55534243\\S{20}0ae8");
        const QRegularExpression sgVendor(" scsi /dev/sd\\w cdb=e8\\S* .* rc=0$");
        int cbws = 0, sgVendors = 0;
        for (const QString &line : camera.trace("usb") + camera.trace("scsi")) {
            cbws += cbw.match(line).hasMatch();
            sgVendors += sgVendor.match(line).hasMatch();
        }
        QCOMPARE(cbws > 0, !privileged);
        QCOMPARE(sgVendors > 0, privileged);
    }

    void doctor_data()
    {
        QTest::addColumn<QJsonObject>("scenario");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines"); // verdict lines that must be there
        QJsonObject drive = orbit400();
        drive.insert("id", "drive");
        drive.insert("port", "1-6");
        drive.insert("state", "rom");
        const auto with = [](QJsonObject device, const QJsonArray &denied) {
            device.insert("denied", denied);
            return device;
        };
        const QString fix = "      fix: install the udev rule: sudo cp ~/.local/lib/udev/rules.d/70-lumora.rules "
                            "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger";
        QTest::newRow("everything in place")
            << QJsonObject{{"cameras", QJsonArray{orbit400()}}, {"drives", QJsonArray{drive}}} << 0
            << QStringList{"ok    camera 0 (ORBIT 400): video node: /dev/video0 opens for reading and writing",
                           "ok    camera 0 (ORBIT 400): extension unit: unit 6 (by GUID) answers the version query: 1.0.0",
                           "ok    camera 0 (ORBIT 400): standard controls: 18 readable",
                           "ok    camera 0 (ORBIT 400): USB device node: /dev/bus/usb/001/002 opens for reading and writing",
                           "ok    update drive /dev/sdb: disk node: /dev/sdb opens for reading",
                           "ok    update drive /dev/sdb: INQUIRY: answered (ROM)",
                           "ok    update drive /dev/sdb: SG_IO vendor commands: refused to this user (no CAP_SYS_RAWIO); upgrades go over USB Bulk-Only",
                           "ok    update drive /dev/sdb: USB device node: /dev/bus/usb/001/003 opens for reading and writing",
                           "ok    update drive /dev/sdb: udev rule ids: 5a17:0305 is covered by 70-lumora.rules",
                           "ok    this machine: udev rule: installed at /etc/udev/rules.d/70-lumora.rules"};
        QJsonObject chipDrive = drive;
        chipDrive.insert("vendorId", "0x1b3f");
        chipDrive.insert("productId", "0x0c52");
        chipDrive.insert("cdrom", true);
        QTest::newRow("a CD-ROM drive with the chip maker's ids")
            << QJsonObject{{"drives", QJsonArray{chipDrive}}} << 1
            << QStringList{"ok    update drive /dev/sr0: disk node: /dev/sr0 opens for reading",
                           "ok    update drive /dev/sr0: INQUIRY: answered (ROM)",
                           "FAIL  update drive /dev/sr0: USB device node: /dev/bus/usb/001/002 cannot be opened: Permission denied",
                           "      fix: The update drive /dev/sr0 (USB id 1b3f:0c52) was found, but its USB device node "
                           "/dev/bus/usb/001/002 cannot be opened for writing, so the firmware cannot be sent to it as this "
                           "user. Nothing was sent.",
                           "             SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1b3f\", ATTR{idProduct}==\"0c52\", TAG+=\"uaccess\"",
                           "           Running the rescue as root works at once.",
                           "warn  update drive /dev/sr0: udev rule ids: 1b3f:0c52 is not covered by 70-lumora.rules",
                           "      fix: add this line to /etc/udev/rules.d/70-lumora.rules, then reload udev: "
                           "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1b3f\", ATTR{idProduct}==\"0c52\", TAG+=\"uaccess\""};
        QTest::newRow("no access to the video node")
            << QJsonObject{{"cameras", QJsonArray{with(orbit400(), {"video"})}}} << 1
            << QStringList{"FAIL  camera 0 (ORBIT 400): video node: /dev/video0 cannot be opened: Permission denied", fix,
                           "ok    camera 0 (ORBIT 400): USB device node: /dev/bus/usb/001/002 opens for reading and writing"};
        QTest::newRow("no access to the usbfs nodes, no rule")
            << QJsonObject{{"cameras", QJsonArray{with(orbit400(), {"usbfs"})}}, {"drives", QJsonArray{with(drive, {"usbfs"})}},
                           {"udevRules", false}} << 1
            << QStringList{"ok    camera 0 (ORBIT 400): video node: /dev/video0 opens for reading and writing",
                           "FAIL  camera 0 (ORBIT 400): USB device node: /dev/bus/usb/001/002 cannot be opened: Permission denied", fix,
                           "FAIL  update drive /dev/sdb: USB device node: /dev/bus/usb/001/003 cannot be opened: Permission denied",
                           "warn  this machine: udev rule: 70-lumora.rules is not installed"};
        QTest::newRow("no usbfs access, but SG_IO passes vendor commands")
            << QJsonObject{{"cameras", QJsonArray{with(orbit400(), {"usbfs"})}}, {"privileged", true}} << 0
            << QStringList{"warn  camera 0 (ORBIT 400): USB device node: /dev/bus/usb/001/002 cannot be opened: Permission denied "
                           "(not needed while SG_IO passes vendor commands)"};
        QTest::newRow("nothing connected") << QJsonObject{} << 3
                                           << QStringList{"FAIL  no camera or update drive of this profile is connected"};
    }

    void doctor()
    {
        QFETCH(QJsonObject, scenario);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        Machine machine(scenario);
        const Result plain = machine.run({"doctor"});
        QCOMPARE(plain.exitCode, exitCode);
        const QStringList out = QString::fromUtf8(plain.out).split('\n');
        for (const QString &line : lines)
            QVERIFY2(out.contains(line), qPrintable(line + "\n--- got:\n" + plain.out));
        QCOMPARE(out.filter(QRegularExpression("^FAIL ")).isEmpty(), exitCode == 0);

        const Result json = machine.run({"doctor", "--json"});
        QCOMPARE(json.exitCode, exitCode);
        QCOMPARE(json.json().value("ready").toBool(), exitCode == 0);
        int failures = 0;
        for (const QJsonValue &check : json.json().value("checks").toArray())
            failures += check.toObject().value("verdict").toString() == "FAIL";
        QCOMPARE(failures, out.filter(QRegularExpression("^FAIL  \\S")).size() - (exitCode == 3 ? 1 : 0));
        // It only looks: no control set, no vendor or bulk command, nothing claimed.
        QCOMPARE(machine.trace("ctl").filter(" set ").size() + machine.trace("usb").size(), 0);
        QVERIFY(machine.trace("scsi").filter("cdb=e8").isEmpty());
    }

    // A camera with two capture nodes (two VideoStreaming interfaces) comes and goes once each time.
    void monitorFollowsTheTimeline_data()
    {
        QTest::addColumn<int>("streams");
        QTest::newRow("one stream") << 1;
        QTest::newRow("two streams") << 2;
    }
    void monitorFollowsTheTimeline()
    {
        QFETCH(int, streams);
        QJsonObject late = orbit400();
        late.insert("plugged", false);
        QJsonArray streamList;
        for (int s = 0; s < streams; ++s)
            streamList.append(QJsonObject{{"formats", QJsonArray{"mjpeg"}}});
        late.insert("streams", streamList);
        Machine machine(QJsonObject{{"cameras", QJsonArray{late}},
                                    {"timeline", QJsonArray{QJsonObject{{"atMs", 300}, {"action", "plug"}, {"device", "cam"}},
                                                            QJsonObject{{"atMs", 600}, {"action", "unplug"}, {"device", "cam"}},
                                                            QJsonObject{{"atMs", 900}, {"action", "plug"}, {"device", "cam"}}}}});
        QProcess monitor;
        machine.start(monitor, {"monitor", "--json"});
        QStringList events;
        QSet<QStringList> shapes;
        // The arrival after the removal comes after any duplicate the removal or the first arrival could bring.
        const auto back = [&] {
            for (const QJsonObject &line : newJsonLines(monitor)) {
                shapes.insert(shapeOf(line));
                events << line.value("event").toString();
            }
            return events.count("camera-added") >= 2;
        };
        QTRY_VERIFY_WITH_TIMEOUT(back(), deadlineMs(20000));
        QCOMPARE(events, QStringList({"update-drive", "camera-added", "camera-removed", "camera-added"}));
        QCOMPARE(shapes, (QSet<QStringList>{{"detail:string", "event:string"}}));
        monitor.terminate();
        QVERIFY(monitor.waitForFinished(deadlineMs(10000)));
        QCOMPARE(monitor.exitCode(), 0);
    }

    void monitorPairsEachDriveWithItsPort()
    {
        QJsonObject late = stuckDrive("uboot", {{"id", "late"}, {"port", "1-4"}, {"serial", "OR4000002"}, {"plugged", false}});
        Machine machine(QJsonObject{
            {"drives", QJsonArray{stuckDrive("rom", {{"id", "early"}, {"port", "1-2"}}), late}},
            {"timeline", QJsonArray{QJsonObject{{"atMs", 300}, {"action", "plug"}, {"device", "late"}},
                                    QJsonObject{{"atMs", 600}, {"action", "unplug"}, {"device", "early"}}}}});
        QProcess monitor;
        machine.start(monitor, {"monitor", "--json"});
        QStringList events;
        QSet<QStringList> shapes;
        const auto collect = [&] {
            for (const QJsonObject &line : newJsonLines(monitor)) {
                shapes.insert(shapeOf(line));
                events << line.value("detail").toString() + ' ' + line.value("port").toString();
            }
            return events.size() >= 3;
        };
        QTRY_VERIFY_WITH_TIMEOUT(collect(), deadlineMs(20000));
        // The drive arriving on 1-4 is not taken for the one on 1-2, nor the other way round.
        QCOMPARE(events, (QStringList{"ROM 1-2", "u-Boot 1-4", "none 1-2"}));
        QCOMPARE(shapes, (QSet<QStringList>{{"detail:string", "event:string", "port:string"}}));
        monitor.terminate();
        QVERIFY(monitor.waitForFinished(deadlineMs(10000)));
        QCOMPARE(monitor.exitCode(), 0);
        QVERIFY(monitor.readAll().isEmpty());
        // It only looks: no drive is opened for writing, no vendor command.
        QVERIFY(machine.trace("scsi").filter("cdb=e8").isEmpty());
    }

    // ---- memory, presets, controls, snapshot ----

    void controlsListTheFullSet()
    {
        Machine machine({{"cameras", QJsonArray{orbit400()}}});
        const Result result = machine.run({"controls", "--json"});
        QCOMPARE(result.exitCode, 0);
        QStringList names;
        QJsonObject exposure;
        for (const QJsonValue &v : result.json().value("controls").toArray()) {
            names << v.toObject().value("name").toString();
            if (names.last() == "auto_exposure")
                exposure = v.toObject();
        }
        for (const char *name : {"brightness", "contrast", "saturation", "hue", "hue_automatic", "sharpness", "gain",
                                 "white_balance_automatic", "white_balance_temperature", "backlight_compensation",
                                 "auto_exposure", "exposure_time_absolute", "exposure_dynamic_framerate", "pan_absolute",
                                 "tilt_absolute", "zoom_absolute", "focus_absolute", "focus_automatic_continuous"})
            QVERIFY2(names.contains(name), name);
        QCOMPARE(exposure.value("type").toString(), QString("menu"));
        QCOMPARE(exposure.value("value").toInt(), 3);
        QCOMPARE(exposure.value("menu").toArray().size(), 2);
        QCOMPARE(exposure.value("menu").toArray().at(0).toObject().value("name").toString(), QString("Manual Mode"));
    }

    // Menu and boolean controls by their V4L2 names; a value under an automatic mode is refused.
    void controlsSetAndReadBack_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::newRow("menu by item name") << QStringList{"set", "auto_exposure", "manual"} << 0 << "auto_exposure: Manual Mode";
        QTest::newRow("menu by index") << QStringList{"set", "auto_exposure", "1"} << 0 << "auto_exposure: Manual Mode";
        QTest::newRow("menu index not an item") << QStringList{"set", "auto_exposure", "2"} << 4 << "";
        QTest::newRow("boolean off") << QStringList{"set", "white_balance_automatic", "off"} << 0 << "white_balance_automatic: 0";
        QTest::newRow("boolean by number") << QStringList{"set", "white_balance_automatic", "0"} << 0 << "white_balance_automatic: 0";
        QTest::newRow("value under auto") << QStringList{"set", "exposure_time_absolute", "500"} << 1 << "";
        QTest::newRow("out of range") << QStringList{"set", "gain", "1000"} << 4 << "";
        QTest::newRow("get a menu") << QStringList{"get", "auto_exposure"} << 0 << "auto_exposure: Aperture Priority Mode";
        QTest::newRow("unknown control") << QStringList{"get", "no_such_control"} << 2 << "";
    }
    void controlsSetAndReadBack()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        Machine machine({{"cameras", QJsonArray{orbit400()}}});
        const Result result = machine.run(arguments);
        QCOMPARE(result.exitCode, exitCode);
        if (!out.isEmpty())
            QCOMPARE(QString::fromUtf8(result.out).trimmed(), out);
        if (exitCode != 0)
            QVERIFY(result.err.startsWith("lumora-cli: "));
        if (arguments.value(2) == "500")
            QVERIFY(machine.trace("ctl").filter(" set ").isEmpty());
    }

    // A set is remembered; the next process finds the camera at its defaults and restores it.
    void restoreOnce()
    {
        Machine machine({{"cameras", QJsonArray{orbit400()}}});
        QCOMPARE(machine.run({"set", "brightness", "170"}).exitCode, 0);
        QCOMPARE(machine.run({"set", "auto_exposure", "manual"}).exitCode, 0);
        const Result result = machine.run({"restore"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(QString::fromUtf8(result.out).trimmed().split('\n'),
                 QStringList({"/dev/video0: restored auto_exposure 3 -> 1", "/dev/video0: restored brightness 128 -> 170"}));
        QVERIFY(QFileInfo::exists(machine.path() + "/home/.config/lumora/cameras/5a17-0305-OR4000001.json"));
    }

    void presets()
    {
        Machine machine({{"cameras", QJsonArray{orbit400()}}});
        QCOMPARE(machine.run({"preset", "list"}).out.trimmed(), QByteArray("no presets for this camera"));
        QCOMPARE(machine.run({"preset", "save", "Desk"}).exitCode, 0);
        QCOMPARE(machine.run({"preset", "save", "White", "board"}).exitCode, 0);
        const QJsonArray list = machine.run({"preset", "list", "--json"}).json().value("presets").toArray();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(1).toObject().value("name").toString(), QString("White board"));
        QCOMPARE(list.at(1).toObject().value("slot").toInt(), 2);
        QCOMPARE(machine.run({"preset", "recall", "desk"}).exitCode, 0);
        QCOMPARE(machine.run({"preset", "recall", "2"}).exitCode, 0);
        QCOMPARE(machine.run({"preset", "recall", "nowhere"}).exitCode, 1);
        QCOMPARE(machine.run({"preset", "delete", "Desk"}).exitCode, 0);
        QCOMPARE(machine.run({"preset", "list", "--json"}).json().value("presets").toArray().size(), 1);
        QCOMPARE(machine.run({"preset", "fly"}).exitCode, 2);
        QCOMPARE(machine.run({"preset", "save"}).exitCode, 2);
    }

    void snapshot_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("png") << "shot.png";
        QTest::newRow("jpeg") << "shot.jpg";
    }
    void snapshot()
    {
        QFETCH(QString, file);
        Machine machine({{"cameras", QJsonArray{orbit400()}}});
        const QString path = machine.path() + "/" + file;
        const Result result = machine.run({"snapshot", path});
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QImage image;
        QVERIFY(image.load(path));
        QCOMPARE(image.size(), QSize(1920, 1080));
        QCOMPARE(QImageReader(path).format(), file.endsWith("png") ? QByteArray("png") : QByteArray("jpeg"));
    }

    // The watch applies the memory to a camera plugged in while it runs, and ends on SIGTERM.
    // The arrival is announced by the camera's first capture node; with two
    // streams and MJPEG on the second, the listed camera is the other node.
    void restoreWatch_data()
    {
        QTest::addColumn<QJsonArray>("streams");
        QTest::newRow("one stream") << QJsonArray{};
        QTest::newRow("two streams, MJPEG on the second")
            << QJsonArray{QJsonObject{{"formats", QJsonArray{"yuyv"}}}, QJsonObject{{"formats", QJsonArray{"mjpeg"}}}};
    }
    void restoreWatch()
    {
        QFETCH(QJsonArray, streams);
        QJsonObject absent = orbit400();
        absent.insert("plugged", false);
        if (!streams.isEmpty())
            absent.insert("streams", streams);
        Machine first({{"cameras", QJsonArray{orbit400()}}});
        QCOMPARE(first.run({"set", "brightness", "170"}).exitCode, 0);
        Machine machine({{"cameras", QJsonArray{absent}},
                         {"timeline", QJsonArray{QJsonObject{{"atMs", 1500}, {"action", "plug"}, {"device", "cam"}}}}});
        // The same home: the memory the first machine's run wrote.
        QVERIFY(QDir(machine.path() + "/home").removeRecursively());
        QVERIFY(QDir().rename(first.path() + "/home", machine.path() + "/home"));
        QProcess watch;
        machine.start(watch, {"restore", "--watch"});
        QVERIFY(watch.waitForStarted());
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains("restored brightness 128 -> 170"), deadlineMs(20000));
        watch.terminate();
        QVERIFY(watch.waitForFinished(deadlineMs(10000)));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "test_commands.moc"
