// The per-camera memory: what a set remembers, what opening restores (in
// order, read back), presets and their write order, against the simulated kernel.
#include "cameras.h"
#include "control/simrig.h"

#include "camera/camera.h"
#include "device/v4l2controlnode.h"
#include "platform/kernel.h"
#include "support/testsupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <fcntl.h>
#include <linux/videodev2.h>

using lumora::camera::Camera;
using lumora::camera::Feature;

namespace {

// A camera of model 12 (pan, tilt and zoom) with a serial, or none, on a port.
QJsonObject camera(const QString &id, const QString &serial, const QString &port)
{
    QJsonObject config = cameratest::catalogueCamera(12, {{"trackMode", 0}});
    config.insert("id", id);
    config.insert("port", port);
    if (serial.isEmpty())
        config.remove("serial");
    else
        config.insert("serial", serial);
    return config;
}

// Opens the n-th listed camera as the window does: bind, channel, restore, state.
void open(Camera &c, int n = 0)
{
    c.close();
    QVector<CameraDeviceInfo> devices;
    V4l2ControlNode().ListCameraDevices(devices);
    c.setIdentity(devices.value(n).pathId, devices.value(n).friendlyName);
    c.bindCapture(nullptr);
    c.openChannel();
    c.restoreMemory();
    c.readState();
}

int current(quint32 id)
{
    int value = 0;
    lumora::camera::readControl(currentFilter, id, &value);
    return value;
}

QStringList sets(const QStringList &ctl)
{
    return ctl.filter(QRegularExpression("^set "));
}

} // namespace

