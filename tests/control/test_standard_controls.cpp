// The standard camera and image controls on the simulated camera's V4L2
// controls: parameter cache, unit conversion, and what a refused request leaves.
#include "device/controlcache.h"
#include "device/v4l2controlnode.h"
#include "simrig.h"

#include <QtTest>

#include <cerrno>

using controltest::SimRig;
using controltest::cameraConfig;

class TestStandardControls : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimRig> rig;
    std::shared_ptr<lumora::sim::SimCamera> camera;
    V4l2ControlNode wrapper;
    int position = -1;

    void open(const QJsonObject &config)
    {
        camera = rig->plug(config);
        QVector<CameraDeviceInfo> devices;
        wrapper.ListCameraDevices(devices);
        QCOMPARE(devices.size(), 1);
        QVERIFY(wrapper.OpenCameraDevice(devices[0].pathId, devices[0].friendlyName, &position));
        rig->takeCtl();
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<SimRig>();
        QJsonObject config = cameraConfig("cam", "2");
        config["controls"] = QJsonObject{{"pan", QJsonObject{{"value", 36000}}}, {"zoom", QJsonObject{{"value", 200}}}};
        open(config);
    }
    void cleanup()
    {
        wrapper.ReleaseCameraDevice();
        camera.reset();
        rig.reset();
    }

    void panAndTiltAreDegreesOnTheAppSide()
    {
        QVERIFY(wrapper.QueryCameraParameters(position, 12));
        QCOMPARE(wrapper.cache().pan, 10);
        QCOMPARE(wrapper.cache().panRange.minimum, -170);
        QCOMPARE(wrapper.cache().tiltRange.maximum, 170);
        rig->takeCtl();
        QVERIFY(wrapper.SetCameraProperty(kCameraTilt, -30));
        QCOMPARE(camera->controls().value("tilt"), -108000);
        QVERIFY(wrapper.GetCameraProperty(kCameraTilt, 0));
        QCOMPARE(wrapper.cache().tilt, -30);
        QCOMPARE(rig->takeCtl().filter("tilt"), QStringList({"set tilt value=-108000 rc=0", "get tilt value=-108000 rc=0"}));
    }

    // What the camera made of a set shows only in the read-back: uvcvideo
    // clamps a value past the range and rounds one between steps; a refused
    // set leaves the old value.
    void setShowsOnlyInTheReadBack_data()
    {
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("error"); // of the set, injected
        QTest::addColumn<int>("readBack");
        QTest::newRow("past the maximum") << 500 << 0 << 400;
        QTest::newRow("between two steps") << 205 << 0 << 210;
        QTest::newRow("refused") << 300 << EIO << 200;
    }

    void setShowsOnlyInTheReadBack()
    {
        QFETCH(int, sent);
        QFETCH(int, error);
        QFETCH(int, readBack);
        if (error)
            camera->faults().failNth(1, error);
        QVERIFY(wrapper.SetCameraProperty(kCameraZoom, sent));
        QVERIFY(wrapper.GetCameraProperty(kCameraZoom, sent));
        QCOMPARE(wrapper.cache().zoom, readBack);
        QCOMPARE(rig->takeCtl(), (QStringList{QString("set zoom value=%1 rc=%2").arg(sent).arg(-error),
                                              QString("get zoom value=%1 rc=0").arg(readBack)}));
    }

    // A camera whose pan moves in steps finer than a degree: arc-seconds
    // become the nearest degree, halves away from zero.
    void arcSecondsRoundToTheNearestDegree_data()
    {
        QTest::addColumn<int>("arcSeconds");
        QTest::addColumn<int>("degrees");
        QTest::newRow("5400") << 5400 << 2;
        QTest::newRow("-5400") << -5400 << -2;
        QTest::newRow("1800") << 1800 << 1;
        QTest::newRow("-1800") << -1800 << -1;
        QTest::newRow("1799") << 1799 << 0;
        QTest::newRow("-1799") << -1799 << 0;
        QTest::newRow("9000") << 9000 << 3;
    }

    void arcSecondsRoundToTheNearestDegree()
    {
        QFETCH(int, arcSeconds);
        QFETCH(int, degrees);
        cleanup();
        rig = std::make_unique<SimRig>();
        const int reach = qAbs(arcSeconds);
        const auto axis = [reach](int value) {
            return QJsonObject{{"min", -reach}, {"max", reach}, {"step", 1}, {"value", value}};
        };
        QJsonObject config = cameraConfig("cam", "2");
        config["controls"] = QJsonObject{{"pan", axis(arcSeconds)}, {"tilt", axis(-arcSeconds)}};
        open(config);
        QVERIFY(wrapper.QueryCameraParameters(position, 12));
        QCOMPARE(wrapper.cache().pan, degrees);
        QCOMPARE(wrapper.cache().tilt, -degrees);
        QCOMPARE(wrapper.cache().panRange.maximum, qAbs(degrees));
        QCOMPARE(wrapper.cache().panRange.minimum, -qAbs(degrees));
        wrapper.cache().pan = 99;
        QVERIFY(wrapper.GetCameraProperty(kCameraPan, 0));
        QCOMPARE(wrapper.cache().pan, degrees);
    }

    void failedGetCachesTheCallersValue()
    {
        camera->faults().failNth(1, EIO);
        QVERIFY(wrapper.GetImageProperty(kImageBrightness, 77));
        QCOMPARE(wrapper.cache().brightness, 77);
        QVERIFY(wrapper.GetImageProperty(kImageBrightness, 77));
        QCOMPARE(wrapper.cache().brightness, 128);
    }

    void nothingBoundDoesNothing()
    {
        wrapper.ReleaseCameraDevice();
        wrapper.cache().zoom = 321;
        QVERIFY(!wrapper.GetCameraProperty(kCameraZoom, 0));
        QVERIFY(!wrapper.SetCameraProperty(kCameraZoom, 300));
        QVERIFY(!wrapper.SetImagePropertyAuto(kImageHue));
        QCOMPARE(wrapper.cache().zoom, 321);
        QCOMPARE(camera->controls().value("zoom"), 200);
    }

    void modelDecidesWhichControlsAreRead_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<bool>("cameraControls");
        QTest::addColumn<bool>("focus");
        QTest::newRow("ORBIT 400") << 12 << true << false;
        QTest::newRow("VPT410B-100") << 4 << true << true;
        QTest::newRow("ORBIT 160A") << 14 << true << true;
        for (int model : {9, 10, 11})
            QTest::newRow(qPrintable(QString("model %1").arg(model))) << model << false << false;
    }

    void modelDecidesWhichControlsAreRead()
    {
        QFETCH(int, model);
        QFETCH(bool, cameraControls);
        QFETCH(bool, focus);
        wrapper.cache().zoom = wrapper.cache().pan = wrapper.cache().focus = wrapper.cache().focusFlags = -1;
        wrapper.cache().brightness = -1;
        QVERIFY(wrapper.QueryCameraParameters(position, model));
        QCOMPARE(wrapper.cache().zoom, cameraControls ? 200 : -1);
        QCOMPARE(wrapper.cache().pan, cameraControls ? 10 : -1);
        QCOMPARE(wrapper.cache().focusFlags, focus ? kControlFlagsAuto : -1);
        QCOMPARE(wrapper.cache().brightness, 128);
    }

    void automaticModeWhereV4l2HasOne()
    {
        QVERIFY(wrapper.SetImagePropertyAuto(kImageHue));
        QCOMPARE(camera->controls().value("hueAuto"), 1);
        QVERIFY(wrapper.SetImagePropertyAuto(kImageBrightness));
        QCOMPARE(rig->takeCtl(), QStringList({"set hue_auto value=1 rc=0"}));
        // A manual value takes the control out of its automatic mode.
        QVERIFY(wrapper.SetImageProperty(kImageHue, -20));
        QCOMPARE(camera->controls().value("hueAuto"), 0);
        QCOMPARE(camera->controls().value("hue"), -20);
    }
};

QTEST_GUILESS_MAIN(TestStandardControls)
#include "test_standard_controls.moc"
