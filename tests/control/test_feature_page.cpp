// The control page's vendor features on the real window against the
// simulated camera: what is read on opening, what each control sends, and
// what the user is told.
// LABELS: worker
#include "pagerig.h"

#include <QComboBox>
#include <QSignalSpy>
#include <QtTest>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <cerrno>
#include <functional>

using controltest::PageRig;
using controltest::familyCamera;
using Action = std::function<void(MainWindow &)>;
Q_DECLARE_METATYPE(Action)

namespace {

const int kOrbit160A = 0x0307; // model 14: field of view and focus
const int kOrbit400 = 0x0305;  // model 12: tracking held Off
const int kOrbit410 = 0x0306;  // model 13

QComboBox *combo(PageRig &rig, const char *name) { return rig.window->findChild<QComboBox *>(name); }
QWidget *widget(PageRig &rig, const char *name) { return rig.window->findChild<QWidget *>(name); }

// A set command straight to the camera's unit, as another application would send it.
int ask(PageRig &rig, quint8 code, quint8 value)
{
    quint8 packet[8] = {code, 0xEE, value, 0, 0, 0, 0, 0};
    uvc_xu_control_query query{quint8(rig.camera->extensionUnit().unitId()), 1, UVC_SET_CUR, 8, packet};
    lumora::sim::SimExtensionUnit::Outcome outcome;
    return rig.camera->extensionUnit().query(&query, &outcome);
}

} // namespace

