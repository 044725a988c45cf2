#include "preview/boxscaler.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

constexpr std::uint32_t kOne = 65536; // the weights of one target pixel sum to this
constexpr std::uint32_t kOpaque = 0xFF000000u;
// A target pixel's weights for the AVX2 reduce of up to four taps: each tap's
// weight for the four channels.
constexpr int kSpanTaps = 4;
constexpr std::size_t kSpanWeights = 4 * kSpanTaps;

// Every level does exactly this arithmetic: a channel widened to 8.8 fixed
// point, times a 0.16 weight, keeping the high half (SSE2's mulhi). Sums
// never pass 255 << 8, as the weights sum to at most one.
inline std::uint16_t mulHigh(std::uint32_t value, std::uint32_t weight)
{
    return std::uint16_t((value * weight) >> 16);
}

// Each product drops up to one unit of 1/256: half a unit a tap on average,
// given back before rounding.
inline std::uint32_t roundingBias(int tapsX, int tapsY)
{
    return std::min<std::uint32_t>(255, 128 + std::uint32_t(tapsX + tapsY) / 2);
}

inline std::uint8_t toByte(std::uint32_t sum, std::uint32_t bias)
{
    return std::uint8_t(std::min<std::uint32_t>(0xFFFF, sum + bias) >> 8);
}

// Calls `run` with a fixed tap count for 1 to 4 taps (so the compiler can
// unroll), with 0 (any number) for more.
template <class Run>
void withTaps(int taps, Run run)
{
    switch (taps) {
    case 1: return run(std::integral_constant<int, 1>());
    case 2: return run(std::integral_constant<int, 2>());
    case 3: return run(std::integral_constant<int, 3>());
    case 4: return run(std::integral_constant<int, 4>());
    default: return run(std::integral_constant<int, 0>());
    }
}

// Vertical sums of channels [begin, end) of the rows under one target row.
// Taps = 0 for any number; a fixed number lets the compiler unroll.
template <int Taps>
void sumRowsPlain(const std::uint8_t *const *rows, const std::uint16_t *weights, int taps, int begin, int end,
                  std::uint16_t *sums)
{
    const int n = Taps ? Taps : taps;
    for (int c = begin; c < end; ++c) {
        std::uint32_t sum = 0;
        for (int k = 0; k < n; ++k)
            sum += mulHigh(std::uint32_t(rows[k][c]) << 8, weights[k]);
        sums[c] = std::uint16_t(sum);
    }
}

void sumRowsPlain(const std::uint8_t *const *rows, const std::uint16_t *weights, int taps, int begin, int end,
                  std::uint16_t *sums)
{
    switch (taps) {
    case 2: return sumRowsPlain<2>(rows, weights, taps, begin, end, sums);
    case 3: return sumRowsPlain<3>(rows, weights, taps, begin, end, sums);
    default: return sumRowsPlain<0>(rows, weights, taps, begin, end, sums);
    }
}

// Target pixels [begin, end) of one row from the vertical sums.
void reduceRowPlain(const BoxScaler::Axis &x, const std::uint16_t *sums, std::uint32_t bias, int begin, int end,
                    std::uint8_t *to)
{
    const int taps = x.taps;
    for (int i = begin; i < end; ++i) {
        const std::uint16_t *pixel = sums + 4 * x.start[std::size_t(i)];
        const std::uint16_t *weights = x.weight.data() + std::size_t(i) * std::size_t(x.taps);
        // Spelled out: as a loop over channels, the sums stayed in memory.
        std::uint32_t blue = 0, green = 0, red = 0;
        for (int k = 0; k < taps; ++k) {
            blue += mulHigh(pixel[4 * k], weights[k]);
            green += mulHigh(pixel[4 * k + 1], weights[k]);
            red += mulHigh(pixel[4 * k + 2], weights[k]);
        }
        std::uint8_t *out = to + 4 * i;
        out[0] = toByte(blue, bias);
        out[1] = toByte(green, bias);
        out[2] = toByte(red, bias);
        out[3] = 0xFF;
    }
}

