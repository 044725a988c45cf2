// Finding the vendor extension unit in a camera's raw USB descriptors.
#include "device/uvcextensionunit.h"
#include "device/xudescriptor.h"

#include <QtTest>

namespace {

// A dual-function (video + microphone) camera as its sysfs "descriptors" file
// holds it; the vendor unit is the second of three extension units.
const char kDevice[] = "12010002ef020140175a070322010102030 1";
const char kConfigHead[] = "0902e30104010080fa" // configuration, 4 interfaces
                           "080b00020e030000";  // interface association: video
const char kVideoControl[] = "090400000 10e010000" // interface 0, video class, control subclass
                             "0d2401 0001 5c00 80c3c901 01 01" // VC header
                             "12240201 0102 00 00 000000000000 03 0e0000" // camera terminal
                             "0b240502 01 0040 02 5b17 00"; // processing unit
// VC_EXTENSION_UNIT: length, 24 06, unit id, GUID, controls, 1 pin, source, control size, bitmap, iExtension.
const char kChipsetUnit[] = "1b240603 41769ea204dee3478b2bf4341aff003b 06 01 02 02 3f00 00";
const char kVendorUnit[] = "1b240606 d09ee423781131 4fae52d2fb8a8d3b48 03 01 02 02 0b00 00";
const char kDebugUnit[] = "1a240607 0fb885a9a4e1ac418b8a6f7e8c7be7fd 01 01 06 01 01 00";
const char kVideoTail[] = "09240305 0101 00 07 00" // output terminal
                          "0705830310000 8 0525031000" // interrupt endpoint
                          "090401000 00e020000" // interface 1, video streaming
                          "0e240101 7f00 81 00 05 01 00 00 01 00" // input header
                          "0b2406 01 01 01 01 00 00 00 00"; // MJPEG format: subtype 6 as well
const char kAudio[] = "0904020000010100 00" // interface 2, audio control
                      "0924010001 2600 0103" // AC header
                      "0c240201 0102 00 01 0000 00 00" // input terminal
                      "09240603 01 01 0300 00"; // feature unit: subtype 6 in audio

QByteArray hex(const char *text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

QByteArray camera(bool withUnits)
{
    QByteArray d = hex(kDevice) + hex(kConfigHead) + hex(kVideoControl);
    if (withUnits)
        d += hex(kChipsetUnit) + hex(kVendorUnit) + hex(kDebugUnit);
    return d + hex(kVideoTail) + hex(kAudio);
}

ExtensionUnitGuid otherGuid() { return ExtensionUnitGuid{}; }

} // namespace

class TestXuDescriptor : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fixtureIsWellFormed()
    {
        // Every descriptor length adds up to the end: the fixture itself is sound.
        const QByteArray d = camera(true);
        int at = 0;
        while (at < d.size() && quint8(d[at]) >= 2)
            at += quint8(d[at]);
        QCOMPARE(at, d.size());
    }

    void picksUnit_data()
    {
        QTest::addColumn<QByteArray>("descriptors");
        QTest::addColumn<bool>("vendorGuid");
        QTest::addColumn<int>("units");
        QTest::addColumn<int>("picked");

        const QByteArray full = camera(true);
        const int vendorAt = full.indexOf(hex(kVendorUnit));
        QTest::newRow("vendor unit second of three") << full << true << 3 << 6;
        QTest::newRow("other GUID takes the first") << full << false << 3 << 3;
        QTest::newRow("no extension unit") << camera(false) << true << 0 << -1;
        QTest::newRow("cut inside the vendor unit") << full.left(vendorAt + 10) << true << 1 << 3;
        QTest::newRow("zero length stops the walk") << full.left(vendorAt) + QByteArray(4, '\0') + full.mid(vendorAt)
                                                    << true << 1 << 3;
        QByteArray streamingOnly = hex("090401000 00e020000") + hex(kVendorUnit);
        QTest::newRow("unit-shaped descriptor in a streaming interface") << streamingOnly << true << 0 << -1;
        QTest::newRow("empty file") << QByteArray() << true << 0 << -1;
    }

    void picksUnit()
    {
        QFETCH(QByteArray, descriptors);
        QFETCH(bool, vendorGuid);
        QFETCH(int, units);
        QFETCH(int, picked);

        const QVector<ExtensionUnitDescriptor> found = parseExtensionUnits(descriptors);
        QCOMPARE(found.size(), units);
        const ExtensionUnitDescriptor *unit
            = pickExtensionUnit(found, vendorGuid ? UVCExtensionUnit::kPropertySet : otherGuid());
        QCOMPARE(unit ? unit->unitId : -1, picked);
    }

    void onlyTheActiveConfiguration_data()
    {
        QTest::addColumn<int>("active");
        QTest::addColumn<int>("units");
        QTest::addColumn<int>("picked");
        QTest::newRow("first active: it has no unit") << 1 << 0 << -1;
        QTest::newRow("second active: its units") << 2 << 3 << 6;
        QTest::newRow("unknown takes the first") << -1 << 0 << -1;
        QTest::newRow("unconfigured device") << 0 << 0 << -1;
    }

    void onlyTheActiveConfiguration()
    {
        QFETCH(int, active);
        QFETCH(int, units);
        QFETCH(int, picked);
        // The sysfs file holds every configuration in turn; the second one has the units.
        QByteArray second = camera(true).mid(hex(kDevice).size());
        second[5] = 2; // bConfigurationValue
        const QVector<ExtensionUnitDescriptor> found = parseExtensionUnits(camera(false) + second, active);
        QCOMPARE(found.size(), units);
        const ExtensionUnitDescriptor *unit = pickExtensionUnit(found, UVCExtensionUnit::kPropertySet);
        QCOMPARE(unit ? unit->unitId : -1, picked);
    }

    void readsVendorUnitFields()
    {
        const QVector<ExtensionUnitDescriptor> found = parseExtensionUnits(camera(true));
        const ExtensionUnitDescriptor *unit = pickExtensionUnit(found, UVCExtensionUnit::kPropertySet);
        QVERIFY(unit);
        QCOMPARE(unit->numControls, 3);
        QCOMPARE(unit->controls, hex("0b00")); // selectors 1, 2 and 4
    }
};

QTEST_GUILESS_MAIN(TestXuDescriptor)
#include "test_xu_descriptor.moc"
