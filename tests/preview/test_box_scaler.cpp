// The preview's area-averaging down-scale against a plain floating-point
// area average, under each vector level.

#include "preview/boxscaler.h"

#include <QImage>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <vector>

namespace {

// Noise finds wrong weights anywhere; the test card's hard edges and flat
// fields are what the preview shows.
QImage noise(QSize size, quint32 seed)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = 0xFF000000u | (random.generate() & 0xFFFFFFu);
    }
    return image;
}

// Each target pixel the mean of the source area it covers, in doubles.
QImage areaAverage(const QImage &source, QSize size)
{
    const double sx = double(source.width()) / size.width(), sy = double(source.height()) / size.height();
    const auto coverage = [](double low, double high, int pixel) {
        return std::max(0.0, std::min(high, pixel + 1.0) - std::max(low, double(pixel)));
    };
    QImage out(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        const double top = y * sy, bottom = (y + 1) * sy;
        for (int x = 0; x < size.width(); ++x) {
            const double left = x * sx, right = (x + 1) * sx;
            double sum[3] = {0, 0, 0};
            for (int v = int(top); v < std::min(source.height(), int(std::ceil(bottom))); ++v) {
                const double wy = coverage(top, bottom, v);
                const auto *line = reinterpret_cast<const QRgb *>(source.constScanLine(v));
                for (int u = int(left); u < std::min(source.width(), int(std::ceil(right))); ++u) {
                    const double w = wy * coverage(left, right, u);
                    sum[0] += w * qRed(line[u]);
                    sum[1] += w * qGreen(line[u]);
                    sum[2] += w * qBlue(line[u]);
                }
            }
            const double area = sx * sy;
            reinterpret_cast<QRgb *>(out.scanLine(y))[x] =
                qRgb(int(std::lround(sum[0] / area)), int(std::lround(sum[1] / area)), int(std::lround(sum[2] / area)));
        }
    }
    return out;
}

// The largest difference of any channel, alpha included (it must be 0xFF).
int largestDifference(const QImage &a, const QImage &b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *p = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *q = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            for (int shift : {0, 8, 16, 24})
                largest = std::max(largest, std::abs(int((p[x] >> shift) & 0xFF) - int((q[x] >> shift) & 0xFF)));
    }
    return largest;
}

QVector<ScaleLevel> levels()
{
    QVector<ScaleLevel> all;
    for (ScaleLevel level : kScaleLevels)
        if (level <= supportedScaleLevel())
            all << level;
    return all;
}

} // namespace

