// Scenarios: what is refused, the default world, and the timeline's order.
#include "sim/sim_kernel.h"
#include "sim/sim_scenario.h"
#include "sim_fixtures.h"
#include "support/testsupport.h"

#include <QtTest>

#include <climits>

#include <fcntl.h>
#include <linux/videodev2.h>

using namespace lumora::sim;
using lumora::platform::DeviceEvent;
using simtest::cameraConfig;

class ScenarioTest : public QObject {
    Q_OBJECT
private slots:
    void refusesBrokenScenarios_data();
    void refusesBrokenScenarios();
    void refusesHostileNumbers_data();
    void refusesHostileNumbers();
    void acceptsNumbersAtTheirLimits();
    void widestRangeRoundsWithoutOverflow();
    void defaultScenarioServesBothProfiles();
    void unreadableFileFallsBackToDefault_data();
    void unreadableFileFallsBackToDefault();
    void timelineRunsInOrder();
};

void ScenarioTest::refusesBrokenScenarios_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");
    const QByteArray cam = R"({"id":"a","vendorId":"0x1d6b","productId":"0xff01","product":"X","port":"1-1"})";
    QTest::newRow("cameras not an array") << QByteArray(R"({"cameras":{}})") << "\"cameras\" must be an array";
    QTest::newRow("camera without id") << QByteArray(R"({"cameras":[{"product":"X"}]})") << "needs an \"id\"";
    QTest::newRow("duplicate id") << "{\"cameras\":[" + cam + "],\"drives\":[{\"id\":\"a\"}]}" << "used twice";
    QTest::newRow("bad vendor id") << QByteArray(R"({"cameras":[{"id":"a","vendorId":"0x12345","productId":1,"product":"X","port":"1-1"}]})")
                                   << "16-bit ids";
    QTest::newRow("usb camera without port") << QByteArray(R"({"cameras":[{"id":"a","vendorId":1,"productId":1,"product":"X"}]})")
                                             << "needs a \"port\"";
    QTest::newRow("malformed port") << QByteArray(R"({"cameras":[{"id":"a","vendorId":1,"productId":1,"product":"X","port":"1-"}]})")
                                    << "needs a \"port\"";
    QTest::newRow("interface out of range") << QByteArray(R"({"cameras":[{"id":"a","usb":false,"name":"X","interface":300}]})")
                                            << "\"interface\" must be 0 to 254";
    QTest::newRow("unknown fault") << QByteArray(R"({"cameras":[{"id":"a","usb":false,"name":"X","faults":[{"kind":"melt"}]}]})")
                                   << "unknown or incomplete fault \"melt\"";
    for (const char *holder : {R"("nobody")", R"({"name":"zoom"})", R"({"pid":0,"name":"zoom"})", R"({"pid":1.5,"name":"zoom"})",
                               R"({"pid":99999999,"name":"zoom"})", R"({"pid":42})", R"({"pid":42,"name":""})"})
        QTest::newRow(qPrintable(QStringLiteral("heldBy %1").arg(holder)))
            << QByteArray(R"({"cameras":[{"id":"a","usb":false,"name":"X","heldBy":)") + holder + "}]}"
            << "\"heldBy\" needs a \"pid\"";
    QTest::newRow("unknown action") << "{\"cameras\":[" + cam + "],\"timeline\":[{\"atMs\":0,\"action\":\"shake\",\"device\":\"a\"}]}"
                                    << "unknown action \"shake\"";
    QTest::newRow("negative time") << "{\"cameras\":[" + cam + "],\"timeline\":[{\"atMs\":-5,\"action\":\"unplug\",\"device\":\"a\"}]}"
                                   << "non-negative \"atMs\"";
    QTest::newRow("unknown device") << "{\"cameras\":[" + cam + "],\"timeline\":[{\"atMs\":0,\"action\":\"unplug\",\"device\":\"b\"}]}"
                                    << "unknown device \"b\"";
}

void ScenarioTest::refusesBrokenScenarios()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    Scenario scenario;
    QString message;
    QVERIFY(!parseScenario(QJsonDocument::fromJson(json).object(), &scenario, &message));
    QVERIFY2(message.contains(error), qPrintable(message));

    SimKernel k;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("scenario refused"));
    QVERIFY(!k.loadScenario(QJsonDocument::fromJson(json).object()));
    QVERIFY(k.listDirectory("/sys/class/video4linux").isEmpty());
}

