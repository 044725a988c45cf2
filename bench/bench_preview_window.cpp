// The whole app previewing the simulated camera (1920x1080 MJPEG at 30 fps)
// under a real X server (xcb; DISPLAY must name one, bench/run-all starts
// Xvfb): CPU time of the process as a share of one core, and its resident
// memory, while the preview runs. Everything is included: the simulated
// camera's producer, demuxing, decoding, scaling and the window's painting.
// Each round is a fresh process: first paint, a few seconds to settle, then
// the measured seconds. The rounds run as the machine is, then again while
// `stress-ng --cpu 2` keeps both cores busy (a video call beside the app).
//
// Usage: bench_preview_window [rounds, default 3] [seconds, default 10]

#include "appprocess.h"
#include "cpuload.h"
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

struct Rounds {
    std::vector<double> cpu, rss;
    QString area;
};

// Each round a fresh app: its CPU as a share of one core over `seconds`, and
// its resident memory at the end; false when the app did not paint.
bool measure(int rounds, int seconds, Rounds *out)
{
    for (int round = 0; round < rounds; ++round) {
        bench::AppProcess lumora;
        lumora.start();
        if (lumora.waitForLogLine("first paint", 20000) < 0) {
            std::fprintf(stderr, "the app did not paint its window\n");
            return false;
        }
        QThread::msleep(kSettleMs);
        const double before = lumora.cpuSeconds();
        QThread::sleep(unsigned(seconds));
        const double used = lumora.cpuSeconds() - before;
        out->cpu.push_back(100.0 * used / seconds);
        out->rss.push_back(lumora.rssMb());
        out->area = previewSize(lumora.logText());
        if (!lumora.logText().contains("slotStartPreview"))
            std::fprintf(stderr, "round %d: the preview did not start\n", round + 1);
    }
    return true;
}

void printRow(const char *name, const std::vector<double> &v, const char *format)
{
    std::printf("| %s |", name);
    for (double x : {bench::minimum(v), bench::median(v), bench::maximum(v)})
        std::printf(format, x);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_preview_window needs an X server: set DISPLAY (bench/run-all starts Xvfb)\n");
        return 1;
    }
    bench::printLoad("before");
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    Rounds quiet, loaded;
    if (!measure(rounds, seconds, &quiet))
        return 1;
    {
        const bench::CpuLoad load(2);
        if (!measure(rounds, seconds, &loaded))
            return 1;
    }
    std::printf("app previewing the simulated camera, preview area %s, %d rounds of %d s\n\n", qPrintable(quiet.area),
                rounds, seconds);
    std::printf("| | min | median | max |\n|---|---|---|---|\n");
    printRow("CPU, % of one core", quiet.cpu, " %.1f |");
    printRow("resident memory, MB", quiet.rss, " %.0f |");
    printRow("CPU, % of one core, while stress-ng --cpu 2 runs", loaded.cpu, " %.1f |");
    printRow("resident memory, MB, while stress-ng --cpu 2 runs", loaded.rss, " %.0f |");
    std::printf("\n");
    bench::printLoad("after");
    std::printf("\nvalue preview_cpu_percent %.1f %%\n", bench::median(quiet.cpu));
    std::printf("value preview_rss %.0f MB\n", bench::median(quiet.rss));
    std::printf("value preview_cpu_percent_loaded %.1f %%\n", bench::median(loaded.cpu));
    return 0;
}
