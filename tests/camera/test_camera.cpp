// The camera model without a window: the model rules, the state read and the
// signals that let more than one view follow a camera.
#include "cameras.h"
#include "control/simrig.h"

#include "camera/camera.h"
#include "device/v4l2controlnode.h"

#include <QSignalSpy>
#include <QtTest>

using lumora::camera::Availability;
using lumora::camera::Camera;
using lumora::camera::Feature;

namespace {

struct Open {
    controltest::SimRig rig;
    std::shared_ptr<lumora::sim::SimCamera> sim;
    Camera camera;

    explicit Open(const QJsonObject &config)
    {
        sim = rig.plug(config);
        QVector<CameraDeviceInfo> devices;
        V4l2ControlNode().ListCameraDevices(devices);
        camera.setIdentity(devices.value(0).pathId, devices.value(0).friendlyName);
        camera.bindCapture(nullptr);
        camera.openChannel();
    }
    QStringList wire(int from = 0) const { return cameratest::wire(qEnvironmentVariable("LUMORA_TRACE"), from); }
};

} // namespace

class TestCamera : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stateReadReportsEachValueOnce()
    {
        Open open(cameratest::catalogueCamera(13, {{"trackMode", 1}, {"trackEffect", 0}, {"antiFlicker", 2}}));
        QSignalSpy changed(&open.camera, &Camera::featureChanged);
        QSignalSpy read(&open.camera, &Camera::stateRead);
        open.camera.readState();
        QCOMPARE(read.count(), 1);
        const auto state = read.at(0).at(0).value<lumora::camera::CameraState>();
        QCOMPARE(state.firmware, QString("1.0.30"));
        QCOMPARE(state.antiFlicker, 2);
        QCOMPARE(state.trackMode, 1);
        QCOMPARE(state.trackEffect, 0);
        QCOMPARE(state.controls.zoomRange.minimum, 100);
        QStringList features;
        for (const QList<QVariant> &args : changed)
            features << lumora::camera::featureInfo(args.at(0).value<Feature>()).name;
        QCOMPARE(features, QStringList({"hdr", "anti-flicker", "mic", "hd", "tracking", "tracking-effect", "tracking-speed"}));
        // Reading is all it did.
        QVERIFY(open.wire().filter(QRegularExpression("^ctl ")).filter(" set ").isEmpty());
    }

    void availabilityFollowsModelAndMode_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<int>("trackMode");
        QTest::addColumn<int>("feature");
        QTest::addColumn<int>("expected");
        const auto row = [](const char *name, int model, const char *firmware, int mode, Feature f, Availability a) {
            QTest::newRow(name) << model << QString(firmware) << mode << int(f) << int(a);
        };
        row("fov on the ORBIT 400", 12, "1.0.30", 0, Feature::FieldOfView, Availability::NotOnModel);
        row("fov on the ORBIT 160A, tracking off", 14, "1.0.30", 0, Feature::FieldOfView, Availability::Available);
        row("fov on the ORBIT 160A, auto framing", 14, "1.0.30", 1, Feature::FieldOfView, Availability::NotInMode);
        row("effect in presenter tracking", 13, "1.0.30", 3, Feature::TrackingEffect, Availability::NotInMode);
        row("speed in presenter tracking", 13, "1.0.30", 3, Feature::TrackingSpeed, Availability::NotInMode);
        row("effect in auto framing", 13, "1.0.30", 1, Feature::TrackingEffect, Availability::Available);
        row("tracking on the ORBIT 400", 12, "1.0.30", 1, Feature::Tracking, Availability::Held);
        row("effect on the ORBIT 400 1.0.22", 12, "1.0.22", 1, Feature::TrackingEffect, Availability::NotInMode);
        row("pan on the ORBIT 60F", 9, "1.0.30", 0, Feature::Pan, Availability::NotOnModel);
        row("hue on the ORBIT 60F", 9, "1.0.30", 0, Feature::Hue, Availability::Available);
        row("focus on the ORBIT 410", 13, "1.0.30", 0, Feature::Focus, Availability::NotOnModel);
        row("focus on the ORBIT 160A", 14, "1.0.30", 0, Feature::Focus, Availability::Available);
        row("hd on a basic model", 1, "1.0.30", 0, Feature::Hd, Availability::NotOnModel);
    }
    void availabilityFollowsModelAndMode()
    {
        QFETCH(int, model);
        QFETCH(QString, firmware);
        QFETCH(int, trackMode);
        QFETCH(int, feature);
        QFETCH(int, expected);
        QJsonObject config = cameratest::catalogueCamera(model, {{"trackMode", trackMode}}, {}, firmware);
        Open open(config);
        open.camera.readState();
        QCOMPARE(int(open.camera.availability(Feature(feature))), expected);
    }

    void model12HoldsTrackingOffWithFirmware1022()
    {
        Open open(cameratest::catalogueCamera(12, {{"trackMode", 1}}, {}, "1.0.22"));
        open.camera.readState();
        int mode = -1;
        QVERIFY(open.camera.read(Feature::Tracking, &mode));
        QCOMPARE(mode, 0);
        // The camera still runs auto framing; the model only shows it Off.
        QCOMPARE(open.sim->extensionUnit().feature("trackMode"), 1);
    }

    // Where the page holds tracking Off, a camera answering Auto Framing still
    // has its effect and speed read at opening; the page shows Off, nothing is sent.
    void heldOffTrackingStillReadsEffectAndSpeed_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<int>("shownMode");
        QTest::newRow("ORBIT 60F, page holds Off") << 9 << "1.0.30" << 0;
        QTest::newRow("ORBIT 400, page holds Off") << 12 << "1.0.30" << 0;
        QTest::newRow("ORBIT 400 1.0.22, locked Off") << 12 << "1.0.22" << 0;
        QTest::newRow("ORBIT 410, tracking shown") << 13 << "1.0.30" << 1;
    }

    void heldOffTrackingStillReadsEffectAndSpeed()
    {
        QFETCH(int, model);
        QFETCH(QString, firmware);
        QFETCH(int, shownMode);
        Open open(cameratest::catalogueCamera(model, {{"trackMode", 1}, {"trackEffect", 1}, {"trackSpeed", 2}}, {}, firmware));
        const int from = open.wire().size();
        QSignalSpy read(&open.camera, &Camera::stateRead);
        open.camera.readState();
        QCOMPARE(read.count(), 1);
        const auto state = read.at(0).at(0).value<lumora::camera::CameraState>();
        QCOMPARE(state.trackMode, shownMode);
        QCOMPARE(state.trackEffect, 1);
        QCOMPARE(state.trackSpeed, 2);
        const QStringList wire = open.wire(from);
        QVERIFY2(!wire.filter(QRegularExpression("^xu \\S+ set sel=1 out=91")).isEmpty(), qPrintable(wire.join('\n')));
        QVERIFY2(!wire.filter(QRegularExpression("^xu \\S+ set sel=1 out=92")).isEmpty(), qPrintable(wire.join('\n')));
        QVERIFY(wire.filter(QRegularExpression("^xu \\S+ set sel=1 out=(10|11|12)")).isEmpty());
        QCOMPARE(open.sim->extensionUnit().feature("trackMode"), 1);
    }

    void effectOutsideAutoFramingIsNotSent()
    {
        Open open(cameratest::catalogueCamera(13, {{"trackMode", 3}, {"trackEffect", 1}}));
        open.camera.readState();
        const int from = open.wire().size();
        const auto result = open.camera.set(Feature::TrackingEffect, 0);
        QVERIFY(!result.attempted);
        QVERIFY(!result.sent);
        const QStringList sets = open.wire(from).filter(" set sel=1 ");
        QCOMPARE(sets.size(), 1); // the mode query only
        QVERIFY(sets.at(0).contains("out=90"));
        QCOMPARE(open.sim->extensionUnit().feature("trackEffect"), 1);
    }

    void factoryResetSendsThePreliminaryWritesOfItsModel_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<bool>("preliminary");
        QTest::newRow("1.0.22") << "1.0.22" << true;
        QTest::newRow("1.0.30") << "1.0.30" << false;
    }
    void factoryResetSendsThePreliminaryWritesOfItsModel()
    {
        QFETCH(QString, firmware);
        QFETCH(bool, preliminary);
        Open open(cameratest::catalogueCamera(12, {{"antiFlicker", 2}}, {{"pan", QJsonObject{{"value", 36000}}}}, firmware));
        open.camera.readState();
        const int from = open.wire().size();
        QVERIFY(open.camera.restoreDefaults());
        const QStringList wire = open.wire(from);
        QCOMPARE(wire.filter(QRegularExpression("^ctl ")).filter(" set ").join(';').contains("set pan value=0 rc=0"), preliminary);
        QCOMPARE(!wire.filter(QRegularExpression("set sel=1 out=02..01")).isEmpty(), preliminary);
        QVERIFY(!wire.filter(QRegularExpression("set sel=1 out=7f")).isEmpty());
    }

    void hdChangeAnnouncesTheRestart()
    {
        Open open(cameratest::catalogueCamera(13, {{"hd", 1}}));
        open.camera.readState();
        QSignalSpy restarting(&open.camera, &Camera::restarting);
        const auto result = open.camera.set(Feature::Hd, 0);
        QVERIFY(result.sent);
        QVERIFY(result.restarting);
        QCOMPARE(restarting.count(), 1);
    }

    void automaticModeExactlyWhereTheCameraHasOne_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<int>("feature");
        QTest::addColumn<int>("expected");
        QTest::newRow("hue") << 13 << int(Feature::Hue) << 0;
        QTest::newRow("sharpness") << 13 << int(Feature::Sharpness) << -1;
        QTest::newRow("brightness") << 13 << int(Feature::Brightness) << -1;
        QTest::newRow("focus on the ORBIT 160A") << 14 << int(Feature::Focus) << 1;
        QTest::newRow("focus on the ORBIT 410") << 13 << int(Feature::Focus) << -1;
        QTest::newRow("zoom") << 13 << int(Feature::Zoom) << -1;
    }
    void automaticModeExactlyWhereTheCameraHasOne()
    {
        QFETCH(int, model);
        QFETCH(int, feature);
        QFETCH(int, expected);
        Open open(cameratest::catalogueCamera(model, {}));
        open.camera.readState();
        QCOMPARE(open.camera.autoState(Feature(feature)), expected);
    }

    void namesAndChoicesIgnoreCase()
    {
        const auto *info = lumora::camera::featureNamed("Anti-Flicker");
        QVERIFY(info);
        QCOMPARE(info->id, Feature::AntiFlicker);
        const auto *tracking = lumora::camera::featureNamed("TRACKING");
        QVERIFY(tracking);
        QVERIFY(lumora::camera::choiceWord(*tracking, "Auto-Framing"));
        QCOMPARE(lumora::camera::choiceWord(*tracking, "Auto-Framing")->value, 1);
        QVERIFY(!lumora::camera::choiceWord(*tracking, "everyone"));
    }
};

QTEST_MAIN(TestCamera)
#include "test_camera.moc"