namespace {

QByteArray withCamera(const QByteArray &fields)
{
    return R"({"cameras":[{"id":"a","vendorId":"0x1d6b","productId":"0xff01","product":"X","port":"1-1")"
        + (fields.isEmpty() ? QByteArray() : "," + fields) + "}]}";
}

QByteArray withControl(const QByteArray &range) { return withCamera(R"("controls":{"zoom":{)" + range + "}}"); }

QByteArray withEvent(const QByteArray &fields)
{
    return R"({"cameras":[{"id":"a","vendorId":1,"productId":1,"product":"X","port":"1-1"}],"timeline":[{"action":"restart","device":"a",)"
        + fields + "}]}";
}

QByteArray withDrive(const QByteArray &fields)
{
    return R"({"drives":[{"id":"d","state":"uboot","vendorId":1,"productId":1,"port":"1-6",)" + fields + "}]}";
}

QByteArray portOfDepth(int depth)
{
    QByteArray port = "1-1";
    for (int i = 1; i < depth; ++i)
        port += ".1";
    return port;
}

} // namespace

// Numbers that would divide by zero, overflow, spin or grow without bound.
void ScenarioTest::refusesHostileNumbers_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");
    QTest::newRow("step 0") << withControl(R"("step":0)") << "\"step\" must be at least 1";
    QTest::newRow("negative step") << withControl(R"("step":-10)") << "\"step\" must be at least 1";
    QTest::newRow("min above max") << withControl(R"("min":500,"max":400)") << "\"min\" must not be above \"max\"";
    QTest::newRow("min below int") << withControl(R"("min":-2147483649)") << "\"min\" must be a whole number within int";
    QTest::newRow("max above int") << withControl(R"("max":1e300)") << "\"max\" must be a whole number within int";
    QTest::newRow("fractional step") << withControl(R"("step":0.5)") << "\"step\" must be a whole number";
    QTest::newRow("value outside range") << withControl(R"("value":401)") << "must lie from \"min\" to \"max\"";
    QTest::newRow("default outside range") << withControl(R"("default":-1)") << "must lie from \"min\" to \"max\"";
    QTest::newRow("range as a string") << withControl(R"("max":"400")") << "\"max\" must be a whole number";
    QTest::newRow("unknown control") << withCamera(R"("controls":{"iris":{}})") << "unknown control \"iris\"";
    QTest::newRow("atMs 3e9") << withEvent(R"("atMs":3e9)") << "\"atMs\" within a day";
    QTest::newRow("atMs 1e300") << withEvent(R"("atMs":1e300)") << "\"atMs\" within a day";
    QTest::newRow("atMs a day and 1 ms") << withEvent(R"("atMs":86400001)") << "\"atMs\" within a day";
    QTest::newRow("delayMs 1e300") << withEvent(R"("atMs":0,"delayMs":1e300)") << "\"delayMs\" must be a whole number from 0 to 86400000";
    QTest::newRow("delayMs 3e9") << withEvent(R"("atMs":0,"delayMs":3e9)") << "\"delayMs\" must be a whole number from 0 to 86400000";
    QTest::newRow("port 2000 levels deep") << withCamera("").replace("\"1-1\"", "\"" + portOfDepth(2000) + "\"")
                                           << "\"port\" is 2000 levels deep; USB allows 6";
    QTest::newRow("port 7 levels deep") << withCamera("").replace("\"1-1\"", "\"" + portOfDepth(7) + "\"")
                                        << "\"port\" is 7 levels deep";
    QTest::newRow("port number 256") << withCamera("").replace("\"1-1\"", "\"1-256\"") << "\"port\" numbers and the bus go from 1 to 255";
    QTest::newRow("port number past int") << withCamera("").replace("\"1-1\"", "\"1-99999999999\"") << "from 1 to 255";
    QTest::newRow("bus past int") << withCamera("").replace("\"1-1\"", "\"99999999999-1\"") << "from 1 to 255";
    QTest::newRow("bus 0") << withCamera(R"("bus":0)").replace("\"1-1\"", "\"1\"") << "\"bus\" must be a whole number from 1 to 255";
    QTest::newRow("interface 1e300") << withCamera(R"("interface":1e300)") << "\"interface\" must be 0 to 254";
    QTest::newRow("vendor id 1e300") << QByteArray(R"({"cameras":[{"id":"a","vendorId":1e300,"productId":1,"product":"X","port":"1-1"}]})")
                                     << "16-bit ids";
    QTest::newRow("fault n 1e300") << withCamera(R"("faults":[{"kind":"failNth","n":1e300}])") << "\"n\" must be a whole number from 1";
    QTest::newRow("fault window 3e9") << withCamera(R"("faults":[{"kind":"failDuring","startMs":0,"durationMs":3e9}])")
                                      << "\"durationMs\" must be a whole number from 0 to 86400000";
    QTest::newRow("errno 1e9") << withCamera(R"("faults":[{"kind":"failNth","n":1,"errno":1e9}])") << "\"errno\" must be a whole number from 1 to 4095";
    QTest::newRow("feature 1e300") << withCamera(R"("features":{"hdr":1e300})") << "\"hdr\" must be a whole number from 0 to 255";
    QTest::newRow("negative feature") << withCamera(R"("features":{"trackMode":-1})") << "\"trackMode\" must be a whole number from 0 to 255";
    QTest::newRow("unit id 0") << withCamera(R"("extensionUnit":{"unitId":0})") << "\"unitId\" must be a whole number from 1 to 255";
    QTest::newRow("unit id 1e300") << withCamera(R"("extensionUnit":{"unitId":1e300})") << "\"unitId\" must be a whole number from 1 to 255";
    QTest::newRow("firmware part past 16 bits") << withCamera(R"("firmware":"70000.1.2")") << "\"firmware\" must be";
    QTest::newRow("negative firmware") << withCamera(R"("firmware":"-1.2.3")") << "\"firmware\" must be";
    QTest::newRow("disk of 1e300 sectors") << withDrive(R"("sectors":1e300)") << "\"sectors\" must be a whole number";
    QTest::newRow("disk of 0 sectors") << withDrive(R"("sectors":0)") << "\"sectors\" must be a whole number";
    QTest::newRow("upgrade switch 3e9 ms") << withCamera(R"("upgradeSwitchMs":3e9)")
                                           << "\"upgradeSwitchMs\" must be a whole number from 0 to 86400000";
    QTest::newRow("negative check time") << withDrive(R"("checkMsPerMiB":-1)") << "\"checkMsPerMiB\" must be a whole number from 0 to 60000";
    QTest::newRow("check time 1e300") << withDrive(R"("checkMsPerMiB":1e300)") << "\"checkMsPerMiB\" must be a whole number";
    QTest::newRow("negative chunk fault") << withDrive(R"("protocolFaults":{"dropAtChunk":-1})") << "\"dropAtChunk\" must be a whole number";
    QTest::newRow("status faults 1e300") << withDrive(R"("protocolFaults":{"lateStatusReads":1e300})") << "\"lateStatusReads\" must be a whole number";
    QTest::newRow("drive port 2000 levels deep") << withDrive("").replace("\"1-6\",", "\"" + portOfDepth(2000) + "\"")
                                                 << "levels deep";
    QTest::newRow("streams not an array") << withCamera(R"("streams":{"formats":["mjpeg"]})") << "\"streams\" must be an array of 1 to 8";
    QTest::newRow("no streams") << withCamera(R"("streams":[])") << "\"streams\" must be an array of 1 to 8";
    QTest::newRow("nine streams") << withCamera(R"("streams":[)" + QByteArray(R"({"formats":["mjpeg"]},)").repeated(8)
                                                + R"({"formats":["mjpeg"]}])")
                                  << "\"streams\" must be an array of 1 to 8";
    QTest::newRow("stream without formats") << withCamera(R"("streams":[{"formats":[]}])") << "needs \"formats\"";
    QTest::newRow("stream as a string") << withCamera(R"("streams":["mjpeg"])") << "needs \"formats\"";
    QTest::newRow("unknown format") << withCamera(R"("streams":[{"formats":["mjpeg","h265"]}])") << "needs \"formats\"";
    QTest::newRow("streams past interface 255") << withCamera(R"("interface":254,"streams":[{"formats":["mjpeg"]},{"formats":["yuyv"]}])")
                                                << "past 255";
    QTest::newRow("drive's camera with step 0")
        << withDrive(R"("camera":{"id":"d","vendorId":1,"productId":1,"product":"X","port":"1-6","controls":{"pan":{"step":0}}})")
        << "\"step\" must be at least 1";
}

