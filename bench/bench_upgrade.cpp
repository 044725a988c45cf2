// A package with a 16 MiB kernel upgraded against the simulated camera
// (script: version line, `tftp` of the kernel, two command lines, `saveenv`,
// `reset`), on the trace-free simulated kernel:
//
//  - from a working camera: the camera is sent into its update state and
//    comes back as an update drive 1.5 s later (the app looks every 500 ms);
//    once over USB Bulk-Only (what an ordinary user gets: SG_IO refuses the
//    vendor commands) and once over SG_IO (a process with CAP_SYS_RAWIO);
//  - from the boot loader's drive, already present (a rescue).
//
// The waits the protocol mandates are the camera's restart as a drive (from
// the start until the app has found the drive, which it logs), the check
// pause of size / 20,480 ms after the load (819 ms here) and the camera's
// return as a video device after `reset` (from the script's end until the app
// has found the camera again, both of which it logs). The drive's own time,
// inside the kernel seam's ioctl() between the drive being found and the
// script's end, is the device's and left out too. What is beyond them is our
// work: reading the file, the MD5, the transfer in chunks, the commands.
//
// The three sides run in turn, rotating the order, several rounds; then the
// same again while `stress-ng --cpu 2` keeps both cores busy. Min and median.
//
// Usage: bench_upgrade [rounds, default 3]

#include "cpuload.h"
#include "device/uvcextensionunit.h"
#include "deviceclock.h"
#include "platform/kernel.h"
#include "sim/sim_camera.h"
#include "sim/kernel_from_environment.h"
#include "sim/sim_kernel.h"
#include "sim/sim_update_drive.h"
#include "stats.h"
#include "upgrade/updatechannel.h"
#include "upgrade/upgradethread.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QFile>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kKernelBytes = 16 * 1024 * 1024;
constexpr double kCheckPauseMs = kKernelBytes / 20480;

QElapsedTimer g_clock;
std::atomic<qint64> g_driveFoundNs{-1};
std::atomic<qint64> g_scriptDoneNs{-1};
std::atomic<qint64> g_cameraBackNs{-1};
std::atomic<bench::DeviceClock *> g_deviceClock{nullptr};

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(data);
}

QJsonObject camera()
{
    return {{"id", "cam"}, {"vendorId", "0x5a17"}, {"productId", "0x0305"}, {"product", "ORBIT 400"},
            {"port", "1-4"}, {"firmware", "1.0.0"}};
}

enum class Path { BulkOnly, SgIo, Rescue };
constexpr Path kPaths[] = {Path::BulkOnly, Path::SgIo, Path::Rescue};

const char *pathName(Path path)
{
    switch (path) {
    case Path::BulkOnly: return "from a working camera, Bulk-Only";
    case Path::SgIo: return "from a working camera, SG_IO";
    case Path::Rescue: return "from the boot loader (rescue), Bulk-Only";
    }
    return "?";
}

struct Run {
    bool ok = false;
    double totalMs = 0, restartMs = 0, returnMs = 0, deviceMs = 0, transferMs = 0;
    double beyondMs() const { return totalMs - restartMs - returnMs - kCheckPauseMs - deviceMs; }
    double beyondPercent() const { return 100.0 * beyondMs() / totalMs; }
};