#if defined(__SSE2__)
// Taps = 0 for any number; a fixed number lets the compiler unroll.
template <int Taps>
void sumRowsSse2(const std::uint8_t *const *rows, const std::uint16_t *weights, int taps, int bytes, std::uint16_t *sums)
{
    constexpr int kHeld = 4;
    const int n = Taps ? Taps : taps;
    // Held locally: the vector stores could otherwise alias `rows`.
    __m128i w[kHeld];
    const std::uint8_t *r[kHeld];
    for (int k = 0; k < std::min(n, kHeld); ++k) {
        w[k] = _mm_set1_epi16(short(weights[k]));
        r[k] = rows[k];
    }
    const __m128i zero = _mm_setzero_si128();
    int c = 0;
    for (; c + 16 <= bytes; c += 16) {
        __m128i low = zero, high = zero;
        for (int k = 0; k < n; ++k) {
            const __m128i wk = k < kHeld ? w[k] : _mm_set1_epi16(short(weights[k]));
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>((k < kHeld ? r[k] : rows[k]) + c));
            // Unpacking under zero bytes widens to 8.8 fixed point for free.
            low = _mm_add_epi16(low, _mm_mulhi_epu16(_mm_unpacklo_epi8(zero, v), wk));
            high = _mm_add_epi16(high, _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, v), wk));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(sums + c), low);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(sums + c + 8), high);
    }
    sumRowsPlain(rows, weights, n, c, bytes, sums);
}

void sumRowsSse2(const std::uint8_t *const *rows, const std::uint16_t *weights, int taps, int bytes, std::uint16_t *sums)
{
    withTaps(taps, [&](auto fixed) { sumRowsSse2<decltype(fixed)::value>(rows, weights, taps, bytes, sums); });
}

// Two target pixels of one tap: their source pixels' sums side by side.
inline __m128i tapPair(const std::uint16_t *sums, int a, int b, int k, const std::uint16_t *weights)
{
    const __m128i left = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(sums + 4 * (a + k)));
    const __m128i right = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(sums + 4 * (b + k)));
    return _mm_mulhi_epu16(_mm_unpacklo_epi64(left, right), _mm_loadu_si128(reinterpret_cast<const __m128i *>(weights)));
}

template <int Taps>
void reduceRowSse2(const BoxScaler::Axis &x, const std::uint16_t *pairWeights, const std::uint16_t *sums,
                   std::uint32_t bias, std::uint8_t *to)
{
    const int taps = Taps ? Taps : x.taps;
    const __m128i biasVector = _mm_set1_epi16(short(bias));
    const __m128i opaque = _mm_set1_epi32(int(kOpaque));
    const int *start = x.start.data();
    int i = 0;
    for (; i + 4 <= x.to; i += 4) {
        const std::uint16_t *w0 = pairWeights + std::size_t(i / 2) * std::size_t(taps) * 8;
        const std::uint16_t *w1 = w0 + std::size_t(taps) * 8;
        __m128i first = _mm_setzero_si128(), second = first;
        for (int k = 0; k < taps; ++k) {
            first = _mm_add_epi16(first, tapPair(sums, start[i], start[i + 1], k, w0 + 8 * k));
            second = _mm_add_epi16(second, tapPair(sums, start[i + 2], start[i + 3], k, w1 + 8 * k));
        }
        first = _mm_srli_epi16(_mm_adds_epu16(first, biasVector), 8);
        second = _mm_srli_epi16(_mm_adds_epu16(second, biasVector), 8);
        const __m128i out = _mm_or_si128(_mm_packus_epi16(first, second), opaque);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to + 4 * i), out);
    }
    reduceRowPlain(x, sums, bias, i, x.to, to);
}

void reduceRowSse2(const BoxScaler::Axis &x, const std::uint16_t *pairWeights, const std::uint16_t *sums,
                   std::uint32_t bias, std::uint8_t *to)
{
    withTaps(x.taps, [&](auto fixed) { reduceRowSse2<decltype(fixed)::value>(x, pairWeights, sums, bias, to); });
}

// The same arithmetic as the SSE2 level, twice as wide. AVX2 unpacks and
// packs within each 128-bit half, so results are put back in order before
// they are stored.
#define LUMORA_AVX2 __attribute__((target("avx2")))

template <int Taps>
LUMORA_AVX2 void sumRowsAvx2(const std::uint8_t *const *rows, const std::uint16_t *weights, int taps, int bytes,
                             std::uint16_t *sums)
{
    constexpr int kHeld = 4;
    const int n = Taps ? Taps : taps;
    __m256i w[kHeld];
    const std::uint8_t *r[kHeld];
    for (int k = 0; k < std::min(n, kHeld); ++k) {
        w[k] = _mm256_set1_epi16(short(weights[k]));
        r[k] = rows[k];
    }
    const __m256i zero = _mm256_setzero_si256();
    int c = 0;
    for (; c + 32 <= bytes; c += 32) {
        __m256i low = zero, high = zero;
        for (int k = 0; k < n; ++k) {
            const __m256i wk = k < kHeld ? w[k] : _mm256_set1_epi16(short(weights[k]));
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>((k < kHeld ? r[k] : rows[k]) + c));
            low = _mm256_add_epi16(low, _mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, v), wk));
            high = _mm256_add_epi16(high, _mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, v), wk));
        }
        // low holds bytes 0-7 and 16-23, high 8-15 and 24-31.
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(sums + c), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(sums + c + 16), _mm256_permute2x128_si256(low, high, 0x31));
    }
    sumRowsPlain(rows, weights, n, c, bytes, sums);
}

