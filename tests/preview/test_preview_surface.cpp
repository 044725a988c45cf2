// The preview surface on a screen scaled by 2: pictures come in device
// pixels and are drawn one to one, where the area is measured in points.

#include "gui/widgets/previewsurface.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>

namespace {

// One-pixel checks: any scaling on the way blurs or drops them.
QImage checks(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(x % 256, 0, y % 256));
    return image;
}

} // namespace

class TestPreviewSurface : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCOMPARE(QLabel().devicePixelRatioF(), 2.0); }

    void areaInDevicePixels()
    {
        QLabel area;
        PreviewSurface surface(&area);
        QCOMPARE(surface.pixelSize(QSize(654, 367)), QSize(1308, 734));
    }

    void pictureDrawnPixelForPixel()
    {
        QLabel area;
        area.setFixedSize(300, 200);
        auto *surface = new PreviewSurface(&area);
        const QImage picture = checks(QSize(592, 332));
        surface->setPicture(picture);
        QCOMPARE(surface->geometry(), QRect(0, 17, 296, 166));
        const QImage drawn = surface->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(drawn.size(), picture.size());
        QVERIFY(drawn == picture);
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestPreviewSurface test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_preview_surface.moc"
