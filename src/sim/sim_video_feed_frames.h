#pragma once
// The simulated camera's picture: a test card that moves in a one-second
// loop and shows the zoom, pan, tilt and image controls, encoded as MJPEG.
// Encoded frames are cached per scene, so a steady scene costs no encoding.

#include "sim/sim_controls.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QVector>

#include <memory>
#include <optional>

namespace lumora::sim {

class SimVideoFrames {
public:
    static constexpr int kWidth = 1920;
    static constexpr int kHeight = 1080;
    static constexpr int kLoopFrames = 30;

    SimVideoFrames();
    ~SimVideoFrames();

    // The JPEG of frame `index` (taken modulo the loop) of `scene` at
    // `size`; empty when encoding failed.
    QByteArray frame(const SimScene &scene, int index, QSize size = QSize(kWidth, kHeight));

    // Frame `index` of `scene` as packed YUYV 4:2:2 at `size` (an even
    // width), drawn anew each time.
    static QByteArray yuyv(const SimScene &scene, int index, QSize size);

    // The picture before encoding, at a quarter of the stream's area.
    static QImage render(const SimScene &scene, int index);

private:
    struct Encoder;
    std::unique_ptr<Encoder> m_encoder;
    std::optional<SimScene> m_scene;
    QSize m_size;
    QVector<QByteArray> m_cache;
};

} // namespace lumora::sim
