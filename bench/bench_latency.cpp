// Preview latency: from the moment the simulated camera has put a whole
// frame in one of the preview's buffers to the moment the preview surface
// has painted that frame's picture, under a real X server (xcb; DISPLAY must
// name one). The camera sends 1920x1080 MJPEG at 30 fps; the preview worker
// decodes at the size of the preview area (a label, as in the main window)
// and the surface on it shows the picture as the main window's does.
// Pictures are matched to frames by the worker's frame count, which the
// picture carries. The first second (the camera encodes its picture loop) is
// left out. Once as the machine is, once while `stress-ng --cpu 2` keeps
// both cores busy.
//
// Usage: bench_latency [pictures, default 300] [area width, default 652]

#include "cpuload.h"
#include "platform/kernel.h"
#include "gui/widgets/previewsurface.h"
#include "preview/videostreamthread.h"
#include "sim/sim_kernel.h"
#include "sim/sim_camera.h"
#include "stats.h"

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

struct Result {
    std::vector<double> latencies; // sorted
    QSize area, shown;
    quint64 lastFrame = 0;
    double picturesPerSecond = 0;
};

// One preview of the simulated camera until `wanted` pictures after the first
// second have been painted.
Result measure(QApplication &app, int wanted, int areaWidth)
{
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

    Result result;
    result.area = area->size();
    result.shown = surface->picture().size();
    result.picturesPerSecond = pictures / seconds;
    {
        std::lock_guard<std::mutex> lock(completions.mutex);
        for (const auto &[frame, paintedAt] : surface->painted) {
            const auto done = completions.at.find(frame);
            if (frame <= kSkippedFrames || done == completions.at.end())
                continue;
            result.latencies.push_back(std::chrono::duration<double, std::milli>(paintedAt - done->second).count());
            result.lastFrame = std::max(result.lastFrame, frame);
        }
    }
    std::sort(result.latencies.begin(), result.latencies.end());
    platform::installKernel(std::make_unique<sim::SimKernel>());
    return result;
}

void printRow(const char *name, const Result &r)
{
    const std::vector<double> &l = r.latencies;
    std::printf("| %s | %zu (frames %llu to %llu, %.1f pictures/s) | %.1f | %.1f | %.1f | %.1f | %.1f |\n", name,
                l.size(), kSkippedFrames + 1, r.lastFrame, r.picturesPerSecond, l.front(), percentile(l, 50),
                percentile(l, 95), percentile(l, 99), l.back());
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
    bench::printLoad("before");
    const int wanted = argc > 1 ? std::max(30, atoi(argv[1])) : 300;
    const int areaWidth = argc > 2 ? std::max(64, atoi(argv[2])) : 652;

    const Result quiet = measure(app, wanted, areaWidth);
    Result loaded;
    {
        const bench::CpuLoad load(2);
        loaded = measure(app, wanted, areaWidth);
    }
    if (quiet.latencies.empty() || loaded.latencies.empty()) {
        std::fprintf(stderr, "no picture was painted\n");
        return 1;
    }
    std::printf("simulated camera 1920x1080 MJPEG at 30 fps, preview area %dx%d (pictures %dx%d)\n\n",
                quiet.area.width(), quiet.area.height(), quiet.shown.width(), quiet.shown.height());
    std::printf("| frame complete to picture painted, ms | pictures | min | p50 | p95 | p99 | max |\n"
                "|---|---|---|---|---|---|---|\n");
    printRow("as the machine is", quiet);
    printRow("while stress-ng --cpu 2 runs", loaded);
    std::printf("\n");
    bench::printLoad("after");
    std::printf("\nvalue preview_latency_p95 %.1f ms\n", percentile(quiet.latencies, 95));
    std::printf("value preview_latency_p95_loaded %.1f ms\n", percentile(loaded.latencies, 95));
    return 0;
}
