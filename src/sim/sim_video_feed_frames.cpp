#include "sim/sim_video_feed_frames.h"

#include <QColor>
#include <QPainter>
#include <QtMath>

#include <algorithm>
#include <tuple>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace lumora::sim {

namespace {

constexpr int kRenderWidth = SimVideoFrames::kWidth / 2;
constexpr int kRenderHeight = SimVideoFrames::kHeight / 2;
// Canvas pixels per degree of pan or tilt at zoom 100.
constexpr double kPixelsPerDegree = 8.0;
constexpr double kCell = 90.0;

int loopIndex(int index)
{
    return ((index % SimVideoFrames::kLoopFrames) + SimVideoFrames::kLoopFrames) % SimVideoFrames::kLoopFrames;
}

auto fields(const SimScene &s)
{
    return std::tie(s.pan, s.tilt, s.zoom, s.focus, s.brightness, s.contrast, s.hue, s.saturation, s.sharpness, s.gain,
                    s.backlightCompensation, s.exposure, s.whiteBalance);
}

// The image controls act on every colour painted, as the camera's processing
// would act on the light it sees.
class Look {
public:
    explicit Look(const SimScene &scene) : m_scene(scene) {}

    QColor operator()(QColor colour) const
    {
        int h, s, v;
        colour.getHsv(&h, &s, &v);
        if (h >= 0)
            h = ((h + m_scene.hue) % 360 + 360) % 360;
        s = std::clamp(s * m_scene.saturation / 128, 0, 255);
        colour.setHsv(h, s, v);
        // A manual exposure scales the light (250 is what automatic exposure picks),
        // gain adds to it, and a manual colour temperature away from daylight
        // tints the picture: a low setting makes it blue, a high one orange.
        const double light = (m_scene.exposure > 0 ? m_scene.exposure / 250.0 : 1.0) * (1.0 + m_scene.gain / 100.0);
        const int tint = m_scene.whiteBalance > 0 ? (m_scene.whiteBalance - 5000) / 40 : 0;
        const auto tone = [this, light](int c, int shift) {
            const int contrasted = 128 + (c - 128) * m_scene.contrast / 128;
            return std::clamp(int((contrasted + m_scene.brightness - 128) * light) + shift, 0, 255);
        };
        return QColor(tone(colour.red(), tint), tone(colour.green(), 0), tone(colour.blue(), -tint));
    }

private:
    SimScene m_scene;
};

void drawGrid(QPainter &p, const Look &look, const QRectF &visible)
{
    const int x0 = int(std::floor(visible.left() / kCell)), x1 = int(std::ceil(visible.right() / kCell));
    const int y0 = int(std::floor(visible.top() / kCell)), y1 = int(std::ceil(visible.bottom() / kCell));
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            // Every cell has its own colour, so a pan or tilt is easy to follow.
            const int hue = ((x * 37 + y * 61) % 360 + 360) % 360;
            p.fillRect(QRectF(x * kCell, y * kCell, kCell, kCell), look(QColor::fromHsv(hue, 90, 110)));
        }
    }
    p.setPen(QPen(look(QColor(220, 220, 220)), 2));
    for (int x = x0; x <= x1; ++x)
        p.drawLine(QPointF(x * kCell, y0 * kCell), QPointF(x * kCell, y1 * kCell));
    for (int y = y0; y <= y1; ++y)
        p.drawLine(QPointF(x0 * kCell, y * kCell), QPointF(x1 * kCell, y * kCell));
}

void drawTestCard(QPainter &p, const Look &look, int index)
{
    const QRectF card(-240, -135, 480, 270);
    p.fillRect(card, look(Qt::black));
    const QColor bars[] = {Qt::white, Qt::yellow, Qt::cyan, Qt::green, Qt::magenta, Qt::red, Qt::blue};
    const double barWidth = card.width() / 7;
    for (int i = 0; i < 7; ++i)
        p.fillRect(QRectF(card.left() + i * barWidth, card.top(), barWidth, card.height() * 0.6), look(bars[i]));
    for (int i = 0; i < 16; ++i) {
        const int grey = i * 17;
        p.fillRect(QRectF(card.left() + i * card.width() / 16, card.top() + card.height() * 0.6, card.width() / 16,
                          card.height() * 0.4),
                   look(QColor(grey, grey, grey)));
    }
    p.setPen(QPen(look(Qt::white), 3));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(0, 0), 120, 120);
    p.drawLine(QPointF(-150, 0), QPointF(150, 0));
    p.drawLine(QPointF(0, -150), QPointF(0, 150));

    // The moving part: a ball orbiting the card once a loop.
    const double angle = 2 * M_PI * index / SimVideoFrames::kLoopFrames;
    p.setPen(Qt::NoPen);
    p.setBrush(look(QColor(255, 90, 40)));
    p.drawEllipse(QPointF(200 * std::cos(angle), 200 * std::sin(angle)), 26, 26);
}

