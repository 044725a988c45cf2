#include "sim/sim_video_feed_frames.h"

#include <QtTest>

#include <functional>

using lumora::sim::SimScene;
using lumora::sim::SimVideoFrames;

Q_DECLARE_METATYPE(std::function<void(SimScene &)>)

class TestSimVideoFeed : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyControlShowsInPicture_data()
    {
        using Change = std::function<void(SimScene &)>;
        QTest::addColumn<Change>("change");
        QTest::newRow("zoom") << Change([](SimScene &s) { s.zoom = 200; });
        QTest::newRow("pan") << Change([](SimScene &s) { s.pan = 10 * 3600; });
        QTest::newRow("tilt") << Change([](SimScene &s) { s.tilt = -10 * 3600; });
        QTest::newRow("focus") << Change([](SimScene &s) { s.focus = 500; });
        QTest::newRow("brightness") << Change([](SimScene &s) { s.brightness = 200; });
        QTest::newRow("contrast") << Change([](SimScene &s) { s.contrast = 40; });
        QTest::newRow("hue") << Change([](SimScene &s) { s.hue = 90; });
        QTest::newRow("saturation") << Change([](SimScene &s) { s.saturation = 0; });
        QTest::newRow("sharpness") << Change([](SimScene &s) { s.sharpness = 10; });
    }

    void everyControlShowsInPicture()
    {
        QFETCH(std::function<void(SimScene &)>, change);
        SimScene changed;
        change(changed);
        QVERIFY(SimVideoFrames::render(SimScene(), 0) != SimVideoFrames::render(changed, 0));
    }

    void pictureMovesThroughTheLoop()
    {
        const QImage first = SimVideoFrames::render(SimScene(), 0);
        QVERIFY(first != SimVideoFrames::render(SimScene(), 1));
        QCOMPARE(SimVideoFrames::render(SimScene(), SimVideoFrames::kLoopFrames), first);
    }

    void framesAreFullSizeJpegsEncodedOncePerScene()
    {
        SimVideoFrames frames;
        const QByteArray jpeg = frames.frame(SimScene(), 3);
        QCOMPARE(QImage::fromData(jpeg, "JPEG").size(), QSize(1920, 1080));
        QCOMPARE(frames.frame(SimScene(), 3).constData(), jpeg.constData());

        SimScene zoomed;
        zoomed.zoom = 300;
        QVERIFY(frames.frame(zoomed, 3) != jpeg);
    }
};

QTEST_MAIN(TestSimVideoFeed)
#include "test_sim_video_feed.moc"
