// LABELS: worker
// A process that ends while a reader still streams from a simulated camera
// exits cleanly: the feed stops before Qt goes away.
#include "support/testsupport.h"

#include <QtTest>

class FeedExitTest : public QObject {
    Q_OBJECT
private slots:
    void exitWhileStreamingIsClean()
    {
        for (int run = 0; run < 20; ++run) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(LUMORA_FEED_EXIT_CHILD, QStringList());
            QVERIFY2(child.waitForFinished(deadlineMs(60000)), "the child did not exit");
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     qPrintable(QStringLiteral("run %1 ended with status %2, code %3")
                                    .arg(run).arg(child.exitStatus()).arg(child.exitCode())));
        }
    }
};

QTEST_GUILESS_MAIN(FeedExitTest)
#include "test_feed_exit.moc"
