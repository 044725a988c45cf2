// LABELS: fleet
// The Debian package on this machine: dpkg -i puts every file in place, the
// installed lumora-cli runs from /usr/bin, and dpkg --purge takes it all away.
// Needs root and the package ./lumora.sh package built (it runs this test).

#include "support/testsupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

namespace {

struct Ran {
    int exitCode = -1;
    QByteArray output;
};

Ran run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment =
                                                                   QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Ran ran;
    if (process.waitForFinished(deadlineMs(300000)) && process.exitStatus() == QProcess::NormalExit)
        ran.exitCode = process.exitCode();
    ran.output = process.readAll();
    return ran;
}

// dpkg's status of the package: "install ok installed", "install ok unpacked" after a
// failed configuration, empty when dpkg does not know it or it is removed.
QByteArray status()
{
    const QByteArray text = run("dpkg-query", {"-W", "-f=${Status}", "lumora"}).output;
    return text.contains("not-installed") || text.contains("config-files") || text.contains("no packages found")
        ? QByteArray() : text.trimmed();
}

const QStringList kFiles{"/usr/bin/lumora", "/usr/bin/lumora-cli", "/usr/lib/udev/rules.d/70-lumora.rules",
                         "/usr/lib/systemd/user/lumora-restore.service", "/usr/lib/systemd/user/lumora-metrics.service",
                         "/usr/lib/systemd/user/lumora-metrics.timer", "/usr/share/man/man1/lumora.1.gz", "/usr/share/man/man1/lumora-cli.1.gz",
                         "/usr/share/applications/org.lumora.Lumora.desktop",
                         "/usr/share/metainfo/org.lumora.Lumora.metainfo.xml", "/usr/share/doc/lumora/copyright",
                         "/usr/share/doc/lumora/changelog.gz"};

} // namespace

class TestInstallDeb : public QObject {
    Q_OBJECT

    bool m_installedHere = false;

private Q_SLOTS:
    void initTestCase()
    {
        const QString deb = qEnvironmentVariable("LUMORA_DEB");
        if (deb.isEmpty() || !QFileInfo::exists(deb))
            QSKIP("no package to install: ./lumora.sh package builds it and runs this test with LUMORA_DEB");
        if (::geteuid() != 0)
            QSKIP("dpkg -i needs root (CI runs as root); ./lumora.sh package as root runs this test");
        if (!status().isEmpty())
            QSKIP("lumora is already installed on this machine, and this test would remove it");
        const Ran install = run("dpkg", {"-i", deb});
        // Removed again at the end even when half installed.
        m_installedHere = !status().isEmpty();
        QVERIFY2(install.exitCode == 0 && status() == "install ok installed", install.output.constData());
    }

    void filesInPlace_data()
    {
        QTest::addColumn<QString>("path");
        for (const QString &path : kFiles)
            QTest::newRow(qPrintable(path)) << path;
    }
    void filesInPlace()
    {
        QFETCH(QString, path);
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    }

    void installedToolRuns_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output");
        QTest::newRow("--version") << QStringList{"--version"} << "lumora-cli " LUMORA_VERSION;
        // On the simulated machine: the installed build carries it, and CI has no camera.
        QTest::newRow("doctor") << QStringList{"doctor"} << "udev rule";
    }
    void installedToolRuns()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LUMORA_PLATFORM", "sim");
        const Ran ran = run("/usr/bin/lumora-cli", arguments, environment);
        QVERIFY2(ran.exitCode == 0 && ran.output.contains(output.toUtf8()), ran.output.constData());
    }

    void cleanupTestCase()
    {
        if (!m_installedHere)
            return;
        const Ran remove = run("dpkg", {"--purge", "lumora"});
        QVERIFY2(remove.exitCode == 0 && status().isEmpty(), remove.output.constData());
        for (const QString &path : kFiles)
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path + " is left after dpkg --purge"));
    }
};

QTEST_GUILESS_MAIN(TestInstallDeb)
#include "test_install_deb.moc"
