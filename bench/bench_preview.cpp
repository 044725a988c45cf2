// Preview pipeline benchmark.
//
// 1. Decodes a 1080p MJPEG clip (made with the ffmpeg tool at run time) as
//    fast as it goes through VideoStreamThread, and the same clip with
//    `ffmpeg -i clip -pix_fmt bgra -f null -`: frames per second, CPU time
//    per frame, their ratio, peak memory.
// 2. Runs a paced 30 fps preview of a simulated camera, producer included,
//    and the producer alone with a reader that only drains the socket.
//
// Usage: bench_preview [seconds of clip, default 10] [seconds of paced run, default 5]

#include "platform/kernel.h"
#include "preview/videostreamthread.h"
#include "sim/sim_kernel.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QEventLoop>

#include <cstdio>
#include <mutex>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace lumora;

namespace {

const QString kClipAlias = QStringLiteral("/dev/video-clip");

std::mutex g_logMutex;
bool g_streamEnded = false;

void watchLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (message.startsWith(QLatin1String("Video stream ended:")))
        g_streamEnded = true;
}

bool streamEnded()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_streamEnded;
}

// The simulated kernel, plus the clip as one more capture input.
class BenchKernel : public sim::SimKernel {
public:
    explicit BenchKernel(QString clip) : m_clip(std::move(clip)) { loadScenario(defaultScenario()); }
    platform::CaptureInput captureInput(const QString &alias) override
    {
        return alias == kClipAlias ? platform::CaptureInput{"mjpeg", m_clip} : SimKernel::captureInput(alias);
    }

private:
    QString m_clip;
};

struct Usage {
    double cpuSeconds = 0;
    long peakKb = 0;
};

Usage usage(int who)
{
    rusage r{};
    getrusage(who, &r);
    return {r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6, r.ru_maxrss};
}

// Runs a worker on `alias` until `done` says so; returns the pictures received.
template <class Done> int runWorker(const QString &alias, Done done)
{
    QThread thread;
    auto *worker = new VideoStreamThread(alias);
    worker->moveToThread(&thread);
    int pictures = 0;
    QObject receiver;
    QObject::connect(&thread, &QThread::started, worker, &VideoStreamThread::start);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(worker, &VideoStreamThread::workFinished, worker, &QObject::deleteLater);
    QObject::connect(worker, &VideoStreamThread::onReader, &receiver, [&pictures](const QImage &) { ++pictures; });
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done(pictures))
            loop.quit();
    });
    check.start(10);
    thread.start();
    loop.exec();
    worker->stop();
    thread.quit();
    thread.wait();
    return pictures;
}

void decodeClip(int clipSeconds)
{
    QTemporaryDir folder;
    const QString clip = folder.filePath("clip.mjpeg");
    const int frames = clipSeconds * 30;
    if (QProcess::execute("ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                     QString("testsrc2=size=1920x1080:rate=30:duration=%1").arg(clipSeconds), "-c:v",
                                     "mjpeg", "-q:v", "4", "-pix_fmt", "yuvj420p", "-f", "mjpeg", clip}) != 0) {
        std::fprintf(stderr, "could not make the clip with ffmpeg\n");
        return;
    }
    platform::installKernel(std::make_unique<BenchKernel>(clip));

    const Usage before = usage(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    const int pictures = runWorker(kClipAlias, [](int) { return streamEnded(); });
    const double ourSeconds = wall.elapsed() / 1e3;
    const Usage ours = usage(RUSAGE_SELF);
    const double ourCpu = ours.cpuSeconds - before.cpuSeconds;

    const Usage childBefore = usage(RUSAGE_CHILDREN);
    wall.restart();
    QProcess::execute("ffmpeg", {"-loglevel", "error", "-i", clip, "-pix_fmt", "bgra", "-f", "null", "-"});
    const double theirSeconds = wall.elapsed() / 1e3;
    const Usage theirs = usage(RUSAGE_CHILDREN);
    const double theirCpu = theirs.cpuSeconds - childBefore.cpuSeconds;

    std::printf("clip: %d frames of 1920x1080 MJPEG, unpaced\n", frames);
    std::printf("  VideoStreamThread: %.1f fps, %.2f ms CPU per frame, %d pictures delivered, peak RSS %ld MiB (whole process)\n",
                frames / ourSeconds, ourCpu * 1e3 / frames, pictures, ours.peakKb / 1024);
    std::printf("  ffmpeg -pix_fmt bgra -f null: %.1f fps, %.2f ms CPU per frame, peak RSS %ld MiB\n",
                frames / theirSeconds, theirCpu * 1e3 / frames, theirs.peakKb / 1024);
    std::printf("  throughput ratio (ours / ffmpeg): %.2fx by wall clock, %.2fx by CPU time per frame\n",
                theirSeconds / ourSeconds, theirCpu / ourCpu);
}

// Reads the simulated camera's socket without decoding for `seconds`.
qint64 drainFeed(const QString &url, double seconds)
{
    const QByteArray path = url.mid(5).toUtf8();
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    qint64 bytes = 0;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        QElapsedTimer wall;
        wall.start();
        char buffer[65536];
        ssize_t n;
        while (wall.elapsed() < seconds * 1e3 && (n = ::read(fd, buffer, sizeof buffer)) > 0)
            bytes += n;
    }
    if (fd >= 0)
        ::close(fd);
    return bytes;
}

void pacedPreview(double seconds)
{
    platform::installKernel(std::make_unique<BenchKernel>(QString()));
    const QString camera = QStringLiteral("/dev/video0");

    const QString url = platform::kernel().captureInput(camera).url;
    std::printf("simulated camera, 30 fps paced, %.0f s each\n", seconds);
    // The first second encodes the scene's loop; after that frames come from the cache.
    const struct {
        const char *label;
        double seconds;
    } phases[] = {{"first loop, encoding", 1.0}, {"steady scene, cached", seconds}};
    for (const auto &phase : phases) {
        const Usage before = usage(RUSAGE_SELF);
        const qint64 bytes = drainFeed(url, phase.seconds);
        const Usage after = usage(RUSAGE_SELF);
        std::printf("  producer alone (%s; socket drained, no decoding): %.1f%% of one core, %.0f KiB/s\n", phase.label,
                    100 * (after.cpuSeconds - before.cpuSeconds) / phase.seconds, bytes / 1024.0 / phase.seconds);
    }

    const Usage before = usage(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    const int pictures = runWorker(camera, [&wall, seconds](int) { return wall.elapsed() >= seconds * 1e3; });
    const Usage after = usage(RUSAGE_SELF);
    const double elapsed = wall.elapsed() / 1e3;
    std::printf("  preview (producer + worker + receiver): %.1f%% of one core, %.1f pictures/s\n",
                100 * (after.cpuSeconds - before.cpuSeconds) / elapsed, pictures / elapsed);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    qInstallMessageHandler(watchLog);
    const int clipSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const double pacedSeconds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    decodeClip(clipSeconds);
    pacedPreview(pacedSeconds);
    return 0;
}
