// lumora-cli metrics on simulated machines: the exposition is checked line by
// line by a strict reader of Prometheus's text format (and by promtool when it
// is installed), and carries the samples the machine calls for.

#include "support/testsupport.h"

#include "upgrade/zipwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QJsonObject camera(const QString &id, const QString &serial, const QString &port)
{
    return {{"id", id},          {"vendorId", "0x1d6b"}, {"productId", "0xff01"}, {"manufacturer", "QX"},
            {"product", "QX NV-Optica-4K-AI"}, {"serial", serial}, {"port", port}, {"firmware", "1.4.2"},
            {"upgradeSwitchMs", 100}};
}

QJsonObject romDrive()
{
    return {{"id", "stuck"}, {"state", "rom"}, {"vendorId", "0x1d6b"}, {"productId", "0xff01"}, {"port", "1-6"}};
}

// Reads Prometheus's text exposition format (version 0.0.4) strictly: false
// with the first fault. Each family's HELP and TYPE come once and before its
// samples, its samples stand together, names and labels are well formed,
// label values escape only backslash, quote and newline, no series repeats.
bool readExposition(const QString &text, QString *fault)
{
    static const QRegularExpression help(QStringLiteral("^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)$"));
    static const QRegularExpression type(QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$"));
    static const QRegularExpression sample(QStringLiteral(
        "^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(.*)\\})? (-?[0-9]+(\\.[0-9]+)?([eE][+-]?[0-9]+)?|NaN|[+-]Inf)( -?[0-9]+)?$"));
    static const QRegularExpression label(QStringLiteral("^([a-zA-Z_][a-zA-Z0-9_]*)=\"((?:[^\"\\\\\\n]|\\\\[\\\\\"n])*)\"(,|$)"));
    if (!text.endsWith('\n')) {
        *fault = QStringLiteral("no newline at the end");
        return false;
    }
    QSet<QString> helped, typed, closed, series;
    QString current;
    for (const QString &line : text.chopped(1).split('\n')) {
        const auto bad = [&](const QString &why) {
            *fault = why + QStringLiteral(": ") + line;
            return false;
        };
        QRegularExpressionMatch m;
        if ((m = help.match(line)).hasMatch() || (m = type.match(line)).hasMatch()) {
            QSet<QString> &seen = line.startsWith(QLatin1String("# HELP")) ? helped : typed;
            if (seen.contains(m.captured(1)) || closed.contains(m.captured(1)) || series.contains(m.captured(1)))
                return bad(QStringLiteral("repeated, or after the family's samples"));
            seen.insert(m.captured(1));
            continue;
        }
        if (line.startsWith('#'))
            return bad(QStringLiteral("a comment that is neither HELP nor TYPE"));
        if (!(m = sample.match(line)).hasMatch())
            return bad(QStringLiteral("not a sample"));
        const QString name = m.captured(1);
        if (!typed.contains(name))
            return bad(QStringLiteral("a sample before its TYPE"));
        if (name != current) {
            if (closed.contains(name))
                return bad(QStringLiteral("the family's samples are not together"));
            if (!current.isEmpty())
                closed.insert(current);
            current = name;
        }
        QString labels = m.captured(3);
        QStringList names;
        while (!labels.isEmpty()) {
            const QRegularExpressionMatch l = label.match(labels);
            if (!l.hasMatch() || l.captured(1).startsWith(QLatin1String("__")) || names.contains(l.captured(1)))
                return bad(QStringLiteral("a malformed or repeated label"));
            names << l.captured(1);
            labels = labels.mid(l.capturedLength());
        }
        if (series.contains(name + m.captured(2)))
            return bad(QStringLiteral("a repeated series"));
        series.insert(name + m.captured(2));
    }
    return true;
}

} // namespace

class TestMetrics : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_machines = 0;

    struct Machine {
        QString folder;
        QProcessEnvironment environment;
    };

    Machine machine(const QJsonObject &scenario)
    {
        Machine m{m_dir.filePath(QString::number(++m_machines)), QProcessEnvironment::systemEnvironment()};
        QDir().mkpath(m.folder);
        QFile file(m.folder + "/scenario.json");
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(scenario).toJson());
        m.environment.insert("LUMORA_SIM_SCENARIO", file.fileName());
        m.environment.insert("HOME", m.folder + "/home");
        m.environment.insert("XDG_STATE_HOME", m.folder + "/state");
        m.environment.insert("XDG_RUNTIME_DIR", m.folder);
        // Each command of a row acts on the machine the earlier ones left.
        m.environment.remove("LUMORA_SIM_FRESH");
        return m;
    }

    static QByteArray cli(const Machine &m, const QStringList &arguments)
    {
        QProcess process;
        process.setProcessEnvironment(m.environment);
        process.start(LUMORA_CLI_PATH, arguments);
        if (!process.waitForFinished(deadlineMs(60000)))
            return {};
        return process.readAllStandardOutput();
    }

