// LABELS: worker
#include "core/log.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QDateTime kNow(QDate(2026, 3, 4), QTime(5, 6, 7, 89));

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(contents), qint64(contents.size()));
}

// Lines of a log file, without their "\r\n" ends.
QStringList logLines(const QString &path)
{
    QString text = QString::fromLocal8Bit(readAll(path));
    if (text.endsWith(QLatin1String("\r\n")))
        text.chop(2);
    return text.isEmpty() ? QStringList() : text.split(QStringLiteral("\r\n"));
}

// Standard error into a file for as long as it lives.
class StderrCapture {
public:
    explicit StderrCapture(const QString &path)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture()
    {
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }

private:
    int m_saved;
};

QString accountHome()
{
    const passwd *account = ::getpwuid(::getuid());
    return account ? QFile::decodeName(account->pw_dir) : QString();
}

const QString kStamp = QStringLiteral("\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] ");

} // namespace

class TestLog : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_log;
    QtMessageHandler m_testHandler = nullptr;

private Q_SLOTS:
    void init()
    {
        m_log = m_dir.filePath(QStringLiteral("run/vistrel.log"));
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        for (const QString &suffix : {QString(), QStringLiteral(".1"), QStringLiteral(".2")})
            QFile::remove(m_log + suffix);
        setLogFilePath(m_log);
        m_testHandler = qInstallMessageHandler(logMessageHandler);
    }
    void cleanup() { qInstallMessageHandler(m_testHandler); }

    void levelTags_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("fileLine");
        QTest::addColumn<QString>("debuggerLine");
        QTest::newRow("debug") << int(QtDebugMsg) << "[2026-03-04 05:06:07.089] -D- : hello" << " [Debug] hello";
        QTest::newRow("warning") << int(QtWarningMsg) << "[2026-03-04 05:06:07.089] -W- : hello" << " [Warning] hello";
        QTest::newRow("critical") << int(QtCriticalMsg) << "[2026-03-04 05:06:07.089] -C- : hello" << " [Critical] hello";
        QTest::newRow("fatal") << int(QtFatalMsg) << "[2026-03-04 05:06:07.089] -F- : hello" << " [Fatal] hello";
        QTest::newRow("info") << int(QtInfoMsg) << "[2026-03-04 05:06:07.089] -I- : hello" << " [Info] hello";
        QTest::newRow("other") << 42 << "[2026-03-04 05:06:07.089] -E- : hello" << " [Error] hello";
    }
    void levelTags()
    {
        QFETCH(int, type);
        QFETCH(QString, fileLine);
        QFETCH(QString, debuggerLine);
        const LogLines lines = formatLogLines(QtMsgType(type), QMessageLogContext(), QStringLiteral("hello"), kNow);
        QCOMPARE(lines.file, fileLine);
        QCOMPARE(lines.debugger, debuggerLine);
    }

    void contextLineForms_data()
    {
        QTest::addColumn<QByteArray>("function");
        QTest::addColumn<QString>("debuggerLine");
        QTest::newRow("qualified name") << QByteArray("void Camera::open(int, bool)") << "cam.cpp(1042): [Warning] <<Camera::open>> %1 x";
        QTest::newRow("no parameter list") << QByteArray("static initializer") << "cam.cpp(1042): [Warning] <<static initializer>> %1 x";
    }
    void contextLineForms()
    {
        QFETCH(QByteArray, function);
        QFETCH(QString, debuggerLine);
        const QMessageLogContext context("cam.cpp", 1042, function.constData(), nullptr);
        const LogLines lines = formatLogLines(QtWarningMsg, context, QStringLiteral("%1 x"), kNow);
        QCOMPARE(lines.file, QStringLiteral("[2026-03-04 05:06:07.089] -W-  cam.cpp(1042) <<%1>>: %2 x").arg(QString::fromUtf8(function), QStringLiteral("%1")));
        QCOMPARE(lines.debugger, debuggerLine);
    }

    void handlerWritesBothForms()
    {
        QMessageLogger().info("plain");
        QMessageLogger("cam.cpp", 7, "void Camera::open()").debug("with context");
        const QStringList lines = logLines(m_log);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(kStamp + "-I- : plain")).match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(kStamp + "-D-  cam.cpp\\(7\\) <<void Camera::open\\(\\)>>: with context")).match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    }

    void rotation_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("hasFirst");
        QTest::addColumn<bool>("rotates");
        // 5 MiB, written out: a wrong limit in the code must not move the rows with it.
        QTest::newRow("at the limit") << qint64(5242880) << true << false;
        QTest::newRow("one byte over") << qint64(5242881) << true << true;
        QTest::newRow("one byte over, no .1") << qint64(5242881) << false << true;
    }
    void rotation()
    {
        QFETCH(qint64, size);
        QFETCH(bool, hasFirst);
        QFETCH(bool, rotates);
        const QByteArray current(int(size), 'c');
        writeFile(m_log, current);
        if (hasFirst)
            writeFile(m_log + ".1", "older\r\n");
        writeFile(m_log + ".2", "oldest\r\n");

        QMessageLogger().info("next");

        const QByteArray expectedFirst = rotates ? current : QByteArray(hasFirst ? "older\r\n" : "");
        const QByteArray expectedSecond = rotates && hasFirst ? "older\r\n" : "oldest\r\n";
        QCOMPARE(readAll(m_log + ".1"), expectedFirst);
        QCOMPARE(readAll(m_log + ".2"), expectedSecond);
        const QByteArray log = readAll(m_log);
        QVERIFY(log.endsWith("-I- : next\r\n"));
        QCOMPARE(log.startsWith(current), !rotates);
    }

    void threadsLoseNoLineAcrossRotation()
    {
        // Close enough to the limit that the file rotates once while the threads write.
        writeFile(m_log, QByteArray(5242880 - 8000, 'c') + "\r\n");
        constexpr int kThreads = 4;
        constexpr int kLines = 400;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(QThread::create([t] {
                for (int i = 0; i < kLines; ++i)
                    QMessageLogger().info("worker %d line %d", t, i);
            }));
        }
        for (auto &thread : threads)
            thread->start();
        for (auto &thread : threads)
            QVERIFY(thread->wait(60000));

        QVERIFY(QFile::exists(m_log + ".1"));
        QVERIFY(!QFile::exists(m_log + ".2"));
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(kStamp + "-I- : worker (\\d) line (\\d+)"));
        QSet<QString> seen;
        for (const QString &line : logLines(m_log + ".1").mid(1) + logLines(m_log)) {
            const QRegularExpressionMatch match = pattern.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            seen.insert(match.captured(1) + '/' + match.captured(2));
        }
        QCOMPARE(seen.size(), kThreads * kLines);
    }

    void resolveUserFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("isDirectory");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("created");
        QTest::newRow("home file") << "~/.vistrel/vistrel.log" << false << "HOME/.vistrel/vistrel.log" << true;
        QTest::newRow("backslashes") << "~/a\\b\\c.log" << false << "HOME/a/b/c.log" << true;
        QTest::newRow("directory is not created") << "~/d\\e" << true << "HOME/d/e" << false;
        QTest::newRow("tilde only at the start") << "x/~/f.log" << false << "x/~/f.log" << true;
    }
    void resolveUserFile()
    {
        QFETCH(QString, path);
        QFETCH(bool, isDirectory);
        QFETCH(QString, expected);
        QFETCH(bool, created);
        QTemporaryDir home;
        qputenv("HOME", QFile::encodeName(home.path()));
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(home.path());
        expected.replace(QLatin1String("HOME"), home.path());
        const QString resolved = ::resolveUserFile(path, isDirectory, "first");
        QDir::setCurrent(cwd);
        QCOMPARE(resolved, expected);
        QCOMPARE(QFile::exists(QDir(home.path()).absoluteFilePath(resolved)), created);
        if (created)
            QCOMPARE(readAll(QDir(home.path()).absoluteFilePath(resolved)), QByteArray("first"));
    }

    void resolveUserFileKeepsExistingFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("kept.txt"));
        writeFile(path, "mine");
        QCOMPARE(::resolveUserFile(path, false, "new"), path);
        QCOMPARE(readAll(path), QByteArray("mine"));
    }

    void resolveUserFileWarnsWhenFolderCannotBeMade()
    {
        const QString blocker = m_dir.filePath(QStringLiteral("blocker"));
        writeFile(blocker, "a file where a folder should be");
        qInstallMessageHandler(m_testHandler);
        QTest::ignoreMessage(QtWarningMsg, qPrintable("Error, cannot create dir " + blocker + "/sub"));
        ::resolveUserFile(blocker + "/sub/x.log", false, QByteArray());
    }

    // What may sit where the log file should be. Nothing outside the log folder
    // changes, nothing blocks, and a refusal is one warning for the whole run.
    void logPath_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("warning"); // empty: the file is used
        QTest::newRow("regular file") << "file" << "";
        QTest::newRow("missing file") << "none" << "";
        QTest::newRow("symlink") << "symlink" << "it is a symbolic link";
        QTest::newRow("dangling symlink") << "dangling" << "it is a symbolic link";
        QTest::newRow("fifo without reader") << "fifo" << "No such device or address";
        QTest::newRow("fifo with reader") << "fifo-reader" << "it is not a regular file";
        QTest::newRow("directory") << "directory" << "Is a directory";
        QTest::newRow("device") << "device" << "it is not a regular file";
        QTest::newRow("unwritable folder") << "readonly" << "Permission denied";
        QTest::newRow("a file where the folder should be") << "blocked" << "Not a directory";
    }
    void logPath()
    {
        QFETCH(QString, kind);
        QFETCH(QString, warning);
        QTemporaryDir root;
        const QString folder = root.filePath("log");
        const QString outside = root.filePath("outside");
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(outside));
        const QString target = outside + "/target.txt";
        QString path = folder + "/vistrel.log";
        int reader = -1;
        if (kind == "file") {
            writeFile(path, "before\r\n");
        } else if (kind == "symlink") {
            writeFile(target, "theirs");
            QVERIFY(QFile::link(target, path));
        } else if (kind == "dangling") {
            QVERIFY(QFile::link(target, path));
        } else if (kind.startsWith("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            if (kind == "fifo-reader")
                reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
        } else if (kind == "directory") {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == "device") {
            path = QStringLiteral("/dev/null");
        } else if (kind == "blocked") {
            writeFile(folder + "/file", "a file");
            path = folder + "/file/vistrel.log";
        } else if (kind == "readonly") {
            if (::geteuid() == 0)
                QSKIP("root writes into any folder");
            QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }

        const QString captured = root.filePath("stderr.txt");
        {
            StderrCapture capture(captured);
            setLogFilePath(path);
            for (int i = 0; i < 3; ++i)
                QMessageLogger().info("line %d", i);
        }
        if (reader >= 0) {
            char byte;
            QVERIFY(::read(reader, &byte, 1) <= 0); // nothing went into the pipe
            ::close(reader);
        }
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        const QStringList warnings = QString::fromLocal8Bit(readAll(captured)).split('\n').filter("not used");
        if (warning.isEmpty()) {
            QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
            QCOMPARE(logLines(path).filter(QRegularExpression("-I- : line \\d")).size(), 3);
        } else {
            QCOMPARE(warnings.size(), 1);
            QVERIFY2(warnings.at(0).contains(warning) && warnings.at(0).contains(path), qPrintable(warnings.at(0)));
        }
        const QStringList expectedOutside = kind == "symlink" ? QStringList{"target.txt"} : QStringList();
        QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), expectedOutside);
        if (kind == "symlink")
            QCOMPARE(readAll(target), QByteArray("theirs"));
    }

    // Another path given later is tried afresh.
    void refusalLastsUntilAnotherPath()
    {
        QTemporaryDir root;
        const QString fifo = root.filePath("fifo.log");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        {
            StderrCapture capture(root.filePath("stderr.txt"));
            setLogFilePath(fifo);
            QMessageLogger().info("lost");
        }
        const QString good = root.filePath("good.log");
        setLogFilePath(good);
        QMessageLogger().info("kept");
        QCOMPARE(logLines(good).size(), 1);
    }

    void startLoggingMakesAPrivateFolder()
    {
        QTemporaryDir home;
        qputenv("HOME", QFile::encodeName(home.path()));
        setLogFilePath(QLatin1String(kDefaultLogFilePath));
        startLogging();
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(home.path() + "/.vistrel").constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0700));
        QCOMPARE(::stat(QFile::encodeName(home.path() + "/.vistrel/vistrel.log").constData(), &info), 0);
        QVERIFY(S_ISREG(info.st_mode));
    }

    // Without a usable HOME the account's home is used, never the filesystem root.
    void homeFromTheAccount_data()
    {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QByteArray>("home");
        QTest::newRow("unset") << false << QByteArray();
        QTest::newRow("empty") << true << QByteArray();
        QTest::newRow("relative") << true << QByteArray("relative/home");
    }
    void homeFromTheAccount()
    {
        QFETCH(bool, set);
        QFETCH(QByteArray, home);
        const QByteArray saved = qgetenv("HOME");
        if (set)
            qputenv("HOME", home);
        else
            qunsetenv("HOME");
        const QString resolved = ::resolveUserFile(QLatin1String(kDefaultLogFilePath), true, QByteArray());
        qputenv("HOME", saved);
        QVERIFY(!accountHome().isEmpty());
        QCOMPARE(resolved, QDir::cleanPath(accountHome()) + "/.vistrel/vistrel.log");
    }

    void bannerComesFirstAndRunsAppend()
    {
        QTemporaryDir home;
        qputenv("HOME", QFile::encodeName(home.path()));
        setLogFilePath(QLatin1String(kDefaultLogFilePath));
        startLogging();
        QMessageLogger().info("window line");
        startLogging();

        const QString path = home.path() + "/.vistrel/vistrel.log";
        QCOMPARE(LogFilePath(), path);
        const QStringList lines = logLines(path);
        const QString rule(51, '-');
        const QStringList banner{rule, "- System Start!", rule};
        const QStringList expected = banner + QStringList{"window line"} + banner;
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QRegularExpression pattern(QRegularExpression::anchoredPattern(kStamp + "-I- : " + QRegularExpression::escape(expected.at(i))));
            QVERIFY2(pattern.match(lines.at(i)).hasMatch(), qPrintable(lines.at(i)));
        }
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "test_log.moc"