// Screen-space meters for the controls that do not move the picture.
void drawMeters(QPainter &p, const SimScene &scene, int index)
{
    struct Meter {
        double fraction;
        QColor colour;
    };
    const Meter meters[] = {
        {scene.brightness / 255.0, QColor(250, 250, 250)}, {scene.contrast / 255.0, QColor(160, 160, 160)},
        {(scene.hue + 180) / 360.0, QColor(255, 200, 0)},  {scene.saturation / 255.0, QColor(230, 60, 200)},
        {scene.sharpness / 255.0, QColor(60, 200, 250)},   {scene.focus / 1023.0, QColor(90, 230, 90)},
    };
    p.setPen(Qt::NoPen);
    p.fillRect(QRectF(12, kRenderHeight - 100, 190, 88), QColor(0, 0, 0, 160));
    for (int i = 0; i < 6; ++i) {
        const double width = 170 * std::clamp(meters[i].fraction, 0.0, 1.0);
        p.fillRect(QRectF(22, kRenderHeight - 92 + i * 13, width, 8), meters[i].colour);
    }
    // A sweep along the bottom edge shows the stream is live.
    const double x = double(index) / SimVideoFrames::kLoopFrames * kRenderWidth;
    p.fillRect(QRectF(x, kRenderHeight - 6, kRenderWidth / double(SimVideoFrames::kLoopFrames), 6), Qt::white);
}

} // namespace

// Baseline JPEG, 4:2:0, full range, as a UVC camera's MJPEG frames are.
struct SimVideoFrames::Encoder {
    static constexpr int kQuality = 85;

    QByteArray encode(const QImage &rendered, QSize frameSize)
    {
        const QImage picture = rendered.scaled(frameSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                   .convertToFormat(QImage::Format_RGB32);
        jpeg_compress_struct info{};
        jpeg_error_mgr error{};
        info.err = jpeg_std_error(&error);
        // Nothing it is given here can make the encoder fail but memory.
        error.error_exit = [](j_common_ptr) { std::abort(); };
        jpeg_create_compress(&info);
        unsigned char *buffer = nullptr;
        unsigned long size = 0;
        jpeg_mem_dest(&info, &buffer, &size);
        info.image_width = JDIMENSION(picture.width());
        info.image_height = JDIMENSION(picture.height());
        info.input_components = 4;
        info.in_color_space = JCS_EXT_BGRX;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, kQuality, TRUE);
        info.dct_method = JDCT_ISLOW;
        jpeg_start_compress(&info, TRUE);
        while (info.next_scanline < info.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(picture.constScanLine(int(info.next_scanline)));
            jpeg_write_scanlines(&info, &row, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);
        QByteArray jpeg(reinterpret_cast<const char *>(buffer), int(size));
        std::free(buffer);
        return jpeg;
    }
};

SimVideoFrames::SimVideoFrames() : m_encoder(std::make_unique<Encoder>()) {}

SimVideoFrames::~SimVideoFrames() = default;

QByteArray SimVideoFrames::frame(const SimScene &scene, int index, QSize size)
{
    index = loopIndex(index);
    if (!m_scene || fields(*m_scene) != fields(scene) || size != m_size) {
        m_scene = scene;
        m_size = size;
        m_cache = QVector<QByteArray>(kLoopFrames);
    }
    QByteArray &cached = m_cache[index];
    if (cached.isEmpty())
        cached = m_encoder->encode(render(scene, index), size);
    return cached;
}

QByteArray SimVideoFrames::yuyv(const SimScene &scene, int index, QSize size)
{
    const QImage picture = render(scene, index).scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QByteArray packed(size.width() / 2 * 4 * size.height(), Qt::Uninitialized);
    auto *out = reinterpret_cast<quint8 *>(packed.data());
    // BT.601 in the limited range, the way UVC cameras send YUYV.
    const auto luma = [](QRgb c) { return quint8(((66 * qRed(c) + 129 * qGreen(c) + 25 * qBlue(c) + 128) >> 8) + 16); };
    for (int y = 0; y < size.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        for (int x = 0; x + 1 < size.width(); x += 2) {
            const QRgb a = line[x], b = line[x + 1];
            const int r = (qRed(a) + qRed(b)) / 2, g = (qGreen(a) + qGreen(b)) / 2, bl = (qBlue(a) + qBlue(b)) / 2;
            *out++ = luma(a);
            *out++ = quint8(((-38 * r - 74 * g + 112 * bl + 128) >> 8) + 128);
            *out++ = luma(b);
            *out++ = quint8(((112 * r - 94 * g - 18 * bl + 128) >> 8) + 128);
        }
    }
    return packed;
}

QImage SimVideoFrames::render(const SimScene &scene, int index)
{
    index = loopIndex(index);
    QImage picture(kRenderWidth, kRenderHeight, QImage::Format_RGB32);
    const Look look(scene);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(picture.rect(), look(QColor(40, 44, 52)));

    const double zoom = std::clamp(scene.zoom / 100.0, 1.0, 10.0);
    QTransform camera;
    camera.translate(kRenderWidth / 2.0, kRenderHeight / 2.0);
    camera.scale(zoom, zoom);
    // Panning right or tilting up moves the world the other way.
    camera.translate(-scene.pan / 3600.0 * kPixelsPerDegree, scene.tilt / 3600.0 * kPixelsPerDegree);
    p.setTransform(camera);
    drawGrid(p, look, camera.inverted().mapRect(QRectF(picture.rect())));
    drawTestCard(p, look, index);
    p.resetTransform();
    drawMeters(p, scene, index);
    return picture;
}

} // namespace lumora::sim
