// LABELS: worker
// The preview area of the real window, offscreen, on the simulated kernel.
#include "qt_tsan_suppressions.h"

#include "core/catalogue.h"
#include "gui/startup.h"
#include "gui/widgets/firstpaint.h"
#include "gui/widgets/previewsurface.h"
#include "preview/videostreamthread.h"
#include "sim/sim_kernel.h"
#include "gui/mainwindow.h"
#include "support/testsupport.h"

#include <QFile>
#include <QLabel>
#include <QHoverEvent>
#include <QMovie>
#include <QPointer>
#include <QThread>
#include <QToolButton>
#include <QtTest>

#include <condition_variable>
#include <mutex>

#include <linux/videodev2.h>

using namespace lumora;

namespace {

const int kWaitMs = deadlineMs(5000);

// The default scenario; its cameras can be made to hang like a driver that
// stopped answering: a format request that does not return.
class Kernel : public sim::SimKernel {
public:
    Kernel() { loadScenario(defaultScenario()); }
    int ioctl(int fd, unsigned long request, void *arg) override
    {
        if (request == VIDIOC_S_FMT) {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_hang) {
                m_hung = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return !m_hang; });
            }
        }
        return SimKernel::ioctl(fd, request, arg);
    }
    void setHanging(bool hang)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hang = hang;
        m_changed.notify_all();
    }
    bool hung()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_hung;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_hang = false, m_hung = false;
};

void hover(QWidget *widget, QEvent::Type type)
{
    QHoverEvent event(type, QPointF(5, 5), QPointF(4, 4));
    QCoreApplication::sendEvent(widget, &event);
}

} // namespace

class TestPreviewWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<MainWindow> m_window;
    Kernel *m_kernel = nullptr;

    QLabel *label(const char *name) const { return m_window->findChild<QLabel *>(QLatin1String(name)); }
    QPixmap picture() const { return m_window->findChild<PreviewSurface *>()->picture(); }
    bool previewRuns() const { return m_window->m_pVideoWorker && m_window->m_pVideoThread; }

