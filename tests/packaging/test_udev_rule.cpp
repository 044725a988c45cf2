// The shipped udev rule reaches the cameras and update drives Lumora serves,
// and nothing else. This machine has no udevadm to run the rule on emulated
// devices, so the rule's own lines are applied by platform::applyUdevRules,
// which follows udev's matching (parent keys of a line on one device,
// globs with "|", GOTO/LABEL, ENV set by earlier lines). The camera id lines
// are held to the catalogue's acceptance, and the drive lines to the vendor
// and product texts the update channel accepts.
#include "core/catalogue.h"
#include "platform/udev_rules.h"
#include "upgrade/updatechannel.h"

#include <QtTest>

using namespace lumora::platform;

Q_DECLARE_METATYPE(lumora::platform::UdevDevice)

namespace {

using Attributes = QMap<QString, QString>;

QString hex4(int id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); }

// A whole USB disk as the block subsystem shows it: the disk, its SCSI
// device with the INQUIRY texts, the USB interface, the USB device, the root hub.
UdevDevice usbDisk(int vendorId, int productId, const QString &vendor, const QString &model)
{
    UdevDevice disk;
    disk.properties = {{"DEVTYPE", "disk"}};
    disk.chain = {{"block", "sdb", {{"events_poll_msecs", "2000"}, {"removable", "1"}}},
                  {"scsi", "6:0:0:0", {{"vendor", vendor.leftJustified(8, ' ')}, {"model", model.leftJustified(16, ' ')}}},
                  {"", "host6", {}},
                  {"usb", "1-4:1.0", {{"bInterfaceClass", "08"}}},
                  {"usb", "1-4", {{"idVendor", hex4(vendorId)}, {"idProduct", hex4(productId)}}},
                  {"usb", "usb1", {{"idVendor", "1d6b"}, {"idProduct", "0002"}}}};
    return disk;
}

UdevDevice ataDisk(const QString &vendor, const QString &model)
{
    UdevDevice disk;
    disk.properties = {{"DEVTYPE", "disk"}};
    disk.chain = {{"block", "sda", {{"events_poll_msecs", "-1"}}},
                  {"scsi", "0:0:0:0", {{"vendor", vendor}, {"model", model}}},
                  {"", "host0", {}},
                  {"pci", "0000:00:17.0", {{"vendor", "0x8086"}}}};
    return disk;
}

UdevDevice videoNode(int vendorId, int productId)
{
    UdevDevice node;
    node.chain = {{"video4linux", "video0", {{"name", "camera"}}},
                  {"usb", "1-2:1.0", {{"bInterfaceClass", "0e"}}},
                  {"usb", "1-2", {{"idVendor", hex4(vendorId)}, {"idProduct", hex4(productId)}}},
                  {"usb", "usb1", {{"idVendor", "1d6b"}, {"idProduct", "0002"}}}};
    return node;
}

// All a drive line gives a disk, or nothing of it.
bool treatedAsUpdateDrive(const UdevOutcome &o)
{
    const bool all = o.tags.contains("uaccess") && o.properties.value("UDISKS_IGNORE") == "1"
        && o.options.contains("nowatch") && o.attributeWrites.value("events_poll_msecs") == "0"
        && o.properties.value("LUMORA_UPDATE_DRIVE") == "1";
    const bool none = !o.tags.contains("uaccess") && !o.options.contains("nowatch")
        && !o.attributeWrites.contains("events_poll_msecs") && !o.properties.contains("LUMORA_UPDATE_DRIVE");
    if (!all && !none)
        qWarning() << "partly treated as an update drive:" << o.tags << o.properties << o.options << o.attributeWrites;
    return all;
}

} // namespace

