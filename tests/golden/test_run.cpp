// One scripted run of both front ends on the simulated kernel, held against
// recorded outputs: every command's stdout, stderr and exit code, the log, the
// wire trace and product.ini. Only what changes from run to run is masked:
// timestamps, the run's own folder, and in the log how many rounds a wait
// for a returning camera took.
//
// LUMORA_GOLDEN_RECORD=1 writes the outputs into tests/golden/expected
// instead of comparing (scripts/golden-record.sh does that).

#include "upgrade/zipwriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

struct Step {
    QString scenario;   // file under tests/golden
    QStringList arguments;
};

// The commands, in order: a camera of each profile and an update drive left in
// its u-Boot state; the upgrade without the second camera, so the rounds of
// the wait for the camera's return log alike; then a drive alone for the rescue.
const QVector<Step> &steps()
{
    static const QVector<Step> table{
        {"scenario.json", {"--version"}},
        {"scenario.json", {"--help"}},
        {"scenario.json", {"get", "--help"}},
        {"scenario.json", {}},
        {"scenario.json", {"frobnicate"}},
        {"scenario.json", {"list", "--bogus"}},
        {"scenario.json", {"list", "-c", "x y"}},
        {"scenario.json", {"list"}},
        {"scenario.json", {"list", "--json"}},
        {"scenario.json", {"--profile", "0", "list"}},
        {"scenario.json", {"info"}},
        {"scenario.json", {"info", "--json"}},
        {"scenario.json", {"controls"}},
        {"scenario.json", {"get", "zoom"}},
        {"scenario.json", {"get", "hdr", "--json"}},
        {"scenario.json", {"set", "zoom", "5"}},
        {"scenario.json", {"set", "hdr", "on", "--json"}},
        {"scenario.json", {"set", "brightness", "200"}},
        {"scenario.json", {"get", "nosuchcontrol"}},
        {"scenario.json", {"set", "zoom", "huge"}},
        {"scenario.json", {"info", "-c", "7"}},
        {"scenario.json", {"preset", "save", "desk"}},
        {"scenario.json", {"preset", "list", "--json"}},
        {"scenario.json", {"preset", "recall", "desk"}},
        {"scenario.json", {"preset", "delete", "desk"}},
        {"scenario.json", {"restore"}},
        {"scenario.json", {"reset-defaults"}},
        {"scenario.json", {"reset-defaults", "--yes"}},
        {"scenario.json", {"doctor"}},
        {"scenario.json", {"doctor", "--json"}},
        {"scenario.json", {"check-package", "@package"}},
        {"scenario.json", {"check-package", "@package", "-c", "0", "--json"}},
        {"scenario.json", {"check-package", "@missing"}},
        {"upgrade.json", {"upgrade", "@package", "-c", "0"}},
        {"drive.json", {"list"}},
        {"drive.json", {"rescue", "@package", "--json"}},
        {"drive.json", {"upgrade", "@package"}},
    };
    return table;
}

QString sourceFile(const QString &name)
{
    return QStringLiteral(LUMORA_GOLDEN_DIR "/") + name;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)\n");
}

constexpr char kPreviewRuns[] = "VideoStreamThread::m_CameraName:";
constexpr char kShown[] = "Set the default display position of the window.";

class Run {
public:
    Run()
    {
        QDir(m_dir.path()).mkpath("home/data");
        QDir(m_dir.path()).mkpath("bin");
        // The programs keep product.ini beside themselves: copies keep it in this run's folder.
        for (const char *program : {LUMORA_CLI_PATH, LUMORA_APP_PATH})
            QFile::copy(QString::fromLatin1(program), bin(QFileInfo(QString::fromLatin1(program)).fileName()));
        QFile ini(bin("product.ini"));
        if (ini.open(QIODevice::WriteOnly))
            ini.write("[product_model]\nmain=1\n");
        upgradetest::writeTestPackage(m_dir.filePath("fw.zip"), "ORBIT 400");
    }

    QString bin(const QString &name) const { return m_dir.filePath("bin/" + name); }
    QString path() const { return m_dir.path(); }

