// Preview decoding: CPU time per frame of our decode against the ffmpeg tool,
// both as whole processes on the same 1920x1080 MJPEG clip.
//
// Ours is the preview worker's per-frame work: libavformat reads the clip and
// every frame is decoded to BGRA at the preview's size (the smallest eighth
// scale that covers it, then one scale to the exact size). Theirs is
// `ffmpeg -i clip -pix_fmt bgra -f null -`, a full-size decode to BGRA. Each
// side starts a process per run, so process start-up is charged to both. The
// runs alternate (A B, then B A) for several rounds; min and median are shown.
// Then the scale after a reduced decode alone, in process. No GUI is involved.
//
// Usage: bench_preview [rounds, default 7] [clip seconds, default 10] [area, default 652x367]
//        bench_preview --decode <clip> <width>x<height>   (one run of our side)

#include "preview/boxscaler.h"
#include "preview/previewdecoder.h"
#include "stats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <string>
#include <cstdio>
#include <ctime>
#include <vector>

#include <sys/resource.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

QSize parseSize(const QString &text)
{
    const QStringList parts = text.split('x');
    return parts.size() == 2 ? QSize(parts[0].toInt(), parts[1].toInt()) : QSize();
}

// The child: our decode of every frame of the clip.
int decodeClip(const QString &clip, QSize area)
{
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, clip.toUtf8().constData(), av_find_input_format("mjpeg"), nullptr) < 0)
        return 2;
    AVPacket *packet = av_packet_alloc();
    PreviewDecoder decoder;
    long frames = 0, failed = 0;
    while (av_read_frame(format, packet) >= 0) {
        const QImage picture = decoder.decode(packet->data, std::size_t(packet->size), area);
        (picture.isNull() ? failed : frames)++;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    std::printf("%ld %ld\n", frames, failed);
    return failed ? 1 : 0;
}

