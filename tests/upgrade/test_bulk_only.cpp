// USB Bulk-Only transport judges each status wrapper as usb-storage does: a
// pass with a residue is a pass that says how much did not move, a failure
// is followed by REQUEST SENSE, a status wrapper that is not one ends in
// reset recovery, and a status sent in the data's place is recognised. Each
// branch is reached by a fault of the simulated drive.
#include "upgraderig.h"

#include "upgrade/bulkonlytransport.h"

#include <QtTest>

#include <cerrno>

using namespace lumora;
using upgrade::BulkOnlyTransport;
using upgrade::ScsiCommand;
using upgrade::ScsiTransport;
using upgradetest::UpgradeRig;

namespace {

constexpr unsigned kTimeoutMs = 2000;
const QString kReset = QStringLiteral("control type=21 req=ff value=0000 index=0000 len=0 rc=0");

// The commands of the table: data from the drive, data to it, and one the
// drive does not know.
struct Command {
    std::array<std::uint8_t, 10> cdb{};
    int cdbLength = 0;
    ScsiCommand::Direction direction = ScsiCommand::Direction::None;
    QByteArray data;
};

Command command(const QString &name)
{
    Command c;
    if (name == QLatin1String("inquiry")) {
        c.cdb = {0x12, 0, 0, 0, 36, 0};
        c.cdbLength = 6;
        c.direction = ScsiCommand::Direction::In;
        c.data = QByteArray(36, '\xee');
    } else if (name == QLatin1String("command line")) {
        const QByteArray text = "setenv bootdelay 0";
        c.cdb = upgrade::vendorCdb(upgrade::SubCommandText, std::uint32_t(text.size()));
        c.cdbLength = 10;
        c.direction = ScsiCommand::Direction::Out;
        c.data = text;
    } else {
        c.cdb = {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 8, 0}; // MODE SENSE(10): not an update drive's
        c.cdbLength = 10;
        c.direction = ScsiCommand::Direction::In;
        c.data = QByteArray(8, '\xee');
    }
    return c;
}

int run(ScsiTransport &transport, Command &c)
{
    ScsiCommand sent;
    sent.cdb = c.cdb.data();
    sent.cdbLength = c.cdbLength;
    sent.direction = c.direction;
    sent.data = c.data.data();
    sent.length = c.data.size();
    sent.timeoutMs = kTimeoutMs;
    return transport.execute(sent);
}

} // namespace

class TestBulkOnly : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusJudgedAsUsbStorage_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("residue");
        QTest::addColumn<QString>("sense");
        QTest::addColumn<bool>("reset");
        const QString none = QStringLiteral("no sense data");
        QTest::newRow("data in, clean") << QJsonObject{} << "inquiry" << ScsiTransport::kPassed << 0 << none << false;
        QTest::newRow("data out, clean") << QJsonObject{} << "command line" << ScsiTransport::kPassed << 0 << none << false;
        QTest::newRow("data in, all moved, residue reported")
            << QJsonObject{{"residueAt", 1}} << "inquiry" << ScsiTransport::kPassed << 18 << none << false;
        QTest::newRow("data out, all moved, residue reported")
            << QJsonObject{{"residueAt", 1}} << "command line" << ScsiTransport::kPassed << 9 << none << false;
        QTest::newRow("data in short, with its residue")
            << QJsonObject{{"shortDataAt", 1}} << "inquiry" << ScsiTransport::kPassed << 18 << none << false;
        QTest::newRow("status in the data's place")
            << QJsonObject{{"statusInDataAt", 1}} << "inquiry" << ScsiTransport::kPassed << 36 << none << false;
        QTest::newRow("failed: sense read")
            << QJsonObject{} << "unknown" << ScsiTransport::kFailed << 8 << "sense key 5, asc 20/00" << false;
        QTest::newRow("phase error") << QJsonObject{{"phaseErrorAt", 1}} << "inquiry" << -EPROTO << 0 << none << true;
        QTest::newRow("wrong tag") << QJsonObject{{"wrongTagAt", 1}} << "inquiry" << -EPROTO << 0 << none << true;
        QTest::newRow("wrong signature") << QJsonObject{{"badSignatureAt", 1}} << "inquiry" << -EPROTO << 0 << none << true;
        QTest::newRow("status past phase error")
            << QJsonObject{{"badStatusAt", 1}} << "command line" << -EPROTO << 0 << none << true;
    }

    void statusJudgedAsUsbStorage()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(QString, command);
        QFETCH(int, result);
        QFETCH(int, residue);
        QFETCH(QString, sense);
        QFETCH(bool, reset);
        UpgradeRig rig;
        rig.plugDrive("uboot", {{"usbFaults", faults}});
        QString why;
        const std::unique_ptr<BulkOnlyTransport> transport = BulkOnlyTransport::open(rig.kernel->devNodes("cam").value(0), &why);
        QVERIFY2(transport, qPrintable(why));
        rig.takeTrace();

        Command c = ::command(command);
        QCOMPARE(run(*transport, c), result);
        QCOMPARE(transport->residue(), residue);
        QCOMPARE(transport->sense().describe(), sense);
        const QString trace = rig.takeTrace().join('\n');
        QVERIFY2(trace.contains(kReset) == reset, qPrintable(trace));
        // Whatever happened, the drive takes the next command as usual.
        Command next = ::command(QStringLiteral("inquiry"));
        QCOMPARE(run(*transport, next), ScsiTransport::kPassed);
        QCOMPARE(transport->residue(), 0);
        QCOMPARE(next.data.mid(8, 8), QByteArray("GC      "));
    }
};

QTEST_MAIN(TestBulkOnly)
#include "test_bulk_only.moc"