    QProcessEnvironment environment(const QString &scenario) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LUMORA_PLATFORM", "sim");
        environment.insert("LUMORA_SIM_SCENARIO", sourceFile(scenario));
        environment.insert("LUMORA_TRACE", m_dir.filePath("trace.log"));
        environment.insert("HOME", m_dir.filePath("home"));
        environment.insert("XDG_DATA_HOME", m_dir.filePath("home/data"));
        environment.remove("XDG_CONFIG_HOME");
        return environment;
    }

    // "@package" and "@missing" stand for this run's files.
    QStringList arguments(const QStringList &given) const
    {
        QStringList out;
        for (const QString &argument : given) {
            if (argument == QLatin1String("@package"))
                out << m_dir.filePath("fw.zip");
            else if (argument == QLatin1String("@missing"))
                out << m_dir.filePath("none.zip");
            else
                out << argument;
        }
        return out;
    }

    QByteArray runCli(const Step &step)
    {
        QProcess process;
        process.setProcessEnvironment(environment(step.scenario));
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(bin(QFileInfo(QStringLiteral(LUMORA_CLI_PATH)).fileName()), arguments(step.arguments));
        const bool finished = process.waitForFinished(60000);
        const QString exit = !finished ? QStringLiteral("did not finish")
                             : process.exitStatus() != QProcess::NormalExit ? QStringLiteral("crashed")
                                                                            : QString::number(process.exitCode());
        return "$ lumora-cli " + step.arguments.join(' ').toUtf8() + " [" + step.scenario.toUtf8() + "]\n"
            + "exit " + exit.toUtf8() + "\n--- stdout\n" + process.readAllStandardOutput() + "--- stderr\n"
            + process.readAllStandardError();
    }

    // The window on both cameras until its preview runs, then closed by
    // SIGTERM as a session ending does: it saves product.ini then. Returns
    // the exit code and the log up to the window's first showing; what
    // follows runs on the preview thread beside the GUI thread's lines.
    QByteArray runWindow()
    {
        const QString log = m_dir.filePath("home/.vistrel/vistrel.log");
        const int logBefore = readAll(log).size();
        QProcess process;
        QProcessEnvironment environment = this->environment("window.json");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.remove("LUMORA_TRACE");
        process.setProcessEnvironment(environment);
        process.start(bin(QFileInfo(QStringLiteral(LUMORA_APP_PATH)).fileName()), QStringList());
        QDeadlineTimer deadline(30000);
        while (!readAll(log).contains(kPreviewRuns) && !deadline.hasExpired() && process.state() != QProcess::NotRunning)
            QTest::qWait(20);
        ::kill(pid_t(process.processId()), SIGTERM);
        const bool finished = process.waitForFinished(30000);
        if (!finished)
            process.kill();
        QByteArray windowLog = readAll(log).mid(logBefore);
        windowLog.truncate(windowLog.indexOf(kShown));
        return "$ lumora [window.json]\nexit " + (finished ? QByteArray::number(process.exitCode()) : "did not finish")
            + "\n--- log up to the first showing\n" + windowLog;
    }

private:
    QTemporaryDir m_dir;
};

// Timestamps become "T"; the run's folder becomes "<run>".
QByteArray masked(QByteArray text, const QString &runFolder)
{
    text.replace(runFolder.toUtf8(), "<run>");
    QString out = QString::fromUtf8(text);
    static const QRegularExpression logStamp(QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\]"),
                                             QRegularExpression::MultilineOption);
    static const QRegularExpression traceStamp(QStringLiteral("^\\d+ (?=(event|xu|ctl|scsi|usb) )"),
                                               QRegularExpression::MultilineOption);
    out.replace(logStamp, QStringLiteral("[T]"));
    out.replace(traceStamp, QStringLiteral("T "));
    return out.toUtf8();
}

// A block of up to eight lines repeated back to back is kept once: a wait
// that lists the cameras until one is back logs each round alike.
QByteArray withoutRepeatedRounds(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        for (int block = 1; block <= 8; ++block) {
            const auto repeats = [&] {
                if (i + 2 * block > lines.size())
                    return false;
                for (int k = 0; k < block; ++k) {
                    if (lines.at(i + k) != lines.at(i + block + k))
                        return false;
                }
                return true;
            };
            while (repeats())
                lines.erase(lines.begin() + i + block, lines.begin() + i + 2 * block);
        }
    }
    return lines.join('\n');
}

} // namespace

class GoldenRun : public QObject {
    Q_OBJECT

private:
    QHash<QString, QByteArray> m_outputs;

private slots:
    void initTestCase()
    {
        Run run;
        QByteArray cli;
        for (const Step &step : steps())
            cli += run.runCli(step);
        const QByteArray cliTrace = readAll(run.path() + "/trace.log");
        const QByteArray cliLog = readAll(run.path() + "/home/.vistrel/vistrel.log");
        const QByteArray window = run.runWindow();
        m_outputs = {
            {"cli.txt", masked(cli, run.path())},
            {"trace.txt", masked(cliTrace, run.path())},
            {"log.txt", withoutRepeatedRounds(masked(cliLog, run.path()))},
            {"window.txt", masked(window, run.path())},
            {"product.ini", masked(readAll(run.bin("product.ini")), run.path())},
        };
        if (qEnvironmentVariableIntValue("LUMORA_GOLDEN_RECORD")) {
            for (auto it = m_outputs.cbegin(); it != m_outputs.cend(); ++it) {
                QFile file(sourceFile("expected/" + it.key()));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(it.value());
            }
        }
    }

    void output_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"cli.txt", "trace.txt", "log.txt", "window.txt", "product.ini"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    // Line by line, so a difference names its first line.
    void output()
    {
        QFETCH(QString, name);
        const QList<QByteArray> expected = readAll(sourceFile("expected/" + name)).split('\n');
        const QList<QByteArray> actual = m_outputs.value(name).split('\n');
        for (int i = 0; i < qMin(expected.size(), actual.size()); ++i)
            QVERIFY2(actual.at(i) == expected.at(i),
                     qPrintable(QStringLiteral("line %1:\n  expected: %2\n  actual:   %3")
                                    .arg(i + 1)
                                    .arg(QString::fromUtf8(expected.at(i)), QString::fromUtf8(actual.at(i)))));
        QCOMPARE(actual.size(), expected.size());
    }
};

QTEST_GUILESS_MAIN(GoldenRun)
#include "test_run.moc"
