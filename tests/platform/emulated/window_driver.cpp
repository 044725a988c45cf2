// The real main window on the kernel the environment picks, driven through one
// script and reporting what it saw on standard output:
//
//   open      the start-up open sequence; ends once the camera is open
//   preview   ends once the preview has shown three frames
//   hotplug   the camera "second" (kept unplugged by the scenario) is plugged
//             once the first camera previews, and unplugged once the window
//             has switched to it; each step waits until the window settled
//
// A device change is asked for with a line "plug <id>" or "unplug <id>". On
// the simulated kernel this program makes the change itself; on an emulated
// machine the test that reads the line makes it in its own simulated kernel.
#include "gui/startup.h"
#include "platform/kernel.h"
#include "platform/udev_monitor.h"
#include "camera/camera.h"
#include "preview/videostreamthread.h"
#include "sim/sim_kernel.h"
#include "gui/mainwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QListWidget>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

constexpr int kStepDeadlineMs = 20000;
constexpr int kFramesToShow = 3;
// Longer than the window waits before it writes the pad back, after tracking
// went Off and after a preview started: a step counts as done only after that
// write. Timers of a longer interval started later fire later, so this orders
// rather than guesses.
constexpr int kPadSettleMs = 1000;

class Driver {
public:
    // The driver's own monitor stays out of the wire trace: only the window's events belong there.
    Driver(lumora::sim::SimKernel *sim, MainWindow &window)
        : m_sim(sim), m_monitor(sim ? sim->createMonitor() : std::make_unique<lumora::platform::UdevMonitor>())
    {
        // Wakes the waits below when nothing else happens.
        m_tick.start(10);
        QObject::connect(m_monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent,
                         [this](const lumora::platform::DeviceEvent &event) {
                             if (event.subsystem == QLatin1String("video4linux"))
                                 ++(event.action == lumora::platform::DeviceEvent::Action::Add ? added : removed);
                         });
        m_monitor->start();
        QObject::connect(&window.m_camera, &lumora::camera::Camera::padRestoreDue, [this] { padWriteDue(); });
    }

    int added = 0;
    int removed = 0;
    int padWrites = 0; // due and not yet run

    void padWriteDue()
    {
        ++padWrites;
        QTimer::singleShot(kPadSettleMs, [this] { --padWrites; });
    }

    // Frames the window's current preview worker delivered.
    int framesOfCurrentPreview(MainWindow &window)
    {
        if (window.m_pVideoWorker != m_worker) {
            m_worker = window.m_pVideoWorker;
            m_frames = 0;
            // The preview's start scheduled a pad write just before.
            if (m_worker)
                padWriteDue();
            if (m_worker)
                QObject::connect(m_worker, &VideoStreamThread::onReader, &window,
                                 [this, worker = m_worker](const QImage &image) {
                                     if (worker == m_worker && !image.isNull())
                                         ++m_frames;
                                 });
        }
        return m_worker ? m_frames : 0;
    }

    // Runs events until `done` holds; false when the step's deadline passed first.
    bool until(const std::function<bool()> &done)
    {
        const QDeadlineTimer deadline(kStepDeadlineMs);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return true;
    }

    void say(const QString &line)
    {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    }

    void change(const QString &action, const QString &id)
    {
        say(action + QLatin1Char(' ') + id);
        if (!m_sim)
            return;
        if (action == QLatin1String("plug"))
            m_sim->replug(id);
        else
            m_sim->unplug(id);
    }

private:
    lumora::sim::SimKernel *m_sim;
    std::unique_ptr<lumora::platform::DeviceMonitor> m_monitor;
    QTimer m_tick;
    VideoStreamThread *m_worker = nullptr;
    int m_frames = 0;
};

int cameras(MainWindow &window) { return window.findChild<QListWidget *>(QStringLiteral("listWidgetCamera"))->count(); }

int fail(const QString &why)
{
    std::fprintf(stderr, "%s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    paintWithoutOpenGL();
    QApplication app(argc, argv);
    initLumoraResources();
    const QString script = app.arguments().value(1);

    // On the simulated kernel the driver keeps the kernel to plug devices into.
    lumora::sim::SimKernel *sim = nullptr;
    if (qEnvironmentVariable("LUMORA_PLATFORM") == QLatin1String("sim")) {
        std::unique_ptr<lumora::platform::Kernel> kernel = lumora::sim::createKernelFromEnvironment();
        sim = dynamic_cast<lumora::sim::SimKernel *>(kernel.get());
        lumora::platform::installKernel(std::move(kernel));
    }
    MainWindow window;
    Driver driver(sim, window);
    window.show();
    if (!driver.until([&] { return window.m_isOpened && driver.padWrites == 0; }))
        return fail(QStringLiteral("no camera opened"));
    driver.say(QStringLiteral("opened ") + window.m_currentDeviceName);

    if (script == QLatin1String("preview")) {
        if (!driver.until([&] { return driver.framesOfCurrentPreview(window) >= kFramesToShow && driver.padWrites == 0; }))
            return fail(QStringLiteral("the preview showed %1 frames").arg(driver.framesOfCurrentPreview(window)));
        driver.say(QStringLiteral("frames shown"));
    } else if (script == QLatin1String("hotplug")) {
        // Settled: the open camera's preview shows pictures and no pad write is due.
        const auto settled = [&] {
            return window.m_isOpened && driver.framesOfCurrentPreview(window) > 0 && driver.padWrites == 0;
        };
        if (!driver.until(settled))
            return fail(QStringLiteral("the first camera did not start its preview"));
        driver.change(QStringLiteral("plug"), QStringLiteral("second"));
        // Both nodes of the second camera (capture and metadata) arrived.
        if (!driver.until([&] { return driver.added == 2 && cameras(window) == 2 && settled(); }))
            return fail(QStringLiteral("the second camera was not listed"));
        driver.say(QStringLiteral("listed 2, open ") + window.m_currentDeviceName);
        driver.change(QStringLiteral("unplug"), QStringLiteral("second"));
        if (!driver.until([&] { return driver.removed == 2 && cameras(window) == 1 && settled(); }))
            return fail(QStringLiteral("the second camera stayed listed"));
        driver.say(QStringLiteral("listed 1"));
    }
    window.close();
    return 0;
}