class TestBoxScaler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { forceScaleLevel(supportedScaleLevel()); }

    void matchesAreaAverage_data()
    {
        QTest::addColumn<QSize>("from");
        QTest::addColumn<QSize>("to");
        QTest::addColumn<int>("tolerance");
        QTest::newRow("preview: half decode to 648x365") << QSize(960, 540) << QSize(648, 365) << 1;
        QTest::newRow("full to 992x558") << QSize(1920, 1080) << QSize(992, 558) << 1;
        QTest::newRow("odd ratio 7x5 to 3x2") << QSize(7, 5) << QSize(3, 2) << 1;
        QTest::newRow("odd ratio 97x61 to 13x11") << QSize(97, 61) << QSize(13, 11) << 1;
        QTest::newRow("width not a multiple of 4: 483x270 to 333x187") << QSize(483, 270) << QSize(333, 187) << 1;
        QTest::newRow("7 wide: three pixels after the vector loop") << QSize(50, 20) << QSize(7, 9) << 1;
        QTest::newRow("target 9 wide, source 10") << QSize(10, 10) << QSize(9, 9) << 1;
        QTest::newRow("just under equal 640x480 to 639x479") << QSize(640, 480) << QSize(639, 479) << 1;
        QTest::newRow("one pixel high") << QSize(517, 1) << QSize(203, 1) << 1;
        QTest::newRow("one pixel wide") << QSize(1, 301) << QSize(1, 37) << 1;
        QTest::newRow("one pixel out") << QSize(64, 48) << QSize(1, 1) << 1;
        QTest::newRow("four taps across, the most one load takes") << QSize(350, 20) << QSize(100, 20) << 1;
        QTest::newRow("five taps across") << QSize(450, 20) << QSize(100, 20) << 1;
        QTest::newRow("rows only") << QSize(100, 50) << QSize(100, 17) << 1;
        QTest::newRow("columns only") << QSize(101, 3) << QSize(13, 3) << 1;
        QTest::newRow("equal size") << QSize(37, 23) << QSize(37, 23) << 0;
        QTest::newRow("1x1 equal") << QSize(1, 1) << QSize(1, 1) << 0;
        // Hundreds of taps a pixel, more than the rounding makes up for.
        QTest::newRow("large ratio 1920x1080 to 8x5") << QSize(1920, 1080) << QSize(8, 5) << 2;
    }

    void matchesAreaAverage()
    {
        QFETCH(QSize, from);
        QFETCH(QSize, to);
        QFETCH(int, tolerance);
        const QImage source = noise(from, quint32(from.width() * 7919 + from.height()));
        const QImage reference = areaAverage(source, to);
        QImage first;
        for (ScaleLevel level : levels()) {
            QCOMPARE(forceScaleLevel(level), level);
            BoxScaler scaler;
            const QImage picture = scaler.scaled(source, to);
            QVERIFY2(!picture.isNull(), scaleLevelName(level));
            QCOMPARE(picture.size(), to);
            QCOMPARE(picture.format(), QImage::Format_RGB32);
            const int off = largestDifference(picture, reference);
            QVERIFY2(off <= tolerance, qPrintable(QString("%1: a channel off by %2").arg(scaleLevelName(level)).arg(off)));
            // The levels do the same fixed-point arithmetic.
            if (first.isNull())
                first = picture;
            else
                QVERIFY2(picture == first, scaleLevelName(level));
        }
    }

    // A flat field stays exactly flat, whatever the weights' rounding, while
    // both directions together have fewer than 256 taps.
    void flatStaysFlat_data()
    {
        QTest::addColumn<QSize>("from");
        QTest::addColumn<QSize>("to");
        QTest::newRow("preview") << QSize(960, 540) << QSize(648, 365);
        QTest::newRow("odd") << QSize(97, 61) << QSize(13, 11);
        QTest::newRow("large ratio") << QSize(1920, 1080) << QSize(32, 18);
    }

    void flatStaysFlat()
    {
        QFETCH(QSize, from);
        QFETCH(QSize, to);
        for (ScaleLevel level : levels()) {
            forceScaleLevel(level);
            for (QRgb colour : {0xFF000000u, 0xFFFFFFFFu, 0xFF01FE80u}) {
                QImage source(from, QImage::Format_RGB32);
                source.fill(colour);
                QImage expected(to, QImage::Format_RGB32);
                expected.fill(colour);
                BoxScaler scaler;
                QVERIFY2(scaler.scaled(source, to) == expected,
                         qPrintable(QString("%1, colour %2").arg(scaleLevelName(level)).arg(colour, 8, 16)));
            }
        }
    }

    // Rows with room after them, as a picture decoded into a larger buffer
    // has; a scaler reused for a new size works the new weights out.
    void paddedRowsAndReuse()
    {
        const QImage source = noise(QSize(131, 77), 5);
        for (ScaleLevel level : levels()) {
            forceScaleLevel(level);
            BoxScaler scaler;
            for (QSize to : {QSize(61, 40), QSize(17, 9), QSize(61, 40)}) {
                const int fromStride = 4 * source.width() + 36, toStride = 4 * to.width() + 20;
                std::vector<std::uint8_t> from(std::size_t(fromStride) * std::size_t(source.height()), 0xAB);
                for (int y = 0; y < source.height(); ++y)
                    std::memcpy(from.data() + std::ptrdiff_t(y) * fromStride, source.constScanLine(y), std::size_t(4 * source.width()));
                std::vector<std::uint8_t> out(std::size_t(toStride) * std::size_t(to.height()), 0xCD);
                QVERIFY(scaler.scale(from.data(), fromStride, source.size(), out.data(), toStride, to));
                const QImage picture(out.data(), to.width(), to.height(), toStride, QImage::Format_RGB32);
                QVERIFY(largestDifference(picture, areaAverage(source, to)) <= 1);
                for (int y = 0; y < to.height(); ++y)
                    for (int i = 4 * to.width(); i < toStride; ++i)
                        QCOMPARE(int(out[std::size_t(y * toStride + i)]), 0xCD);
            }
        }
    }

    void refusesWhatItCannotScale_data()
    {
        QTest::addColumn<QSize>("from");
        QTest::addColumn<QSize>("to");
        QTest::newRow("wider target") << QSize(100, 100) << QSize(101, 50);
        QTest::newRow("taller target") << QSize(100, 100) << QSize(50, 101);
        QTest::newRow("empty target") << QSize(100, 100) << QSize(0, 10);
        QTest::newRow("empty source") << QSize(0, 0) << QSize(1, 1);
    }

    void refusesWhatItCannotScale()
    {
        QFETCH(QSize, from);
        QFETCH(QSize, to);
        BoxScaler scaler;
        const QImage source = from.isEmpty() ? QImage() : noise(from, 1);
        QVERIFY(scaler.scaled(source, to).isNull());
        std::vector<std::uint8_t> out(std::size_t(4 * std::max(1, to.width() * to.height())), 0xCD);
        std::vector<std::uint8_t> in(std::size_t(4 * std::max(1, from.width() * from.height())), 0);
        QVERIFY(!scaler.scale(in.data(), 4 * from.width(), from, out.data(), 4 * to.width(), to));
        QVERIFY(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xCD; }));
    }

    void otherFormatsAreConverted()
    {
        QImage source = noise(QSize(90, 60), 3).convertToFormat(QImage::Format_RGB888);
        BoxScaler scaler;
        const QImage picture = scaler.scaled(source, QSize(30, 20));
        QCOMPARE(picture.format(), QImage::Format_RGB32);
        QVERIFY(largestDifference(picture, areaAverage(source.convertToFormat(QImage::Format_RGB32), QSize(30, 20))) <= 1);
    }
};

QTEST_MAIN(TestBoxScaler)
#include "test_box_scaler.moc"
