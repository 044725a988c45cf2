// LABELS: worker
// One instance per session: a later claim hands over to the first, and a
// socket left by a killed run is replaced.
#include "gui/singleinstance.h"
#include "support/testsupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class TestSingleInstance : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void laterClaimHandsOver()
    {
        QTemporaryDir runtime;
        const QString path = runtime.filePath(QStringLiteral("instance"));
        SingleInstance first(path);
        QVERIFY(first.claim());
        QSignalSpy asked(&first, &SingleInstance::activationRequested);

        // The later launch is another process; here a thread, while this one serves.
        std::atomic<int> claimed{-1};
        std::thread later([&] {
            SingleInstance second(path);
            claimed = second.claim() ? 1 : 0;
        });
        QTRY_VERIFY_WITH_TIMEOUT(claimed.load() >= 0, deadlineMs(10000));
        later.join();
        QCOMPARE(claimed.load(), 0);
        QCOMPARE(asked.count(), 1);
    }

    void staleSocketIsReplaced_data()
    {
        QTest::addColumn<bool>("socket");
        QTest::newRow("socket nobody listens on") << true;
        QTest::newRow("plain file in its place") << false;
    }
    void staleSocketIsReplaced()
    {
        QFETCH(bool, socket);
        QTemporaryDir runtime;
        const QString path = runtime.filePath(QStringLiteral("instance"));
        if (socket) {
            // Bound and closed without unlinking: what a killed run leaves.
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const QByteArray name = QFile::encodeName(path);
            qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
            ::close(fd);
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::exists(path));
        SingleInstance next(path);
        QVERIFY(next.claim());

        std::atomic<int> claimed{-1};
        std::thread later([&] { claimed = SingleInstance(path).claim() ? 1 : 0; });
        QTRY_VERIFY_WITH_TIMEOUT(claimed.load() >= 0, deadlineMs(10000));
        later.join();
        QCOMPARE(claimed.load(), 0);
    }

    void sessionSocketLivesInTheRuntimeFolder()
    {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        QCOMPARE(SingleInstance::defaultSocketPath(), runtime.filePath(QStringLiteral("org.lumora.Lumora")));
        qunsetenv("XDG_RUNTIME_DIR");
        const QString fallback = SingleInstance::defaultSocketPath();
        QVERIFY(fallback.endsWith(QLatin1String("/org.lumora.Lumora")));
        const QFileInfo folder(QFileInfo(fallback).path());
        QCOMPARE(folder.ownerId(), ::getuid());
        QCOMPARE(folder.permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup | QFile::WriteGroup),
                 QFile::Permissions());
    }
};

QTEST_MAIN(TestSingleInstance)
#include "test_singleinstance.moc"