void ScenarioTest::refusesHostileNumbers() { refusesBrokenScenarios(); }

void ScenarioTest::acceptsNumbersAtTheirLimits()
{
    const QByteArray json = R"({"cameras":[{"id":"a","vendorId":65535,"productId":0,"product":"X","port":")" + portOfDepth(6)
        + R"(","interface":254,"firmware":"65535.0.99","extensionUnit":{"unitId":255},"features":{"hdr":255},
            "controls":{"pan":{"min":-2147483648,"max":2147483647,"step":2147483647,"default":0,"value":0}},
            "faults":[{"kind":"failDuring","startMs":86400000,"durationMs":0}],"upgradeSwitchMs":86400000}],
        "drives":[{"id":"d","state":"rom","port":"255-255","sectors":4294967296,"checkMsPerMiB":60000}],
        "timeline":[{"atMs":86400000,"action":"restart","device":"a","delayMs":86400000}]})";
    Scenario scenario;
    QString message;
    QVERIFY2(parseScenario(QJsonDocument::fromJson(json).object(), &scenario, &message), qPrintable(message));
    SimKernel k;
    QVERIFY(k.loadScenario(QJsonDocument::fromJson(json).object()));
    QCOMPARE(k.listDirectory("/sys/class/video4linux").size(), 2);
}

