// A package with a 16 MiB kernel upgraded against the simulated camera
// (script: version line, `tftp` of the kernel, two command lines, `saveenv`,
// `reset`), on the trace-free simulated kernel:
//
//  - from a working camera: the camera is sent into its update state and
//    comes back as an update drive 1.5 s later (the app looks every 500 ms);
//  - from the boot loader's drive, already present (a rescue).
//
// The waits the protocol mandates are the camera's restart as a drive (from
// the start until the app has found the drive, which it logs), the check
// pause of size / 20,480 ms after the load (819 ms here) and the camera's
// return as a video device after `reset` (from the script's end until the app
// has found the camera again, both of which it logs). What is beyond them
// is our work: reading the file, the MD5, the transfer in chunks, the
// commands. Several rounds of each, alternating; min and median.
//
// Usage: bench_upgrade [rounds, default 3]

#include "device/uvcextensionunit.h"
#include "platform/kernel.h"
#include "sim/sim_camera.h"
#include "sim/kernel_from_environment.h"
#include "sim/sim_kernel.h"
#include "sim/sim_update_drive.h"
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
#include <vector>

namespace {

constexpr int kKernelBytes = 16 * 1024 * 1024;
constexpr double kCheckPauseMs = kKernelBytes / 20480;

QElapsedTimer g_clock;
std::atomic<qint64> g_driveFoundNs{-1};
std::atomic<qint64> g_scriptDoneNs{-1};
std::atomic<qint64> g_cameraBackNs{-1};

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

struct Run {
    bool ok = false;
    double totalMs = 0, restartMs = 0, returnMs = 0;
    double beyondMs() const { return totalMs - restartMs - returnMs - kCheckPauseMs; }
    double beyondPercent() const { return 100.0 * beyondMs() / totalMs; }
};

Run upgrade(const QString &workspace, bool fromCamera)
{
    auto sim = std::make_unique<lumora::sim::SimKernel>();
    if (fromCamera) {
        sim->plug(lumora::sim::makeCamera(camera()));
    } else {
        QJsonObject drive = camera();
        drive.insert("state", "uboot");
        drive.insert("camera", camera());
        sim->plug(lumora::sim::makeUpdateDrive(drive));
    }
    lumora::platform::installKernel(std::move(sim));
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
    lumora::upgrade::closeUpdateDrive();
    lumora::platform::installKernel(std::make_unique<lumora::sim::SimKernel>());
    return run;
}

template <class Get> std::pair<double, double> minMedian(const std::vector<Run> &runs, Get get)
{
    std::vector<double> v;
    for (const Run &r : runs)
        v.push_back(get(r));
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2]};
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("LUMORA_PLATFORM", "sim");
    qunsetenv("LUMORA_TRACE");
    QCoreApplication app(argc, argv);
    lumora::platform::installKernel(lumora::sim::kernelFromEnvironment());
    // The worker logs the state of the drive it found (the camera's restart
    // ends there), the script's end (the camera resets) and the camera's return.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        const auto mark = [&](std::atomic<qint64> &at, const char *prefix) {
            if (message.startsWith(QLatin1String(prefix)) && at.load() < 0)
                at = g_clock.nsecsElapsed();
        };
        mark(g_driveFoundNs, "device state:");
        mark(g_scriptDoneNs, "Upgrade seccess.");
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

    std::vector<Run> camera, rescue;
    for (int round = 0; round < rounds; ++round) {
        const bool cameraFirst = round % 2 == 0;
        for (int side = 0; side < 2; ++side) {
            const bool fromCamera = (side == 0) == cameraFirst;
            (fromCamera ? camera : rescue).push_back(upgrade(workspace.path(), fromCamera));
        }
    }
    std::printf("16 MiB kernel, %d rounds of each, alternating; check pause %.0f ms\n\n", rounds, kCheckPauseMs);
    std::printf("| path | all succeeded | total ms, median | camera restart ms, median | camera return ms, median | beyond the waits ms, min | median "
                "| beyond, %% of total, median |\n|---|---|---|---|---|---|---|---|\n");
    for (const auto &[name, runs] : {std::pair<const char *, std::vector<Run> *>{"from a working camera", &camera},
                                     {"from the boot loader (rescue)", &rescue}}) {
        const bool ok = std::all_of(runs->begin(), runs->end(), [](const Run &r) { return r.ok; });
        std::printf("| %s | %s | %.0f | %.0f | %.0f | %.1f | %.1f | %.1f %% |\n", name, ok ? "yes" : "no",
                    minMedian(*runs, [](const Run &r) { return r.totalMs; }).second,
                    minMedian(*runs, [](const Run &r) { return r.restartMs; }).second,
                    minMedian(*runs, [](const Run &r) { return r.returnMs; }).second,
                    minMedian(*runs, [](const Run &r) { return r.beyondMs(); }).first,
                    minMedian(*runs, [](const Run &r) { return r.beyondMs(); }).second,
                    minMedian(*runs, [](const Run &r) { return r.beyondPercent(); }).second);
    }
    std::printf("\nvalue upgrade_overhead_percent %.1f %%\n",
                minMedian(camera, [](const Run &r) { return r.beyondPercent(); }).second);
    return 0;
}
