#pragma once
// A preview worker on its own thread, wired as the window wires it, with a
// receiver on the test's (GUI) thread that records what arrives.

#include "preview/videostreamthread.h"

#include <QImage>
#include <QStringList>
#include <QThread>

#include <QtTest>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <utility>
#include "support/testsupport.h"

class PreviewSession : public QObject {
public:
    explicit PreviewSession(const QString &alias)
    {
        m_worker = new VideoStreamThread(alias);
        m_worker->moveToThread(&m_thread);
        connect(&m_thread, &QThread::started, m_worker, &VideoStreamThread::start);
        connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
        connect(m_worker, &VideoStreamThread::workFinished, m_worker, &QObject::deleteLater);
        connect(m_worker, &VideoStreamThread::workStart, m_worker, [this] {
            clockid_t clock;
            if (pthread_getcpuclockid(pthread_self(), &clock) == 0)
                m_cpuClock = clock;
        }, Qt::DirectConnection);
        connect(m_worker, &QObject::destroyed, m_worker, [this] { workerDeleted = true; }, Qt::DirectConnection);
        connect(m_worker, &VideoStreamThread::workStart, this, [this] { started = true; });
        connect(m_worker, &VideoStreamThread::workFinished, this, [this] { finished = true; });
        connect(m_worker, &VideoStreamThread::onReader, this, [this](const QImage &image) {
            onGuiThread = onGuiThread && QThread::currentThread() == thread();
            picturesAfterFinish += finished ? 1 : 0;
            last = image;
            ++pictures;
        });
        connect(m_worker, &VideoStreamThread::onFullFrame, this, [this](const QImage &image) { lastFull = image; });
        m_thread.start();
    }

    ~PreviewSession() override { shutDown(); }

    // The worker may delete itself once stopped, so it is stopped only once.
    void stop()
    {
        if (!std::exchange(m_stopCalled, true))
            m_worker->stop();
    }

    // The window's stop sequence. A worker that does not end within its
    // deadline stops the test run at once, saying so, rather than hanging it
    // until CTest's limit (its thread cannot be destroyed while it runs).
    void shutDown()
    {
        stop();
        m_thread.quit();
        if (m_thread.wait(kStopDeadlineMs))
            return;
        // Written straight to stderr: the test log's buffer is lost with the abort.
        std::fprintf(stderr, "FAIL!  : %s(%s) the preview worker did not end within %d ms of stop()\n",
                     QTest::currentTestFunction(), QTest::currentDataTag() ? QTest::currentDataTag() : "",
                     kStopDeadlineMs);
        std::fflush(stderr);
        qFatal("the preview worker did not end within %d ms of stop()", kStopDeadlineMs);
    }

    static inline const int kStopDeadlineMs = deadlineMs(10000);

    QThread &workerThread() { return m_thread; }
    // Valid until the session stops it.
    VideoStreamThread *worker() const { return m_worker; }

    // CPU time the worker thread has used so far, in milliseconds.
    double cpuMs() const
    {
        timespec t{};
        if (m_cpuClock.load() < 0 || clock_gettime(m_cpuClock.load(), &t) != 0)
            return -1;
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    }

    std::atomic<bool> workerDeleted{false};
    bool started = false;
    int pictures = 0;
    int picturesAfterFinish = 0;
    bool finished = false;
    bool onGuiThread = true;
    QImage last;
    QImage lastFull;

private:
    QThread m_thread;
    VideoStreamThread *m_worker = nullptr;
    bool m_stopCalled = false;
    std::atomic<clockid_t> m_cpuClock{-1};
};
