// Field-of-view buttons of the main window against a simulated camera.

#include "gui/startup.h"
#include "platform/kernel.h"
#include "sim/sim_camera.h"
#include "sim/sim_extension_unit.h"
#include "sim/sim_kernel.h"
#include "support/testsupport.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QtTest>

#include <cerrno>

using lumora::sim::SimCamera;
using lumora::sim::SimExtensionUnit;

class TestFieldOfView : public QObject {
    Q_OBJECT

    std::shared_ptr<SimCamera> camera;
    MainWindow *w = nullptr;

    QList<QAbstractButton *> buttons() const { return {w->ui->btn90, w->ui->btn78, w->ui->btn65}; }
    int checkedIndex() const
    {
        const auto list = buttons();
        for (int i = 0; i < list.size(); ++i)
            if (list.at(i)->isChecked())
                return i;
        return -1;
    }

private Q_SLOTS:
    void init()
    {
        initLumoraResources();
        auto sim = std::make_unique<lumora::sim::SimKernel>();
        // A camera of the default profile; its firmware offers the three fields of view.
        camera = std::dynamic_pointer_cast<SimCamera>(lumora::sim::makeCamera(QJsonObject{
            {"id", "cam"}, {"vendorId", "1d6b"}, {"productId", "ff01"}, {"product", "NV-Optica-4K-AI"},
            {"port", "1-1"}, {"firmware", "1.2.3"}}));
        QVERIFY(camera);
        sim->plug(camera);
        lumora::platform::installKernel(std::move(sim));
        w = new MainWindow;
        QVERIFY(w->m_isOpened);
    }

    void cleanup()
    {
        delete w;
        w = nullptr;
        camera.reset();
    }

    void clickSendsTheChoice()
    {
        w->ui->btn65->click();
        QCOMPARE(camera->extensionUnit().feature(QLatin1String(SimExtensionUnit::kViewAngle)), 2);
        QCOMPARE(checkedIndex(), 2);
        w->ui->btn78->click();
        QCOMPARE(camera->extensionUnit().feature(QLatin1String(SimExtensionUnit::kViewAngle)), 1);
        QCOMPARE(checkedIndex(), 1);
    }

    // A refused change raises the timeout box, then shows what the camera
    // reports; when the camera cannot be read either, the click stays.
    void refusedChange_data()
    {
        QTest::addColumn<int>("failedTransfers");
        QTest::addColumn<int>("expectedChecked");
        QTest::newRow("read back") << 1 << 1;
        QTest::newRow("unreadable") << 50 << 2;
    }

    void refusedChange()
    {
        QFETCH(int, failedTransfers);
        QFETCH(int, expectedChecked);
        w->ui->btn78->click();
        QCOMPARE(checkedIndex(), 1);
        for (int n = 1; n <= failedTransfers; ++n)
            camera->faults().failNth(n, EIO);
        QString shown;
        answerNextMessageBox(true, &shown);
        w->ui->btn65->click();
        QCOMPARE(shown, QStringLiteral("The setting has timed out, please try again."));
        QCOMPARE(checkedIndex(), expectedChecked);
        QCOMPARE(camera->extensionUnit().feature(QLatin1String(SimExtensionUnit::kViewAngle)), 1);
    }
};

QTEST_MAIN(TestFieldOfView)
#include "test_fieldofview.moc"
