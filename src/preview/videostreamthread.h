#pragma once
// The live-preview worker: opens a camera's capture input, decodes every frame
// and hands each picture to the window as a QImage (pixmaps belong to the GUI
// thread). Lives on a thread of its own; stop() may be called from any thread.

#include "platform/kernel.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

struct AVFrame;

class VideoStreamThread : public QObject {
    Q_OBJECT

public:
    explicit VideoStreamThread(QString alias, QObject *parent = nullptr);
    ~VideoStreamThread() override;

    bool isRunning() const;

Q_SIGNALS:
    // The loop ended after a stop and everything was released.
    void workFinished();
    // The loop is about to open the input.
    void workStart();
    // One picture at the camera's own size. At most one is undelivered at a
    // time: frames decoded meanwhile are dropped, so a slow receiver always
    // gets a recent picture and nothing piles up.
    void onReader(QImage image);
    // Another application streams from the camera (EBUSY): the other
    // processes that have its node open, empty when none can be seen.
    void cameraBusy(QVector<lumora::platform::NodeHolder> holders);

public Q_SLOTS:
    void start();
    void doWork();
    void stop();

private:
    struct Stream;
    enum class Outcome { Opened, Stopped, Failed, Busy };

    Outcome open(Stream &stream);
    // Whether another process owns the node's streaming right.
    bool streamingTaken() const;
    Outcome busy();
    Outcome stream(Stream &stream);
    void deliver(const AVFrame *frame, Stream &stream);
    // Waits a few milliseconds, or less when stop() comes first.
    void pause();
    static int interrupted(void *running);

    // The running flag lives apart from the worker: once stop() has cleared
    // it the worker may finish and delete itself while stop() still returns.
    struct RunState {
        std::mutex m_mutex;
        std::condition_variable m_stopRequested;
        std::atomic<bool> m_isRunning{false};
        bool m_isStopped = false; // guarded by m_mutex; a stop before start() wins
    };
    const std::shared_ptr<RunState> m_state;
    QString m_CameraName;
    // Set while a picture waits in the receiver's event queue.
    std::shared_ptr<std::atomic<bool>> m_pictureInFlight;
};
