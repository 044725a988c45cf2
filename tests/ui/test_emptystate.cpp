// LABELS: worker
// The window with no camera of its profile: what the preview area says, the
// other profile's cameras named with one switch, and a control page without
// the last model's rows.
#include "devices/windowrig.h"
#include "support/testsupport.h"

#include <QPushButton>
#include <QSettings>
#include <QtTest>

using testdevices::WindowRig;

namespace {

std::shared_ptr<lumora::sim::SimDevice> qx(const QString &id, const QString &port)
{
    return testdevices::camera(id, QStringLiteral("QX NV-Optica-4K-AI"), 0x1d6b, 0xff01, port);
}

// Which of the control pages' widgets are hidden, by name.
QStringList hiddenRows(MainWindow &window)
{
    QStringList hidden;
    const auto widgets = window.findChild<QWidget *>(QStringLiteral("stackedWidgetControl"))->findChildren<QWidget *>();
    for (QWidget *widget : widgets)
        if (widget->isHidden() && !widget->objectName().isEmpty())
            hidden << widget->objectName();
    hidden.sort();
    return hidden;
}

} // namespace

class TestEmptyState : public QObject {
    Q_OBJECT

    QPushButton *switchButton(WindowRig &rig) { return rig.window->findChild<QPushButton *>(QStringLiteral("btnSwitchProfile")); }

private Q_SLOTS:
    void cleanupTestCase() { lumora::platform::installKernel(std::make_unique<lumora::sim::SimKernel>()); }

    void noCameraSaysWhatToDo()
    {
        WindowRig rig({});
        QCOMPARE(rig.label("labPreview_up")->text(), QStringLiteral("No camera found. Plug a camera in."));
        QVERIFY(rig.label("labPreview_down")->text().contains(QLatin1String("lumora-cli doctor")));
        QVERIFY(!rig.label("labPreview_up")->isHidden());
        QVERIFY(switchButton(rig)->isHidden());
        // A camera arriving brings the page back to its own hints.
        rig.sim->plug(qx("qx", "1-1"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.list()->count(), 1, deadlineMs(5000));
        QCOMPARE(rig.label("labPreview_up")->text(), QStringLiteral("Click the icon to start Preview."));
    }

    void otherProfileIsNamed_data()
    {
        QTest::addColumn<int>("orbits");
        QTest::addColumn<QString>("headline");
        QTest::newRow("two") << 2 << "2 ORBIT cameras are connected";
        QTest::newRow("one") << 1 << "1 ORBIT camera is connected";
    }
    void otherProfileIsNamed()
    {
        QFETCH(int, orbits);
        QFETCH(QString, headline);
        QVector<std::shared_ptr<lumora::sim::SimDevice>> devices;
        for (int i = 0; i < orbits; ++i)
            devices << testdevices::orbit160a(QStringLiteral("orbit%1").arg(i), QStringLiteral("1-%1").arg(i + 1));
        WindowRig rig(devices);
        QCOMPARE(rig.list()->count(), 0);
        QCOMPARE(rig.label("labPreview_up")->text(), headline);
        QVERIFY(!switchButton(rig)->isHidden());
        QCOMPARE(switchButton(rig)->text(), QStringLiteral("Show ORBIT cameras"));

        switchButton(rig)->click();
        QCOMPARE(rig.list()->count(), orbits);
        QCOMPARE(rig.window->m_manufacturerCode, 1);
        QCOMPARE(QSettings(settingsFilePath(), QSettings::IniFormat).value("/product_model/main").toInt(), 1);
        QVERIFY(switchButton(rig)->isHidden());
        QVERIFY(rig.window->m_isOpened);
    }

    void theOtherWayRound()
    {
        QFile::remove(settingsFilePath());
        QSettings(settingsFilePath(), QSettings::IniFormat).setValue("/product_model/main", 1);
        auto kernel = std::make_unique<lumora::sim::SimKernel>();
        kernel->plug(qx("qx", "1-1"));
        lumora::platform::installKernel(std::move(kernel));
        MainWindow window;
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("labPreview_up"))->text(),
                 QStringLiteral("1 QX camera is connected"));
        window.findChild<QPushButton *>(QStringLiteral("btnSwitchProfile"))->click();
        QCOMPARE(window.m_manufacturerCode, 0);
        QCOMPARE(window.findChild<QListWidget *>(QStringLiteral("listWidgetCamera"))->count(), 1);
        window.close();
        QFile::remove(settingsFilePath());
    }

    // Only cameras of neither profile: the plain message, no switch.
    void unknownCamerasOnly()
    {
        WindowRig rig({testdevices::camera("webcam", "HD USB Webcam", 0x3f1c, 0x0a21, "1-5")});
        QCOMPARE(rig.label("labPreview_up")->text(), QStringLiteral("No camera found. Plug a camera in."));
        QVERIFY(switchButton(rig)->isHidden());
    }

    // The last camera leaving takes its model's rows with it: the page looks
    // as it did before any camera was opened.
    void lastCameraLeavingClearsItsRows()
    {
        QStringList pristine;
        {
            WindowRig empty({});
            pristine = hiddenRows(*empty.window);
        }
        WindowRig rig({qx("qx", "1-1")});
        QVERIFY(rig.window->m_isOpened);
        rig.sim->unplug("qx");
        QTRY_COMPARE_WITH_TIMEOUT(rig.list()->count(), 0, deadlineMs(5000));
        const QStringList hidden = hiddenRows(*rig.window);
        QVERIFY2(hidden == pristine, qPrintable(hidden.join(' ') + " / " + pristine.join(' ')));
        QCOMPARE(rig.label("labPreview_up")->text(), QStringLiteral("No camera found. Plug a camera in."));
        QVERIFY(!rig.label("labPreview_up")->isHidden());
    }
};

QTEST_MAIN(TestEmptyState)
#include "test_emptystate.moc"