double childCpuSeconds()
{
    rusage r{};
    getrusage(RUSAGE_CHILDREN, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of one whole process run.
double runProcess(const QString &program, const QStringList &arguments)
{
    const double before = childCpuSeconds();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
    return childCpuSeconds() - before;
}

double processCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct Series {
    const char *name;
    std::vector<double> msPerFrame;
    double min() const { return bench::minimum(msPerFrame); }
    double median() const { return bench::median(msPerFrame); }
};

// The scale after a reduced decode, alone and in process: Qt's smooth
// scaling against the area-averaging scaler at each level, on the clip's
// first frame decoded at the reduced size the preview uses. CPU time of the
// process, as Qt may spread its scaling over threads; wall time beside it.
// Interleaved, rotating the order each round.
void benchScale(const QString &clip, QSize area, int rounds)
{
    QFile file(clip);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray data = file.readAll();
    const int end = data.indexOf("\xff\xd9");
    if (end < 0)
        return;
    PreviewDecoder decoder;
    const QSize shown = PreviewDecoder::shownSize(QSize(1920, 1080), area);
    const auto *jpeg = reinterpret_cast<const std::uint8_t *>(data.constData());
    decoder.decode(jpeg, std::size_t(end + 2), area);
    const int eighths = decoder.lastScaleEighths();
    const QSize reduced((1920 * eighths + 7) / 8, (1080 * eighths + 7) / 8);
    const QImage source = decoder.decode(jpeg, std::size_t(end + 2), reduced);
    if (source.size() != reduced || reduced == shown)
        return;

    constexpr int kRepeats = 100;
    BoxScaler scaler;
    struct Side {
        std::string name;
        std::function<QImage()> run;
        std::vector<double> ms, wallMs;
    };
    std::vector<Side> sides;
    sides.push_back({"Qt smooth scaling (QImage::scaled)",
                     [&] { return source.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); }, {}, {}});
    for (ScaleLevel level : kScaleLevels) {
        if (level > supportedScaleLevel())
            continue;
        sides.push_back({std::string("area averaging, ") + scaleLevelName(level), [&, level] {
                             forceScaleLevel(level);
                             return scaler.scaled(source, shown);
                         }, {}, {}});
    }
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < sides.size(); ++i) {
            Side &side = sides[(i + std::size_t(round)) % sides.size()];
            QElapsedTimer timer;
            timer.start();
            const double cpu = processCpuMs();
            for (int r = 0; r < kRepeats; ++r)
                side.run();
            side.ms.push_back((processCpuMs() - cpu) / kRepeats);
            side.wallMs.push_back(double(timer.nsecsElapsed()) / 1e6 / kRepeats);
        }
    }
    forceScaleLevel(supportedScaleLevel());
    std::printf("\nthe scale alone, in process: %dx%d (decoded at %d/8) to %dx%d, %d rounds of %d, rotating order\n\n",
                reduced.width(), reduced.height(), eighths, shown.width(), shown.height(), rounds, kRepeats);
    std::printf("| scale | CPU ms, min | median | median / Qt | wall ms, median |\n|---|---|---|---|---|\n");
    for (const Side &side : sides)
        std::printf("| %s | %.3f | %.3f | %.2f | %.3f |\n", side.name.c_str(), bench::minimum(side.ms),
                    bench::median(side.ms), bench::median(side.ms) / bench::median(sides.front().ms),
                    bench::median(side.wallMs));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "--decode")
        return decodeClip(args[2], parseSize(args[3]));
    bench::printLoad("before");

    const int rounds = args.size() > 1 ? std::max(1, args[1].toInt()) : 7;
    const int seconds = args.size() > 2 ? std::max(1, args[2].toInt()) : 10;
    const QSize area = args.size() > 3 ? parseSize(args[3]) : QSize(652, 367);
    const int frames = seconds * 30;

    QTemporaryDir folder;
    const QString clip = folder.filePath("clip.mjpeg");
    if (QProcess::execute("ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                     QString("testsrc2=size=1920x1080:rate=30:duration=%1").arg(seconds), "-c:v",
                                     "mjpeg", "-q:v", "4", "-pix_fmt", "yuvj420p", "-f", "mjpeg", clip}) != 0) {
        std::fprintf(stderr, "could not make the clip with the ffmpeg tool\n");
        return 1;
    }
    const QString self = QCoreApplication::applicationFilePath();
    const QString areaText = QString("%1x%2").arg(area.width()).arg(area.height());
    const QSize shown = PreviewDecoder::shownSize(QSize(1920, 1080), area);

    Series ours{"ours, decoded at the preview size", {}};
    Series oursFull{"ours, full size (a snapshot's decode)", {}};
    Series ffmpeg{"ffmpeg -pix_fmt bgra -f null", {}};
    const auto runOurs = [&](Series &series, const QString &size) {
        series.msPerFrame.push_back(runProcess(self, {"--decode", clip, size}) * 1e3 / frames);
    };
    const auto runFfmpeg = [&] {
        ffmpeg.msPerFrame.push_back(
            runProcess("ffmpeg", {"-loglevel", "error", "-i", clip, "-pix_fmt", "bgra", "-f", "null", "-"}) * 1e3 / frames);
    };
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            runOurs(ours, areaText);
            runFfmpeg();
            runOurs(oursFull, "0x0");
        } else {
            runOurs(oursFull, "0x0");
            runFfmpeg();
            runOurs(ours, areaText);
        }
    }

    std::printf("clip: %d frames of 1920x1080 MJPEG (testsrc2, q 4); preview area %s, pictures %dx%d; %d rounds, "
                "alternating order\n\n",
                frames, qPrintable(areaText), shown.width(), shown.height(), rounds);
    std::printf("| whole process | CPU ms per frame, min | median | median / ffmpeg |\n|---|---|---|---|\n");
    for (const Series *s : {&ours, &oursFull, &ffmpeg})
        std::printf("| %s | %.2f | %.2f | %.2f |\n", s->name, s->min(), s->median(), s->median() / ffmpeg.median());
    benchScale(clip, area, rounds);
    std::printf("\n");
    bench::printLoad("after");
    std::printf("\nratio preview_cpu_vs_ffmpeg %.2f\n", ours.median() / ffmpeg.median());
    return 0;
}
