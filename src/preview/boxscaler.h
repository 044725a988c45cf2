#pragma once
// Down-scales 32-bit pixels (BGRX, as QImage::Format_RGB32) by area
// averaging: each target pixel is the mean of the source area it covers,
// partly covered source pixels weighted by their share. One pass over the
// source: the rows under a target row are summed into one row of 16-bit
// sums, which is then reduced across. Fixed-point throughout, so every level
// gives the same bytes: within one level of the exact mean, and flat areas
// exactly, while a target pixel's taps across and down number under 256
// (ratios up to about 100:1).

#include <QImage>
#include <QSize>

#include <cstdint>
#include <vector>

enum class ScaleLevel { Plain, Sse2 };

// The widest level this CPU runs.
ScaleLevel supportedScaleLevel();
// The level scaling uses from now on: `level`, or the supported one if lower.
// Returns the level in use.
ScaleLevel forceScaleLevel(ScaleLevel level);
ScaleLevel scaleLevel();
const char *scaleLevelName(ScaleLevel level);

class BoxScaler {
public:
    // Scales `from` (rows of `fromStride` bytes) into `to`. False, and
    // nothing written, when a size is empty or the target is larger than
    // the source in either direction. The fourth byte of each target pixel
    // is 0xFF.
    bool scale(const std::uint8_t *from, int fromStride, QSize fromSize, std::uint8_t *to, int toStride, QSize toSize);
    // `source` scaled to `size` in Format_RGB32 (alpha ignored); a null
    // image where scale() refuses.
    QImage scaled(const QImage &source, QSize size);

    // The weights of one direction: target pixel i sums `taps` source
    // pixels from start[i], with weights (16 bits, summing to 65536 or
    // just under) at weight[i * taps + k].
    struct Axis {
        int from = 0, to = 0, taps = 0;
        std::vector<int> start;
        std::vector<std::uint16_t> weight;
        void build(int fromLength, int toLength);
    };

private:
    Axis m_x, m_y;
    // Two target pixels' weights of one tap, each repeated for the four
    // channels: the vector path's operands, ready to load.
    std::vector<std::uint16_t> m_pairWeights;
    std::vector<std::uint16_t> m_sums; // one row of vertical sums, 4 channels a pixel
};
