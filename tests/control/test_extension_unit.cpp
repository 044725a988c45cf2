// The extension-unit channel and the vendor command set against the simulated
// camera, checked on the wire trace and on the camera's own state.
// LABELS: worker
#include "device/uvcextensionunit.h"
#include "device/v4l2controlnode.h"
#include "simrig.h"
#include "support/testsupport.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <functional>

using controltest::SimRig;
using controltest::cameraConfig;
using Command = std::function<bool(UVCExtensionUnit &)>;
Q_DECLARE_METATYPE(Command)

namespace {

QString set(int selector, const char *out) { return QStringLiteral("set sel=%1 out=%2 rc=0").arg(selector).arg(out); }

} // namespace

class TestExtensionUnit : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimRig> rig;
    std::shared_ptr<lumora::sim::SimCamera> camera;
    std::unique_ptr<UVCExtensionUnit> unit;

    void open(const QJsonObject &config = cameraConfig("cam", "2"))
    {
        camera = rig->plug(config);
        QVERIFY(unit->InitVideoDevice(QString(), config.value("product").toString()));
        rig->takeXu();
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<SimRig>();
        unit = std::make_unique<UVCExtensionUnit>();
    }
    void cleanup()
    {
        unit.reset();
        camera.reset();
        rig.reset();
    }

    void commandOnTheWire_data()
    {
        QTest::addColumn<Command>("command");
        QTest::addColumn<QStringList>("wire");
        QTest::addColumn<QString>("feature");
        QTest::addColumn<int>("state");

        using U = UVCExtensionUnit;
        auto row = [](const char *name, Command c, QStringList wire, const char *feature = "", int state = 0) {
            QTest::newRow(name) << c << wire << QString(feature) << state;
        };
        row("SetHDR", [](U &u) { return u.SetHDR(1); }, {set(1, "0101010000000000")}, "hdr", 1);
        row("SetAntiFlicker", [](U &u) { return u.SetAntiFlicker(2); }, {set(1, "0201020000000000")}, "antiFlicker", 2);
        row("SetMicEnable", [](U &u) { return u.SetMicEnable(0); }, {set(1, "0401000000000000")}, "mic", 0);
        row("SetViewAngle", [](U &u) { return u.SetViewAngle(2); }, {set(1, "0c01020000000000")}, "viewAngle", 2);
        row("SetHD", [](U &u) { return u.SetHD(0); }, {set(1, "0d01000000000000")}, "hd", 0);
        row("SetTrackMode", [](U &u) { return u.SetTrackMode(3); }, {set(1, "1001030000000000")}, "trackMode", 3);
        row("SetTrackEffect", [](U &u) { return u.SetTrackEffect(0); }, {set(1, "1101000000000000")}, "trackEffect", 0);
        row("SetTrackSpeed", [](U &u) { return u.SetTrackSpeed(2); }, {set(1, "1201020000000000")}, "trackSpeed", 2);
        row("value above 255 sends its low byte", [](U &u) { return u.SetHDR(0x101); }, {set(1, "0101010000000000")},
            "hdr", 1);
        row("RestoreDefaults", [](U &u) { return u.RestoreDefaults(); }, {set(1, "7f01000000000000")});
        row("EnableAutoFocus", [](U &u) { return u.EnableAutoFocus(); }, {set(1, "40ffff0000000000")});
        row("EnterUpgradeMode", [](U &u) { return u.EnterUpgradeMode(); }, {set(4, "00ff073c96c31e6b")});

        // The camera's own state (config below) answers the queries.
        const struct {
            const char *name;
            std::function<bool(U &, int &)> get;
            const char *code;
            const char *value;
        } queries[] = {
            {"GetHDR", &U::GetHDR, "81", "01"},
            {"GetAntiFlicker", &U::GetAntiFlicker, "82", "02"},
            {"GetMicEnable", &U::GetMicEnable, "84", "00"},
            {"GetViewAngle", &U::GetViewAngle, "8c", "02"},
            {"GetHD", &U::GetHD, "8d", "00"},
            {"GetTrackMode", &U::GetTrackMode, "90", "03"},
            {"GetTrackEffect", &U::GetTrackEffect, "91", "00"},
            {"GetTrackSpeed", &U::GetTrackSpeed, "92", "02"},
        };
        for (const auto &q : queries) {
            const QString code(q.code);
            const int expected = QString(q.value).toInt(nullptr, 16);
            auto get = q.get;
            row(q.name, [get, expected](U &u) {
                int value = -1;
                return get(u, value) && value == expected;
            },
                {set(1, qPrintable(code + "01" + "000000000000")),
                 "get sel=2 out=" + code + "02" + "000000000000" + " in=" + code + "01" + q.value + "0000000000"
                     + " rc=0"});
        }
        row("GetVersion", [](U &u) {
            QString version;
            return u.GetVersion(0x80, version) && version == "1.0.22";
        },
            {set(1, "8001000000000000"), "get sel=2 out=8002000000000000 in=8001000100000016 rc=0"});
    }

    void commandOnTheWire()
    {
        QFETCH(Command, command);
        QFETCH(QStringList, wire);
        QFETCH(QString, feature);
        QFETCH(int, state);

        QJsonObject config = cameraConfig("cam", "2");
        config["features"] = QJsonObject{{"hdr", 1}, {"antiFlicker", 2}, {"mic", 0}, {"viewAngle", 2},
                                         {"hd", 0}, {"trackMode", 3}, {"trackEffect", 0}, {"trackSpeed", 2}};
        if (!feature.isEmpty())
            config["features"] = QJsonObject{};
        open(config);
        QVERIFY(command(*unit));
        QCOMPARE(rig->takeXu(), wire);
        if (!feature.isEmpty())
            QCOMPARE(camera->extensionUnit().feature(feature), state);
    }

    void sequenceWrapsAfter255()
    {
        open();
        for (int i = 0; i < 254; ++i)
            QVERIFY(unit->SetHDR(0));
        rig->takeXu();
        QVERIFY(unit->SetHDR(0));
        QVERIFY(unit->SetHDR(0));
        QVERIFY(unit->SetHDR(0));
        QCOMPARE(rig->takeXu(), QStringList({set(1, "01ff000000000000"), set(1, "0100000000000000"),
                                             set(1, "0101000000000000")}));
    }

    void unsequencedCommandsAndReleaseResetNumbering()
    {
        open();
        QVERIFY(unit->SetHDR(1));
        QVERIFY(unit->EnableAutoFocus());
        QVERIFY(unit->SetHDR(0));
        unit->ReleaseVideoDevice();
        QVERIFY(unit->InitVideoDevice(QString(), "ORBIT 400"));
        QVERIFY(unit->SetHDR(1));
        const QStringList wire = rig->takeXu();
        QCOMPARE(wire.value(2), set(1, "0102000000000000"));
        QCOMPARE(wire.value(3), set(1, "0101010000000000"));
    }

    void failedRequestReadsNoReply()
    {
        open();
        camera->faults().failNth(1, EIO);
        int value = 42;
        QVERIFY(!unit->GetTrackMode(value));
        QCOMPARE(value, 42);
        QCOMPARE(rig->takeXu(), QStringList({"set sel=1 out=9001000000000000 rc=-5"}));
    }

    void versionOfOlderFirmwareNeedsTheLegacyCode()
    {
        QJsonObject config = cameraConfig("cam", "2");
        config["extensionUnit"] = QJsonObject{{"legacyVersion", true}};
        open(config);
        QString version = "untouched";
        QVERIFY(!unit->GetVersion(0x80, version));
        QCOMPARE(version, QString("untouched"));
        QVERIFY(unit->GetVersion(0x0B, version));
        QCOMPARE(version, QString("1.0.22"));
    }

    void closedUnitRefusesAtOnce()
    {
        QSignalSpy recoveries(unit.get(), &UVCExtensionUnit::reInitUvc);
        auto attempt = [this] {
            quint8 data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            quint32 returned = 77;
            const auto status = unit->SetGetExtensionUnit(UVCExtensionUnit::kPropertySet, 2,
                                                          UVCExtensionUnit::kFlagsGet, data, 8, &returned);
            QCOMPARE(status, UVCExtensionUnit::kStatusPointer);
            QCOMPARE(returned, 77u);
            QCOMPARE(data[0], quint8(1));
        };
        attempt();
        open();
        unit->ReleaseVideoDevice();
        attempt();
        QCOMPARE(recoveries.count(), 0);
        QVERIFY(rig->takeXu().isEmpty());
    }

    void cameraWithoutExtensionUnitFailsWithoutRecovery()
    {
        QJsonObject config = cameraConfig("cam", "2");
        config["extensionUnit"] = false;
        open(config);
        QSignalSpy recoveries(unit.get(), &UVCExtensionUnit::reInitUvc);
        quint8 data[8] = {};
        quint32 returned = 0;
        QCOMPARE(unit->SetGetExtensionUnit(UVCExtensionUnit::kPropertySet, 1, UVCExtensionUnit::kFlagsSet, data, 8,
                                           &returned),
                 UVCExtensionUnit::kStatusFail);
        QVERIFY(!unit->SetHDR(1));
        QCOMPARE(recoveries.count(), 0);
        QVERIFY(rig->takeXu().isEmpty());
    }

    void failureOnGuiThreadReopensBeforeReturning()
    {
        open();
        bool reopened = false;
        connect(unit.get(), &UVCExtensionUnit::reInitUvc, this,
                [&] { reopened = unit->ReopenVideoDevice(QString(), "ORBIT 400"); });
        QVERIFY(unit->SetHDR(1));
        camera->faults().failNth(1, EIO);
        QVERIFY(!unit->SetHDR(0));
        QVERIFY(reopened);
        QVERIFY(unit->isOpen());
        QCOMPARE(unit->sequenceCounter, 0);
        QVERIFY(unit->SetHDR(1));
        QCOMPARE(rig->takeXu().last(), set(1, "0101010000000000"));
    }

    void failureOnWorkerRecoversLaterOnGuiThread()
    {
        open();
        QThread *recoveredOn = nullptr;
        connect(unit.get(), &UVCExtensionUnit::reInitUvc, this, [&] {
            recoveredOn = QThread::currentThread();
            unit->ReopenVideoDevice(QString(), "ORBIT 400");
        });
        camera->faults().failNth(1, EIO);
        bool sent = true;
        QThread *worker = QThread::create([&] { sent = unit->EnterUpgradeMode(); });
        worker->start();
        QVERIFY(worker->wait(5000));
        delete worker;
        QVERIFY(!sent);
        QCOMPARE(recoveredOn, nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(recoveredOn, QThread::currentThread(), deadlineMs(5000));
        QVERIFY(unit->isOpen());
    }

    void concurrentTransfersStayWhole()
    {
        open();
        QThread *worker = QThread::create([&] {
            // Another request between a query's request and its reply would replace the staged answer.
            for (int i = 0; i < 50; ++i)
                unit->EnableAutoFocus();
        });
        worker->start();
        for (int i = 0; i < 50; ++i) {
            int mode = -1;
            QVERIFY(unit->GetTrackMode(mode));
            QCOMPARE(mode, 1);
        }
        QVERIFY(worker->wait(5000));
        delete worker;
    }

    void cameraLeavingMidTransferClosesTheUnit()
    {
        open();
        connect(unit.get(), &UVCExtensionUnit::reInitUvc, this,
                [&] { unit->ReopenVideoDevice(QString(), "ORBIT 400"); });
        camera->faults().dropOnNth(1);
        QVERIFY(!unit->SetHDR(1));
        QVERIFY(!unit->isOpen());
        QVERIFY(!unit->SetHDR(1));
    }

    void sameNameToldApartByPathId()
    {
        auto first = rig->plug(cameraConfig("a", "2"));
        auto second = rig->plug(cameraConfig("b", "3"));
        QVector<CameraDeviceInfo> devices;
        V4l2ControlNode().ListCameraDevices(devices);
        QCOMPARE(devices.size(), 2);
        QVERIFY(devices[0].pathId != devices[1].pathId);

        QVERIFY(unit->InitVideoDevice(devices[1].pathId, "ORBIT 400"));
        QVERIFY(unit->SetHDR(1));
        QCOMPARE(second->extensionUnit().feature("hdr"), 1);
        QCOMPARE(first->extensionUnit().feature("hdr"), 0);

        QVERIFY(unit->InitVideoDevice(QString(), "ORBIT 400"));
        QVERIFY(unit->SetHDR(1));
        QCOMPARE(first->extensionUnit().feature("hdr"), 1);

        QVERIFY(!unit->InitVideoDevice(QString(), "orbit 400"));
        QVERIFY(!unit->InitVideoDevice(devices[1].pathId + "x", "ORBIT 400"));
    }
};

QTEST_GUILESS_MAIN(TestExtensionUnit)
#include "test_extension_unit.moc"