private Q_SLOTS:
    void initTestCase() { initLumoraResources(); }
    // The cameras and their feed threads go while the application still exists.
    void cleanupTestCase() { platform::installKernel(std::make_unique<sim::SimKernel>()); }

    // The default scenario: the window opens its first camera and previews it.
    void init()
    {
        QFile::remove(settingsFilePath());
        auto kernel = std::make_unique<Kernel>();
        m_kernel = kernel.get();
        platform::installKernel(std::move(kernel));
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        // Until the first paint a preview start waits for it.
        QTRY_VERIFY_WITH_TIMEOUT(hasBeenPainted(m_window.get()), kWaitMs);
    }

    void cleanup()
    {
        m_window->close();
        m_window.reset();
        QFile::remove(settingsFilePath());
    }

    void refreshStartsPreviewAtOnce()
    {
        QVERIFY(m_window->m_isOpened);
        QVERIFY(m_window->m_isPreviewing);
        // The worker starts right after the window's first paint.
        QTRY_VERIFY_WITH_TIMEOUT(previewRuns(), kWaitMs);
        QVERIFY(label("labelCamera")->isHidden());
        QVERIFY(label("labelloading")->isHidden());
        QVERIFY(label("labPreview_up")->isHidden() && label("labPreview_down")->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(!picture().isNull(), kWaitMs);
        const QSize shown = picture().size();
        QVERIFY(shown.width() <= m_window->m_previewWidth && shown.height() <= m_window->m_previewHeight);
    }

    // The picture lies where a label would show it, on the area and under
    // its buttons, leaves the mouse to the area, follows the area's size and
    // goes with the preview.
    void pictureLiesOnTheArea()
    {
        QLabel *area = label("labPreview");
        auto *surface = m_window->findChild<PreviewSurface *>();
        const auto liesRight = [&] {
            const QRect inside = area->contentsRect();
            const QSize size = picture().size();
            return surface->isVisible() && !size.isEmpty() &&
                   surface->geometry() == QRect(QPoint(inside.left(), inside.top() + (inside.height() - size.height()) / 2), size);
        };
        QTRY_VERIFY_WITH_TIMEOUT(liesRight(), kWaitMs);
        QCOMPARE(surface->parentWidget(), area);
        QVERIFY(surface->testAttribute(Qt::WA_OpaquePaintEvent));
        QVERIFY(area->childAt(surface->geometry().center()) != surface);
        const QObjectList layers = area->children();
        QVERIFY(layers.indexOf(surface) < layers.indexOf(m_window->findChild<QToolButton *>("btnSnapshot")));
        QVERIFY(layers.indexOf(surface) < layers.indexOf(label("labelStop")));

        const QSize before = picture().size();
        m_window->resize(m_window->width() + 160, m_window->height() + 90);
        QTRY_VERIFY_WITH_TIMEOUT(picture().width() > before.width() && liesRight(), kWaitMs);

        m_window->closeCurrentCamera();
        QVERIFY(surface->isHidden());
        QVERIFY(picture().isNull());
    }

    void startIconShowsLoadingThenStarts_data()
    {
        QTest::addColumn<bool>("cameraOpen");
        QTest::newRow("camera open") << true;
        QTest::newRow("no camera open") << false;
    }

    void startIconShowsLoadingThenStarts()
    {
        QFETCH(bool, cameraOpen);
        m_window->stopCameraPreView();
        if (!cameraOpen)
            m_window->closeCurrentCamera();
        QVERIFY(!previewRuns());

        QTest::mousePress(label("labelCamera"), Qt::LeftButton);
        QVERIFY(label("labelCamera")->isHidden());
        QVERIFY(!label("labelloading")->isHidden());
        QVERIFY(!previewRuns());

        QTRY_VERIFY_WITH_TIMEOUT(label("labelloading")->isHidden(), kWaitMs);
        QCOMPARE(previewRuns(), cameraOpen);
        QCOMPARE(m_window->m_isPreviewing, cameraOpen);
        QCOMPARE(label("labelCamera")->isHidden(), cameraOpen);
        if (cameraOpen)
            QTRY_VERIFY_WITH_TIMEOUT(!picture().isNull(), kWaitMs);
    }

    void stopIconDropsQueuedPictures()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!picture().isNull(), kWaitMs);
        hover(label("labPreview"), QEvent::HoverEnter);
        QVERIFY(!label("labelStop")->isHidden());

        QTest::mousePress(label("labelStop"), Qt::LeftButton);
        QVERIFY(!previewRuns());
        QVERIFY(!m_window->m_isPreviewing);
        QVERIFY(!label("labelCamera")->isHidden());
        QVERIFY(label("labelStop")->isHidden());

        // A picture that was already queued when the stop came.
        m_window->slotOnReader(QImage(1920, 1080, QImage::Format_RGB32));
        QCoreApplication::sendPostedEvents();
        QVERIFY(picture().isNull());
        QVERIFY(!label("labPreview_up")->isHidden() && !label("labPreview_down")->isHidden());
    }

    // The window's first paint comes before the preview's work.
    void previewWaitsForTheFirstPaint()
    {
        m_window->close();
        m_window.reset();
        m_window = std::make_unique<MainWindow>();
        QVERIFY(m_window->m_isPreviewing);
        QCoreApplication::processEvents();
        QVERIFY(!previewRuns());
        m_window->show();
        QTRY_VERIFY_WITH_TIMEOUT(previewRuns(), kWaitMs);
        QVERIFY(hasBeenPainted(m_window.get()));
        QTRY_VERIFY_WITH_TIMEOUT(!picture().isNull(), kWaitMs);
    }

    void restartReplacesWorkerAndThread()
    {
        QPointer<QThread> oldThread = m_window->m_pVideoThread;
        QPointer<VideoStreamThread> oldWorker = m_window->m_pVideoWorker;
        m_window->slotStartPreview();
        QVERIFY(oldThread.isNull());
        QVERIFY(oldWorker.isNull());
        QVERIFY(previewRuns());
        QTRY_VERIFY_WITH_TIMEOUT(m_window->m_pVideoThread->isRunning(), kWaitMs);
    }

    void stopGivesUpWaitingOnAHungCamera()
    {
        m_window->stopCameraPreView();
        m_kernel->setHanging(true);
        m_window->slotStartPreview();
        QPointer<QThread> hung = m_window->m_pVideoThread;
        QTRY_VERIFY_WITH_TIMEOUT(m_kernel->hung(), kWaitMs);

        QTest::ignoreMessage(QtWarningMsg, "preview worker did not stop within 2000 ms; left to end on its own");
        m_window->stopCameraPreView();
        QVERIFY(!previewRuns());
        QVERIFY(!label("labelCamera")->isHidden());

        // When the camera answers at last, the worker and its thread go away on their own.
        m_kernel->setHanging(false);
        QTRY_VERIFY_WITH_TIMEOUT(hung.isNull(), kWaitMs);
    }

    void rightPressDoesNothing_data()
    {
        QTest::addColumn<QString>("icon");
        QTest::newRow("start icon") << QStringLiteral("labelCamera");
        QTest::newRow("stop icon") << QStringLiteral("labelStop");
    }

    void rightPressDoesNothing()
    {
        QFETCH(QString, icon);
        QThread *const thread = m_window->m_pVideoThread;
        QTest::mousePress(m_window->findChild<QLabel *>(icon), Qt::RightButton);
        QCOMPARE(m_window->m_pVideoThread, thread);
        QVERIFY(m_window->m_isPreviewing);
        QVERIFY(label("labelloading")->isHidden());
        QVERIFY(label("labelCamera")->isHidden());
    }

    void hoverShowsStopIconOnlyWhilePreviewing()
    {
        hover(label("labPreview"), QEvent::HoverEnter);
        QVERIFY(!label("labelStop")->isHidden());
        hover(label("labPreview"), QEvent::HoverLeave);
        QVERIFY(label("labelStop")->isHidden());

        hover(label("labelStop"), QEvent::HoverEnter);
        QVERIFY(label("labelStop")->styleSheet().contains("icon-stop-hover.png"));
        hover(label("labelStop"), QEvent::HoverLeave);
        QCOMPARE(label("labelStop")->styleSheet(), QStringLiteral("background-image:url(:/qss/light/icon-stop.png)"));

        QTest::mousePress(label("labelStop"), Qt::LeftButton);
        hover(label("labPreview"), QEvent::HoverEnter);
        QVERIFY(label("labelStop")->isHidden());
        hover(label("labelCamera"), QEvent::HoverMove);
        QVERIFY(label("labelCamera")->styleSheet().contains("camera_disable-hover.png"));
    }

    void previewFollowsWindowWidth()
    {
        const int frame = m_window->frameGeometry().width() - m_window->width();
        m_window->resize(1786 - frame, m_window->height());
        QCOMPARE(m_window->frameGeometry().width(), 1786);
        QCOMPARE(label("labPreview")->size(), QSize(1000, 562));
        QCOMPARE(m_window->m_previewWidth, 1000);
        QCOMPARE(m_window->m_previewHeight, 562);
    }
};

QTEST_MAIN(TestPreviewWindow)
#include "test_preview_window.moc"
