// Scenarios: what is refused, the default world, and the timeline's order.
#include "sim/sim_kernel.h"
#include "sim/sim_scenario.h"
#include "sim_fixtures.h"

#include <QtTest>

using namespace lumora::sim;
using lumora::platform::DeviceEvent;
using simtest::cameraConfig;

class ScenarioTest : public QObject {
    Q_OBJECT
private slots:
    void refusesBrokenScenarios_data();
    void refusesBrokenScenarios();
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
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), expected.size(), 5000);
    QCOMPARE(seen, expected);
}

QTEST_GUILESS_MAIN(ScenarioTest)
#include "test_scenario.moc"