LUMORA_AVX2 void sumRowsAvx2(const std::uint8_t *const *rows, const std::uint16_t *weights, int taps, int bytes,
                             std::uint16_t *sums)
{
    withTaps(taps, [&](auto fixed) { sumRowsAvx2<decltype(fixed)::value>(rows, weights, taps, bytes, sums); });
}

// Four target pixels of one tap: pixels a, b from the first pair's weights,
// c, d from the second's.
LUMORA_AVX2 inline __m256i tapQuad(const std::uint16_t *sums, const int *start, int k, const std::uint16_t *first,
                                   const std::uint16_t *second)
{
    const auto pixel = [&](int j) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(sums + 4 * (start[j] + k)));
    };
    const __m256i values =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi64(pixel(0), pixel(1))),
                                _mm_unpacklo_epi64(pixel(2), pixel(3)), 1);
    const __m256i weights =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(first))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i *>(second)), 1);
    return _mm256_mulhi_epu16(values, weights);
}

template <int Taps>
LUMORA_AVX2 void reduceRowAvx2(const BoxScaler::Axis &x, const std::uint16_t *pairWeights, const std::uint16_t *sums,
                               std::uint32_t bias, std::uint8_t *to)
{
    const int taps = Taps ? Taps : x.taps;
    const std::size_t pairStride = std::size_t(taps) * 8;
    const __m256i biasVector = _mm256_set1_epi16(short(bias));
    const __m256i opaque = _mm256_set1_epi32(int(kOpaque));
    const int *start = x.start.data();
    int i = 0;
    for (; i + 8 <= x.to; i += 8) {
        const std::uint16_t *w = pairWeights + std::size_t(i / 2) * pairStride;
        __m256i first = _mm256_setzero_si256(), second = first;
        for (int k = 0; k < taps; ++k) {
            first = _mm256_add_epi16(first, tapQuad(sums, start + i, k, w + 8 * k, w + pairStride + 8 * k));
            second = _mm256_add_epi16(
                second, tapQuad(sums, start + i + 4, k, w + 2 * pairStride + 8 * k, w + 3 * pairStride + 8 * k));
        }
        first = _mm256_srli_epi16(_mm256_adds_epu16(first, biasVector), 8);
        second = _mm256_srli_epi16(_mm256_adds_epu16(second, biasVector), 8);
        // Packed: pixels 0-1, 4-5, 2-3, 6-7.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + 4 * i), _mm256_or_si256(packed, opaque));
    }
    reduceRowPlain(x, sums, bias, i, x.to, to);
}

LUMORA_AVX2 void reduceRowAvx2(const BoxScaler::Axis &x, const std::uint16_t *pairWeights,
                               const std::uint16_t *sums, std::uint32_t bias, std::uint8_t *to)
{
    withTaps(x.taps, [&](auto fixed) { reduceRowAvx2<decltype(fixed)::value>(x, pairWeights, sums, bias, to); });
}

// Up to four taps: one load takes a target pixel's whole span of sums, and
// one its four taps' weights (zero past its taps). Two target pixels' four
// tap products are added across in two steps; pixel p ends in 16-bit lanes
// 0-3, p + 1 in lanes 8-11.
LUMORA_AVX2 inline __m256i spanProducts(const std::uint16_t *sums, const int *start, const std::uint16_t *weights, int p)
{
    return _mm256_mulhi_epu16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(sums + 4 * start[p])),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i *>(weights + std::size_t(p) * kSpanWeights)));
}

LUMORA_AVX2 inline __m256i spanPair(const std::uint16_t *sums, const int *start, const std::uint16_t *weights, int p)
{
    const __m256i a = spanProducts(sums, start, weights, p), b = spanProducts(sums, start, weights, p + 1);
    const __m256i halves = _mm256_add_epi16(_mm256_permute2x128_si256(a, b, 0x20), _mm256_permute2x128_si256(a, b, 0x31));
    return _mm256_add_epi16(halves, _mm256_shuffle_epi32(halves, _MM_SHUFFLE(1, 0, 3, 2)));
}