private Q_SLOTS:
    void exposition_data()
    {
        QTest::addColumn<QJsonObject>("scenario");
        // lumora-cli commands to run first, separated by ";"; "upgrade" upgrades QX4K00017.
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<bool>("gone");          // metrics from a later machine without cameras, same user state
        QTest::addColumn<QStringList>("samples");
        const QJsonObject two{{"cameras", QJsonArray{camera("a", "QX4K00017", "1-1"), camera("b", "QX4K00018", "1-2")}}};
        QTest::newRow("two cameras") << two << QStringList() << false
                                     << QStringList{"lumora_cameras 2",
                                                    "lumora_camera_present{serial=\"QX4K00017\",model=\"NV-Optica-4K-AI\",port=\"1-1\"} 1",
                                                    "lumora_camera_firmware_info{serial=\"QX4K00018\",model=\"NV-Optica-4K-AI\",version=\"1.4.2\"} 1",
                                                    "lumora_camera_firmware_version{serial=\"QX4K00017\",model=\"NV-Optica-4K-AI\"} 1004002",
                                                    "lumora_update_drives 0", "lumora_ready 1"};
        QTest::newRow("nothing connected") << QJsonObject() << QStringList() << false
                                           << QStringList{"lumora_cameras 0", "lumora_update_drives 0", "lumora_ready 0"};
        QTest::newRow("a camera waiting in ROM")
            << QJsonObject{{"cameras", QJsonArray{camera("a", "QX4K00017", "1-1")}}, {"drives", QJsonArray{romDrive()}}}
            << QStringList() << false << QStringList{"lumora_update_drives 1", "lumora_update_drive_state{port=\"1-6\",state=\"ROM\"} 1"};
        QTest::newRow("a serial to escape") << QJsonObject{{"cameras", QJsonArray{camera("a", "Q\"X\\4K", "1-1")}}} << QStringList() << false
                                            << QStringList{"lumora_camera_present{serial=\"Q\\\"X\\\\4K\",model=\"NV-Optica-4K-AI\",port=\"1-1\"} 1"};
        QTest::newRow("after an upgrade") << two << QStringList{"upgrade"} << false
                                          << QStringList{"lumora_last_upgrade_success{camera=\"QX4K00017\",model=\"NV-Optica-4K-AI\","
                                                         "from=\"1.4.2\",to=\"2.0.0\"} 1",
                                                         "lumora_camera_firmware_version{serial=\"QX4K00017\",model=\"NV-Optica-4K-AI\"} 2000000"};
        QJsonObject stuck = camera("a", "QX4K00017", "1-1");
        stuck.insert("updateDrive", QJsonObject{{"protocolFaults", QJsonObject{{"neverAcknowledge", true}}}});
        QTest::newRow("an upgrade that left the camera in its update state")
            << QJsonObject{{"cameras", QJsonArray{stuck}}} << QStringList{"upgrade"} << false
            << QStringList{"lumora_cameras 0", "lumora_update_drives 1", "lumora_update_drive_state{port=\"1-1\",state=\"u-Boot\"} 1",
                           "lumora_last_upgrade_success{camera=\"QX4K00017\",model=\"NV-Optica-4K-AI\",from=\"1.4.2\",to=\"\"} 0"};
        QTest::newRow("after a restore") << two << QStringList{"set", "brightness", "100", "-c", "QX4K00018", ";", "restore", "-c", "QX4K00018"} << false
                                         << QStringList{"lumora_camera_restore_applied{serial=\"QX4K00018\"} 1"};
        QTest::newRow("restored before, now gone") << QJsonObject{{"cameras", QJsonArray{camera("a", "QX4K00017", "1-1")}}}
                                                   << QStringList{"set", "brightness", "100", "-c", "QX4K00017", ";", "restore", "-c", "QX4K00017"} << true
                                                   << QStringList{"lumora_cameras 0",
                                                                  "lumora_camera_present{serial=\"QX4K00017\",model=\"\",port=\"\"} 0"};
    }
    void exposition()
    {
        QFETCH(QJsonObject, scenario);
        QFETCH(QStringList, before);
        QFETCH(bool, gone);
        QFETCH(QStringList, samples);
        Machine m = machine(scenario);
        if (before.value(0) == QLatin1String("upgrade")) {
            const QString package = m.folder + "/fw.zip";
            upgradetest::writeTestPackage(package, "NV-Optica-4K-AI", true);
            cli(m, {"upgrade", package, "-c", "QX4K00017"});
        } else {
            for (const QString &command : before.join(' ').split(';', Qt::SkipEmptyParts))
                cli(m, command.split(' ', Qt::SkipEmptyParts));
        }
        if (gone) {
            const QString state = m.environment.value("XDG_STATE_HOME");
            m = machine(QJsonObject());
            m.environment.insert("XDG_STATE_HOME", state);
        }
        const QString text = QString::fromUtf8(cli(m, {"metrics"}));
        QString fault;
        QVERIFY2(readExposition(text, &fault), qPrintable(fault + "\n" + text));
        const QStringList lines = text.split('\n');
        for (const QString &expected : samples)
            QVERIFY2(lines.contains(expected), qPrintable(expected + " not in\n" + text));

        const QString promtool = QStandardPaths::findExecutable("promtool");
        if (!promtool.isEmpty()) {
            QProcess check;
            check.start(promtool, {"check", "metrics"});
            check.write(text.toUtf8());
            check.closeWriteChannel();
            QVERIFY(check.waitForFinished(deadlineMs(60000)));
            QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
        }
    }

    // The reader refuses what the format does not allow, so its passes mean something.
    void readerRefuses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("sample before TYPE") << "a 1\n";
        QTest::newRow("family split") << "# TYPE a gauge\n# TYPE b gauge\na 1\nb 1\na{x=\"1\"} 2\n";
        QTest::newRow("repeated series") << "# TYPE a gauge\na{x=\"1\"} 1\na{x=\"1\"} 2\n";
        QTest::newRow("bad escape") << "# TYPE a gauge\na{x=\"\\q\"} 1\n";
        QTest::newRow("bare quote") << "# TYPE a gauge\na{x=\"\"\"} 1\n";
        QTest::newRow("no final newline") << "# TYPE a gauge\na 1";
        QTest::newRow("bad value") << "# TYPE a gauge\na one\n";
        QTest::newRow("TYPE after samples") << "# TYPE a gauge\na 1\n# TYPE a gauge\n";
    }
    void readerRefuses()
    {
        QFETCH(QString, text);
        QString fault;
        QVERIFY(!readExposition(text, &fault));
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "test_metrics.moc"
