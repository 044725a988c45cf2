// The mass-storage channel: byte layouts, drive search and state decoding,
// chunking and loads, against the simulated update drive.

#include "upgraderig.h"

#include "upgrade/driveaccess.h"
#include "upgrade/updatechannel.h"

#include <QtTest>

#include <fcntl.h>

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

    // A chip in its boot ROM or updater as the kernel may show it: its maker's
    // USB ids, a CD-ROM (sr.c), write-protected media (EROFS on a writable
    // open). Found by INQUIRY, paired with its port, and a load still goes
    // through (Bulk-Only on the USB device node).
    void driveShapes_data()
    {
        QTest::addColumn<QJsonObject>("shape");
        QTest::addColumn<QString>("node");
        QTest::addColumn<int>("writableOpen"); // what O_RDWR | O_NONBLOCK gets
        QTest::addColumn<bool>("ruleCovers");  // whether the shipped rule grants its USB device node
        const QJsonObject foreign{{"vendorId", "0x1b3f"}, {"productId", "0x0c52"}};
        QJsonObject foreignCdrom = foreign;
        foreignCdrom.insert("cdrom", true);
        QTest::newRow("chip maker's ids") << foreign << "/dev/sdb" << 0 << false;
        QTest::newRow("CD-ROM") << QJsonObject{{"cdrom", true}} << "/dev/sr0" << 0 << true;
        QTest::newRow("write-protected") << QJsonObject{{"writeProtected", true}} << "/dev/sdb" << -EROFS << true;
        QTest::newRow("CD-ROM with the chip maker's ids") << foreignCdrom << "/dev/sr0" << 0 << false;
    }

    void driveShapes()
    {
        QFETCH(QJsonObject, shape);
        QFETCH(QString, node);
        QFETCH(int, writableOpen);
        QFETCH(bool, ruleCovers);
        UpgradeRig rig;
        auto drive = rig.plugDrive("uboot", shape);
        lumora::platform::Kernel &kernel = lumora::platform::kernel();
        const int writable = kernel.open(node, O_RDWR | O_NONBLOCK);
        QCOMPARE(writable < 0 ? writable : 0, writableOpen);
        if (writable >= 0)
            kernel.close(writable);

        const QVector<UpdateDriveInfo> drives = listUpdateDrives(1);
        QCOMPARE(drives.size(), 1);
        QCOMPARE(drives[0].node, node);
        QCOMPARE(drives[0].port, QStringLiteral("1-4"));
        // Ids the rule does not name: found, but said to be out of reach, with the line that fixes it.
        const DriveAccess access = checkDriveAccess(drives[0]);
        QCOMPARE(access.reachable, ruleCovers);
        if (!ruleCovers) {
            QCOMPARE(access.ruleLine, lumora::platform::usbAccessRuleLine(drives[0].vendorId, drives[0].productId));
            QVERIFY(access.explanation(drives[0]).contains(access.ruleLine));
            rig.grantUsbIds(drives[0].vendorId, drives[0].productId);
            QVERIFY(checkDriveAccess(drives[0]).reachable);
        }
        // Opened read-only: closing it gives udev no cause to probe the disk again.
        const int writableBefore = rig.kernel->writableOpens(node);
        int state = -1;
        QCOMPARE(findUpdateDrive(1, &state, QStringLiteral("1-3")), -1);
        QVERIFY(findUpdateDrive(1, &state, QStringLiteral("1-4")) >= 0);
        QCOMPARE(state, int(StateUBoot));
        QCOMPARE(currentDriveNode(), node);

        rig.writeFile("image", QByteArray(100, 'i'));
        QCOMPARE(loadFile(rig.workspace() + "/image", 0x1F0), 0);
        QCOMPARE(drive->acceptedLoads(), QVector<quint32>{0x1F0});
        QCOMPARE(rig.kernel->writableOpens(node), writableBefore);
    }

    // Two drives at once: each search names its port and gets that drive, not the first one.
    void driveIsPairedWithItsPort()
    {
        UpgradeRig rig;
        QJsonObject other = upgradetest::cameraConfig();
        other.insert("id", "other");
        other.insert("port", "1-2");
        other.insert("serial", "OR4000002");
        other.insert("state", "uboot");
        other.insert("camera", upgradetest::cameraConfig());
        rig.kernel->plug(std::make_shared<lumora::sim::SimUpdateDrive>(other));
        rig.plugDrive("uboot", {{"cdrom", true}});
        const QStringList nodes = rig.kernel->devNodes("other") + rig.kernel->devNodes("cam");
        QCOMPARE(nodes, (QStringList{"/dev/sdb", "/dev/sr0"}));
        int state = -1;
        for (const QString &port : {QStringLiteral("1-4"), QStringLiteral("1-2"), QStringLiteral("1-4")}) {
            QVERIFY(findUpdateDrive(1, &state, port) >= 0);
            QCOMPARE(currentDriveNode(), port == QLatin1String("1-4") ? QStringLiteral("/dev/sr0") : QStringLiteral("/dev/sdb"));
        }
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
        // The file is read a piece of 32 chunks at a time: only the load's
        // very last chunk is marked last, whichever piece it ends.
        const auto fullChunks = [](int n) {
            return QVector<QString>(n, "cdb=e8010000000000008000 dir=out len=32768").toList();
        };
        const QStringList wholePiece = fullChunks(31) + QStringList{"cdb=e8040000000000008000 dir=out len=32768"};
        QTest::newRow("1 MiB: the first piece's last chunk ends the load") << 32 * 32768 << wholePiece;
        const QStringList nextPiece = fullChunks(32) + QStringList{"cdb=e8040000000000000001 dir=out len=1"};
        QTest::newRow("1 MiB and a byte: a byte in a second piece") << 32 * 32768 + 1 << nextPiece;
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

    // The boot ROM has no digest: a chunk the drive took is never sent again,
    // and a transfer that did not go through whole is a failure.
    void rawFileLiftsRomToUpdater_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("chunks");
        const QJsonObject residue{{"usbFaults", QJsonObject{{"residueAt", 2}}}};
        QTest::newRow("clean") << QJsonObject{} << 0 << 3;
        QTest::newRow("chunk passed with a residue: not sent again") << residue << 0 << 3;
        QTest::newRow("drive leaves mid-transfer")
            << QJsonObject{{"protocolFaults", QJsonObject{{"dropAtChunk", 2}}}} << -1 << 2;
    }

    void rawFileLiftsRomToUpdater()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(int, result);
        QFETCH(int, chunks);
        UpgradeRig rig;
        auto drive = rig.plugDrive("rom", faults);
        rig.writeFile("usb_updater.bin", QByteArray(2049, 'u'));
        int state = -1;
        QVERIFY(findUpdateDrive(0, &state) >= 0);
        rig.takeTrace();
        QCOMPARE(sendRawFile(rig.workspace() + "/usb_updater.bin"), result);
        const QStringList all{"cdb=e8010000000000000400 dir=out len=1024", "cdb=e8010000000000000400 dir=out len=1024",
                              "cdb=e8040000000000000001 dir=out len=1"};
        QCOMPARE(rig.takeVendorCommands(), all.mid(0, chunks));
        if (result == 0)
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
