// The simulated camera's vendor extension unit and standard controls, asked
// directly the way uvcvideo would ask them.
#include "device/uvcextensionunit.h"
#include "device/xudescriptor.h"
#include "sim/sim_controls.h"
#include "sim/sim_device.h"
#include "sim/sim_extension_unit.h"

#include <QtTest>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <climits>

using lumora::sim::SimControls;
using lumora::sim::SimExtensionUnit;
using Outcome = SimExtensionUnit::Outcome;
using Packet = QByteArray;
Q_DECLARE_METATYPE(Outcome)

namespace {

struct Asked {
    int rc;
    Outcome outcome;
    Packet data;
};

Asked ask(SimExtensionUnit &xu, quint8 query, quint8 selector, Packet data, quint8 unit = 6)
{
    uvc_xu_control_query q{unit, selector, query, quint16(data.size()), reinterpret_cast<quint8 *>(data.data())};
    Outcome outcome = Outcome::None;
    const int rc = xu.query(&q, &outcome);
    return {rc, outcome, data};
}

Packet packet(std::initializer_list<int> bytes)
{
    Packet p(8, '\0');
    int i = 0;
    for (int b : bytes)
        p[i++] = char(b);
    return p;
}

} // namespace

class TestExtensionUnitModel : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firmwareRejects_data()
    {
        QTest::addColumn<int>("query");
        QTest::addColumn<int>("selector");
        QTest::addColumn<Packet>("data");
        QTest::addColumn<int>("unit");
        QTest::addColumn<int>("rc");
        QTest::newRow("read with nothing staged") << UVC_GET_CUR << 2 << packet({}) << 6 << -EIO;
        QTest::newRow("unknown code") << UVC_SET_CUR << 1 << packet({0x33, 1, 1}) << 6 << -EIO;
        QTest::newRow("unknown query code") << UVC_SET_CUR << 1 << packet({0xB3, 1}) << 6 << -EIO;
        QTest::newRow("tracking mode 2") << UVC_SET_CUR << 1 << packet({0x10, 1, 2}) << 6 << -EIO;
        QTest::newRow("anti-flicker 0") << UVC_SET_CUR << 1 << packet({0x02, 1, 0}) << 6 << -EIO;
        QTest::newRow("upgrade packet off by one byte")
            << UVC_SET_CUR << 4 << packet({0x00, 0xFF, 0x07, 0x3C, 0x96, 0xC3, 0x1E, 0x6C}) << 6 << -EIO;
        QTest::newRow("read on the request selector") << UVC_GET_CUR << 1 << packet({}) << 6 << -EBADRQC;
        QTest::newRow("write on the reply selector") << UVC_SET_CUR << 2 << packet({0x01, 1, 1}) << 6 << -EBADRQC;
        QTest::newRow("unknown query code to the driver") << 0x80 << 1 << packet({}) << 6 << -EINVAL;
        QTest::newRow("minimum of the request selector") << UVC_GET_MIN << 1 << packet({}) << 6 << -EIO;
        QTest::newRow("four bytes") << UVC_SET_CUR << 1 << Packet(4, '\0') << 6 << -ENOBUFS;
        QTest::newRow("selector 3") << UVC_SET_CUR << 3 << packet({}) << 6 << -ENOENT;
        QTest::newRow("the other extension unit") << UVC_SET_CUR << 1 << packet({0x01, 1, 1}) << 5 << -ENOENT;
    }

    void firmwareRejects()
    {
        QFETCH(int, query);
        QFETCH(int, selector);
        QFETCH(Packet, data);
        QFETCH(int, unit);
        QFETCH(int, rc);
        SimExtensionUnit xu{QJsonObject{}};
        const Asked asked = ask(xu, quint8(query), quint8(selector), data, quint8(unit));
        QCOMPARE(asked.rc, rc);
        QCOMPARE(asked.outcome, Outcome::None);
        QCOMPARE(xu.feature("trackMode"), 1);
        QCOMPARE(xu.feature("antiFlicker"), 1);
    }

    void outcomes_data()
    {
        QTest::addColumn<int>("selector");
        QTest::addColumn<Packet>("data");
        QTest::addColumn<Outcome>("outcome");
        QTest::newRow("SetHDR") << 1 << packet({0x01, 1, 1}) << Outcome::None;
        QTest::newRow("SetHD") << 1 << packet({0x0D, 1, 0}) << Outcome::Restart;
        QTest::newRow("SetMicEnable") << 1 << packet({0x04, 1, 0}) << Outcome::Restart;
        QTest::newRow("SetMicEnable to its current value") << 1 << packet({0x04, 1, 1}) << Outcome::None;
        QTest::newRow("RestoreDefaults") << 1 << packet({0x7F, 1}) << Outcome::Restart;
        QTest::newRow("EnterUpgradeMode") << 4 << packet({0x00, 0xFF, 0x07, 0x3C, 0x96, 0xC3, 0x1E, 0x6B})
                                          << Outcome::EnterUpgradeMode;
    }

    void outcomes()
    {
        QFETCH(int, selector);
        QFETCH(Packet, data);
        QFETCH(Outcome, outcome);
        SimExtensionUnit xu{QJsonObject{}};
        const Asked asked = ask(xu, UVC_SET_CUR, quint8(selector), data);
        QCOMPARE(asked.rc, 0);
        QCOMPARE(asked.outcome, outcome);
    }

    void stagedAnswerIsHandedOutOnce()
    {
        SimExtensionUnit xu{QJsonObject{{"features", QJsonObject{{"trackSpeed", 2}}}}};
        QCOMPARE(ask(xu, UVC_SET_CUR, 1, packet({0x92, 7})).rc, 0);
        const Asked reply = ask(xu, UVC_GET_CUR, 2, packet({0x92, 8}));
        QCOMPARE(reply.rc, 0);
        QCOMPARE(reply.data, packet({0x92, 7, 2}));
        QCOMPARE(ask(xu, UVC_GET_CUR, 2, packet({0x92, 8})).rc, -EIO);
    }

    void factoryResetReachesTheRestartedCamera()
    {
        const QJsonObject config{{"features", QJsonObject{{"hdr", 1}}},
                                 {"controls", QJsonObject{{"zoom", QJsonObject{{"value", 300}}}}}};
        SimExtensionUnit xu(config);
        SimControls controls(config);
        QCOMPARE(ask(xu, UVC_SET_CUR, 1, packet({0x7F, 1})).rc, 0);
        QCOMPARE(xu.feature("hdr"), 0);
        QJsonObject saved = config;
        xu.saveTo(&saved);
        controls.saveTo(&saved);
        QCOMPARE(SimControls(saved).value("zoom"), 100);
        QCOMPARE(SimExtensionUnit(saved).feature("hdr"), 0);
    }

    // VIDIOC_S_CTRL as uvcvideo answers it: never ERANGE; rounded to the step
    // from the minimum, then clamped, signed or unsigned as the UVC data is.
    // The request carries back what the control took.
    void controlsClampAndRound_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<quint32>("id");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("taken");
        QTest::newRow("zoom above its maximum") << "zoom" << quint32(V4L2_CID_ZOOM_ABSOLUTE) << 410 << 400;
        QTest::newRow("zoom far above") << "zoom" << quint32(V4L2_CID_ZOOM_ABSOLUTE) << INT_MAX << 400;
        QTest::newRow("zoom below its minimum") << "zoom" << quint32(V4L2_CID_ZOOM_ABSOLUTE) << 50 << 100;
        QTest::newRow("zoom 205 rounds up to 210") << "zoom" << quint32(V4L2_CID_ZOOM_ABSOLUTE) << 205 << 210;
        QTest::newRow("zoom 204 rounds down to 200") << "zoom" << quint32(V4L2_CID_ZOOM_ABSOLUTE) << 204 << 200;
        QTest::newRow("negative zoom: unsigned, the maximum") << "zoom" << quint32(V4L2_CID_ZOOM_ABSOLUTE) << -5 << 400;
        QTest::newRow("negative contrast: unsigned, the maximum") << "contrast" << quint32(V4L2_CID_CONTRAST) << -1 << 255;
        QTest::newRow("negative brightness: signed, the minimum") << "brightness" << quint32(V4L2_CID_BRIGHTNESS) << -1 << 0;
        QTest::newRow("hue below its minimum") << "hue" << quint32(V4L2_CID_HUE) << -500 << -180;
        QTest::newRow("pan half a step rounds up") << "pan" << quint32(V4L2_CID_PAN_ABSOLUTE) << 5400 << 7200;
        QTest::newRow("pan below its minimum") << "pan" << quint32(V4L2_CID_PAN_ABSOLUTE) << -700000 << -612000;
        QTest::newRow("tilt 1000 degrees below") << "tilt" << quint32(V4L2_CID_TILT_ABSOLUTE) << -3600000 << -612000;
        // The rounding's 32-bit arithmetic wraps this far down: uvcvideo lands on the maximum.
        QTest::newRow("tilt INT_MIN wraps to the maximum") << "tilt" << quint32(V4L2_CID_TILT_ABSOLUTE) << INT_MIN << 612000;
        QTest::newRow("automatic hue 7 is on") << "hueAuto" << quint32(V4L2_CID_HUE_AUTO) << 7 << 1;
        QTest::newRow("automatic hue -3 is off") << "hueAuto" << quint32(V4L2_CID_HUE_AUTO) << -3 << 0;
    }

    void controlsClampAndRound()
    {
        QFETCH(QString, control);
        QFETCH(quint32, id);
        QFETCH(int, sent);
        QFETCH(int, taken);
        // Automatic hue starts on when the row switches it off.
        const bool autoOn = control == QLatin1String("hueAuto") && taken == 0;
        SimControls controls(QJsonObject{{"controls", QJsonObject{{"hueAuto", QJsonObject{{"value", autoOn ? 1 : 0}}}}}});
        v4l2_control request{id, sent};
        QCOMPARE(controls.ioctl(VIDIOC_S_CTRL, &request), 0);
        QCOMPARE(request.value, taken);
        QCOMPARE(controls.value(control), taken);
    }

    void controlRangesAndAutomaticModes()
    {
        SimControls controls(QJsonObject{});
        v4l2_control zoom{V4L2_CID_ZOOM_ABSOLUTE, 254};
        QCOMPARE(controls.ioctl(VIDIOC_S_CTRL, &zoom), 0);
        QCOMPARE(controls.value("zoom"), 250);
        v4l2_control focus{V4L2_CID_FOCUS_ABSOLUTE, 10};
        QCOMPARE(controls.ioctl(VIDIOC_S_CTRL, &focus), -EACCES); // automatic focus drives it
        v4l2_queryctrl hue{};
        hue.id = V4L2_CID_HUE;
        QCOMPARE(controls.ioctl(VIDIOC_QUERYCTRL, &hue), 0);
        QCOMPARE(hue.minimum, -180);
        QCOMPARE(hue.maximum, 180);
    }

    void cameraDescriptorsNameTheVendorUnitSecond()
    {
        const QJsonObject config{{"id", "cam"}, {"vendorId", "5a17"}, {"productId", "0307"}, {"product", "ORBIT 400"},
                                 {"port", "2"}, {"extensionUnit", QJsonObject{{"unitId", 9}}}};
        const QVector<ExtensionUnitDescriptor> units = parseExtensionUnits(lumora::sim::makeCamera(config)->descriptors());
        QCOMPARE(units.size(), 2);
        QCOMPARE(units.first().unitId, 5);
        QCOMPARE(pickExtensionUnit(units, UVCExtensionUnit::kPropertySet)->unitId, 9);
        QVERIFY(SimExtensionUnit(QJsonObject{{"extensionUnit", false}}).descriptors().isEmpty());
    }

    void processingUnitHasTheLengthUvc11Needs()
    {
        // uvcvideo refuses to bind a UVC 1.1 camera whose processing unit is shorter than
        // 10 + bControlSize bytes.
        const QByteArray d = lumora::sim::makeCamera(QJsonObject{{"id", "cam"}, {"port", "2"}})->descriptors();
        int processingUnits = 0;
        for (int at = 0; at + 3 <= d.size() && quint8(d[at]) >= 2; at += quint8(d[at])) {
            if (quint8(d[at + 1]) != 0x24 || quint8(d[at + 2]) != 0x05 || at + 8 > d.size())
                continue;
            ++processingUnits;
            QCOMPARE(int(quint8(d[at])), 10 + int(quint8(d[at + 7])));
        }
        QCOMPARE(processingUnits, 1);
    }
};

QTEST_GUILESS_MAIN(TestExtensionUnitModel)
#include "test_extension_unit_model.moc"
