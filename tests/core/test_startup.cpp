#include "core/startup.h"

#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
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

    // The app started from another folder, with arguments it ignores, writes
    // the banner first and reads the settings file beside its executable.
    void appStartsFromAnotherFolder()
    {
        QTemporaryDir install;
        QTemporaryDir home;
        QTemporaryDir elsewhere;
        const QString app = install.filePath(QStringLiteral("lumora"));
        QVERIFY(QFile::copy(QStringLiteral(LUMORA_APP_PATH), app));
        QSettings(install.filePath(QStringLiteral("product.ini")), QSettings::IniFormat)
            .setValue(QStringLiteral("/product_model/main"), 1);

        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(elsewhere.path());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(app, {QStringLiteral("--unknown-option"), QStringLiteral("file.txt")});
        QVERIFY(process.waitForStarted());

        const QString log = home.filePath(QStringLiteral(".vistrel/vistrel.log"));
        QTRY_VERIFY_WITH_TIMEOUT(readLines(log).join('\n').contains(QStringLiteral("credit manufacturer: Orvanta")), 30000);
        process.terminate();
        QVERIFY(process.waitForFinished(10000));

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
