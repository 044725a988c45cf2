// The whole app previewing the simulated camera (1920x1080 MJPEG at 30 fps)
// under a real X server (xcb; DISPLAY must name one, bench/run-all starts
// Xvfb): CPU time of the process as a share of one core, and its resident
// memory, while the preview runs. Everything is included: the simulated
// camera's producer, demuxing, decoding, scaling and the window's painting.
// Each round is a fresh process: first paint, a few seconds to settle, then
// the measured seconds.
//
// Usage: bench_preview_window [rounds, default 3] [seconds, default 10]

#include "appprocess.h"
#include "stats.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSettleMs = 3000;

// The preview's size from the window's last resize log line.
QString previewSize(const QString &log)
{
    static const QRegularExpression resize("window size change (\\d+) (\\d+)");
    QString size = "unknown";
    for (auto it = resize.globalMatch(log); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const int width = m.captured(1).toInt() - 786;
        size = QString("%1x%2").arg(width).arg(width * 9 / 16);
    }
    return size;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_preview_window needs an X server: set DISPLAY (bench/run-all starts Xvfb)\n");
        return 1;
    }
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    std::vector<double> cpu, rss;
    QString area;
    for (int round = 0; round < rounds; ++round) {
        bench::AppProcess lumora;
        lumora.start();
        if (lumora.waitForLogLine("first paint", 20000) < 0) {
            std::fprintf(stderr, "the app did not paint its window\n");
            return 1;
        }
        QThread::msleep(kSettleMs);
        const double before = lumora.cpuSeconds();
        QThread::sleep(unsigned(seconds));
        const double used = lumora.cpuSeconds() - before;
        cpu.push_back(100.0 * used / seconds);
        rss.push_back(lumora.rssMb());
        area = previewSize(lumora.logText());
        if (!lumora.logText().contains("slotStartPreview"))
            std::fprintf(stderr, "round %d: the preview did not start\n", round + 1);
    }
    std::printf("app previewing the simulated camera, preview area %s, %d rounds of %d s\n\n", qPrintable(area),
                rounds, seconds);
    std::printf("| | min | median | max |\n|---|---|---|---|\n");
    std::printf("| CPU, %% of one core | %.1f | %.1f | %.1f |\n", bench::minimum(cpu),
                bench::median(cpu), bench::maximum(cpu));
    std::printf("| resident memory, MB | %.0f | %.0f | %.0f |\n", bench::minimum(rss),
                bench::median(rss), bench::maximum(rss));
    std::printf("\nvalue preview_cpu_percent %.1f %%\n", bench::median(cpu));
    std::printf("value preview_rss %.0f MB\n", bench::median(rss));
    return 0;
}
