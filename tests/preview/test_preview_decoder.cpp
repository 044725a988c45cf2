// The preview's reduced-scale decoding against a plain full decode of the same
// frame, scaled the ordinary way.

#include "preview/boxscaler.h"
#include "preview/previewdecoder.h"
#include "sim/sim_video_feed_frames.h"

#include <QImage>
#include <QtTest>

#include <cstdlib>

namespace {

constexpr int kLimit = 32;

struct Difference {
    double mean = 0;       // per channel, over the picture
    double overLimit = 0;  // share of pixels with a channel off by more than the limit
};

Difference compare(const QImage &a, const QImage &b, int limit)
{
    Difference d;
    qint64 sum = 0, over = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *p = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *q = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int dr = std::abs(qRed(p[x]) - qRed(q[x]));
            const int dg = std::abs(qGreen(p[x]) - qGreen(q[x]));
            const int db = std::abs(qBlue(p[x]) - qBlue(q[x]));
            sum += dr + dg + db;
            over += std::max({dr, dg, db}) > limit ? 1 : 0;
        }
    }
    const double pixels = double(a.width()) * a.height();
    d.mean = sum / pixels / 3;
    d.overLimit = over / pixels;
    return d;
}

QByteArray testFrame()
{
    static const QByteArray jpeg = [] {
        lumora::sim::SimVideoFrames frames;
        return frames.frame(lumora::sim::SimScene{}, 7);
    }();
    return jpeg;
}

} // namespace

class TestPreviewDecoder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void shownSize_data()
    {
        QTest::addColumn<QSize>("area");
        QTest::addColumn<QSize>("shown");
        QTest::newRow("no area: full") << QSize() << QSize(1920, 1080);
        QTest::newRow("larger area: full") << QSize(2560, 1440) << QSize(1920, 1080);
        QTest::newRow("half") << QSize(960, 540) << QSize(960, 540);
        QTest::newRow("odd width") << QSize(999, 562) << QSize(992, 558);
        QTest::newRow("height limits") << QSize(1200, 300) << QSize(528, 297);
        QTest::newRow("tiny") << QSize(5, 3) << QSize(8, 3);
    }

    void shownSize()
    {
        QFETCH(QSize, area);
        QFETCH(QSize, shown);
        const QSize size = PreviewDecoder::shownSize(QSize(1920, 1080), area);
        QCOMPARE(size, shown);
        QCOMPARE(size.width() % 8, 0);
    }

    void matchesPlainDecode_data()
    {
        QTest::addColumn<QSize>("area");
        QTest::addColumn<int>("eighths");
        QTest::newRow("full") << QSize() << 8;
        QTest::newRow("half") << QSize(960, 540) << 4;
        QTest::newRow("quarter") << QSize(480, 270) << 2;
        QTest::newRow("eighth") << QSize(240, 135) << 1;
        QTest::newRow("odd width 652") << QSize(652, 367) << 4;
        QTest::newRow("odd width 999") << QSize(999, 562) << 8;
        QTest::newRow("odd width 1333") << QSize(1333, 750) << 8;
        QTest::newRow("odd width 487: a quarter after rounding") << QSize(487, 274) << 2;
        QTest::newRow("odd width 333") << QSize(333, 187) << 2;
    }

    void matchesPlainDecode()
    {
        QFETCH(QSize, area);
        QFETCH(int, eighths);
        const QByteArray jpeg = testFrame();
        QVERIFY(!jpeg.isEmpty());
        const QImage full = QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_RGB32);
        QCOMPARE(full.size(), QSize(1920, 1080));

        // Under each of the scaler's levels.
        for (ScaleLevel level : kScaleLevels) {
            if (forceScaleLevel(level) != level)
                continue;
            PreviewDecoder decoder;
            const QImage picture = decoder.decode(reinterpret_cast<const std::uint8_t *>(jpeg.constData()),
                                                  std::size_t(jpeg.size()), area);
            QVERIFY2(!picture.isNull(), qPrintable(decoder.errorText()));
            QCOMPARE(picture.format(), QImage::Format_RGB32);
            QCOMPARE(picture.size(), PreviewDecoder::shownSize(full.size(), area));
            QCOMPARE(decoder.lastScaleEighths(), eighths);

            const QImage reference = full.scaled(picture.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            // Sharp edges of the test card differ most between filters.
            const Difference d = compare(picture, reference, kLimit);
            qInfo("%s: mean %.2f, %.3f %% of pixels off by more than %d", scaleLevelName(level), d.mean, 100 * d.overLimit, kLimit);
            QVERIFY2(d.mean < 3.0 && d.overLimit < 0.005,
                     qPrintable(QString("%1: mean %2, %3 % of pixels off by more than %4")
                                    .arg(scaleLevelName(level)).arg(d.mean).arg(100 * d.overLimit).arg(kLimit)));
        }
        forceScaleLevel(supportedScaleLevel());
    }

    void damagedDataIsRefusedAndTheNextFrameDecodes()
    {
        const QByteArray jpeg = testFrame();
        PreviewDecoder decoder;
        const QByteArray garbage = QByteArray("\xff\xd8\xff\xdb\x00\x43") + QByteArray(4000, char(0x5a)) + QByteArray("\xff\xd9");
        for (const QByteArray &bad : {garbage, QByteArray("not a picture"), jpeg.left(2)}) {
            QVERIFY(decoder.decode(reinterpret_cast<const std::uint8_t *>(bad.constData()), std::size_t(bad.size()), QSize(640, 360)).isNull());
            QVERIFY(!decoder.errorText().isEmpty());
        }
        QVERIFY(decoder.decode(nullptr, 0, QSize()).isNull());
        const QImage picture = decoder.decode(reinterpret_cast<const std::uint8_t *>(jpeg.constData()), std::size_t(jpeg.size()), QSize(640, 360));
        QCOMPARE(picture.size(), QSize(640, 360));
    }
};

QTEST_MAIN(TestPreviewDecoder)
#include "test_preview_decoder.moc"