class TestFeaturePage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void openingReadsTheStateInOrder()
    {
        QJsonObject config = familyCamera("ORBIT 160A", kOrbit160A,
                                          {{"hdr", 1}, {"antiFlicker", 2}, {"viewAngle", 1}, {"trackMode", 1},
                                           {"trackEffect", 1}, {"trackSpeed", 2}});
        config["extensionUnit"] = QJsonObject{{"legacyVersion", true}};
        PageRig rig(config);
        rig.readState();
        QStringList queries;
        for (const QString &code : rig.requestCodes())
            if (code.toInt(nullptr, 16) & 0x80 || code == "0b")
                queries << code;
        QCOMPARE(queries, QStringList({"80", "0b", "81", "82", "84", "8c", "8d", "90", "91", "92"}));
        QCOMPARE(rig.window->findChild<QLabel *>("labelDevVer")->text(), QString("V1.0.30"));
        QCOMPARE(combo(rig, "comboBoxAntiFlicker")->currentIndex(), 1);
        QCOMPARE(combo(rig, "comboBoxTrackSpeend")->currentIndex(), 2);
        QVERIFY(!widget(rig, "label_17")->isHidden());
        QVERIFY(widget(rig, "widgetTrackOff")->isHidden());
    }

    void valuesOutsideTheTablesSelectNothing_data()
    {
        QTest::addColumn<int>("viewAngle");
        QTest::addColumn<int>("clicked");
        QTest::newRow("93 degrees") << 0 << 0;
        QTest::newRow("65 degrees") << 2 << 2;
        QTest::newRow("code 3") << 3 << -1;
    }

    void valuesOutsideTheTablesSelectNothing()
    {
        QFETCH(int, viewAngle);
        QFETCH(int, clicked);
        PageRig rig(familyCamera("ORBIT 160A", kOrbit160A, {{"antiFlicker", 3}, {"viewAngle", viewAngle}}));
        const char *names[] = {"btn90", "btn78", "btn65"};
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (const char *name : names)
            spies.push_back(std::make_unique<QSignalSpy>(rig.window->findChild<QAbstractButton *>(name),
                                                         &QAbstractButton::clicked));
        rig.readState();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(spies[i]->count(), i == clicked ? 1 : 0);
        QCOMPARE(combo(rig, "comboBoxAntiFlicker")->currentIndex(), -1);
    }

    void trackingOffSendsZoomHomeWithoutWarning()
    {
        QJsonObject config = familyCamera("ORBIT 410", kOrbit410, {{"trackMode", 1}});
        config["controls"] = QJsonObject{{"zoom", QJsonObject{{"value", 200}}}};
        PageRig rig(config);
        rig.readState();
        combo(rig, "comboBoxTrackMode")->setCurrentIndex(0);
        QCOMPARE(rig.camera->extensionUnit().feature("trackMode"), 0);
        QCOMPARE(rig.camera->controls().value("zoom"), 100);
        QVERIFY(!rig.window->m_bTipsShowing);
        QVERIFY(!widget(rig, "widgetTrackOff")->isHidden());
        QVERIFY(widget(rig, "label_16")->isHidden());
        QVERIFY(rig.boxes.texts.isEmpty());
    }

    void effectChoiceTogglesSpeedRowOutsideAutoFraming()
    {
        PageRig rig(familyCamera("ORBIT 410", kOrbit410, {{"trackMode", 3}, {"trackEffect", 1}}));
        rig.readState();
        rig.takeXu();
        combo(rig, "comboBoxTrackEffect")->setCurrentIndex(1);
        QVERIFY(widget(rig, "comboBoxTrackSpeend")->isHidden());
        QCOMPARE(rig.requestCodes(), QStringList({"90"}));
        QCOMPARE(rig.camera->extensionUnit().feature("trackEffect"), 1);
        combo(rig, "comboBoxTrackEffect")->setCurrentIndex(0);
        QVERIFY(!widget(rig, "comboBoxTrackSpeend")->isHidden());
    }

    void model12WithFirmware1022()
    {
        QJsonObject config = familyCamera("ORBIT 400", kOrbit400, {{"trackMode", 1}, {"antiFlicker", 2}}, "1.0.22");
        config["controls"] = QJsonObject{{"pan", QJsonObject{{"value", 36000}}}, {"zoom", QJsonObject{{"value", 300}}}};
        PageRig rig(config);
        rig.readState();
        QCOMPARE(combo(rig, "comboBoxTrackMode")->currentIndex(), 0);
        QCOMPARE(rig.window->m_camera.state().trackMode, 0);

        rig.takeCtl();
        rig.takeXu();
        rig.window->findChild<QAbstractButton *>("btnRestoreDefaults")->click();
        QCOMPARE(rig.boxes.texts.size(), 2);
        QVERIFY(rig.boxes.texts[0].contains("Restore Factory Defaults"));
        QCOMPARE(rig.boxes.texts[1], QString("To complete this process, your device may take a few seconds to restart."));
        // Timers of the page may run while the confirmation is open; the reset's own writes come in one run.
        const QString sets = rig.takeCtl().filter(QRegularExpression("^set ")).join(';');
        QVERIFY2(sets.contains("set pan value=0 rc=0;set tilt value=0 rc=0;set zoom value=100 rc=0"), qPrintable(sets));
        const QStringList codes = rig.requestCodes();
        QCOMPARE(codes.mid(0, 2), QStringList({"02", "04"}));
        QCOMPARE(codes.last(), QString("7f"));
        QVERIFY(codes.contains("90"));
    }

    void cancelledResetSendsNothing()
    {
        PageRig rig(familyCamera("ORBIT 410", kOrbit410, {}));
        rig.readState();
        rig.takeXu();
        rig.boxes.cancelNext();
        rig.window->findChild<QAbstractButton *>("btnRestoreDefaults")->click();
        QCOMPARE(rig.boxes.texts.size(), 1);
        QVERIFY(rig.requestCodes().isEmpty());
    }

    void failedSettingsTellTheUser_data()
    {
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("message");
        const QString setting = "The setting has timed out, please try again.";
        const QString operation = "The operation has timed out, please try again.";
        QTest::newRow("HDR") << Action([](MainWindow &w) { w.on_btnHDR_clicked(); }) << setting;
        QTest::newRow("microphone") << Action([](MainWindow &w) { w.on_btnMute_clicked(); }) << setting;
        QTest::newRow("HD") << Action([](MainWindow &w) { w.on_btnHD_clicked(); }) << operation;
        QTest::newRow("anti-flicker") << Action([](MainWindow &w) { w.on_comboBoxAntiFlicker_currentIndexChanged(1); })
                                      << setting;
        QTest::newRow("tracking mode") << Action([](MainWindow &w) { w.on_comboBoxTrackMode_currentIndexChanged(2); })
                                       << operation;
    }

    void failedSettingsTellTheUser()
    {
        QFETCH(Action, action);
        QFETCH(QString, message);
        PageRig rig(familyCamera("ORBIT 410", kOrbit410, {}));
        rig.readState();
        rig.camera->faults().failNth(1, EIO);
        action(*rig.window);
        QCOMPARE(rig.boxes.texts, QStringList({message}));
        // The recovery re-opened the channel: the next command goes through.
        int mode = -1;
        QVERIFY(rig.window->m_camera.unit().GetTrackMode(mode));
    }

    // A set the camera acknowledges and does not apply: the page shows the
    // value read back, not the choice.
    void setTheCameraDidNotTakeShowsItsValue()
    {
        PageRig rig(familyCamera("ORBIT 410", kOrbit410, {{"antiFlicker", 1}}));
        rig.readState();
        QCOMPARE(combo(rig, "comboBoxAntiFlicker")->currentIndex(), 0);
        rig.camera->faults().ignoreNth(1);
        combo(rig, "comboBoxAntiFlicker")->setCurrentIndex(1);
        QCOMPARE(rig.camera->extensionUnit().feature("antiFlicker"), 1);
        QCOMPARE(combo(rig, "comboBoxAntiFlicker")->currentIndex(), 0);
        QCOMPARE(rig.window->m_camera.state().antiFlicker, 1);
        // Taken the next time.
        combo(rig, "comboBoxAntiFlicker")->setCurrentIndex(1);
        QCOMPARE(rig.camera->extensionUnit().feature("antiFlicker"), 2);
        QCOMPARE(combo(rig, "comboBoxAntiFlicker")->currentIndex(), 1);
    }

    void statusPollFollowsTheCamera()
    {
        PageRig rig(familyCamera("ORBIT 160A", kOrbit160A, {{"trackMode", 1}}));
        rig.readState();
        rig.takeXu();
        rig.window->slotUpdate410BStatus();
        QVERIFY(rig.requestCodes().isEmpty()); // only model 4 is polled

        rig.window->m_cameraModel = 4;
        QCOMPARE(ask(rig, 0x10, 3), 0); // the camera changes mode on its own
        rig.takeXu();
        rig.window->slotUpdate410BStatus();
        // View angle first, then the mode (the reselected items answer with their own commands).
        const QStringList codes = rig.requestCodes();
        QCOMPARE(codes.value(0), QString("8c"));
        QVERIFY(codes.contains("90"));
        QCOMPARE(combo(rig, "comboBoxTrackMode")->currentIndex(), 2);
        QVERIFY(widget(rig, "label_16")->isHidden());
    }

    void focusSwitchesBetweenManualAndAutomatic()
    {
        PageRig rig(familyCamera("ORBIT 160A", kOrbit160A, {}));
        rig.readState();
        auto *button = rig.window->findChild<QAbstractButton *>("btnAutoFocus");
        QVERIFY(button->isChecked());
        button->click();
        QCOMPARE(rig.camera->controls().value("focusAuto"), 0);
        QVERIFY(!widget(rig, "widgetMFocus")->isHidden());
        rig.takeXu();
        button->click();
        QCOMPARE(rig.takeXu(), QStringList({"set sel=1 out=40ffff0000000000 rc=0"}));
        QVERIFY(widget(rig, "widgetMFocus")->isHidden());
    }

    void hdSwitchRestartsTheCamera()
    {
        PageRig rig(familyCamera("ORBIT 410", kOrbit410, {{"hd", 1}}));
        rig.readState();
        rig.window->findChild<QAbstractButton *>("btnHD")->click();
        QCOMPARE(rig.camera->extensionUnit().feature("hd"), 0);
        QCOMPARE(rig.boxes.texts.size(), 1);
        QVERIFY(rig.boxes.texts[0].startsWith("Turn on for better image quality"));
    }
};

QTEST_MAIN(TestFeaturePage)
#include "test_feature_page.moc"
