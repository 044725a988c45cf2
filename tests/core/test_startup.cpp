#include "core/settingsfiles.h"
#include "gui/startup.h"
#include "support/testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QDir>
#include <QFontInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

constexpr uint kNobody = 65534;
const int kStartMs = deadlineMs(30000);

// The built app copied into a folder of its own and run there, offscreen on
// the simulated kernel, with a home and a runtime folder of its own. Its log
// lines are read from standard error, where they are echoed.
class App {
public:
    App(const QString &installFolder, const QString &home, const QString &runtime)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(home);
        m_path = installFolder + QStringLiteral("/lumora");
    }
    ~App()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // As an ordinary user: the test may run as root, who can write anywhere.
    void start(bool asOrdinaryUser)
    {
        if (asOrdinaryUser && ::getuid() == 0)
            m_process.start(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups", m_path});
        else
            m_process.start(m_path);
    }
    QString output()
    {
        m_output += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_output;
    }
    bool waitForLine(const QString &text)
    {
        QElapsedTimer clock;
        clock.start();
        while (!output().contains(text)) {
            if (clock.elapsed() > kStartMs || m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(deadlineMs(100));
        }
        return true;
    }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QString m_path;
    QString m_output;
};

// A folder an ordinary user may use.
void giveAway(const QString &folder)
{
    if (::getuid() == 0)
        QVERIFY(::chown(QFile::encodeName(folder).constData(), kNobody, kNobody) == 0);
}

// Executable folders the user can or cannot write, with or without a product.ini in them.
void addSettingsFolderRows()
{
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("preset");
    QTest::newRow("writable folder, no product.ini") << true << false;
    QTest::newRow("writable folder, product.ini") << true << true;
    QTest::newRow("read-only folder, no product.ini") << false << false;
    QTest::newRow("read-only folder, preset product.ini") << false << true;
}

QVariantMap readIni(const QString &path)
{
    QVariantMap values;
    const QSettings settings(path, QSettings::IniFormat);
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
    return values;
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // "Segoe UI" is kept as the family; where it is missing an open sans-serif draws it.
    void fontFallsBackToOpenSans()
    {
        applyApplicationLook();
        QCOMPARE(QApplication::font().family(), QStringLiteral("Segoe UI"));
        QCOMPARE(QApplication::font().pointSize(), 12);
        const QString drawn = QFontInfo(QApplication::font()).family();
        QVERIFY2(QStringList({"Segoe UI", "Noto Sans", "DejaVu Sans"}).contains(drawn), qPrintable(drawn));
    }

    void entersExecutableDirectory()
    {
        QTemporaryDir elsewhere;
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        QVERIFY(enterExecutableDirectory());
        QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
    }

    // "/style/index" is read from the preset until the user's own file has it.
    void settingsFilesTable_data()
    {
        addSettingsFolderRows();
    }
    void settingsFilesTable()
    {
        QFETCH(bool, writable);
        QFETCH(bool, preset);
        QTemporaryDir install, config;
        const QString beside = install.filePath(QStringLiteral("product.ini"));
        if (preset)
            QSettings(beside, QSettings::IniFormat).setValue(QStringLiteral("/style/index"), 1);
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        const SettingsFiles files = settingsFiles(install.path(), writable);
        const QString user = config.filePath(QStringLiteral("lumora/product.ini"));
        QCOMPARE(files.file, writable ? beside : user);
        QCOMPARE(files.preset, !writable && preset ? beside : QString());
        // A relative XDG_CONFIG_HOME is ignored, as the base directory specification says.
        qputenv("XDG_CONFIG_HOME", "relative/folder");
        QCOMPARE(settingsFiles(install.path(), false).file, QDir::homePath() + "/.config/lumora/product.ini");
        qunsetenv("XDG_CONFIG_HOME");
    }

    // The installed app in a folder it may or may not write, with or without a
    // packager's product.ini there: where it reads and writes its settings,
    // and that theme and geometry come back after a SIGTERM and a restart.
    void settingsSurviveSignalAndRestart_data()
    {
        addSettingsFolderRows();
    }
    void settingsSurviveSignalAndRestart()
    {
        QFETCH(bool, writable);
        QFETCH(bool, preset);
        QTemporaryDir install, home, runtime;
        giveAway(home.path());
        giveAway(runtime.path());
        QVERIFY(QFile::copy(QStringLiteral(LUMORA_APP_PATH), install.filePath(QStringLiteral("lumora"))));
        const QString beside = install.filePath(QStringLiteral("product.ini"));
        if (preset) {
            QSettings settings(beside, QSettings::IniFormat);
            settings.setValue(QStringLiteral("/product_model/main"), 1);
            settings.setValue(QStringLiteral("/style/index"), 1);
        }
        // Root-owned and read-only for the user, as under /usr/bin; or the user's own.
        const auto lock = [&install](bool locked) {
            const QFile::Permissions everyone = QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
            const bool byMode = locked && ::getuid() != 0; // root needs another user to be kept out
            QFile::setPermissions(install.path(), everyone | QFile::ReadOwner | QFile::ExeOwner
                                                      | (byMode ? QFile::Permissions() : QFile::WriteOwner));
        };
        lock(!writable);
        if (writable)
            giveAway(install.path());
        if (writable && preset)
            giveAway(beside);
        const QString written = writable ? beside : home.filePath(QStringLiteral(".config/lumora/product.ini"));
        const QVariantMap presetBefore = readIni(beside);

        App first(install.path(), home.path(), runtime.path());
        first.start(true);
        QVERIFY2(first.waitForLine(QStringLiteral("credit manufacturer:")), qPrintable(first.output()));
        QVERIFY2(first.output().contains("settings file: " + written), qPrintable(first.output()));
        QCOMPARE(first.output().contains("with defaults from " + beside), !writable && preset);
        QVERIFY(first.output().contains(preset ? "credit manufacturer: Orvanta" : "credit manufacturer: QX"));
        ::kill(pid_t(first.process().processId()), SIGTERM);
        QVERIFY(first.process().waitForFinished(deadlineMs(5000)));
        QCOMPARE(first.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.process().exitCode(), 0);
        QVERIFY2(first.output().contains("SIGTERM received: closing"), qPrintable(first.output()));
        QVERIFY(!first.output().contains("save window settings failed"));

        const QVariantMap saved = readIni(written);
        QVERIFY2(saved.value("window/width").toInt() > 0, qPrintable(written));
        QCOMPARE(saved.value("style/index").toInt(), preset ? 1 : 0);
        if (!writable)
            QCOMPARE(readIni(beside), presetBefore); // the preset is never written
        // The user's own values win over a preset changed since.
        if (!writable && preset) {
            lock(false);
            QSettings(beside, QSettings::IniFormat).setValue(QStringLiteral("/style/index"), 0);
            lock(true);
        }

        App second(install.path(), home.path(), runtime.path());
        second.start(true);
        QVERIFY2(second.waitForLine(QStringLiteral("pre ui style:")), qPrintable(second.output()));
        const QString position = QStringLiteral("pre main window pos: %1 %2 %3 %4")
                                     .arg(saved.value("window/left").toInt()).arg(saved.value("window/top").toInt())
                                     .arg(saved.value("window/width").toInt()).arg(saved.value("window/height").toInt());
        QVERIFY2(second.output().contains(position), qPrintable(second.output()));
        QVERIFY(second.output().contains(QStringLiteral("pre ui style: %1").arg(preset ? 1 : 0)));
        second.process().terminate();
        QVERIFY(second.process().waitForFinished(deadlineMs(5000)));
        lock(false);
    }

    // A second launch shows the first one's window and exits; a socket a
    // killed run left behind does not stop the next start.
    void oneInstance()
    {
        QTemporaryDir install, home, runtime;
        QVERIFY(QFile::copy(QStringLiteral(LUMORA_APP_PATH), install.filePath(QStringLiteral("lumora"))));
        App first(install.path(), home.path(), runtime.path());
        first.start(false);
        QVERIFY2(first.waitForLine(QStringLiteral("credit manufacturer:")), qPrintable(first.output()));

        App second(install.path(), home.path(), runtime.path());
        second.start(false);
        QVERIFY(second.process().waitForFinished(deadlineMs(10000)));
        QCOMPARE(second.process().exitCode(), 0);
        QVERIFY2(second.output().contains("Lumora already runs"), qPrintable(second.output()));
        QVERIFY(!second.output().contains("System Start!"));
        QVERIFY(first.waitForLine(QStringLiteral("another launch asked for the window")));

        // Killed: its socket stays behind.
        first.process().kill();
        QVERIFY(first.process().waitForFinished(deadlineMs(5000)));
        QVERIFY(QFileInfo::exists(runtime.filePath(QLatin1String(kApplicationId))));
        App third(install.path(), home.path(), runtime.path());
        third.start(false);
        QVERIFY2(third.waitForLine(QStringLiteral("credit manufacturer:")), qPrintable(third.output()));
        third.process().terminate();
        QVERIFY(third.process().waitForFinished(deadlineMs(5000)));
        QCOMPARE(third.process().exitCode(), 0);
    }

    void desktopEntryName()
    {
        applyApplicationLook();
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("org.lumora.Lumora"));
    }

    // The app started from another folder, with arguments it ignores, writes
    // the banner first and reads the settings file beside its executable.
    void appStartsFromAnotherFolder()
    {
        QTemporaryDir install;
        QTemporaryDir home;
        QTemporaryDir elsewhere;
        QTemporaryDir runtime;
        const QString app = install.filePath(QStringLiteral("lumora"));
        QVERIFY(QFile::copy(QStringLiteral(LUMORA_APP_PATH), app));
        QSettings(install.filePath(QStringLiteral("product.ini")), QSettings::IniFormat)
            .setValue(QStringLiteral("/product_model/main"), 1);

        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        // A session of its own: another Lumora running would take this launch over.
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(elsewhere.path());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(app, {QStringLiteral("--unknown-option"), QStringLiteral("file.txt")});
        QVERIFY(process.waitForStarted());

        const QString log = home.filePath(QStringLiteral(".vistrel/vistrel.log"));
        QTRY_VERIFY_WITH_TIMEOUT(readLines(log).join('\n').contains(QStringLiteral("credit manufacturer: Orvanta")), deadlineMs(30000));
        process.terminate();
        QVERIFY(process.waitForFinished(deadlineMs(10000)));

        const QStringList lines = readLines(log);
        const QString rule(51, '-');
        const QStringList banner{rule, QStringLiteral("- System Start!"), rule};
        for (int i = 0; i < banner.size(); ++i) {
            const QRegularExpression pattern(QRegularExpression::anchoredPattern(
                QStringLiteral("\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] -I- : ") + banner.at(i)));
            QVERIFY2(pattern.match(lines.value(i)).hasMatch(), qPrintable(lines.value(i)));
        }
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
