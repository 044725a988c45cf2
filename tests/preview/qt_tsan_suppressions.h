#pragma once
// Qt 5's mutexes and queued-call machinery run on futexes that
// ThreadSanitizer cannot see, so a hand-over through a queued signal looks
// like a race to it. These entries cover Qt's own bookkeeping (posted
// events, connections, the pool that scales pictures) and the
// receivers whose only cross-thread input is the queued picture. Included
// once by each worker test of the preview.

extern "C" const char *__tsan_default_suppressions()
{
    return "race:libglib-2.0.so.0\n"
           "race:QObjectPrivate::ConnectionData::deleteOrphaned\n"
           "race:QCoreApplicationPrivate::sendPostedEvents\n"
           "race:QMetaType::destroy\n"
           "race:QWaitCondition::~QWaitCondition\n"
           "race:QTest::qRun\n"
           "race:QCoreApplication::removePostedEvents\n"
           "race:QCoreApplicationPrivate::cleanupThreadData\n"
           "race:QThreadPoolPrivate\n"
           "race:QRunnable::create\n"
           "race:PreviewSession::PreviewSession\n"
           "race:MainWindow::slotOnReader\n";
}
