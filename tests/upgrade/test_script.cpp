// The update script language, run against a simulated drive in its u-Boot state.

#include "upgraderig.h"
#include "upgrade/updatechannel.h"
#include "upgrade/updatescript.h"

#include <QtTest>

using namespace lumora::upgrade;
using upgradetest::LogCapture;
using upgradetest::UpgradeRig;

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

namespace {
const QStringList kClosing = {"setenv ota_upgrade_status 0", "saveenv", "reset"};

// A chain of scripts each running the next through "estar", `depth` deep.
Files chain(int depth)
{
    Files files{{"auto_update.txt", "estar s1.txt\n"}};
    for (int i = 1; i < depth; ++i)
        files.insert(QStringLiteral("s%1.txt").arg(i), QStringLiteral("estar s%1.txt\n").arg(i + 1).toLatin1());
    files.insert(QStringLiteral("s%1.txt").arg(depth), "printenv\n");
    return files;
}
} // namespace

class TestScript : public QObject {
    Q_OBJECT

private slots:
    void rules_data()
    {
        QTest::addColumn<Files>("files");
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("sent");       // command lines the camera received
        QTest::addColumn<QStringList>("logged");     // lines that must be logged
        QTest::addColumn<QStringList>("notLogged");  // lines that must not be
        const QJsonObject none;
        const QByteArray longLine = "setenv a " + QByteArray(1014, 'x');
        QTest::newRow("blanks and tabs normalised, address in hex")
            << Files{{"auto_update.txt", "   tftp\t 1F0    kernel   \n"}, {"kernel", "k"}} << none << 0
            << QStringList() << QStringList{"tftp 1F0 kernel"} << QStringList();
        QTest::newRow("comments are neither logged nor sent")
            << Files{{"auto_update.txt", "  # printenv\n%printenv\n\n\t\n"}} << none << 0 << QStringList()
            << QStringList() << QStringList{"# printenv", "%printenv"};
        QTest::newRow("1023 characters are sent")
            << Files{{"auto_update.txt", longLine + "\n"}} << none << 0 << QStringList{longLine} << QStringList()
            << QStringList();
        QTest::newRow("1024 characters are too long")
            << Files{{"auto_update.txt", longLine + "y\n"}} << none << -1 << QStringList()
            << QStringList{"command is too long to support. cmd: " + longLine + "y"} << QStringList();
        QTest::newRow("acknowledged on the second attempt")
            << Files{{"auto_update.txt", "printenv\nboot\n"}} << QJsonObject{{"lateStatusReads", 10}} << 0
            << QStringList{"printenv", "printenv", "boot"} << QStringList{"printenv [retry 1]"}
            << QStringList{"printenv [retry 2]"};
        QTest::newRow("never acknowledged")
            << Files{{"auto_update.txt", "printenv\nboot\n"}} << QJsonObject{{"neverAcknowledge", true}} << -1
            << QStringList{"printenv", "printenv"}
            << QStringList{"printenv [retry 1]", "printenv [retry 2]", "USB scsi run cmd timeout."} << QStringList{"boot"};
        QTest::newRow("saveenv alone unacknowledged ends in success")
            << Files{{"auto_update.txt", "saveenv\nboot\n"}} << QJsonObject{{"neverAcknowledge", true}} << 0
            << QStringList{"saveenv", "saveenv"} << QStringList{"Think ok."} << QStringList{"boot"};
        QTest::newRow("saveenv with a word unacknowledged fails")
            << Files{{"auto_update.txt", "saveenv now\n"}} << QJsonObject{{"neverAcknowledge", true}} << -1
            << QStringList{"saveenv now", "saveenv now"} << QStringList{"USB scsi run cmd timeout."}
            << QStringList{"Think ok."};
        QTest::newRow("reset with words is reset; resetx is a command")
            << Files{{"auto_update.txt", "resetx\nreset now\nboot\n"}} << none << 0
            << QStringList{"resetx"} + kClosing << QStringList{"reset now"} << QStringList{"boot"};
        QTest::newRow("reset in a nested script returns to the caller")
            << Files{{"auto_update.txt", "estar sub.txt\nprintenv\n"}, {"sub.txt", "reset\nnever\n"}} << none << -1
            << kClosing << QStringList{"estar sub.txt", "reset", "printenv"} << QStringList{"never"};
        QTest::newRow("unterminated last line is not run")
            << Files{{"auto_update.txt", "printenv\r\nboot"}} << none << 0 << QStringList{"printenv"}
            << QStringList() << QStringList{"boot"};
        QTest::newRow("empty script") << Files{{"auto_update.txt", ""}} << none << 0 << QStringList() << QStringList()
                                      << QStringList();
        QTest::newRow("missing script") << Files() << none << -1 << QStringList()
                                        << QStringList{"open script fail: auto_update.txt"} << QStringList();
        QTest::newRow("nested script outside the package")
            << Files{{"auto_update.txt", "estar ../elsewhere.txt\n"}} << none << -1 << QStringList()
            << QStringList{"open script fail: ../elsewhere.txt", "parse script fail: ../elsewhere.txt"}
            << QStringList();
        QTest::newRow("tftp file missing")
            << Files{{"auto_update.txt", "tftp 0x21000000 nothing.bin\nboot\n"}} << none << -1 << QStringList()
            << QStringList{"load file fail: nothing.bin"} << QStringList{"boot"};
        QTest::newRow("16 levels of estar") << chain(16) << none << 0 << QStringList{"printenv"} << QStringList()
                                            << QStringList();
        QTest::newRow("17 levels of estar") << chain(17) << none << -1 << QStringList()
                                            << QStringList{"parse script fail: s17.txt", "parse script fail: s1.txt"}
                                            << QStringList{"printenv"};
        const QList<QPair<QByteArray, QString>> badAddresses = {
            {"tftp\n", ""}, {"tftp kernel\n", "kernel"}, {"tftp zz kernel\n", "zz"}, {"tftp 0x kernel\n", "0x"},
            {"tftp 1FFFFFFFF kernel\n", "1FFFFFFFF"}, {"tftp -1 kernel\n", "-1"}};
        for (const auto &bad : badAddresses)
            QTest::newRow(qPrintable("bad address: " + bad.first.trimmed()))
                << Files{{"auto_update.txt", bad.first}, {"kernel", "k"}} << none << -1 << QStringList()
                << QStringList{"invalid tftp address: " + bad.second} << QStringList();
    }

