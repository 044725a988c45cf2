// The window's side of the camera memory: a value set on the page comes back
// after an unplug and plug with the window open; the pad keys and the preset
// keys; keys do nothing while the pad is disabled.
#include "devices/windowrig.h"

#include "camera/v4l2controls.h"
#include "platform/kernel.h"
#include "gui/mainwindow_form.h"
#include "support/testsupport.h"

#include <QCheckBox>
#include <QSlider>
#include <QtTest>

#include <fcntl.h>
#include <linux/videodev2.h>

using testdevices::WindowRig;

namespace {

std::shared_ptr<lumora::sim::SimDevice> qx(const QString &id, const QString &port)
{
    return testdevices::camera(id, QStringLiteral("QX NV-Optica-4K-AI"), 0x1d6b, 0xff01, port);
}

int current(quint32 id)
{
    int value = 0;
    lumora::camera::readControl(currentFilter, id, &value);
    return value;
}

void key(WindowRig &rig, int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(rig.window->ui->page, Qt::Key(k), modifiers);
}

} // namespace

class TestCameraMemoryWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void setInWindowComesBackAfterReplug()
    {
        WindowRig rig({qx("qx", "1-1")});
        QVERIFY(rig.window->m_isOpened);
        auto *restoreSwitch = rig.window->findChild<QCheckBox *>("checkBoxRestoreSettings");
        QVERIFY(restoreSwitch->isEnabled() && restoreSwitch->isChecked());
        rig.window->findChild<QSlider *>("sliderBrightness")->setValue(170);
        QCOMPARE(current(V4L2_CID_BRIGHTNESS), 170);
        rig.sim->unplug("qx");
        QTRY_VERIFY_WITH_TIMEOUT(!rig.window->m_isOpened, deadlineMs(5000));
        rig.sim->plug(qx("qx", "1-1")); // a camera at its defaults
        QTRY_VERIFY_WITH_TIMEOUT(rig.window->m_isOpened, deadlineMs(5000));
        QCOMPARE(current(V4L2_CID_BRIGHTNESS), 170);
        QCOMPARE(rig.window->findChild<QSlider *>("sliderBrightness")->value(), 170);
    }

    void restoreSwitchOffKeepsDefaults()
    {
        WindowRig rig({qx("qx", "1-1")});
        rig.window->findChild<QSlider *>("sliderBrightness")->setValue(170);
        rig.window->findChild<QCheckBox *>("checkBoxRestoreSettings")->setChecked(false);
        rig.sim->unplug("qx");
        QTRY_VERIFY_WITH_TIMEOUT(!rig.window->m_isOpened, deadlineMs(5000));
        rig.sim->plug(qx("qx", "1-1"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.window->m_isOpened, deadlineMs(5000));
        QCOMPARE(current(V4L2_CID_BRIGHTNESS), 128);
        QVERIFY(!rig.window->findChild<QCheckBox *>("checkBoxRestoreSettings")->isChecked());
    }

    // A camera that stayed connected over a suspend and woke at its power-on
    // value gets the remembered one back on resume, and the page shows it.
    void resumeRestoresTheOpenCamera()
    {
        WindowRig rig({qx("qx", "1-1")});
        QVERIFY(rig.window->m_isOpened);
        auto *slider = rig.window->findChild<QSlider *>("sliderBrightness");
        slider->setValue(170);
        const int fd = lumora::platform::kernel().open(rig.sim->devNodes("qx").first(), O_RDWR);
        QVERIFY(fd >= 0);
        QCOMPARE(lumora::camera::writeControl(fd, V4L2_CID_BRIGHTNESS, 128), 0);
        lumora::platform::kernel().close(fd);
        QCOMPARE(current(V4L2_CID_BRIGHTNESS), 128);
        Q_EMIT rig.window->resumeSource()->resumed();
        QCOMPARE(current(V4L2_CID_BRIGHTNESS), 170);
        QCOMPARE(slider->value(), 170);
    }

    // Ctrl+N saves the position to preset N and N goes back to it; arrows step the pad.
    void presetAndPadKeys()
    {
        WindowRig rig({qx("qx", "1-1")});
        QVERIFY(rig.window->m_isOpened);
        key(rig, Qt::Key_Plus);
        key(rig, Qt::Key_Plus);
        QCOMPARE(current(V4L2_CID_ZOOM_ABSOLUTE), 120);
        key(rig, Qt::Key_Right);
        key(rig, Qt::Key_Up);
        QCOMPARE(current(V4L2_CID_PAN_ABSOLUTE), 3600);
        QCOMPARE(current(V4L2_CID_TILT_ABSOLUTE), 3600);
        key(rig, Qt::Key_3, Qt::ControlModifier);
        QVERIFY(rig.window->m_camera.memory().presetInSlot(3));
        key(rig, Qt::Key_Home);
        QCOMPARE(current(V4L2_CID_PAN_ABSOLUTE), 0);
        QCOMPARE(current(V4L2_CID_TILT_ABSOLUTE), 0);
        key(rig, Qt::Key_Minus);
        QCOMPARE(current(V4L2_CID_ZOOM_ABSOLUTE), 110);
        key(rig, Qt::Key_3);
        QCOMPARE(current(V4L2_CID_PAN_ABSOLUTE), 3600);
        QCOMPARE(current(V4L2_CID_TILT_ABSOLUTE), 3600);
        QCOMPARE(current(V4L2_CID_ZOOM_ABSOLUTE), 120);
        QCOMPARE(rig.window->ui->sliderZoom->value(), 120);
        key(rig, Qt::Key_7); // an empty slot does nothing
        QCOMPARE(current(V4L2_CID_PAN_ABSOLUTE), 3600);
    }

    // At zoom 100 the pad is disabled, and so are the arrows and Home.
    void keysIgnoredWhilePadDisabled()
    {
        WindowRig rig({qx("qx", "1-1")});
        QVERIFY(rig.window->m_isOpened);
        QCOMPARE(current(V4L2_CID_ZOOM_ABSOLUTE), 100);
        QVERIFY(!rig.window->ui->btnCameraLeft->isEnabled());
        for (int k : {int(Qt::Key_Left), int(Qt::Key_Right), int(Qt::Key_Up), int(Qt::Key_Down), int(Qt::Key_Home)})
            key(rig, k);
        QCOMPARE(current(V4L2_CID_PAN_ABSOLUTE), 0);
        QCOMPARE(current(V4L2_CID_TILT_ABSOLUTE), 0);
    }
};

QTEST_MAIN(TestCameraMemoryWindow)
#include "test_camera_memory.moc"
