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

enum class ScaleLevel { Plain, Sse2, Avx2 };
// Every level, lowest first.
constexpr ScaleLevel kScaleLevels[] = {ScaleLevel::Plain, ScaleLevel::Sse2, ScaleLevel::Avx2};

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
    // Row by row, for a source that arrives in strips: prepare() (false
    // where scale() refuses), then scaleRow() for each target row y, given
    // the rowCount(y) source rows from firstRow(y) on. Rows are asked for in
    // order, each target row's first at or after the previous one's.
    bool prepare(QSize fromSize, QSize toSize);
    int firstRow(int y) const { return m_y.firstUsed[std::size_t(y)]; }
    int rowCount(int y) const { return m_y.usedCount[std::size_t(y)]; }
    // The most rows any target row takes.
    int mostRows() const { return m_y.taps; }
    void scaleRow(int y, const std::uint8_t *const *rows, std::uint8_t *to);

    // `source` scaled to `size` in Format_RGB32 (alpha ignored); a null
    // image where scale() refuses.
    QImage scaled(const QImage &source, QSize size);

    // The weights of one direction: target pixel i sums `taps` source
    // pixels from start[i], with weights (16 bits, summing to 65536 or
    // just under) at weight[i * taps + k].
    struct Axis {
        int from = 0, to = 0, taps = 0;
        std::vector<int> start;
        std::vector<int> firstUsed, usedCount; // the source pixels that weigh something
        std::vector<std::uint16_t> weight;
        void build(int fromLength, int toLength);
    };

private:
    Axis m_x, m_y;
    // Two target pixels' weights of one tap, each repeated for the four
    // channels: the vector paths' operands, ready to load. Built for m_x.
    std::vector<std::uint16_t> m_pairWeights;
    // Each target pixel's weights for its four first taps, for the AVX2
    // reduce when no pixel has more; empty otherwise.
    std::vector<std::uint16_t> m_spanWeights;
    int m_pairWeightsFrom = 0, m_pairWeightsTo = 0;
    std::vector<std::uint16_t> m_sums; // one row of vertical sums, 4 channels a pixel
    ScaleLevel m_level = ScaleLevel::Plain;
    std::uint32_t m_bias = 0;
};
