// The control page's pad, zoom and image controls on the real window against
// the simulated camera, and the warning when a change did not take.
// LABELS: worker
#include "pagerig.h"
#include "support/testsupport.h"

#include <QCheckBox>
#include <QSlider>
#include <QtTest>

#include <cerrno>

using controltest::PageRig;
using controltest::familyCamera;

namespace {

QJsonObject camera(int pan, int zoom)
{
    QJsonObject config = familyCamera("ORBIT 410", 0x0306, {{"trackMode", 0}});
    config["controls"] = QJsonObject{{"pan", QJsonObject{{"value", pan * 3600}}}, {"zoom", QJsonObject{{"value", zoom}}},
                                     {"brightness", QJsonObject{{"value", 10}}}};
    return config;
}

QSlider *slider(PageRig &rig, const char *name) { return rig.window->findChild<QSlider *>(name); }
QWidget *widget(PageRig &rig, const char *name) { return rig.window->findChild<QWidget *>(name); }

} // namespace

class TestControlPage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void padAtTheLimitSendsTheLimitAgain()
    {
        PageRig rig(camera(30, 200));
        rig.readState();
        rig.takeCtl();
        rig.window->on_btnCameraRight_clicked();
        QCOMPARE(rig.takeCtl().filter("set pan"), QStringList({"set pan value=108000 rc=0"}));
        QVERIFY(widget(rig, "btnCameraRight")->styleSheet().contains("icon-arrow-right-disable.png"));
        QVERIFY(!widget(rig, "btnCameraLeft")->styleSheet().contains("disable"));
        QVERIFY(rig.boxes.texts.isEmpty());
    }

    void padWorksOnlyWhileZoomedIn()
    {
        PageRig rig(camera(0, 200));
        rig.readState();
        QVERIFY(widget(rig, "btnCameraUp")->isEnabled());
        slider(rig, "sliderZoom")->setValue(100);
        QCOMPARE(rig.camera->controls().value("zoom"), 100);
        QVERIFY(!widget(rig, "btnCameraUp")->isEnabled());
        QVERIFY(widget(rig, "btnCameraUp")->styleSheet().contains("icon-arrow-up-disable.png"));
        slider(rig, "sliderZoom")->setValue(110);
        QVERIFY(widget(rig, "btnCameraUp")->isEnabled());
    }

    void twoRefusedChangesRaiseOneWarning()
    {
        PageRig rig(camera(0, 100));
        rig.readState();
        // Each change is a set and a read-back; both sets are refused.
        rig.camera->faults().failNth(1, EIO);
        rig.camera->faults().failNth(3, EIO);
        slider(rig, "sliderBrightness")->setValue(100);
        slider(rig, "sliderBrightness")->setValue(90);
        QVERIFY(rig.window->m_bTipsShowing);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.window->m_bTipsShowing, deadlineMs(5000));
        QCOMPARE(rig.boxes.texts,
                 QStringList({"Any change in the setting takes effect only if the camera is working."}));
        // The slider went back to what the camera has.
        QCOMPARE(slider(rig, "sliderBrightness")->value(), 10);
    }

    // A change the camera acknowledged but did not take as sent (kept its
    // value, or rounded it to its step): the read-back differs, the user is
    // warned once and the control shows what the camera has.
    void changeTheCameraDidNotTakeWarns_data()
    {
        QTest::addColumn<QJsonObject>("controls");
        QTest::addColumn<bool>("ignored");
        QTest::addColumn<QString>("control"); // slider, or "pad"
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("shown");
        const QJsonObject none;
        QTest::newRow("brightness kept") << none << true << "sliderBrightness" << 100 << 10;
        QTest::newRow("brightness rounded to a step of 5")
            << QJsonObject{{"brightness", QJsonObject{{"step", 5}, {"value", 10}}}} << false << "sliderBrightness" << 12 << 10;
        QTest::newRow("zoom rounded to a step of 10") << none << false << "sliderZoom" << 205 << 210;
        QTest::newRow("pan rounded to a step of 2 degrees")
            << QJsonObject{{"pan", QJsonObject{{"step", 7200}, {"value", 0}}}} << false << "pad" << 1 << 2;
    }

    void changeTheCameraDidNotTakeWarns()
    {
        QFETCH(QJsonObject, controls);
        QFETCH(bool, ignored);
        QFETCH(QString, control);
        QFETCH(int, sent);
        QFETCH(int, shown);
        QJsonObject config = camera(0, 200);
        QJsonObject merged = config.value("controls").toObject();
        for (auto it = controls.begin(); it != controls.end(); ++it)
            merged.insert(it.key(), it.value());
        config["controls"] = merged;
        PageRig rig(config);
        rig.readState();
        if (ignored)
            rig.camera->faults().ignoreNth(1);
        if (control == QLatin1String("pad")) {
            rig.window->on_btnCameraRight_clicked();
            QCOMPARE(rig.camera->controls().value("pan"), shown * 3600);
            QCOMPARE(rig.window->m_camera.cache().pan, shown);
        } else {
            slider(rig, qPrintable(control))->setValue(sent);
            QVERIFY(rig.window->m_bTipsShowing);
            QTRY_VERIFY_WITH_TIMEOUT(!rig.window->m_bTipsShowing, deadlineMs(5000));
            QCOMPARE(slider(rig, qPrintable(control))->value(), shown);
        }
        QCOMPARE(rig.boxes.texts, QStringList({"Any change in the setting takes effect only if the camera is working."}));
    }

    void refusedChangeDuringPreviewWarnsNobody()
    {
        PageRig rig(camera(0, 100));
        rig.readState();
        rig.window->m_isPreviewing = true;
        rig.camera->faults().failNth(1, EIO);
        slider(rig, "sliderBrightness")->setValue(100);
        QVERIFY(!rig.window->m_bTipsShowing);
    }

    void defaultSettingsReachingDefaultsWarnsNobody()
    {
        PageRig rig(camera(0, 100));
        rig.readState();
        rig.window->findChild<QAbstractButton *>("btnDefaultColor")->click();
        QCOMPARE(rig.camera->controls().value("brightness"), 128);
        QCOMPARE(slider(rig, "sliderBrightness")->value(), 128);
        QVERIFY(!rig.window->m_bTipsShowing);
        QVERIFY(rig.boxes.texts.isEmpty());
    }

    void sliderSlotRunsOnceAfterTwoLoads()
    {
        PageRig rig(camera(0, 100));
        rig.readState();
        rig.window->loadCameraParameters();
        rig.takeCtl();
        slider(rig, "sliderContract")->setValue(99);
        QCOMPARE(rig.takeCtl().filter("set contrast").size(), 1);
    }

    void autoBoxUsesTheCamerasAutomaticMode()
    {
        PageRig rig(camera(0, 100));
        rig.readState();
        auto *box = rig.window->findChild<QCheckBox *>("checkBoxHue");
        box->setChecked(true);
        QCOMPARE(rig.camera->controls().value("hueAuto"), 1);
        QVERIFY(!slider(rig, "sliderHue")->isEnabled());
        box->setChecked(false);
        QCOMPARE(rig.camera->controls().value("hueAuto"), 0);
        QVERIFY(slider(rig, "sliderHue")->isEnabled());
    }
};

QTEST_MAIN(TestControlPage)
#include "test_control_page.moc"