LUMORA_AVX2 void reduceRowAvx2Spans(const BoxScaler::Axis &x, const std::uint16_t *spanWeights,
                                    const std::uint16_t *sums, std::uint32_t bias, std::uint8_t *to)
{
    const __m256i biasVector = _mm256_set1_epi16(short(bias));
    const __m256i opaque = _mm256_set1_epi32(int(kOpaque));
    // Packed below as pixels 0, 2, 4, 6, 1, 3, 5, 7.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const int *start = x.start.data();
    int i = 0;
    for (; i + 8 <= x.to; i += 8) {
        // Pixels 0, 2 | 1, 3 and 4, 6 | 5, 7.
        __m256i low = _mm256_unpacklo_epi64(spanPair(sums, start, spanWeights, i), spanPair(sums, start, spanWeights, i + 2));
        __m256i high = _mm256_unpacklo_epi64(spanPair(sums, start, spanWeights, i + 4),
                                             spanPair(sums, start, spanWeights, i + 6));
        low = _mm256_srli_epi16(_mm256_adds_epu16(low, biasVector), 8);
        high = _mm256_srli_epi16(_mm256_adds_epu16(high, biasVector), 8);
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), order);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + 4 * i), _mm256_or_si256(packed, opaque));
    }
    reduceRowPlain(x, sums, bias, i, x.to, to);
}
#undef LUMORA_AVX2
#endif

ScaleLevel detectLevel()
{
#if defined(__SSE2__)
    return __builtin_cpu_supports("avx2") ? ScaleLevel::Avx2 : ScaleLevel::Sse2;
#else
    return ScaleLevel::Plain;
#endif
}

std::atomic<ScaleLevel> &currentLevel()
{
    static std::atomic<ScaleLevel> level{detectLevel()};
    return level;
}

} // namespace

ScaleLevel supportedScaleLevel() { return detectLevel(); }

ScaleLevel forceScaleLevel(ScaleLevel level)
{
    const ScaleLevel used = std::min(level, supportedScaleLevel());
    currentLevel().store(used);
    return used;
}

ScaleLevel scaleLevel() { return currentLevel().load(); }

const char *scaleLevelName(ScaleLevel level)
{
    switch (level) {
    case ScaleLevel::Plain: return "plain";
    case ScaleLevel::Sse2: return "sse2";
    case ScaleLevel::Avx2: return "avx2";
    }
    return "?";
}

void BoxScaler::Axis::build(int fromLength, int toLength)
{
    if (from == fromLength && to == toLength)
        return;
    from = fromLength;
    to = toLength;
    // In units of 1/(from * to) of a source length: source pixel s spans
    // [s * to, (s + 1) * to), target pixel i spans [i * from, (i + 1) * from).
    taps = 1;
    for (int i = 0; i < to; ++i) {
        const std::int64_t low = std::int64_t(i) * from, high = low + from;
        taps = std::max(taps, int((high - 1) / to - low / to + 1));
    }
    start.assign(std::size_t(to), 0);
    firstUsed.assign(std::size_t(to), 0);
    usedCount.assign(std::size_t(to), 0);
    weight.assign(std::size_t(to) * std::size_t(taps), 0);
    for (int i = 0; i < to; ++i) {
        const std::int64_t low = std::int64_t(i) * from, high = low + from;
        const int first = int(low / to), last = int((high - 1) / to);
        // Every target pixel reads `taps` pixels; near the end they start
        // earlier, the extra ones weighing nothing.
        const int begin = std::min(first, from - taps);
        start[std::size_t(i)] = begin;
        firstUsed[std::size_t(i)] = first;
        usedCount[std::size_t(i)] = last - first + 1;
        std::uint16_t *w = weight.data() + std::size_t(i) * std::size_t(taps);
        std::int64_t total = 0;
        for (int s = first; s <= last; ++s) {
            const std::int64_t overlap =
                std::min<std::int64_t>(high, std::int64_t(s + 1) * to) - std::max<std::int64_t>(low, std::int64_t(s) * to);
            const std::int64_t share = (overlap * kOne + from / 2) / from;
            w[s - begin] = std::uint16_t(std::min<std::int64_t>(share, kOne - 1));
            total += w[s - begin];
        }
        // Rounding leaves the sum a few units off one: spread the
        // difference over the taps, one unit each. A lone tap stays just
        // under one, the most 16 bits hold.
        const std::int64_t target = first == last ? kOne - 1 : kOne;
        for (int s = first; total != target; s = s == last ? first : s + 1) {
            std::uint16_t &unit = w[s - begin];
            if (total < target && unit < kOne - 1) {
                ++unit;
                ++total;
            } else if (total > target && unit > 0) {
                --unit;
                --total;
            }
        }
    }
}

