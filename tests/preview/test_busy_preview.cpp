// LABELS: worker
// A camera another application streams from: the window opens it, every
// control works, the preview area names the holder, and the preview starts by
// itself once the holder lets go.
#include "qt_tsan_suppressions.h"

#include "core/catalogue.h"
#include "gui/startup.h"
#include "gui/widgets/previewsurface.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "gui/mainwindow.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

using namespace lumora;

namespace {

const int kWaitMs = deadlineMs(8000);
const QString kHint = QStringLiteral("Click the icon to start Preview.");

class Window : public MainWindow {
public:
    using MainWindow::m_previewBusy;
    using MainWindow::retryBusyPreview;
};

QJsonObject busyCamera(const QJsonObject &holder)
{
    return {{"id", "cam"},           {"vendorId", "0x1d6b"}, {"productId", "0xff01"}, {"manufacturer", "QX"},
            {"product", "QX NV-Optica-4K-AI"}, {"serial", "QX4K0001"}, {"port", "1-1"}, {"firmware", "1.4.2"},
            {"heldBy", holder}};
}

const QJsonObject kCall{{"pid", 4242}, {"name", "videocall"}};

} // namespace

class TestBusyPreview : public QObject {
    Q_OBJECT

    QTemporaryDir m_traceDir;
    sim::SimKernel *m_kernel = nullptr;
    std::unique_ptr<Window> m_window;

    QLabel *label(const char *name) const { return m_window->findChild<QLabel *>(QLatin1String(name)); }
    QPixmap picture() const { return m_window->findChild<PreviewSurface *>()->picture(); }
    template <class T> T *child(const char *name) const { return m_window->findChild<T *>(QLatin1String(name)); }
    bool showsPicture() const { return !picture().isNull(); }
    std::shared_ptr<sim::SimCamera> camera() const { return m_kernel->find<sim::SimCamera>("cam"); }

    void start(const QJsonObject &scenario)
    {
        QFile::remove(settingsFilePath());
        auto kernel = std::make_unique<sim::SimKernel>();
        m_kernel = kernel.get();
        QVERIFY(kernel->loadScenario(scenario));
        platform::installKernel(std::move(kernel));
        m_window = std::make_unique<Window>();
        m_window->show();
    }

    // Transfer lines of the trace: "xu ... rc=0", "ctl ... rc=0".
    QStringList transfers() const
    {
        QFile file(m_traceDir.filePath("trace.log"));
        QStringList lines;
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray &line : file.readAll().split('\n'))
                if (line.contains(" xu ") || line.contains(" ctl "))
                    lines << QString::fromUtf8(line);
        return lines;
    }

