// LABELS: worker
// The window's snapshot: the preview's button and Ctrl+S save the camera's
// full-resolution picture under the user's pictures folder and say so briefly.
#include "devices/windowrig.h"

#include "gui/widgets/firstpaint.h"
#include "gui/mainwindow_form.h"
#include "support/testsupport.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

using testdevices::WindowRig;

namespace {

const int kWaitMs = deadlineMs(10000);

} // namespace

class TestSnapshotWindow : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        // The pictures folder comes from user-dirs.dirs, as xdg-user-dir reads it.
        QVERIFY(m_home.isValid());
        const QString config = m_home.filePath("config");
        QVERIFY(QDir().mkpath(config));
        qputenv("XDG_CONFIG_HOME", config.toUtf8());
        QFile dirs(config + "/user-dirs.dirs");
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_PICTURES_DIR=\"" + m_home.filePath("My Pictures").toUtf8() + "\"\n");
    }

    void savesTheFullPicture_data()
    {
        QTest::addColumn<bool>("byKey");
        QTest::newRow("snapshot button") << false;
        QTest::newRow("Ctrl+S") << true;
    }
    void savesTheFullPicture()
    {
        QFETCH(bool, byKey);
        const QString folder = m_home.filePath("My Pictures/Lumora");
        QDir(folder).removeRecursively();
        WindowRig rig({testdevices::camera("qx", QStringLiteral("QX NV-Optica-4K-AI"), 0x1d6b, 0xff01, "1-1")});
        rig.window->show();
        QTRY_VERIFY_WITH_TIMEOUT(hasBeenPainted(rig.window.get()), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.picture().isNull(), kWaitMs);
        QLabel *notice = rig.label("labelSnapshotNotice");
        QVERIFY(notice->isHidden());

        if (byKey)
            QTest::keyClick(rig.window->ui->page, Qt::Key_S, Qt::ControlModifier);
        else
            QTest::mouseClick(rig.window->findChild<QToolButton *>("btnSnapshot"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.window->lastSnapshotPath().isEmpty(), kWaitMs);

        const QString path = rig.window->lastSnapshotPath();
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(folder) + "/Lumora-[A-Za-z0-9._-]+-\\d{8}-\\d{6}\\.png$")
                     .match(path).hasMatch(), qPrintable(path));
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QFileInfo(path).fileName()});
        QImage saved;
        QVERIFY(saved.load(path, "PNG"));
        // The camera's full resolution, not the scaled preview.
        QCOMPARE(saved.size(), QSize(1920, 1080));
        QVERIFY(saved.size() != rig.picture().size());
        QVERIFY(!notice->isHidden());
        QVERIFY2(notice->text().contains(path), qPrintable(notice->text()));
        // The confirmation is brief.
        QTRY_VERIFY_WITH_TIMEOUT(notice->isHidden(), kWaitMs);
    }
};

QTEST_MAIN(TestSnapshotWindow)
#include "test_snapshot.moc"