    void rules()
    {
        QFETCH(Files, files);
        QFETCH(QJsonObject, faults);
        QFETCH(int, result);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, logged);
        QFETCH(QStringList, notLogged);
        UpgradeRig rig;
        auto drive = rig.plugDrive("uboot", {{"protocolFaults", faults}});
        for (auto it = files.begin(); it != files.end(); ++it)
            rig.writeFile(it.key(), it.value());
        int state = -1;
        QVERIFY(findUpdateDrive(1, &state) >= 0);
        LogCapture log;
        QCOMPARE(runScript(rig.workspace(), "auto_update.txt"), result);
        QCOMPARE(drive->commandLines(), sent);
        for (const QString &line : logged)
            QVERIFY2(log.has(line), qPrintable(line));
        for (const QString &line : notLogged)
            QVERIFY2(!log.has(line), qPrintable(line));
    }

    void tftpLoadsToTheHexAddress()
    {
        UpgradeRig rig;
        auto drive = rig.plugDrive("uboot");
        rig.writeFile("auto_update.txt", "tftp 1F0 kernel\ntftp 0x21000000 kernel\n");
        rig.writeFile("kernel", QByteArray(40000, 'k'));
        int state = -1;
        QVERIFY(findUpdateDrive(1, &state) >= 0);
        QCOMPARE(runScript(rig.workspace(), "auto_update.txt"), 0);
        QCOMPARE(drive->acceptedLoads(), (QVector<quint32>{496, 0x21000000}));
    }
};

QTEST_GUILESS_MAIN(TestScript)
#include "test_script.moc"