// A range as wide as int: a value is rounded to the step without overflow,
// in uvcvideo's 32-bit unsigned arithmetic, whose rounding wraps near the top.
void ScenarioTest::widestRangeRoundsWithoutOverflow()
{
    SimKernel k;
    QVERIFY(k.loadScenario(QJsonDocument::fromJson(withCamera(
        R"("controls":{"pan":{"min":-2147483648,"max":2147483647,"step":1000000000,"default":0,"value":0}})")).object()));
    const int fd = k.open("/dev/video0", O_RDWR);
    QVERIFY(fd >= 0);
    const QVector<QPair<int, int>> sentAndTaken{
        {INT_MAX, INT_MIN}, {INT_MIN, INT_MIN}, {INT_MAX - 1, INT_MIN}, {-1, -147483648}, {1500000000, 1852516352}};
    for (const auto &[sent, taken] : sentAndTaken) {
        v4l2_control control{V4L2_CID_PAN_ABSOLUTE, sent};
        QCOMPARE(k.ioctl(fd, VIDIOC_S_CTRL, &control), 0);
        QCOMPARE(control.value, taken);
        QCOMPARE(k.ioctl(fd, VIDIOC_G_CTRL, &control), 0);
        QCOMPARE(control.value, taken);
    }
    k.close(fd);
}

void ScenarioTest::defaultScenarioServesBothProfiles()
{
    SimKernel k;
    QVERIFY(k.loadScenario(SimKernel::defaultScenario()));
    QStringList vendors, names;
    for (const QString &node : k.listDirectory("/sys/class/video4linux")) {
        QByteArray vendor, name;
        k.readAttribute("/sys/class/video4linux/" + node + "/device/../idVendor", &vendor);
        k.readAttribute("/sys/class/video4linux/" + node + "/name", &name);
        vendors << vendor.trimmed();
        names << name.trimmed();
    }
    QVERIFY(vendors.contains("1d6b") && vendors.contains("5a17"));
    QVERIFY(vendors.count("1d6b") + vendors.count("5a17") < vendors.size()); // and a webcam of another vendor
    QVERIFY(names.filter("NV-Optica").size() >= 2 && names.filter("ORBIT").size() >= 2);
}

void ScenarioTest::unreadableFileFallsBackToDefault_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("not json") << QByteArray("{\"cameras\": [");
    QTest::newRow("not an object") << QByteArray("[]");
    QTest::newRow("fails the checks") << QByteArray(R"({"cameras":[{"product":"X"}]})");
}

void ScenarioTest::unreadableFileFallsBackToDefault()
{
    QFETCH(QByteArray, contents);
    QTemporaryDir dir;
    const QString path = dir.filePath("scenario.json");
    if (!contents.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    qputenv("LUMORA_SIM_SCENARIO", path.toUtf8());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("scenario not used, loading the default one instead"));
    const auto kernel = createKernelFromEnvironment();
    qunsetenv("LUMORA_SIM_SCENARIO");
    SimKernel reference;
    reference.loadScenario(SimKernel::defaultScenario());
    QCOMPARE(kernel->listDirectory("/sys/class/video4linux"), reference.listDirectory("/sys/class/video4linux"));
}

// Events at the same time keep file order; a restart comes back after its delay.
void ScenarioTest::timelineRunsInOrder()
{
    QJsonObject late = cameraConfig("late", "1-2", false);
    late.insert("plugged", false);
    const QJsonObject scenario{
        {"cameras", QJsonArray{cameraConfig("a", "1-1", false), late}},
        {"timeline", QJsonArray{
                         QJsonObject{{"atMs", 60}, {"action", "restart"}, {"device", "a"}, {"delayMs", 40}},
                         QJsonObject{{"atMs", 30}, {"action", "plug"}, {"device", "late"}},
                         QJsonObject{{"atMs", 30}, {"action", "unplug"}, {"device", "late"}},
                         QJsonObject{{"atMs", 0}, {"action", "unplug"}, {"device", "a"}},
                         QJsonObject{{"atMs", 20}, {"action", "plug"}, {"device", "a"}},
                     }}};
    SimKernel k;
    auto monitor = k.createMonitor();
    QStringList seen;
    connect(monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, this, [&](const DeviceEvent &e) {
        seen << e.properties.value("ACTION") + ' ' + e.properties.value("ID_SERIAL_SHORT");
    });
    monitor->start();
    QVERIFY(k.loadScenario(scenario));
    const QStringList expected{"add SN-a", "remove SN-a", "add SN-a", "add SN-late", "remove SN-late",
                               "remove SN-a", "add SN-a"};
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), expected.size(), deadlineMs(5000));
    QCOMPARE(seen, expected);
}

QTEST_GUILESS_MAIN(ScenarioTest)
#include "test_scenario.moc"
