// The standard camera and image controls on the simulated camera's V4L2
// controls: parameter cache, unit conversion, and what a refused request leaves.
#include "camera/controlcache.h"
#include "devices/dshowcamerawrapper.h"
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
    DShowCameraWrapper wrapper;
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

    void refusedSetShowsOnlyInTheReadBack()
    {
        QVERIFY(wrapper.SetCameraProperty(kCameraZoom, 500));
        QVERIFY(wrapper.GetCameraProperty(kCameraZoom, 500));
        QCOMPARE(wrapper.cache().zoom, 200);
        QCOMPARE(rig->takeCtl().first(), QString("set zoom value=500 rc=%1").arg(-ERANGE));
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