class TestUdevRule : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void disksThatAreNotOurs_data()
    {
        QTest::addColumn<UdevDevice>("disk");
        QTest::newRow("another vendor's stick whose vendor text starts with GC")
            << usbDisk(0x0781, 0x5581, "GCTech", "Flash Disk");
        QTest::newRow("a GC stick whose product text starts with U")
            << usbDisk(0x0781, 0x5581, "GC", "USB DISK 3.0");
        QTest::newRow("an internal disk with the update drive's texts") << ataDisk("GC", "UBOOT");
        UdevDevice ignored = usbDisk(0x0781, 0x5581, "SanDisk", "Ultra");
        ignored.properties.insert("UDISKS_IGNORE", "1"); // set by another rule
        QTest::newRow("a disk another rule hid from udisks") << ignored;
        QTest::newRow("a disk behind a QX-vendor hub product") << usbDisk(0x1d6b, 0x0104, "Generic", "Card Reader");
    }

    void disksThatAreNotOurs()
    {
        QFETCH(UdevDevice, disk);
        const UdevOutcome outcome = applyUdevRules(shippedUdevRule(), disk);
        QVERIFY(!treatedAsUpdateDrive(outcome));
        QVERIFY(!outcome.tags.contains("uaccess"));
        QVERIFY(!outcome.attributeWrites.contains("events_poll_msecs"));
        QCOMPARE(outcome.properties.value("UDISKS_IGNORE"), disk.properties.value("UDISKS_IGNORE"));
    }

    void updateDrivesMatch_data()
    {
        QTest::addColumn<UdevDevice>("disk");
        for (const char *product : {"", "UPDATER", "UBOOT"}) {
            const QString state = *product ? QString::fromLatin1(product) : QStringLiteral("ROM");
            QTest::addRow("%s, ORBIT 400's ids", qPrintable(state)) << usbDisk(0x5a17, 0x0305, "Linux", product);
            QTest::addRow("%s, NV-Optica 4K's ids", qPrintable(state)) << usbDisk(0x1d6b, 0xff01, "Linux", product);
            for (const char *vendor : {"GC", "QXK52", "VPT41", "QXVPT", "NVOPT", "ORBIT"})
                QTest::addRow("%s, chip maker's ids, vendor %s", qPrintable(state), vendor)
                    << usbDisk(0x1b3f, 0x0c52, vendor, product);
        }
    }

    void updateDrivesMatch()
    {
        QFETCH(UdevDevice, disk);
        QVERIFY(treatedAsUpdateDrive(applyUdevRules(shippedUdevRule(), disk)));
    }

    // The rule's texts are the update channel's: a vendor text it accepts for
    // either profile, with the product text of an update state.
    void driveTextsAgreeWithTheChannel_data()
    {
        QTest::addColumn<QString>("vendor");
        QTest::addColumn<QString>("product");
        for (const char *vendor : {"GC", "GCX", "QXK52", "QXK5", "VPT41", "QXVPT", "NVOPT", "NVOPTICA", "ORBIT", "ORBI", "Linux"})
            for (const char *product : {"", "UPDATER", "UPD", "UBOOT", "UBO", "Flash Disk", "UPDATE DISK"})
                QTest::addRow("%s / %s", vendor, *product ? product : "empty") << vendor << product;
    }

    void driveTextsAgreeWithTheChannel()
    {
        QFETCH(QString, vendor);
        QFETCH(QString, product);
        using namespace lumora::upgrade;
        const bool accepted = (acceptsVendor(kManufacturerQX, vendor.toLatin1()) || acceptsVendor(kManufacturerOrvanta, vendor.toLatin1()))
            && stateFromProduct(product.toLatin1()) != StateNone;
        QCOMPARE(treatedAsUpdateDrive(applyUdevRules(shippedUdevRule(), usbDisk(0x1b3f, 0x0c52, vendor, product))), accepted);
    }

    // Every catalogue row: the rule grants its video and USB device nodes
    // exactly when one of the profiles accepts it as a camera.
    void cameraIdsAgreeWithTheCatalogue_data()
    {
        QTest::addColumn<int>("vendorId");
        QTest::addColumn<int>("productId");
        QTest::addColumn<QString>("name");
        for (const ModelEntry &row : modelDisplayTable)
            QTest::addRow("%s", row.name) << row.vid << row.pid << QString::fromLatin1(row.name);
        QTest::newRow("root hub") << 0x1d6b << 0x0002 << "xHCI Host Controller";
        QTest::newRow("another vendor's webcam") << 0x3f1c << 0x0a21 << "HD USB Webcam";
    }

    void cameraIdsAgreeWithTheCatalogue()
    {
        QFETCH(int, vendorId);
        QFETCH(int, productId);
        QFETCH(QString, name);
        bool accepted = false;
        for (const ManufacturerEntry &profile : manufacturerTable) {
            CameraDeviceInfo info;
            info.pathId = QStringLiteral("vid_%1&pid_%2&mi_00").arg(hex4(vendorId), hex4(productId));
            info.friendlyName = name;
            accepted = accepted || acceptsCamera(info, profile.code, profile.vid);
        }
        QCOMPARE(rulesGrantUsbDevice(shippedUdevRule(), vendorId, productId), accepted);
        QCOMPARE(applyUdevRules(shippedUdevRule(), videoNode(vendorId, productId)).tags.contains("uaccess"), accepted);
        // An update drive with the camera's own ids is ours as well.
        QCOMPARE(treatedAsUpdateDrive(applyUdevRules(shippedUdevRule(), usbDisk(vendorId, productId, "Linux", "File-Stor"))),
                 accepted);
    }

    // A removal runs none of the lines.
    void removalIsLeftAlone()
    {
        UdevDevice disk = usbDisk(0x5a17, 0x0305, "GC", "UBOOT");
        disk.action = QStringLiteral("remove");
        const UdevOutcome outcome = applyUdevRules(shippedUdevRule(), disk);
        QVERIFY(outcome.tags.isEmpty() && outcome.options.isEmpty() && outcome.attributeWrites.isEmpty());
    }
};

QTEST_MAIN(TestUdevRule)
#include "test_udev_rule.moc"
