#pragma once
// Runs a worker (start/workFinished shape) on a thread of its own: the thread's
// start runs the worker, the worker deletes itself when finished, its
// destruction ends the thread, and the thread deletes itself when it ends.

#include <QThread>

namespace lumora::upgrade {

template <class Worker>
QThread *startOnOwnThread(Worker *worker)
{
    auto *thread = new QThread;
    worker->moveToThread(thread);
    QObject::connect(thread, &QThread::started, worker, &Worker::start);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    QObject::connect(worker, &Worker::workFinished, worker, &QObject::deleteLater);
    // Direct: quit() is thread-safe, and someone waiting for the thread on the
    // GUI thread must not need that thread's event loop to end it.
    QObject::connect(worker, &QObject::destroyed, thread, &QThread::quit, Qt::DirectConnection);
    thread->start(QThread::InheritPriority);
    return thread;
}

} // namespace lumora::upgrade
