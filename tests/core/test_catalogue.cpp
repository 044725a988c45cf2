#include "core/catalogue.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList g_captured;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_captured << message;
}

// Collects every message emitted while it lives.
struct LogCapture {
    LogCapture() : previous(qInstallMessageHandler(captureMessage)) { g_captured.clear(); }
    ~LogCapture() { qInstallMessageHandler(previous); }
    QtMessageHandler previous;
};

const QString kOrvantaPath = QStringLiteral("vid_5a17&pid_0110&mi_00#7&1a2b3c4d&0&0000");
const QString kQxPath = QStringLiteral("vid_1d6b&pid_ff01&mi_00#7&2b3c4d5e&0&0000");

// A hot-plug interface path around the given vendor/product part and instance part.
QString interfacePath(const QString &ids, const QString &instance = QStringLiteral("7&1a2b3c4d&0&0000"))
{
    return QStringLiteral("\\\\?\\usb#%1#%2#{e5323777-f976-4f5b-9b55-b94699c46e44}\\global").arg(ids, instance);
}

} // namespace

class TestCatalogue : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parseVidPid_data()
    {
        QTest::addColumn<QString>("pathId");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("vid");
        QTest::addColumn<int>("pid");
        QTest::newRow("empty") << QString() << false << 0 << 0;
        QTest::newRow("interface of composite device") << kOrvantaPath << true << 0x5A17 << 0x0110;
        QTest::newRow("hex letters") << kQxPath << true << 0x1D6B << 0xFF01;
        QTest::newRow("leading text") << QStringLiteral("usb\\vid_1d6b&pid_c00b&mi_00") << true << 0x1D6B << 0xC00B;
        QTest::newRow("pid not followed by &") << QStringLiteral("vid_5a17&pid_0110") << false << 0x5A17 << 0;
        QTest::newRow("upper-case tokens") << QStringLiteral("VID_5A17&PID_0110&MI_00") << false << 0 << 0;
        QTest::newRow("& before vid") << QStringLiteral("pid_0110&vid_5a17&") << false << 0 << 0;
        QTest::newRow("no &") << QStringLiteral("vid_5a17") << false << 0 << 0;
        QTest::newRow("pid not hex") << QStringLiteral("vid_5a17&pid_zz&mi_00") << false << 0x5A17 << 0;
        QTest::newRow("no pid") << QStringLiteral("vid_5a17&mi_00&x") << false << 0x5A17 << 0;
    }
    void parseVidPid()
    {
        QFETCH(QString, pathId);
        QFETCH(bool, ok);
        QFETCH(int, vid);
        QFETCH(int, pid);
        int gotVid = 0;
        int gotPid = 0;
        QCOMPARE(ParseVidPid(pathId, &gotVid, &gotPid), ok);
        QCOMPARE(gotVid, vid);
        QCOMPARE(gotPid, pid);
    }

    void profileLoad_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("vid");
        QTest::addColumn<QStringList>("lines");
        const QString qx = QStringLiteral("credit manufacturer: QX");
        QTest::newRow("no file") << QVariant() << 0 << 0x1D6B << QStringList{qx};
        QTest::newRow("QX") << QVariant(0) << 0 << 0x1D6B << QStringList{qx};
        QTest::newRow("Orvanta") << QVariant(1) << 1 << 0x5A17 << QStringList{"credit manufacturer: Orvanta"};
        // Anything else is one warning and the first profile, not an empty list without a word why.
        for (const QString &stored : {"2", "99", "-1", "abc", "99999999999"})
            QTest::newRow(qPrintable("unknown " + stored)) << QVariant(stored) << 0 << 0x1D6B
                << QStringList{"unknown profile " + stored + " in /product_model/main; using profile 0", qx};
    }
    void profileLoad()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, code);
        QFETCH(int, vid);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        if (stored.isValid())
            QSettings(path, QSettings::IniFormat).setValue(QStringLiteral("/product_model/main"), stored);
        LogCapture capture;
        const ManufacturerProfile profile = loadManufacturerProfile(path);
        QCOMPARE(profile.code, code);
        QCOMPARE(profile.vid, vid);
        QCOMPARE(g_captured, lines);
    }

    void acceptsCamera_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("pathId");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("QX 4K") << 0 << kQxPath << "NV-Optica-4K-AI" << true;
        QTest::newRow("QX 1080 in longer name") << 0 << kQxPath << "USB NV-Optica-1080-AI Camera" << true;
        QTest::newRow("QX other catalogue model") << 0 << kQxPath << "QX-K52-100" << false;
        QTest::newRow("QX name, Orvanta vendor") << 0 << kOrvantaPath << "NV-Optica-4K-AI" << false;
        QTest::newRow("Orvanta") << 1 << kOrvantaPath << "ORBIT 60F" << true;
        QTest::newRow("Orvanta lower-case orbit") << 1 << kOrvantaPath << "orbit 60F" << false;
        QTest::newRow("Orvanta name, QX vendor") << 1 << kQxPath << "ORBIT 60F" << false;
        QTest::newRow("Orvanta unparsable path") << 1 << "vid_5a17&pid_0110" << "ORBIT 60F" << false;
        QTest::newRow("unknown profile") << 2 << kOrvantaPath << "ORBIT 60F" << false;
    }
    void acceptsCamera()
    {
        QFETCH(int, code);
        QFETCH(QString, pathId);
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        CameraDeviceInfo info;
        info.pathId = pathId;
        info.friendlyName = name;
        QCOMPARE(::acceptsCamera(info, code, manufacturerProfile(code).vid), accepted);
    }

    void hotplugPath_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("line");
        const QString orvanta = QStringLiteral("vid_5a17&pid_0110&mi_00");
        const QString qx = QStringLiteral("vid_1d6b&pid_ff01&mi_00");
        QTest::newRow("Orvanta camera") << 1 << interfacePath(orvanta) << true << "";
        QTest::newRow("upper-case VID_5A17") << 1 << interfacePath("VID_5A17&PID_0110&MI_00") << true << "";
        QTest::newRow("three parts") << 1 << "usb#vid_5a17&pid_0110&mi_00#7&1&0&0000" << false << "camera logic error";
        QTest::newRow("five parts") << 1 << interfacePath(orvanta) + "#x" << false << "camera logic error";
        QTest::newRow("empty parts kept") << 2 << "##7&1&0&0000#" << true << "";
        QTest::newRow("short instance") << 1 << interfacePath(orvanta, "7&1a2b3c4d&0000") << false << "camera logic error";
        QTest::newRow("second interface") << 1 << interfacePath(orvanta, "7&1a2b3c4d&0&0002") << false << "";
        QTest::newRow("Orvanta, other vendor") << 1 << interfacePath(qx) << false << "other camera";
        QTest::newRow("Orvanta, ignored product") << 1 << interfacePath("vid_5a17&pid_010E&mi_00") << false << "";
        QTest::newRow("QX camera") << 0 << interfacePath(qx) << true << "";
        QTest::newRow("QX, other vendor") << 0 << interfacePath(orvanta) << false << "other camera_2";
        QTest::newRow("QX, ignored product") << 0 << interfacePath("vid_1d6b&pid_0114&mi_00") << false << "other camera_1";
        QTest::newRow("unknown profile, any vendor") << 2 << interfacePath("vid_abcd&pid_0001&mi_00") << true << "";
    }
    void hotplugPath()
    {
        QFETCH(int, code);
        QFETCH(QString, path);
        QFETCH(bool, accepted);
        QFETCH(QString, line);
        LogCapture capture;
        QCOMPARE(acceptsHotplugPath(path, code), accepted);
        QCOMPARE(g_captured, line.isEmpty() ? QStringList() : QStringList{line});
    }

    void modelFromFriendlyName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("model");
        QTest::newRow("exact") << "ORBIT 160A" << 14;
        QTest::newRow("any case, inside a longer name") << "USB orbit 300 camera" << 11;
        QTest::newRow("first row wins") << "ORBIT 160A ORBIT 60F" << 9;
        QTest::newRow("unknown") << "Integrated Webcam" << kNoModel;
    }
    void modelFromFriendlyName()
    {
        QFETCH(QString, name);
        QFETCH(int, model);
        QCOMPARE(::modelFromFriendlyName(name), model);
    }

    void modelFromVidPid_data()
    {
        QTest::addColumn<QString>("pathId");
        QTest::addColumn<int>("model");
        QTest::newRow("Orvanta 160A") << "vid_5a17&pid_0307&mi_00" << 14;
        QTest::newRow("same pid, QX vendor") << "vid_1d6b&pid_0307&mi_00" << 4;
        QTest::newRow("unknown product") << "vid_5a17&pid_9999&mi_00" << kNoModel;
        QTest::newRow("unparsable") << "vid_5a17&pid_0307" << kNoModel;
    }
    void modelFromVidPid()
    {
        QFETCH(QString, pathId);
        QFETCH(int, model);
        QCOMPARE(::modelFromVidPid(pathId), model);
    }

    void shortDeviceName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("16 chars, no blank") << "abcdefghijklmnop" << "abcdefghijklmnop";
        QTest::newRow("16 chars, blank") << "abcdefg hijklmno" << "hijklmno";
        QTest::newRow("15 chars, blank") << "abcdefg hijklmn" << "abcdefg hijklmn";
        QTest::newRow("drops only the first word") << "Vendor  ORBIT 60F camera " << "ORBIT 60F camera";
    }
    void shortDeviceName()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        QCOMPARE(::shortDeviceName(name), shown);
    }

    void stateTextsAndSupportAddress()
    {
        QCOMPARE(cameraStateText(kCameraConnected), QStringLiteral("CONNECTED"));
        QCOMPARE(cameraStateText(kCameraDisconnected), QStringLiteral("DISCONNECTED"));
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        QSettings(path, QSettings::IniFormat).setValue(QStringLiteral("/support/host"), QStringLiteral("help.test"));
        QCOMPARE(supportAddress(path), QStringLiteral("https://help.test/support/"));
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "test_catalogue.moc"
