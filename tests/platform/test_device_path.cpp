// Synthesized interface paths work with every path rule of the app.
#include "core/catalogue.h"
#include "platform/device_path.h"

#include <QtTest>

using namespace lumora::platform;

class TestDevicePath : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void shape()
    {
        const UsbInterfaceIdentity id{0x5a17, 0x0110, 0, 3, QStringLiteral("3-1")};
        QVERIFY(QRegularExpression(QStringLiteral(
                                       "^\\\\\\\\\\?\\\\usb#vid_5a17&pid_0110&mi_00#3&[0-9a-f]{8}&0&0000"
                                       "#\\{65e8773d-8f56-11d0-a3b9-00a0c9223196\\}\\\\global$"))
                    .match(synthesizeDevicePath(id))
                    .hasMatch());
        QCOMPARE(synthesizeDevicePath(id), synthesizeDevicePath(id));
    }

    void roundTrip_data()
    {
        QTest::addColumn<int>("vid");
        QTest::addColumn<int>("pid");
        QTest::addColumn<int>("interfaceNumber");
        QTest::addColumn<int>("profile");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("profile 0 camera") << 0x1d6b << 0xff01 << 0 << 0 << true;
        QTest::newRow("profile 1 camera") << 0x5a17 << 0x0307 << 0 << 1 << true;
        QTest::newRow("second interface") << 0x5a17 << 0x0307 << 2 << 1 << false;
        QTest::newRow("other vendor") << 0x3f1c << 0x0a21 << 0 << 1 << false;
        QTest::newRow("excluded product") << 0x5a17 << 0x010e << 0 << 1 << false;
    }
    void roundTrip()
    {
        QFETCH(int, vid);
        QFETCH(int, pid);
        QFETCH(int, interfaceNumber);
        QFETCH(int, profile);
        QFETCH(bool, accepted);
        const QString path = synthesizeDevicePath(
            {quint16(vid), quint16(pid), interfaceNumber, 1, QStringLiteral("1-4")});
        const QString pathId = path.section(QLatin1Char('#'), 1, 2);
        int parsedVid = 0, parsedPid = 0;
        QVERIFY(ParseVidPid(pathId, &parsedVid, &parsedPid));
        QCOMPARE(parsedVid, vid);
        QCOMPARE(parsedPid, pid);
        QCOMPARE(acceptsHotplugPath(path, profile), accepted);
        // The handler lower-cases paths before matching: a synthesized path already is.
        QCOMPARE(path.toLower(), path);
    }

    void identicalCamerasOnOtherPortsDiffer()
    {
        QStringList paths;
        for (const char *port : {"1-2", "1-3", "1-2.1", "2-2"})
            paths << synthesizeDevicePath({0x1d6b, 0xff01, 0, QString::fromLatin1(port).section('-', 0, 0).toInt(),
                                           QString::fromLatin1(port)});
        paths.removeDuplicates();
        QCOMPARE(paths.size(), 4);
    }
};

QTEST_GUILESS_MAIN(TestDevicePath)
#include "test_device_path.moc"