class TestMemory : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        QDir(lumora::camera::CameraMemory::folder()).removeRecursively();
    }

    // A value set through the model comes back after an unplug and plug;
    // restore off brings nothing back.
    void roundTrip_data()
    {
        QTest::addColumn<bool>("restoreOn");
        QTest::addColumn<bool>("replugSame"); // the same device back, or a fresh one at defaults
        QTest::newRow("restore on, fresh camera") << true << false;
        QTest::newRow("restore on, same camera") << true << true;
        QTest::newRow("restore off") << false << false;
    }
    void roundTrip()
    {
        QFETCH(bool, restoreOn);
        QFETCH(bool, replugSame);
        controltest::SimRig rig;
        const QJsonObject config = camera("a", "SN-A", "1-4");
        rig.plug(config);
        Camera c;
        open(c);
        QVERIFY(c.memory().loaded());
        c.set(Feature::Brightness, 170);
        c.set(Feature::Zoom, 250);
        c.setV4l2(*lumora::camera::findControl(c.controls(), "white_balance_automatic"), 0);
        c.setV4l2(*lumora::camera::findControl(c.controls(), "white_balance_temperature"), 3200);
        c.memory().setRestoreEnabled(restoreOn);
        c.close(); // writes the memory

        rig.kernel->unplug("a");
        if (replugSame)
            QVERIFY(rig.kernel->replug("a"));
        else
            rig.plug(config);
        rig.takeCtl();
        open(c);
        const QStringList written = sets(rig.takeCtl());
        if (!restoreOn) {
            QVERIFY2(replugSame || written.isEmpty(), qPrintable(written.join('\n')));
            if (!replugSame)
                QCOMPARE(current(V4L2_CID_BRIGHTNESS), 128);
            return;
        }
        QCOMPARE(current(V4L2_CID_BRIGHTNESS), 170);
        QCOMPARE(current(V4L2_CID_ZOOM_ABSOLUTE), 250);
        QCOMPARE(current(V4L2_CID_AUTO_WHITE_BALANCE), 0);
        QCOMPARE(current(V4L2_CID_WHITE_BALANCE_TEMPERATURE), 3200);
        QCOMPARE(c.state().controls.brightness, 170); // the page reads the restored values
        if (replugSame) {
            QVERIFY(written.isEmpty()); // the camera kept them: nothing to write
            return;
        }
        // Automatic white balance goes off before its temperature is written,
        // and every write is read back.
        QCOMPARE(written, QStringList({"set white_balance_auto value=0 rc=0", "set white_balance_temperature value=3200 rc=0",
                                       "set brightness value=170 rc=0", "set zoom value=250 rc=0"}));
    }

    void openingWithoutMemoryWritesNothing()
    {
        controltest::SimRig rig;
        rig.plug(camera("a", "SN-A", "1-4"));
        Camera c;
        open(c);
        QVERIFY(c.restoreMemory().isEmpty());
        QVERIFY(sets(rig.takeCtl()).isEmpty());
        c.close();
        QVERIFY(QDir(lumora::camera::CameraMemory::folder()).entryList(QDir::Files).isEmpty());
    }

    // A camera that stays connected over a suspend can wake with its power-on
    // values; the resume brings the remembered ones back, and writes nothing
    // when the camera kept them.
    void resumeRestores_data()
    {
        QTest::addColumn<bool>("lost");
        QTest::newRow("values lost over the suspend") << true;
        QTest::newRow("values kept") << false;
    }
    void resumeRestores()
    {
        QFETCH(bool, lost);
        controltest::SimRig rig;
        rig.plug(camera("a", "SN-A", "1-4"));
        Camera c;
        open(c);
        c.set(Feature::Brightness, 170);
        lumora::camera::ResumeSource resume;
        c.restoreOnResume(&resume);
        QSignalSpy pagesStale(&c, &Camera::restoredOnResume);
        if (lost) {
            // Another opener of the node puts the power-on value back, as the camera does.
            const int fd = lumora::platform::kernel().open(rig.kernel->devNodes("a").first(), O_RDWR);
            QVERIFY(fd >= 0);
            QCOMPARE(lumora::camera::writeControl(fd, V4L2_CID_BRIGHTNESS, 128), 0);
            lumora::platform::kernel().close(fd);
            QCOMPARE(current(V4L2_CID_BRIGHTNESS), 128);
        }
        rig.takeCtl();
        Q_EMIT resume.resumed();
        QCOMPARE(current(V4L2_CID_BRIGHTNESS), 170);
        const QStringList written = sets(rig.takeCtl());
        QCOMPARE(written, lost ? QStringList{"set brightness value=170 rc=0"} : QStringList{});
        QCOMPARE(pagesStale.count(), lost ? 1 : 0);

        // A closed camera is left alone.
        c.close();
        rig.takeCtl();
        Q_EMIT resume.resumed();
        QVERIFY(sets(rig.takeCtl()).isEmpty());
    }

    // Two cameras of one model keep their own memories: by serial, or by port without one.
    void camerasToldApart_data()
    {
        QTest::addColumn<QString>("serialA");
        QTest::addColumn<QString>("serialB");
        QTest::newRow("by serial") << "SN-A" << "SN-B";
        QTest::newRow("by port") << "" << "";
    }
    void camerasToldApart()
    {
        QFETCH(QString, serialA);
        QFETCH(QString, serialB);
        controltest::SimRig rig;
        rig.plug(camera("a", serialA, "1-4"));
        rig.plug(camera("b", serialB, "1-5"));
        Camera c;
        open(c, 0);
        const QString fileA = c.memory().path();
        c.set(Feature::Brightness, 60);
        open(c, 1);
        QVERIFY(c.memory().path() != fileA);
        c.set(Feature::Brightness, 200);
        c.close();
        rig.kernel->unplug("a");
        rig.kernel->unplug("b");
        rig.plug(camera("a", serialA, "1-4"));
        rig.plug(camera("b", serialB, "1-5"));
        for (int n = 0; n < 2; ++n) {
            open(c, n);
            const int wanted = c.memory().path() == fileA ? 60 : 200;
            QCOMPARE(current(V4L2_CID_BRIGHTNESS), wanted);
        }
    }

    void dragWritesOnce()
    {
        controltest::SimRig rig;
        rig.plug(camera("a", "SN-A", "1-4"));
        Camera c;
        open(c);
        for (int v = 100; v < 140; ++v)
            c.set(Feature::Brightness, v);
        QCOMPARE(c.memory().writes(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(c.memory().writes(), 1, deadlineMs(5000));
        QFile file(c.memory().path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("\"brightness\": 139"));
    }

    void damagedFileIsSetAside()
    {
        controltest::SimRig rig;
        rig.plug(camera("a", "SN-A", "1-4"));
        Camera c;
        open(c);
        const QString path = c.memory().path();
        c.close();
        QDir().mkpath(lumora::camera::CameraMemory::folder());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{not json");
        file.close();
        rig.takeCtl();
        open(c);
        QVERIFY(sets(rig.takeCtl()).isEmpty());
        QVERIFY(QFile::exists(path + ".damaged"));
    }

    // Recall moves zoom last when zooming in and first when zooming out.
    void presetRecallOrder_data()
    {
        QTest::addColumn<int>("startZoom");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("zooming in") << 100 << QStringList{"pan", "tilt", "zoom"};
        QTest::newRow("zooming out") << 400 << QStringList{"zoom", "pan", "tilt"};
    }
    void presetRecallOrder()
    {
        QFETCH(int, startZoom);
        QFETCH(QStringList, expected);
        controltest::SimRig rig;
        rig.plug(camera("a", "SN-A", "1-4"));
        Camera c;
        open(c);
        c.set(Feature::Zoom, 250);
        c.set(Feature::Pan, 10);
        c.set(Feature::Tilt, -5);
        const lumora::camera::Preset saved = c.savePreset("Desk");
        QCOMPARE(saved.slot, 1);
        c.set(Feature::Pan, 0);
        c.set(Feature::Tilt, 0);
        c.set(Feature::Zoom, startZoom);
        rig.takeCtl();
        QVERIFY(c.recallPreset(*c.memory().preset("desk")));
        QStringList order;
        for (const QString &line : sets(rig.takeCtl()))
            order << line.section(' ', 1, 1);
        QCOMPARE(order, expected);
        QCOMPARE(current(V4L2_CID_PAN_ABSOLUTE), 10 * 3600);
        QCOMPARE(current(V4L2_CID_TILT_ABSOLUTE), -5 * 3600);
        QCOMPARE(current(V4L2_CID_ZOOM_ABSOLUTE), 250);
        QVERIFY(c.memory().removePreset("Desk"));
        QVERIFY(c.memory().presets().isEmpty());
    }

    void presetsKeepTheirSlots()
    {
        controltest::SimRig rig;
        rig.plug(camera("a", "SN-A", "1-4"));
        Camera c;
        open(c);
        QCOMPARE(c.savePreset("one").slot, 1);
        QCOMPARE(c.savePreset("five", 5).slot, 5);
        QCOMPARE(c.savePreset("two").slot, 2);
        QCOMPARE(c.savePreset("other five", 5).slot, 5); // takes the slot over
        QCOMPARE(c.memory().preset("five")->slot, 0);
        c.close();
        open(c);
        QCOMPARE(c.memory().presetInSlot(5)->name, QString("other five"));
        QCOMPARE(c.memory().presets().size(), 4);
    }

    // A manual value behind an automatic mode is refused by the model, not sent.
    void manualValueUnderAutoIsRefused()
    {
        controltest::SimRig rig;
        rig.plug(camera("a", "SN-A", "1-4"));
        Camera c;
        open(c);
        rig.takeCtl();
        const auto result = c.setV4l2(*lumora::camera::findControl(c.controls(), "exposure_time_absolute"), 500);
        QVERIFY(!result.attempted);
        QVERIFY(sets(rig.takeCtl()).isEmpty());
        QVERIFY(c.setV4l2(*lumora::camera::findControl(c.controls(), "auto_exposure"), V4L2_EXPOSURE_MANUAL).sent);
        QCOMPARE(c.setV4l2(*lumora::camera::findControl(c.controls(), "exposure_time_absolute"), 500).value, 500);
    }
};

QTEST_GUILESS_MAIN(TestMemory)
#include "test_memory.moc"
