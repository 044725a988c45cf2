// Selecting, opening and closing cameras on the real window offscreen.
// LABELS: worker
#include "windowrig.h"
#include "support/testsupport.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace testdevices;

namespace {

QStringList g_messages;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_messages << message;
}

std::shared_ptr<lumora::sim::SimDevice> optica(const QString &id, const QString &name, int pid, const QString &port)
{
    return camera(id, name, 0x1d6b, pid, port);
}

QList<QTimer *> statusTimers(const MainWindow &window)
{
    QList<QTimer *> timers;
    for (QTimer *timer : window.findChildren<QTimer *>())
        if (timer->interval() == 3000 && timer->isActive())
            timers << timer;
    return timers;
}

const int kWaitMs = deadlineMs(5000);

} // namespace

class TestSession : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { qInstallMessageHandler(nullptr); }

    void refreshOpensTheFirstEntryAndStartsItsPreview()
    {
        WindowRig rig({optica("a", "NV-Optica-4K-AI", 0xff01, "2")});
        QVERIFY(rig.window->m_isOpened);
        QVERIFY(!rig.window->m_noCamera);
        QVERIFY(rig.window->m_nCurrentCameraIndex >= 0);
        QVERIFY(currentFilter >= 0);
        QCOMPARE(rig.window->m_cameraModel, 7);
        QVERIFY(rig.window->m_isPreviewing);
    }

    void clickSwitchesOnlyToAnotherCamera()
    {
        WindowRig rig({optica("a", "NV-Optica-4K-AI", 0xff01, "2"), optica("b", "NV-Optica-1080-AI", 0xff13, "3")});
        QCOMPARE(rig.window->m_currentDeviceName, QStringLiteral("NV-Optica-1080-AI"));
        QSignalSpy states(rig.window.get(), &MainWindow::onCameraState);

        Q_EMIT rig.list()->itemClicked(rig.list()->item(0));
        QCOMPARE(states.count(), 0);
        QVERIFY(rig.window->m_isOpened);

        rig.window->stopCameraPreView();
        Q_EMIT rig.list()->itemClicked(rig.list()->item(1));
        QCOMPARE(states.count(), 1);
        QCOMPARE(states[0][0].toInt(), 0);
        QCOMPARE(rig.window->m_currentDeviceName, QStringLiteral("NV-Optica-4K-AI"));
        QVERIFY(rig.window->m_isOpened);
        QVERIFY(!rig.window->m_isPreviewing);
        QVERIFY(rig.label("labelloading")->isVisibleTo(rig.window.get()));
        QVERIFY(!rig.label("labelCamera")->isVisibleTo(rig.window.get()));
        QTRY_VERIFY_WITH_TIMEOUT(rig.window->m_isPreviewing, kWaitMs);
    }

    // An entry whose camera is gone by the time it is clicked.
    void cameraThatCannotOpenStaysClosedAndClickRetries()
    {
        WindowRig rig({optica("a", "NV-Optica-4K-AI", 0xff01, "2")});
        QListWidgetItem gone;
        gone.setData(Qt::UserRole, 1);
        gone.setData(Qt::UserRole + 1, QStringLiteral("NV-Optica-1080-AI"));
        gone.setData(Qt::UserRole + 2, QStringLiteral("vid_1d6b&pid_ff13&mi_00#1&00c0ffee&0&0000"));
        g_messages.clear();
        qInstallMessageHandler(collect);
        for (int click = 1; click <= 2; ++click) {
            rig.window->slotSwitchCameraItem(&gone);
            QCOMPARE(g_messages.count(QStringLiteral("current open camera name: NV-Optica-1080-AI")), click);
            QCOMPARE(g_messages.count(QStringLiteral("UVC init failed!")), click);
            QVERIFY(!rig.window->m_isOpened);
            QCOMPARE(rig.window->m_nCurrentCameraIndex, -1);
            QCOMPARE(currentFilter, -1);
            QCOMPARE(rig.label("labelState")->text(), QStringLiteral("CONNECTED"));
        }
    }

    // Entries made by hand: selection runs on whatever the list holds.
    void model4KeepsOneStatusTimer()
    {
        WindowRig rig({});
        QListWidgetItem model4, other;
        for (auto [item, name] : {std::pair{&model4, "VPT410B-100"}, std::pair{&other, "NV-Optica-4K-AI"}}) {
            item->setData(Qt::UserRole, 0);
            item->setData(Qt::UserRole + 1, QString::fromLatin1(name));
            item->setData(Qt::UserRole + 2, QStringLiteral("vid_1d6b&pid_0307&mi_00#1&00c0ffee&0&0000"));
            item->setData(Qt::UserRole + 3, QStringLiteral("/dev/video9"));
        }
        rig.window->selectCamera(&model4);
        rig.window->slotOnSingleClickedCameraItem(&model4);
        QCOMPARE(rig.window->m_cameraModel, 4);
        QCOMPARE(statusTimers(*rig.window).size(), 1);
        QCOMPARE(statusTimers(*rig.window).value(0), rig.window->m_statusTimer);

        rig.window->selectCamera(&other);
        QCOMPARE(rig.window->m_statusTimer, nullptr);
        QCOMPARE(statusTimers(*rig.window).size(), 0);
    }

    void incompleteEntriesAreIgnored_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pathId");
        QTest::newRow("index -1") << -1 << "NV-Optica-4K-AI" << "vid_1d6b&pid_ff01&mi_00#1&1&0&0000";
        QTest::newRow("no name") << 0 << "" << "vid_1d6b&pid_ff01&mi_00#1&1&0&0000";
        QTest::newRow("no path") << 0 << "NV-Optica-4K-AI" << "";
    }
    void incompleteEntriesAreIgnored()
    {
        QFETCH(int, index);
        QFETCH(QString, name);
        QFETCH(QString, pathId);
        WindowRig rig({optica("a", "NV-Optica-4K-AI", 0xff01, "2")});
        const QString open = rig.window->m_currentDevicePath;
        QListWidgetItem item;
        item.setData(Qt::UserRole, index);
        item.setData(Qt::UserRole + 1, name);
        item.setData(Qt::UserRole + 2, pathId);
        rig.window->slotSwitchCameraItem(&item);
        rig.window->selectCamera(&item);
        QCOMPARE(rig.window->m_currentDevicePath, open);
        QVERIFY(rig.window->m_isOpened);
    }
};

QTEST_MAIN(TestSession)
#include "test_session.moc"
