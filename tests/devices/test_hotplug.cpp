// Cameras arriving and leaving while the real window runs offscreen.
// LABELS: worker
#include "windowrig.h"

#include "gui/widgets/firstpaint.h"
#include "support/testsupport.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

using namespace testdevices;

namespace {

std::shared_ptr<lumora::sim::SimDevice> optica4k(const QString &id, const QString &port)
{
    return camera(id, QStringLiteral("NV-Optica-4K-AI"), 0x1d6b, 0xff01, port);
}

std::shared_ptr<lumora::sim::SimDevice> optica1080(const QString &id, const QString &port)
{
    return camera(id, QStringLiteral("NV-Optica-1080-AI"), 0x1d6b, 0xff13, port);
}

// Another vendor's webcam: enumerated, never listed.
std::shared_ptr<lumora::sim::SimDevice> webcam()
{
    return camera(QStringLiteral("webcam"), QStringLiteral("HD USB Webcam"), 0x3f1c, 0x0a21, QStringLiteral("7"));
}

const int kEventWaitMs = deadlineMs(5000);

} // namespace

class TestHotplug : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startUpListsNewestFirst()
    {
        WindowRig rig({optica4k("a", "2"), webcam(), optica1080("b", "3"), optica4k("c", "4")});
        const QStringList present = rig.present();
        QCOMPARE(present.size(), 3);
        QCOMPARE(rig.listed(), (QStringList{present[2], present[1], present[0]}));
        QCOMPARE(rig.list()->currentRow(), 0);
        QCOMPARE(rig.window->m_currentDevicePath, present[2]);
        QVERIFY(rig.window->m_isOpened);
        QCOMPARE(rig.label("labelState")->text(), QStringLiteral("CONNECTED"));
    }

    void arrivingCameraGoesFirstAndIsSelected()
    {
        WindowRig rig({optica4k("a", "2")});
        const QString first = rig.listed().value(0);
        rig.sim->plug(optica1080("b", "3"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.listed().size(), 2, kEventWaitMs);
        const QString arrived = rig.listed()[0];
        QCOMPARE(rig.listed()[1], first);
        QVERIFY(arrived != first);
        QCOMPARE(rig.window->m_currentDevicePath, arrived);
        QCOMPARE(rig.window->m_currentDeviceName, QStringLiteral("NV-Optica-1080-AI"));
        QCOMPARE(rig.list()->currentRow(), 0);
    }

    void removingTheOpenCameraShowsDisconnected()
    {
        WindowRig rig({optica4k("a", "2"), webcam()});
        QVERIFY(rig.window->m_isOpened);
        QSignalSpy states(rig.window.get(), &MainWindow::onCameraState);
        rig.sim->unplug(QStringLiteral("a"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.list()->count(), 0, kEventWaitMs);
        QCOMPARE(states.count(), 1);
        QCOMPARE(states[0][0].toInt(), 1);
        QCOMPARE(states[0][1].toString(), QStringLiteral("NV-Optica-4K-AI"));
        QCOMPARE(rig.label("labelState")->text(), QStringLiteral("DISCONNECTED"));
        QCOMPARE(rig.label("labelState")->styleSheet(), QStringLiteral("color: #f2813b;"));
        QCOMPARE(rig.label("labelDevice")->text(), QString());
        QVERIFY(!rig.window->m_isOpened);
        QVERIFY(rig.window->m_noCamera);
        QCOMPARE(rig.window->m_currentDevicePath, QString());
        QCOMPARE(currentFilter, -1);
    }

    // Three cameras of one model on three ports; the one `opened` names is
    // the open camera (the newest, or one clicked further down the list), and
    // another one leaves. The open camera is not closed, reopened or renamed,
    // also while an upgrade runs.
    void unpluggingAnotherCameraLeavesTheOpenOneAlone_data()
    {
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QString>("unplugged");
        QTest::addColumn<bool>("upgrading");
        QTest::newRow("newest open, oldest leaves") << "c" << "a" << false;
        QTest::newRow("newest open, middle leaves") << "c" << "b" << false;
        QTest::newRow("oldest clicked, middle leaves") << "a" << "b" << false;
        QTest::newRow("oldest clicked, newest leaves") << "a" << "c" << false;
        QTest::newRow("during an upgrade, newest open") << "c" << "a" << true;
        QTest::newRow("during an upgrade, oldest clicked") << "a" << "c" << true;
    }

    void unpluggingAnotherCameraLeavesTheOpenOneAlone()
    {
        QFETCH(QString, opened);
        QFETCH(QString, unplugged);
        QFETCH(bool, upgrading);
        WindowRig rig({optica4k("a", "2"), optica4k("b", "3"), optica4k("c", "4")});
        const QStringList present = rig.present(); // a, b, c
        QCOMPARE(present.size(), 3);
        const QString openPath = present.at(opened.at(0).toLatin1() - 'a');
        const QString gonePath = present.at(unplugged.at(0).toLatin1() - 'a');
        if (rig.window->m_currentDevicePath != openPath) {
            rig.window->slotSwitchCameraItem(rig.list()->item(rig.listed().indexOf(openPath)));
            QCOMPARE(rig.window->m_currentDevicePath, openPath);
        }
        QVERIFY(rig.window->m_isOpened);
        const int filter = currentFilter; // a reopened camera gets a new descriptor
        rig.window->m_isUpgrading = upgrading;
        QSignalSpy states(rig.window.get(), &MainWindow::onCameraState);

        rig.sim->unplug(unplugged);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.listed().contains(gonePath), kEventWaitMs);
        QCOMPARE(rig.listed().size(), 2);
        QCOMPARE(states.count(), 0);
        QCOMPARE(rig.label("labelState")->text(), QStringLiteral("CONNECTED"));
        QVERIFY(rig.window->m_isOpened);
        QCOMPARE(rig.window->m_currentDevicePath, openPath);
        QCOMPARE(rig.window->m_currentDeviceName, QStringLiteral("NV-Optica-4K-AI"));
        QCOMPARE(currentFilter, filter);
        if (!upgrading)
            QCOMPARE(rig.list()->currentItem()->data(Qt::UserRole + 2).toString(), openPath);
        rig.window->m_isUpgrading = false;
    }

    // Events arrive in order: once the camera plugged after the webcam's
    // removal is listed, the removal has been handled too.
    void removalMatchingNoEntryDoesNothing()
    {
        WindowRig rig({optica4k("a", "2"), webcam()});
        QSignalSpy plugged(rig.window.get(), &MainWindow::onCameraPlugged);
        rig.sim->unplug(QStringLiteral("webcam"));
        rig.sim->plug(optica1080("b", "3"));
        QTRY_COMPARE_WITH_TIMEOUT(plugged.count(), 1, kEventWaitMs);
        QCOMPARE(plugged[0][0].toBool(), true);

        const QStringList before = rig.listed();
        rig.window->handleDeviceChange(false, QStringLiteral("\\\\?\\usb#vid_1d6b&pid_ff01&mi_00#9&0badf00d&0&0000#{x}"));
        QCOMPARE(plugged.count(), 1);
        QCOMPARE(rig.listed(), before);
    }

    void pathsOfOtherShapesAreIgnored_data()
    {
        QTest::addColumn<bool>("arrival");
        QTest::addColumn<QString>("path");
        QTest::newRow("arrival, second interface") << true << "\\\\?\\usb#vid_1d6b&pid_ff13&mi_02#1&00000001&0&0002#{g}";
        QTest::newRow("arrival, other vendor") << true << "\\\\?\\usb#vid_3f1c&pid_0a21&mi_00#1&00000001&0&0000#{g}";
        QTest::newRow("arrival, no usb identity") << true << "/sys/devices/platform/soc/camera0/video4linux/video3";
        QTest::newRow("removal, three parts") << false << "\\\\?\\usb#vid_1d6b&pid_ff01&mi_00#{g}";
        QTest::newRow("removal, second interface") << false << "\\\\?\\usb#vid_1d6b&pid_ff01&mi_02#1&00000001&0&0002#{g}";
    }
    void pathsOfOtherShapesAreIgnored()
    {
        QFETCH(bool, arrival);
        QFETCH(QString, path);
        WindowRig rig({optica4k("a", "2")});
        QSignalSpy plugged(rig.window.get(), &MainWindow::onCameraPlugged);
        rig.window->handleDeviceChange(arrival, path);
        QCOMPARE(plugged.count(), 0);
    }

    // A camera with two VideoStreaming interfaces brings two capture nodes
    // (and two metadata nodes) under one VideoControl interface: it arrives
    // once, is listed once, previews from the node that offers MJPEG, and
    // leaves once; plugged again, it arrives again.
    void cameraWithTwoStreamsArrivesAndLeavesOnce()
    {
        WindowRig rig({});
        rig.window->show();
        QTRY_VERIFY_WITH_TIMEOUT(hasBeenPainted(rig.window.get()), kEventWaitMs);
        QSignalSpy plugged(rig.window.get(), &MainWindow::onCameraPlugged);
        // Started after the window's monitor, on the same thread: once it has
        // an event, the window has had it too.
        int events = 0;
        auto behind = rig.sim->createMonitor();
        connect(behind.get(), &lumora::platform::DeviceMonitor::deviceEvent, this, [&] { ++events; });
        behind->start();
        const auto multi = [] { return streamingCamera("multi", "3", {{"yuyv"}, {"yuyv", "mjpeg"}}); };

        for (int round = 0; round < 2; ++round) {
            rig.sim->plug(multi());
            const QStringList nodes = rig.sim->devNodes("multi");
            QCOMPARE(nodes.size(), 4);
            QTRY_COMPARE_WITH_TIMEOUT(events, 4, kEventWaitMs);
            QCOMPARE(plugged.count(), 1);
            QCOMPARE(plugged[0][0].toBool(), true);
            QTRY_COMPARE_WITH_TIMEOUT(rig.listed().size(), 1, kEventWaitMs);
            QCOMPARE(rig.list()->count(), 1);
            QVERIFY(rig.window->m_isOpened);
            QCOMPARE(rig.window->m_currentDeviceAlias, nodes[2]);
            // The picture comes from the second stream: the first has no MJPEG to give.
            QTRY_VERIFY_WITH_TIMEOUT(!rig.picture().isNull(),
                                     kEventWaitMs);

            plugged.clear();
            events = 0;
            rig.sim->unplug(QStringLiteral("multi"));
            QTRY_COMPARE_WITH_TIMEOUT(events, 4, kEventWaitMs);
            QCOMPARE(plugged.count(), 1);
            QCOMPARE(plugged[0][0].toBool(), false);
            QTRY_COMPARE_WITH_TIMEOUT(rig.list()->count(), 0, kEventWaitMs);
            QVERIFY(!rig.window->m_isOpened);
            // The next round's picture is its own.
            QVERIFY(rig.picture().isNull());
            plugged.clear();
            events = 0;
        }
    }

    void burstOfEventsLeavesTheDevicesPresent()
    {
        const QStringList ids{"a", "b", "c"};
        WindowRig rig({optica4k("a", "2"), optica1080("b", "3"), optica4k("c", "4.2"), webcam()});
        QSet<QString> unplugged;
        QRandomGenerator random(20261210);
        for (int i = 0; i < 50; ++i) {
            const QString id = ids[random.bounded(ids.size())];
            if (unplugged.remove(id))
                QVERIFY(rig.sim->replug(id));
            else {
                rig.sim->unplug(id);
                unplugged.insert(id);
            }
        }
        const auto sorted = [](QStringList list) {
            list.sort();
            return list;
        };
        QTRY_COMPARE_WITH_TIMEOUT(sorted(rig.listed()), sorted(rig.present()), kEventWaitMs);
        QCOMPARE(rig.listed().size(), ids.size() - unplugged.size());
        if (!rig.listed().isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(rig.window->m_isOpened, kEventWaitMs);
    }
};

QTEST_MAIN(TestHotplug)
#include "test_hotplug.moc"