Run upgrade(const QString &workspace, Path path)
{
    const bool fromCamera = path != Path::Rescue;
    auto sim = std::make_unique<lumora::sim::SimKernel>();
    sim->setPrivileged(path == Path::SgIo);
    if (fromCamera) {
        sim->plug(lumora::sim::makeCamera(camera()));
    } else {
        QJsonObject drive = camera();
        drive.insert("state", "uboot");
        drive.insert("camera", camera());
        sim->plug(lumora::sim::makeUpdateDrive(drive));
    }
    auto clock = std::make_unique<bench::DeviceClock>(std::move(sim));
    g_deviceClock = clock.get();
    lumora::platform::installKernel(std::move(clock));
    UVCExtensionUnit unit;
    if (fromCamera && !unit.InitVideoDevice(QString(), "ORBIT 400"))
        return {};

    // The simulated camera's restart runs on this thread's event loop, the worker on its own.
    UpgradeThread worker(1, fromCamera, fromCamera ? &unit : nullptr, workspace);
    if (fromCamera)
        worker.setTarget({QStringLiteral("/dev/video0"), {}, {}, {}, {}});
    QThread thread;
    worker.moveToThread(&thread);
    Run run;
    QEventLoop loop;
    QObject::connect(&thread, &QThread::started, &worker, &UpgradeThread::start);
    QObject::connect(&worker, &UpgradeThread::onUpgradeReport, [&](bool ok, int, const QString &) {
        run.totalMs = double(g_clock.nsecsElapsed()) / 1e6;
        run.ok = ok;
    });
    QObject::connect(&worker, &UpgradeThread::workFinished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    g_driveFoundNs = -1;
    g_scriptDoneNs = -1;
    g_cameraBackNs = -1;
    g_clock.start();
    thread.start();
    loop.exec();
    thread.quit();
    thread.wait();
    run.restartMs = fromCamera ? double(g_driveFoundNs.load()) / 1e6 : 0;
    if (g_scriptDoneNs.load() >= 0 && g_cameraBackNs.load() >= 0)
        run.returnMs = double(g_cameraBackNs.load() - g_scriptDoneNs.load()) / 1e6;
    if (g_scriptDoneNs.load() >= 0 && g_driveFoundNs.load() >= 0)
        run.transferMs = double(g_scriptDoneNs.load() - g_driveFoundNs.load()) / 1e6;
    run.deviceMs = double(g_deviceClock.load()->deviceNs.load()) / 1e6;
    lumora::upgrade::closeUpdateDrive();
    g_deviceClock = nullptr;
    lumora::platform::installKernel(std::make_unique<lumora::sim::SimKernel>());
    return run;
}

// Every path `rounds` times, in turn, the order rotating each round.
std::vector<std::vector<Run>> runRounds(const QString &workspace, int rounds)
{
    std::vector<std::vector<Run>> runs(std::size(kPaths));
    for (int round = 0; round < rounds; ++round)
        for (std::size_t i = 0; i < std::size(kPaths); ++i) {
            const std::size_t side = (i + std::size_t(round)) % std::size(kPaths);
            runs[side].push_back(upgrade(workspace, kPaths[side]));
        }
    return runs;
}

std::vector<double> values(const std::vector<Run> &runs, const std::function<double(const Run &)> &get)
{
    std::vector<double> v;
    for (const Run &r : runs)
        v.push_back(get(r));
    return v;
}

void printTable(const char *title, const std::vector<std::vector<Run>> &runs)
{
    std::printf("\n%s\n\n", title);
    std::printf("| path | all succeeded | total ms, median | camera restart ms, median | camera return ms, median "
                "| the drive's own ms, median | beyond the waits ms, min | median | beyond, %% of total, median |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < std::size(kPaths); ++i) {
        const std::vector<Run> &r = runs[i];
        const bool ok = std::all_of(r.begin(), r.end(), [](const Run &run) { return run.ok; });
        const std::vector<double> beyond = values(r, [](const Run &run) { return run.beyondMs(); });
        std::printf("| %s | %s | %.0f | %.0f | %.0f | %.1f | %.1f | %.1f | %.1f %% |\n", pathName(kPaths[i]),
                    ok ? "yes" : "no", bench::median(values(r, [](const Run &run) { return run.totalMs; })),
                    bench::median(values(r, [](const Run &run) { return run.restartMs; })),
                    bench::median(values(r, [](const Run &run) { return run.returnMs; })),
                    bench::median(values(r, [](const Run &run) { return run.deviceMs; })), bench::minimum(beyond),
                    bench::median(beyond), bench::median(values(r, [](const Run &run) { return run.beyondPercent(); })));
    }
}

// Bulk-Only against SG_IO, round by round (the two ran next to each other):
// the time from the drive found to the script's end, which is what goes over
// the transport, check pause included.
std::vector<double> transportRatios(const std::vector<std::vector<Run>> &runs)
{
    std::vector<double> ratios;
    for (std::size_t round = 0; round < runs[0].size(); ++round)
        ratios.push_back(runs[0][round].transferMs / runs[1][round].transferMs);
    return ratios;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("LUMORA_PLATFORM", "sim");
    qunsetenv("LUMORA_TRACE");
    QCoreApplication app(argc, argv);
    lumora::platform::installKernel(lumora::sim::kernelFromEnvironment());
    bench::printLoad("before");
    // The worker logs the state of the drive it found (the camera's restart
    // ends there), the script's end (the camera resets) and the camera's
    // return; the drive's own time counts in between.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        const auto mark = [&](std::atomic<qint64> &at, const char *prefix) {
            if (!message.startsWith(QLatin1String(prefix)) || at.load() >= 0)
                return false;
            at = g_clock.nsecsElapsed();
            return true;
        };
        bench::DeviceClock *clock = g_deviceClock.load();
        if (mark(g_driveFoundNs, "device state:") && clock)
            clock->counting = true;
        if (mark(g_scriptDoneNs, "Upgrade seccess.") && clock)
            clock->counting = false;
        mark(g_cameraBackNs, "camera back on USB port");
    });
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    QTemporaryDir workspace;
    QByteArray kernel(kKernelBytes, Qt::Uninitialized);
    QRandomGenerator random(16);
    random.fillRange(reinterpret_cast<quint32 *>(kernel.data()), kKernelBytes / 4);
    writeFile(workspace.filePath("kernel"), kernel);
    writeFile(workspace.filePath("auto_update.txt"),
              "setenv fw_version 2.0.0\ntftp 0x21000000 kernel\nsetenv bootcmd bootm 0x21000000\nsaveenv\nreset\n");

    const std::vector<std::vector<Run>> quiet = runRounds(workspace.path(), rounds);
    std::vector<std::vector<Run>> loaded;
    {
        const bench::CpuLoad load(2);
        loaded = runRounds(workspace.path(), rounds);
    }
    std::printf("\n16 MiB kernel, %d rounds of each, rotating order; check pause %.0f ms\n", rounds, kCheckPauseMs);
    printTable("as the machine is", quiet);
    printTable("while stress-ng --cpu 2 runs", loaded);
    const std::vector<double> ratios = transportRatios(quiet);
    std::printf("\nBulk-Only / SG_IO, drive found to script end, round by round: min %.3f, median %.3f "
                "(Bulk-Only %.0f ms, SG_IO %.0f ms, medians)\n\n",
                bench::minimum(ratios), bench::median(ratios),
                bench::median(values(quiet[0], [](const Run &run) { return run.transferMs; })),
                bench::median(values(quiet[1], [](const Run &run) { return run.transferMs; })));
    bench::printLoad("after");
    const auto overhead = [](const std::vector<std::vector<Run>> &runs) {
        return bench::median(values(runs[0], [](const Run &run) { return run.beyondPercent(); }));
    };
    std::printf("\nvalue upgrade_overhead_percent %.1f %%\n", overhead(quiet));
    std::printf("value upgrade_overhead_percent_loaded %.1f %%\n", overhead(loaded));
    std::printf("ratio upgrade_bot_vs_sgio %.3f\n", bench::median(ratios));
    return 0;
}