private Q_SLOTS:
    void initTestCase()
    {
        initLumoraResources();
        qputenv("LUMORA_TRACE", m_traceDir.filePath("trace.log").toUtf8());
    }
    void cleanupTestCase() { platform::installKernel(std::make_unique<sim::SimKernel>()); }

    void cleanup()
    {
        if (m_window)
            m_window->close();
        m_window.reset();
        QFile::remove(settingsFilePath());
        QFile::remove(m_traceDir.filePath("trace.log"));
    }

    void controlsWorkWhileTheHolderStreams()
    {
        start({{"cameras", QJsonArray{busyCamera(kCall)}}});
        // The open sequence: capture node, extension unit, state and firmware read.
        QVERIFY(m_window->m_isOpened);
        QCOMPARE(label("labelDevVer")->text(), QStringLiteral("V1.4.2"));
        QVERIFY(child<QComboBox>("comboBoxTrackMode")->count() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->m_previewBusy, kWaitMs);
        QCOMPARE(label("labPreview_up")->text(), QStringLiteral("The camera is in use by videocall (pid 4242)."));
        QVERIFY(label("labPreview_up")->isVisible());
        QVERIFY(label("labPreview_down")->isVisible());
        QVERIFY(!showsPicture());

        // One change of every feature, through the page's own widgets.
        child<QSlider>("sliderZoom")->setValue(200);
        QCOMPARE(camera()->controls().value("zoom"), 200);
        child<QAbstractButton>("btnCameraUp")->click();
        QVERIFY(camera()->controls().value("tilt") != 0);
        child<QSlider>("sliderBrightness")->setValue(140);
        QCOMPARE(camera()->controls().value("brightness"), 140);
        child<QAbstractButton>("btnHDR")->click();
        QCOMPARE(camera()->extensionUnit().feature("hdr"), 1);
        child<QComboBox>("comboBoxAntiFlicker")->setCurrentIndex(1);
        QCOMPARE(camera()->extensionUnit().feature("antiFlicker"), 2);
        child<QAbstractButton>("btn65")->click();
        QCOMPARE(camera()->extensionUnit().feature("viewAngle"), 2);
        child<QComboBox>("comboBoxTrackSpeend")->setCurrentIndex(2);
        QCOMPARE(camera()->extensionUnit().feature("trackSpeed"), 2);
        child<QComboBox>("comboBoxTrackEffect")->setCurrentIndex(1);
        QCOMPARE(camera()->extensionUnit().feature("trackEffect"), 0);
        child<QComboBox>("comboBoxTrackMode")->setCurrentIndex(2);
        QCOMPARE(camera()->extensionUnit().feature("trackMode"), 3);

        const QStringList lines = transfers();
        QVERIFY(!lines.isEmpty());
        for (const QString &line : lines)
            QVERIFY2(line.endsWith(QLatin1String(" rc=0")), qPrintable(line));
        // Still busy: the holder has not let go.
        QVERIFY(m_window->m_previewBusy);
        QVERIFY(camera()->isHeld());
    }

    void previewStartsWhenTheHolderLeaves()
    {
        // The holder goes a few seconds in; the window notices within a retry.
        start({{"cameras", QJsonArray{busyCamera(kCall)}},
               {"timeline", QJsonArray{QJsonObject{{"atMs", 3000}, {"action", "release"}, {"device", "cam"}}}}});
        QTRY_VERIFY_WITH_TIMEOUT(m_window->m_previewBusy, kWaitMs);
        QVERIFY(camera()->isHeld());
        QVERIFY(label("labPreview_up")->text().contains(QLatin1String("videocall (pid 4242)")));
        QTRY_VERIFY_WITH_TIMEOUT(showsPicture(), 3000 + 2 * MainWindow::kBusyRetryMs + kWaitMs);
        QVERIFY(!camera()->isHeld());
        QVERIFY(!m_window->m_previewBusy);
        QVERIFY(label("labPreview_up")->isHidden());
        QVERIFY(label("labPreview_down")->isHidden());
        QCOMPARE(label("labPreview_up")->text(), kHint);
    }

    void holderOfAnotherUserIsNotNamed()
    {
        QJsonObject holder = kCall;
        holder.insert("otherUser", true);
        start({{"cameras", QJsonArray{busyCamera(holder)}}});
        QTRY_VERIFY_WITH_TIMEOUT(m_window->m_previewBusy, kWaitMs);
        QCOMPARE(label("labPreview_up")->text(), QStringLiteral("The camera is in use by another application."));
    }

    // Retries only while the window shows; a stop by the user ends them.
    void retriesFollowTheWindow()
    {
        start({{"cameras", QJsonArray{busyCamera(kCall)}}});
        QTRY_VERIFY_WITH_TIMEOUT(m_window->m_previewBusy, kWaitMs);
        QVERIFY(!m_window->m_pVideoWorker);
        camera()->release();
        m_window->hide();
        m_window->retryBusyPreview();
        QVERIFY(!m_window->m_pVideoWorker);
        m_window->show();
        m_window->retryBusyPreview();
        QVERIFY(m_window->m_pVideoWorker);
        QTRY_VERIFY_WITH_TIMEOUT(showsPicture(), kWaitMs);
        QVERIFY(!m_window->m_previewBusy);
    }

    void stopIconEndsTheBusyState()
    {
        start({{"cameras", QJsonArray{busyCamera(kCall)}}});
        QTRY_VERIFY_WITH_TIMEOUT(m_window->m_previewBusy, kWaitMs);
        QHoverEvent hover(QEvent::HoverEnter, QPointF(5, 5), QPointF(4, 4));
        QCoreApplication::sendEvent(label("labPreview"), &hover);
        QVERIFY(label("labelStop")->isVisible());
        QTest::mousePress(label("labelStop"), Qt::LeftButton);
        QVERIFY(!m_window->m_previewBusy);
        QVERIFY(!m_window->m_isPreviewing);
        QCOMPARE(label("labPreview_up")->text(), kHint);
        QVERIFY(label("labPreview_up")->isVisible());
        QVERIFY(!label("labelCamera")->isHidden());
        camera()->release();
        m_window->retryBusyPreview();
        QVERIFY(!m_window->m_pVideoWorker);
    }
};

QTEST_MAIN(TestBusyPreview)
#include "test_busy_preview.moc"
