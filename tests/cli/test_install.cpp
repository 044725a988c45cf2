// An install into a temporary prefix: every file in place, the desktop entry
// and the AppStream data valid, and the menu entry's command starts the app.

#include "support/testsupport.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Runs a tool to its end; its exit code, -1 when it did not finish.
int runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(deadlineMs(120000)) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix;

    QString installed(const QString &relative) const { return m_prefix.filePath(relative); }

private Q_SLOTS:
    void initTestCase()
    {
        QByteArray output;
        QCOMPARE(runTool(LUMORA_CMAKE, {"--install", LUMORA_BUILD_DIR, "--prefix", m_prefix.path()}, &output), 0);
    }

    void filesInPlace_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *path : {"bin/lumora", "bin/lumora-cli", "share/applications/org.lumora.Lumora.desktop",
                                 "share/metainfo/org.lumora.Lumora.metainfo.xml", "share/man/man1/lumora.1.gz", "share/man/man1/lumora-cli.1.gz",
                                 "share/icons/hicolor/48x48/apps/org.lumora.Lumora.png",
                                 "share/icons/hicolor/256x256/apps/org.lumora.Lumora.png",
                                 "share/icons/hicolor/scalable/apps/org.lumora.Lumora.svg", "lib/udev/rules.d/70-lumora.rules",
                                 "lib/systemd/user/lumora-restore.service", "lib/systemd/user/lumora-metrics.service",
                                 "lib/systemd/user/lumora-metrics.timer"})
            QTest::newRow(path) << QString::fromLatin1(path);
    }
    void filesInPlace()
    {
        QFETCH(QString, path);
        QVERIFY2(QFileInfo::exists(installed(path)), qPrintable(path));
    }

    void validators_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("desktop entry") << "desktop-file-validate" << QStringList{"share/applications/org.lumora.Lumora.desktop"};
        QTest::newRow("AppStream") << "appstreamcli" << QStringList{"validate", "--no-net", "share/metainfo/org.lumora.Lumora.metainfo.xml"};
    }
    void validators()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, arguments);
        const QString program = QStandardPaths::findExecutable(tool);
        if (program.isEmpty())
            QSKIP(qPrintable(tool + " is not installed (scripts/deps.sh installs it)"));
        arguments.last() = installed(arguments.last());
        QByteArray output;
        QVERIFY2(runTool(program, arguments, &output) == 0, output.constData());
    }

    void restoreServiceRunsTheInstalledTool()
    {
        const QSettings unit(installed("lib/systemd/user/lumora-restore.service"), QSettings::IniFormat);
        QCOMPARE(unit.value("Service/ExecStart").toString(), installed("bin/lumora-cli") + " restore --watch");
        QCOMPARE(unit.value("Install/WantedBy").toString(), QString("default.target"));
    }

    // The timer's service, run as systemd would run it: the metrics land whole
    // under their final name, with no temporary file left beside them.
    void metricsServiceWritesAtomically()
    {
        const QSettings timer(installed("lib/systemd/user/lumora-metrics.timer"), QSettings::IniFormat);
        QCOMPARE(timer.value("Timer/OnUnitActiveSec").toString(), QString("1min"));
        QCOMPARE(timer.value("Install/WantedBy").toString(), QString("timers.target"));

        QFile unit(installed("lib/systemd/user/lumora-metrics.service"));
        QVERIFY(unit.open(QIODevice::ReadOnly));
        QString command;
        for (const QByteArray &line : unit.readAll().split('\n'))
            if (line.startsWith("ExecStart="))
                command = QString::fromUtf8(line.mid(int(qstrlen("ExecStart="))));
        // systemd's own escapes: "$$" is a dollar for the shell; the script is the quoted word.
        const QString prefix = "/bin/sh -ec '";
        QVERIFY2(command.startsWith(prefix) && command.endsWith('\''), qPrintable(command));
        const QString script = command.mid(prefix.size()).chopped(1).replace("$$", "$");

        QTemporaryDir folder;
        QProcess service;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LUMORA_TEXTFILE_DIR", folder.filePath("textfile"));
        service.setProcessEnvironment(environment);
        service.start("/bin/sh", {"-ec", script});
        QVERIFY(service.waitForFinished(deadlineMs(60000)));
        QVERIFY2(service.exitCode() == 0, service.readAllStandardError().constData());
        QCOMPARE(QDir(folder.filePath("textfile")).entryList(QDir::Files | QDir::Hidden), QStringList{"lumora.prom"});
        QFile written(folder.filePath("textfile/lumora.prom"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray metrics = written.readAll();
        QVERIFY2(metrics.startsWith("# HELP lumora_cameras ") && metrics.contains("\nlumora_ready "), metrics.constData());
        QCOMPARE(written.permissions() & QFile::ReadOther, QFile::ReadOther);
    }

    void menuEntryStartsTheApp()
    {
        const QSettings entry(installed("share/applications/org.lumora.Lumora.desktop"), QSettings::IniFormat);
        const QString command = entry.value("Desktop Entry/Exec").toString();
        QCOMPARE(command, installed("bin/lumora"));

        QTemporaryDir home, runtime;
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        // A session of its own: another Lumora running would take this launch over.
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(command, QStringList());
        QVERIFY(app.waitForStarted());
        const auto started = [&home] {
            QFile log(home.filePath(".vistrel/vistrel.log"));
            return log.open(QIODevice::ReadOnly) && log.readAll().contains("- System Start!");
        };
        QTRY_VERIFY_WITH_TIMEOUT(started(), deadlineMs(30000));
        app.terminate();
        QVERIFY(app.waitForFinished(deadlineMs(10000)));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "test_install.moc"
