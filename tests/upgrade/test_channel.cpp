// The mass-storage channel: byte layouts, drive search and state decoding,
// chunking and loads, against the simulated update drive.

#include "upgraderig.h"
#include "upgrade/updatechannel.h"

#include <QtTest>

using namespace lumora::upgrade;
using upgradetest::UpgradeRig;

class TestChannel : public QObject {
    Q_OBJECT

private slots:
    void byteLayouts()
    {
        const auto cdb = vendorCdb(SubLastChunk, 0x01020304);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(cdb.data()), 10).toHex(), QByteArray("e8040000000001020304"));
        const auto header = loadHeader(0x11223344, "abc");
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(header.data()), 24).toHex(),
                 QByteArray("4433221103000000900150983cd24fb0d6963f7d28e17f72"));
    }

    void statusRule_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("success");
        QTest::newRow("0d 00 55 55") << QByteArray::fromHex("0d005555") << true;
        QTest::newRow("0d 01") << QByteArray::fromHex("0d010000") << false;
        QTest::newRow("pre-fill") << QByteArray::fromHex("ffffffff") << false;
        QTest::newRow("00 00") << QByteArray::fromHex("00000000") << false;
    }

    void statusRule()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, success);
        QCOMPARE(isStatusSuccess(reinterpret_cast<const std::uint8_t *>(status.constData())), success);
    }

    void driveSearch_data()
    {
        QTest::addColumn<QString>("vendor");
        QTest::addColumn<QString>("product");
        QTest::addColumn<int>("manufacturer");
        QTest::addColumn<int>("state"); // -1: not accepted
        QTest::newRow("GC ROM, profile 0") << "GC" << "" << 0 << int(StateRom);
        QTest::newRow("GC Updater, profile 1") << "GC" << "UPDATER" << 1 << int(StateUpdater);
        QTest::newRow("ORBIT u-Boot, profile 1") << "ORBIT" << "UBOOT" << 1 << int(StateUBoot);
        QTest::newRow("ORBIT, profile 0") << "ORBIT" << "UBOOT" << 0 << -1;
        QTest::newRow("QXK52, profile 0") << "QXK52" << "UPD" << 0 << int(StateUpdater);
        // Every vendor text profile 0 takes, in each update state; the text only has to begin with it.
        const struct {
            const char *name;
            const char *product;
            UpdateDeviceState state;
        } states[] = {{"ROM", "", StateRom}, {"Updater", "UPDATER", StateUpdater}, {"u-Boot", "UBOOT", StateUBoot}};
        for (const char *vendor : {"NVOPT", "VPT41", "QXVPT", "NVOPT4K", "VPT410B", "QXVPT-2"})
            for (const auto &s : states)
                QTest::newRow(qPrintable(QStringLiteral("%1 %2, profile 0").arg(vendor, s.name)))
                    << vendor << s.product << 0 << int(s.state);
        QTest::newRow("VPT4 (short of VPT41), profile 0") << "VPT4" << "UBOOT" << 0 << -1;
        QTest::newRow("QXVP, profile 0") << "QXVP" << "UBOOT" << 0 << -1;
        QTest::newRow("VPT41, profile 1") << "VPT41" << "UBOOT" << 1 << -1;
        QTest::newRow("QXVPT, profile 1") << "QXVPT" << "UBOOT" << 1 << -1;
        QTest::newRow("NVOPT, profile 1") << "NVOPT" << "UBOOT" << 1 << -1;
        QTest::newRow("GC, profile 2") << "GC" << "UBOOT" << 2 << -1;
        QTest::newRow("unknown product: kept, state 3") << "GC" << "DISK" << 0 << int(StateNone);
        QTest::newRow("other vendor") << "SanDisk" << "UBOOT" << 0 << -1;
    }

    void driveSearch()
    {
        QFETCH(QString, vendor);
        QFETCH(QString, product);
        QFETCH(int, manufacturer);
        QFETCH(int, state);
        UpgradeRig rig;
        rig.plugDrive("rom", {{"inquiryVendor", vendor}, {"inquiryProduct", product}});
        int found = -1;
        const int fd = findUpdateDrive(manufacturer, &found);
        QCOMPARE(fd >= 0, state >= 0);
        QCOMPARE(found, state >= 0 ? state : int(StateNone));
        QCOMPARE(currentDriveNode().isEmpty(), state < 0);
        // Only USB disks are asked: never the machine's own disk.
        for (const QString &line : rig.takeTrace())
            QVERIFY2(!line.contains("scsi /dev/sda "), qPrintable(line));
    }

    void searchClosesThePreviousHandle()
    {
        UpgradeRig rig;
        rig.plugDrive("uboot");
        int state = -1;
        const int first = findUpdateDrive(1, &state);
        const int second = findUpdateDrive(1, &state);
        QVERIFY(first >= 0 && second >= 0);
        QVERIFY(second == first || lumora::platform::kernel().close(first) == -EBADF);
    }

    void chunking_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("data");
        QTest::newRow("32768: one last chunk") << 32768 << QStringList{"cdb=e8040000000000008000 dir=out len=32768"};
        QTest::newRow("32769: one full chunk and a byte")
            << 32769
            << QStringList{"cdb=e8010000000000008000 dir=out len=32768", "cdb=e8040000000000000001 dir=out len=1"};
    }

    void chunking()
    {
        QFETCH(int, size);
        QFETCH(QStringList, data);
        UpgradeRig rig;
        auto drive = rig.plugDrive("uboot");
        rig.writeFile("image", QByteArray(size, 'i'));
        int state = -1;
        QVERIFY(findUpdateDrive(1, &state) >= 0);
        rig.takeTrace();
        QCOMPARE(loadFile(rig.workspace() + "/image", 0x1F0), 0);
        const QStringList expected = QStringList{"cdb=e8050000000000000018 dir=out len=24"} + data
            + QStringList{"cdb=e8020000000000000004 dir=in len=4"};
        QCOMPARE(rig.takeVendorCommands(), expected);
        QCOMPARE(drive->acceptedLoads(), QVector<quint32>{0x1F0});
    }

    void rawFileLiftsRomToUpdater()
    {
        UpgradeRig rig;
        auto drive = rig.plugDrive("rom");
        rig.writeFile("usb_updater.bin", QByteArray(2049, 'u'));
        int state = -1;
        QVERIFY(findUpdateDrive(0, &state) >= 0);
        rig.takeTrace();
        QCOMPARE(sendRawFile(rig.workspace() + "/usb_updater.bin"), 0);
        QCOMPARE(rig.takeVendorCommands(), (QStringList{"cdb=e8010000000000000400 dir=out len=1024",
                                                         "cdb=e8010000000000000400 dir=out len=1024",
                                                         "cdb=e8040000000000000001 dir=out len=1"}));
        QCOMPARE(drive->state(), lumora::sim::SimUpdateDrive::State::Updater);
        QCOMPARE(sendRawFile(rig.workspace() + "/missing.bin"), -1);
    }

    // The camera's answer decides; a corrupted chunk costs one attempt.
    void loadOutcomes_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("headers");
        QTest::addColumn<int>("size");
        const int small = 3 * 32768;
        QTest::newRow("clean") << QJsonObject{} << 0 << 1 << small;
        QTest::newRow("corrupted chunk, then clean") << QJsonObject{{"corruptChunk", 2}} << 0 << 2 << small;
        QTest::newRow("status late") << QJsonObject{{"lateStatusReads", 3}} << 0 << 1 << small;
        QTest::newRow("never acknowledged") << QJsonObject{{"neverAcknowledge", true}} << -1 << 5 << small;
        QTest::newRow("drive leaves mid-transfer") << QJsonObject{{"dropAtChunk", 2}} << -1 << 1 << small;
        // The camera checks 32 MiB for 1.6 s, longer than the status reads'
        // own retries last: only the pause after the last chunk gets it confirmed.
        QTest::newRow("32 MiB image, confirmed after the check") << QJsonObject{} << 0 << 1 << 32 * 1024 * 1024;
    }

    void loadOutcomes()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(int, result);
        QFETCH(int, headers);
        QFETCH(int, size);
        UpgradeRig rig;
        rig.plugDrive("uboot", {{"protocolFaults", faults}});
        rig.writeFile("kernel", QByteArray(size, 'k'));
        int state = -1;
        QVERIFY(findUpdateDrive(1, &state) >= 0);
        rig.takeTrace();
        QCOMPARE(loadFile(rig.workspace() + "/kernel", 0x21000000), result);
        QCOMPARE(rig.takeVendorCommands().count("cdb=e8050000000000000018 dir=out len=24"), headers);
    }
};

QTEST_GUILESS_MAIN(TestChannel)
#include "test_channel.moc"
