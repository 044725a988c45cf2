// Preview latency: from the moment the simulated camera has put a whole
// frame in one of the preview's buffers to the moment the preview surface
// has painted that frame's picture, under a real X server (xcb; DISPLAY must
// name one). The camera sends 1920x1080 MJPEG at 30 fps; the preview worker
// decodes at the size of the preview area (a label, as in the main window)
// and the surface on it shows the picture as the main window's does.
// Pictures are matched to frames by the worker's frame count, which the
// picture carries. The first second (the camera encodes its picture loop) is
// left out.
//
// Usage: bench_latency [pictures, default 300] [area width, default 652]

#include "platform/kernel.h"
#include "gui/widgets/previewsurface.h"
#include "preview/videostreamthread.h"
#include "sim/sim_kernel.h"
#include "sim/sim_camera.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

using namespace lumora;
using Clock = std::chrono::steady_clock;

namespace {

const QString kAlias = QStringLiteral("/dev/video0");
constexpr quint64 kSkippedFrames = 30;

// One simulated camera, streaming to the preview worker through its buffer queue.
class BenchKernel : public sim::SimKernel {
public:
    BenchKernel()
    {
        plug(sim::makeCamera({{"id", "bench"}, {"vendorId", "0x1d6b"}, {"productId", "0xff01"},
                              {"product", "QX NV-Optica-4K-AI"}, {"serial", "SN-bench"}, {"port", "1-1"},
                              {"firmware", "1.4.2"}}));
    }
    std::shared_ptr<sim::SimCamera> camera() const { return find<sim::SimCamera>("bench"); }
};

// When each frame was complete at the camera, by frame number.
struct Completions {
    std::mutex mutex;
    std::map<quint64, Clock::time_point> at;
};

// A preview surface that notes when it has painted the picture it was last given.
class TimedSurface : public PreviewSurface {
public:
    using PreviewSurface::PreviewSurface;
    quint64 pendingFrame = 0;
    std::vector<std::pair<quint64, Clock::time_point>> painted;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        PreviewSurface::paintEvent(event);
        if (pendingFrame) {
            painted.emplace_back(pendingFrame, Clock::now());
            pendingFrame = 0;
        }
    }
};

double percentile(std::vector<double> sorted, double p)
{
    const std::size_t i = std::min(sorted.size() - 1, std::size_t(p / 100.0 * double(sorted.size())));
    return sorted[i];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_latency needs an X server: set DISPLAY (bench/run-all starts Xvfb)\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int wanted = argc > 1 ? std::max(30, atoi(argv[1])) : 300;
    const int areaWidth = argc > 2 ? std::max(64, atoi(argv[2])) : 652;

    auto *kernel = new BenchKernel;
    platform::installKernel(std::unique_ptr<platform::Kernel>(kernel));
    Completions completions;
    kernel->camera()->setFrameObserver([&completions](quint64 frame) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(completions.mutex);
        completions.at[frame] = now;
    });

    QWidget window;
    auto *area = new QLabel;
    area->setFixedSize(areaWidth, areaWidth * 9 / 16);
    auto *surface = new TimedSurface(area);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(area);
    window.show();

    QThread thread;
    auto *worker = new VideoStreamThread(kAlias);
    worker->setShownSize(area->size());
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, worker, &VideoStreamThread::start);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(worker, &VideoStreamThread::workFinished, worker, &QObject::deleteLater);
    int pictures = 0;
    QElapsedTimer wall, deadline;
    deadline.start();
    QObject::connect(worker, &VideoStreamThread::onReader, surface, [&](const QImage &image) {
        if (pictures++ == 0)
            wall.start();
        surface->setPicture(image);
        surface->pendingFrame = image.text("frame").toULongLong();
    });
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &app, [&] {
        std::size_t counted = 0;
        for (const auto &p : surface->painted)
            counted += p.first > kSkippedFrames ? 1 : 0;
        if (counted >= std::size_t(wanted) || deadline.elapsed() > 30000 + wanted * 100)
            app.quit();
    });
    check.start(50);
    thread.start();
    app.exec();
    const double seconds = wall.isValid() ? wall.elapsed() / 1e3 : 1;
    worker->stop();
    thread.quit();
    thread.wait();

    std::vector<double> latencies;
    quint64 lastFrame = 0;
    {
        std::lock_guard<std::mutex> lock(completions.mutex);
        for (const auto &[frame, paintedAt] : surface->painted) {
            const auto done = completions.at.find(frame);
            if (frame <= kSkippedFrames || done == completions.at.end())
                continue;
            latencies.push_back(std::chrono::duration<double, std::milli>(paintedAt - done->second).count());
            lastFrame = std::max(lastFrame, frame);
        }
    }
    if (latencies.empty()) {
        std::fprintf(stderr, "no picture was painted\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    const QSize shown = surface->picture().size();
    std::printf("simulated camera 1920x1080 MJPEG at 30 fps, preview area %dx%d (pictures %dx%d), %zu pictures painted "
                "(frames %llu to %llu; %.1f pictures/s)\n\n",
                area->width(), area->height(), shown.width(), shown.height(), latencies.size(),
                kSkippedFrames + 1, lastFrame, pictures / seconds);
    std::printf("| frame complete to picture painted, ms | min | p50 | p95 | p99 | max |\n|---|---|---|---|---|---|\n");
    std::printf("| | %.1f | %.1f | %.1f | %.1f | %.1f |\n", latencies.front(), percentile(latencies, 50),
                percentile(latencies, 95), percentile(latencies, 99), latencies.back());
    std::printf("\nvalue preview_latency_p95 %.1f ms\n", percentile(latencies, 95));
    platform::installKernel(std::make_unique<sim::SimKernel>());
    return 0;
}
