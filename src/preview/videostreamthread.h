#pragma once
// The live-preview worker: opens a camera's capture input, decodes frames at
// the size they are shown and hands each picture to the window as a QImage
// (pixmaps belong to the GUI thread). Lives on a thread of its own; stop(),
// setShownSize() and requestFullFrame() may be called from any thread.

#include "platform/kernel.h"

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QVector>

#include <atomic>
#include <memory>
#include <mutex>

class VideoStreamThread : public QObject {
    Q_OBJECT

public:
    explicit VideoStreamThread(QString alias, QObject *parent = nullptr);
    ~VideoStreamThread() override;

    bool isRunning() const;

    // The area the pictures are shown in. Frames are decoded at the smallest
    // scale that covers it and scaled to PreviewDecoder::shownSize(); an
    // empty size means the camera's own size.
    void setShownSize(QSize area);
    // The next frame also goes out at full resolution, through onFullFrame.
    void requestFullFrame();

Q_SIGNALS:
    // The loop ended after a stop and everything was released.
    void workFinished();
    // The loop is about to open the input.
    void workStart();
    // One picture at the shown size. At most one is undelivered at a time:
    // frames read meanwhile are dropped undecoded, so a slow receiver always
    // gets a recent picture and nothing piles up. The image's text "frame"
    // counts the frames read from the input, from 1.
    void onReader(QImage image);
    // A frame at the camera's own size, after requestFullFrame().
    void onFullFrame(QImage image);
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
    Outcome busy();
    Outcome stream(Stream &stream);
    // False when the packet is no picture that can be decoded.
    bool deliverPacket(Stream &stream);
    bool deliverFrames(Stream &stream);
    void emitPicture(QImage image, Stream &stream, bool full);
    QSize shownSize() const;

    // The running flag lives apart from the worker: once stop() has cleared
    // it the worker may finish and delete itself while stop() still returns.
    struct RunState {
        std::mutex m_mutex;
        std::atomic<bool> m_isRunning{false};
        bool m_isStopped = false; // guarded by m_mutex; a stop before start() wins
        // Width in the high half, height in the low half.
        std::atomic<quint64> m_shownSize{0};
        std::atomic<bool> m_fullFrameRequested{false};
    };
    const std::shared_ptr<RunState> m_state;
    QString m_CameraName;
    // Set while a picture waits in the receiver's event queue.
    std::shared_ptr<std::atomic<bool>> m_pictureInFlight;
};
