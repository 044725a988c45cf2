// Capture-device enumeration and binding on the simulated kernel.
#include "simcameras.h"

#include "core/catalogue.h"
#include "device/v4l2controlnode.h"
#include "platform/kernel.h"

#include <QtTest>

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

using namespace testdevices;

class TestEnumeration : public QObject {
    Q_OBJECT

private:
    lumora::sim::SimKernel *m_sim = nullptr;
    V4l2ControlNode m_wrapper;

    QString busInfoOf(int fd)
    {
        v4l2_capability cap{};
        if (lumora::platform::kernel().ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
            return {};
        return QString::fromLatin1(reinterpret_cast<const char *>(cap.bus_info));
    }

private Q_SLOTS:
    // In plug order: a camera with a metadata node, a microphone's video
    // function, a platform camera, and two identical cameras.
    void init()
    {
        auto sim = std::make_unique<lumora::sim::SimKernel>();
        m_sim = sim.get();
        m_sim->plug(camera("optica", "NV-Optica-4K-AI", 0x1d6b, 0xff01, "2"));
        m_sim->plug(camera("mic", "USB Mic Array", 0x1d6b, 0x0200, "3"));
        m_sim->plug(platformCamera("builtin"));
        m_sim->plug(orbit160a("left", "4"));
        m_sim->plug(orbit160a("right", "5.1"));
        lumora::platform::installKernel(std::move(sim));
    }
    void cleanup() { m_wrapper.ReleaseCameraDevice(); }

    void listsCaptureDevicesInNodeOrder()
    {
        QVector<CameraDeviceInfo> devices{CameraDeviceInfo{}};
        QCOMPARE(m_wrapper.ListCameraDevices(devices), 5);
        devices.removeFirst(); // records are appended to what the vector held

        QCOMPARE(devices.size(), 4);
        const QVector<int> indices{devices[0].index, devices[1].index, devices[2].index, devices[3].index};
        QCOMPARE(indices, (QVector<int>{0, 2, 3, 4})); // the microphone keeps position 1, metadata nodes none
        QCOMPARE(devices[0].friendlyName, QStringLiteral("NV-Optica-4K-AI"));
        QCOMPARE(devices[0].alias, m_sim->devNodes("optica").value(0));
        QVERIFY(!devices[0].alias.contains(':'));
        QVERIFY(devices[0].pathId.startsWith(QLatin1String("vid_1d6b&pid_ff01&mi_00#")));
        QVERIFY(devices[0].pathId.endsWith(QLatin1String("&0&0000")));

        QCOMPARE(devices[1].friendlyName, QStringLiteral("Integrated Camera"));
        QCOMPARE(devices[1].pathId, QString());
        QVERIFY(!acceptsCamera(devices[1], 1, 0x5a17));

        QVERIFY(devices[2].pathId != devices[3].pathId);
        for (const CameraDeviceInfo &orbit : {devices[2], devices[3]}) {
            int vid = 0, pid = 0;
            QVERIFY(ParseVidPid(orbit.pathId, &vid, &pid));
            QCOMPARE(vid, 0x5a17);
            QCOMPARE(pid, 0x0307);
            QVERIFY(acceptsCamera(orbit, 1, 0x5a17));
        }
    }

    // The driver's card is cut to 31 bytes; the list shows the full USB
    // strings and the catalogue judges those.
    void namesComeFromTheFullStrings_data()
    {
        QTest::addColumn<QJsonObject>("strings");
        QTest::addColumn<int>("vid");
        QTest::addColumn<int>("manufacturer");
        QTest::addColumn<QByteArray>("card");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("listed");

        QTest::newRow("short iProduct") << QJsonObject{{"product", "ORBIT 160A"}} << 0x5a17 << int(kManufacturerOrvanta)
                                        << QByteArray("ORBIT 160A") << "ORBIT 160A" << true;
        QTest::newRow("long iProduct with iFunction")
            << QJsonObject{{"product", "QX NV-Optica-4K-AI"}, {"function", "QX NV-Optica"}} << 0x1d6b << int(kManufacturerQX)
            << QByteArray("QX NV-Optica-4K-AI: QX NV-Optic") << "QX NV-Optica-4K-AI" << true;
        QTest::newRow("model token past byte 31")
            << QJsonObject{{"product", "QX Conference Room Camera NV-Optica-1080-AI"}} << 0x1d6b << int(kManufacturerQX)
            << QByteArray("QX Conference Room Camera NV-Op") << "QX Conference Room Camera NV-Optica-1080-AI" << true;
        QTest::newRow("other vendor's long name")
            << QJsonObject{{"product", "QX Conference Room Camera Model Z"}} << 0x1d6b << int(kManufacturerQX)
            << QByteArray("QX Conference Room Camera Model") << "QX Conference Room Camera Model Z" << false;
        QTest::newRow("model named by the interface")
            << QJsonObject{{"product", "USB Camera"}, {"interfaceName", "NV-Optica-4K-AI"}} << 0x1d6b << int(kManufacturerQX)
            << QByteArray("USB Camera: NV-Optica-4K-AI") << "NV-Optica-4K-AI" << true;
        QTest::newRow("iFunction stops before a character that does not fit")
            << QJsonObject{{"product", QString::fromUtf8("ORBIT 160A Caméra")}, {"function", QString::fromUtf8("Vidéo coné")}}
            << 0x5a17 << int(kManufacturerOrvanta) << QByteArray("ORBIT 160A Cam\xc3\xa9ra: Vid\xc3\xa9o con")
            << QString::fromUtf8("ORBIT 160A Caméra") << true;
        QTest::newRow("iProduct cut inside a character")
            << QJsonObject{{"product", QString::fromUtf8("ORBIT 160A Camera for the roomé")}} << 0x5a17
            << int(kManufacturerOrvanta) << QByteArray("ORBIT 160A Camera for the room\xc3")
            << QString::fromUtf8("ORBIT 160A Camera for the roomé") << true;
        QTest::newRow("no strings") << QJsonObject{} << 0x1d6b << int(kManufacturerQX) << QByteArray("UVC Camera (1d6b:ff01)")
                                    << "UVC Camera (1d6b:ff01)" << false;
    }
    void namesComeFromTheFullStrings()
    {
        QFETCH(QJsonObject, strings);
        QFETCH(int, vid);
        QFETCH(int, manufacturer);
        QFETCH(QByteArray, card);
        QFETCH(QString, name);
        QFETCH(bool, listed);

        QJsonObject config{{"id", "cam"}, {"vendorId", vid}, {"productId", 0xff01}, {"port", "2"}};
        for (auto it = strings.begin(); it != strings.end(); ++it)
            config.insert(it.key(), it.value());
        auto sim = std::make_unique<lumora::sim::SimKernel>();
        sim->plug(lumora::sim::makeCamera(config));
        const QString node = sim->devNodes("cam").value(0);
        lumora::platform::installKernel(std::move(sim));

        const int fd = lumora::platform::kernel().open(node, O_RDWR | O_NONBLOCK);
        QVERIFY(fd >= 0);
        v4l2_capability cap{};
        QCOMPARE(lumora::platform::kernel().ioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
        lumora::platform::kernel().close(fd);
        const char *text = reinterpret_cast<const char *>(cap.card);
        QCOMPARE(QByteArray(text, int(strnlen(text, sizeof cap.card))), card);
        QVERIFY(card.size() <= 31);

        QVector<CameraDeviceInfo> devices;
        QCOMPARE(m_wrapper.ListCameraDevices(devices), 1);
        QCOMPARE(devices[0].friendlyName, name);
        QCOMPARE(acceptsCamera(devices[0], manufacturer, vid), listed);
        int position = -1;
        QVERIFY(m_wrapper.OpenCameraDevice(devices[0].pathId, devices[0].friendlyName, &position));
        QCOMPARE(position, 0);
    }

    void emptyCategoryAddsNothing()
    {
        lumora::platform::installKernel(std::make_unique<lumora::sim::SimKernel>());
        QVector<CameraDeviceInfo> devices;
        QCOMPARE(m_wrapper.ListCameraDevices(devices), 0);
        int position = -1;
        QVERIFY(!m_wrapper.OpenCameraDevice(QStringLiteral("vid_5a17&pid_0307&mi_00#x"), QStringLiteral("ORBIT 160A"),
                                            &position));
        QCOMPARE(position, -1);
    }

    // Two identical cameras are told apart by their pathId: the filter is
    // bound to the right one and follows its fate.
    void openBindsTheMatchingCamera()
    {
        QVector<CameraDeviceInfo> devices;
        m_wrapper.ListCameraDevices(devices);
        const CameraDeviceInfo right = devices.last();
        int position = -1;
        QVERIFY(m_wrapper.OpenCameraDevice(right.pathId, right.friendlyName, &position));
        QCOMPARE(position, right.index);
        QVERIFY(currentFilter >= 0);
        QVERIFY(busInfoOf(currentFilter).endsWith(QLatin1String("-5.1")));

        m_sim->unplug(QStringLiteral("left"));
        QVERIFY(!busInfoOf(currentFilter).isEmpty());
        m_sim->unplug(QStringLiteral("right"));
        v4l2_capability cap{};
        QCOMPARE(lumora::platform::kernel().ioctl(currentFilter, VIDIOC_QUERYCAP, &cap), -ENODEV);

        m_wrapper.ReleaseCameraDevice();
        QCOMPARE(currentFilter, -1);
    }

    void openMatchesPathAndNameExactly_data()
    {
        QTest::addColumn<bool>("samePath");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("bound");
        QTest::newRow("both match") << true << "ORBIT 160A" << true;
        QTest::newRow("name in other case") << true << "orbit 160a" << false;
        QTest::newRow("other path") << false << "ORBIT 160A" << false;
    }
    void openMatchesPathAndNameExactly()
    {
        QFETCH(bool, samePath);
        QFETCH(QString, name);
        QFETCH(bool, bound);
        QVector<CameraDeviceInfo> devices;
        m_wrapper.ListCameraDevices(devices);
        const QString pathId = samePath ? devices[2].pathId : QString(devices[2].pathId).replace("0307", "0308");
        int position = -1;
        QCOMPARE(m_wrapper.OpenCameraDevice(pathId, name, &position), bound);
        QCOMPARE(position, bound ? devices[2].index : -1);
        QCOMPARE(currentFilter >= 0, bound);
    }

    // A camera with several VideoStreaming interfaces is one entry: its node
    // with sysfs index 0, unless only another of its nodes offers MJPEG.
    void oneEntryPerCamera_data()
    {
        QTest::addColumn<QVector<QStringList>>("streams");
        QTest::addColumn<bool>("metadata");
        QTest::addColumn<int>("chosen"); // among the camera's nodes, in registration order
        const QStringList mjpeg{"mjpeg"}, yuyv{"yuyv"};
        QTest::newRow("index 0 offers MJPEG") << QVector<QStringList>{mjpeg, yuyv} << true << 0;
        QTest::newRow("both offer MJPEG") << QVector<QStringList>{{"yuyv", "mjpeg"}, mjpeg} << true << 0;
        QTest::newRow("only the second offers MJPEG") << QVector<QStringList>{yuyv, {"yuyv", "mjpeg"}} << true << 2;
        QTest::newRow("neither offers MJPEG") << QVector<QStringList>{yuyv, yuyv} << true << 0;
        QTest::newRow("only the third of three") << QVector<QStringList>{yuyv, yuyv, mjpeg} << true << 4;
        QTest::newRow("second and third offer MJPEG") << QVector<QStringList>{yuyv, mjpeg, mjpeg} << true << 2;
        QTest::newRow("no metadata nodes") << QVector<QStringList>{yuyv, mjpeg} << false << 1;
        QTest::newRow("one stream") << QVector<QStringList>{yuyv} << true << 0;
    }
    void oneEntryPerCamera()
    {
        QFETCH(QVector<QStringList>, streams);
        QFETCH(bool, metadata);
        QFETCH(int, chosen);
        m_sim->plug(streamingCamera("multi", "6", streams, metadata));
        const QStringList nodes = m_sim->devNodes("multi");
        QVector<CameraDeviceInfo> devices;
        m_wrapper.ListCameraDevices(devices);
        QCOMPARE(devices.size(), 5);
        const CameraDeviceInfo multi = devices.last();
        QCOMPARE(multi.friendlyName, QStringLiteral("NV-Optica-1080-AI"));
        QCOMPARE(multi.alias, nodes.value(chosen));
        QCOMPARE(multi.index, 5); // after the four cameras and the microphone; the other nodes take no position
        QVERIFY(multi.pathId.startsWith(QLatin1String("vid_1d6b&pid_ff13&mi_00#")));

        // Opening it by path and name binds the chosen node and no other.
        int position = -1;
        QVERIFY(m_wrapper.OpenCameraDevice(multi.pathId, multi.friendlyName, &position));
        QCOMPARE(position, multi.index);
        for (int n = 0; n < nodes.size(); ++n)
            QCOMPARE(!lumora::platform::kernel().holders(nodes[n]).isEmpty(), n == chosen);
        int filter = -1;
        QVERIFY(m_wrapper.BindCaptureFilter(multi.index, &filter));
        QCOMPARE(lumora::platform::kernel().holders(nodes.value(chosen)).size(), 1); // one process, two descriptors
        lumora::platform::kernel().close(filter);
    }

    void bindCaptureFilterByPosition()
    {
        int filter = -1;
        QVERIFY(!m_wrapper.BindCaptureFilter(-1, &filter));
        QVERIFY(m_wrapper.BindCaptureFilter(4, &filter));
        QVERIFY(filter >= 0);
        QVERIFY(busInfoOf(filter).endsWith(QLatin1String("-5.1")));
        lumora::platform::kernel().close(filter);
        filter = -1;
        QVERIFY(m_wrapper.BindCaptureFilter(9, &filter)); // past the end: the walk ran, nothing bound
        QCOMPARE(filter, -1);
    }
};

QTEST_GUILESS_MAIN(TestEnumeration)
#include "test_enumeration.moc"