bool BoxScaler::prepare(QSize fromSize, QSize toSize)
{
    if (fromSize.isEmpty() || toSize.isEmpty() || toSize.width() > fromSize.width() ||
        toSize.height() > fromSize.height())
        return false;
    m_x.build(fromSize.width(), toSize.width());
    m_y.build(fromSize.height(), toSize.height());
    m_level = scaleLevel();
    // Room past the last pixel for a span load of four taps (the taps past a
    // pixel's own weigh nothing).
    m_sums.resize(std::size_t(4 * fromSize.width()) + kSpanWeights);
    m_bias = roundingBias(m_x.taps, m_y.taps);
#if defined(__SSE2__)
    if (m_level != ScaleLevel::Plain && (m_pairWeightsFrom != m_x.from || m_pairWeightsTo != m_x.to)) {
        m_pairWeightsFrom = m_x.from;
        m_pairWeightsTo = m_x.to;
        const std::size_t pairs = std::size_t(m_x.to / 2), taps = std::size_t(m_x.taps);
        m_pairWeights.resize(pairs * taps * 8);
        for (std::size_t p = 0; p < pairs; ++p)
            for (std::size_t k = 0; k < taps; ++k)
                for (std::size_t j = 0; j < 8; ++j)
                    m_pairWeights[(p * taps + k) * 8 + j] = m_x.weight[(2 * p + j / 4) * taps + k];
        m_spanWeights.clear();
        if (m_x.taps <= kSpanTaps) {
            m_spanWeights.assign(std::size_t(m_x.to) * kSpanWeights, 0);
            for (std::size_t i = 0; i < std::size_t(m_x.to); ++i)
                for (std::size_t k = 0; k < taps; ++k)
                    for (std::size_t c = 0; c < 4; ++c)
                        m_spanWeights[i * kSpanWeights + 4 * k + c] = m_x.weight[i * taps + k];
        }
    }
#endif
    return true;
}

void BoxScaler::scaleRow(int y, const std::uint8_t *const *rows, std::uint8_t *to)
{
    const std::size_t row = std::size_t(y);
    const int taps = m_y.usedCount[row];
    const std::uint16_t *weights =
        m_y.weight.data() + row * std::size_t(m_y.taps) + std::size_t(m_y.firstUsed[row] - m_y.start[row]);
    const int bytes = 4 * m_x.from;
    switch (m_level) {
#if defined(__SSE2__)
    case ScaleLevel::Sse2:
        sumRowsSse2(rows, weights, taps, bytes, m_sums.data());
        reduceRowSse2(m_x, m_pairWeights.data(), m_sums.data(), m_bias, to);
        return;
    case ScaleLevel::Avx2:
        sumRowsAvx2(rows, weights, taps, bytes, m_sums.data());
        if (m_spanWeights.empty())
            reduceRowAvx2(m_x, m_pairWeights.data(), m_sums.data(), m_bias, to);
        else
            reduceRowAvx2Spans(m_x, m_spanWeights.data(), m_sums.data(), m_bias, to);
        return;
#endif
    default:
        sumRowsPlain(rows, weights, taps, 0, bytes, m_sums.data());
        reduceRowPlain(m_x, m_sums.data(), m_bias, 0, m_x.to, to);
        return;
    }
}

bool BoxScaler::scale(const std::uint8_t *from, int fromStride, QSize fromSize, std::uint8_t *to, int toStride,
                      QSize toSize)
{
    if (!from || !to || fromStride < 4 * fromSize.width() || toStride < 4 * toSize.width() || !prepare(fromSize, toSize))
        return false;
    std::vector<const std::uint8_t *> rows(std::size_t(m_y.taps));
    for (int y = 0; y < toSize.height(); ++y) {
        for (int k = 0; k < rowCount(y); ++k)
            rows[std::size_t(k)] = from + std::ptrdiff_t(firstRow(y) + k) * fromStride;
        scaleRow(y, rows.data(), to + std::ptrdiff_t(y) * toStride);
    }
    return true;
}

QImage BoxScaler::scaled(const QImage &source, QSize size)
{
    if (source.isNull() || size.isEmpty())
        return {};
    if (source.format() != QImage::Format_RGB32 && source.format() != QImage::Format_ARGB32)
        return scaled(source.convertToFormat(QImage::Format_RGB32), size);
    QImage picture(size, QImage::Format_RGB32);
    if (picture.isNull() || !scale(source.constBits(), int(source.bytesPerLine()), source.size(), picture.bits(),
                                   int(picture.bytesPerLine()), size))
        return {};
    return picture;
}
