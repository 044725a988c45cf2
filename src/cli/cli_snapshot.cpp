#include "cli/cli_snapshot.h"

#include "camera/snapshot.h"
#include "cli/cli_output.h"
#include "preview/videostreamthread.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace {

constexpr int kFrameWaitMs = 15000;

} // namespace

int snapshotCommand(CameraSession &session, const QString &file, bool json)
{
    const QString path = file.isEmpty() ? lumora::camera::defaultSnapshotPath(shortDeviceName(session.info().friendlyName))
                                        : file;
    QThread thread;
    auto *worker = new VideoStreamThread(session.listed().node);
    worker->setShownSize(QSize(640, 360));
    worker->requestFullFrame();
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, worker, &VideoStreamThread::start);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);

    QEventLoop loop;
    QImage frame;
    bool busy = false;
    QObject::connect(worker, &VideoStreamThread::onFullFrame, &loop, [&](const QImage &image) {
        frame = image;
        loop.quit();
    });
    QObject::connect(worker, &VideoStreamThread::cameraBusy, &loop, [&] {
        busy = true;
        loop.quit();
    });
    QTimer::singleShot(kFrameWaitMs, &loop, &QEventLoop::quit);
    thread.start();
    loop.exec();
    worker->stop();
    thread.quit();
    thread.wait();

    if (busy)
        return fail(ExitFailure, QStringLiteral("another application is streaming from %1").arg(session.listed().node));
    if (frame.isNull())
        return session.present() ? fail(ExitFailure, QStringLiteral("no picture came from %1").arg(session.listed().node))
                                 : fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    QString error;
    if (!lumora::camera::saveSnapshot(frame, path, &error))
        return fail(ExitFailure, error);
    if (json)
        printJson({{QStringLiteral("file"), path}, {QStringLiteral("width"), frame.width()}, {QStringLiteral("height"), frame.height()}});
    else
        printLine(QStringLiteral("saved %1 (%2x%3)").arg(path).arg(frame.width()).arg(frame.height()));
    return ExitOk;
}
