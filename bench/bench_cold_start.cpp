// Cold start: from starting the app's process to its window's first paint,
// under a real X server (xcb; DISPLAY must name one). "Cold" means a new
// process each run; the page cache stays warm (it is shared with the rest of
// the machine). The first paint is the window's own log line, stamped to
// the millisecond by the same wall clock the start is read from.
//
// Also: what loading the FFmpeg libraries costs a fresh process (dlopen of
// each, in a child process per run): the start never pays it, since the
// preview opens its decoder module only for a camera that sends a format
// other than MJPEG.
//
// Usage: bench_cold_start [runs, default 10]
//        bench_cold_start --dlopen   (one child: prints the load time in ms)

#include "appprocess.h"
#include "stats.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <dlfcn.h>
#include <time.h>

namespace {

double nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Loads the FFmpeg libraries the decoder module needs.
int loadFfmpeg()
{
    const double start = nowMs();
    for (const char *library : {"libavcodec.so.59", "libswscale.so.6", "libavutil.so.57"}) {
        if (!dlopen(library, RTLD_NOW | RTLD_GLOBAL)) {
            std::fprintf(stderr, "%s\n", dlerror());
            return 1;
        }
    }
    std::printf("%.2f\n", nowMs() - start);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--dlopen")
        return loadFfmpeg();
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_cold_start needs an X server: set DISPLAY (bench/run-all starts Xvfb)\n");
        return 1;
    }
    bench::printLoad("before");
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    std::vector<double> starts, loads;
    for (int run = 0; run < runs; ++run) {
        bench::AppProcess lumora;
        const qint64 started = lumora.start();
        const qint64 painted = lumora.waitForLogLine("first paint", 20000);
        if (painted < 0) {
            std::fprintf(stderr, "run %d: no first paint\n", run + 1);
            return 1;
        }
        starts.push_back(double(painted - started));
        lumora.stop();

        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--dlopen"});
        child.waitForFinished(-1);
        loads.push_back(child.readAllStandardOutput().trimmed().toDouble());
    }
    std::printf("%d runs, each a new process\n\n| | min | median | worst |\n|---|---|---|---|\n", runs);
    std::printf("| process start to first paint, ms | %.0f | %.0f | %.0f |\n", bench::minimum(starts),
                bench::median(starts), bench::maximum(starts));
    std::printf("| loading the FFmpeg libraries in a fresh process, ms | %.1f | %.1f | %.1f |\n",
                bench::minimum(loads), bench::median(loads), bench::maximum(loads));
    std::printf("\n");
    bench::printLoad("after");
    std::printf("\nvalue cold_start_worst %.0f ms\n", bench::maximum(starts));
    return 0;
}
