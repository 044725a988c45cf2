#include "upgrade/modelsearch.h"

#include "upgrade/firmwarepackage.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <immintrin.h>

namespace lumora::upgrade {

namespace {

// Patterns compare at most this many bytes (positions 0..23), as three words.
constexpr int kWords = 3;
constexpr std::size_t kCompareSpan = kWords * 8;
constexpr int kMaxPairs = 8;

struct Row {
    std::uint64_t text[kWords] = {};
    std::uint64_t mask[kWords] = {};
    int lastPosition = 0;
};

// The table, compiled once: rows as masked words, and rows grouped by their
// first byte (in table order), each group sharing one second byte.
struct Compiled {
    std::vector<Row> rows;
    std::array<std::int8_t, 256> groupOf;
    std::vector<std::vector<int>> groups;
    unsigned char first[kMaxPairs] = {}, second[kMaxPairs] = {};
    int pairs = 0;
    // False when some row does not compare its first two bytes, or the pairs
    // are too many: then only the plain scan is right.
    bool prefilter = true;
    // When the pairs' first bytes differ in their low nibble, a byte's low
    // nibble names the one pair it could start: these tables give that pair's
    // bytes (a byte that never matches for unused nibbles).
    bool nibbleLookup = false;
    unsigned char firstByNibble[16] = {}, secondByNibble[16] = {};

    Compiled()
    {
        groupOf.fill(-1);
        const QVector<ModelPattern> &patterns = modelPatterns();
        for (const ModelPattern &p : patterns) {
            Row row;
            bool comparesPair[2] = {false, false};
            for (int pos : p.positions) {
                if (pos < 0 || pos >= int(kCompareSpan)) {
                    prefilter = false;
                    continue;
                }
                reinterpret_cast<unsigned char *>(row.text)[pos] = static_cast<unsigned char>(p.text[pos]);
                reinterpret_cast<unsigned char *>(row.mask)[pos] = 0xFF;
                row.lastPosition = std::max(row.lastPosition, pos);
                if (pos < 2)
                    comparesPair[pos] = true;
            }
            const auto a = static_cast<unsigned char>(p.text[0]);
            const auto b = static_cast<unsigned char>(p.text[1]);
            if (!comparesPair[0] || !comparesPair[1])
                prefilter = false;
            int group = groupOf[a];
            if (group < 0) {
                group = int(groups.size());
                groupOf[a] = std::int8_t(group);
                groups.emplace_back();
                if (pairs < kMaxPairs) {
                    first[pairs] = a;
                    second[pairs] = b;
                }
                ++pairs;
            } else if (second[group] != b) {
                prefilter = false;
            }
            groups[group].push_back(int(rows.size()));
            rows.push_back(row);
        }
        if (pairs > kMaxPairs || groups.size() > 127)
            prefilter = false;
        // Unused pair slots repeat the first pair, so the vector loop has a fixed length.
        for (int i = pairs; i < kMaxPairs && pairs > 0; ++i) {
            first[i] = first[0];
            second[i] = second[0];
        }
        bool taken[16] = {};
        nibbleLookup = prefilter;
        for (int n = 0; n < 16; ++n)
            firstByNibble[n] = static_cast<unsigned char>(n ^ 1);
        for (int p = 0; p < pairs && p < kMaxPairs; ++p) {
            const int n = first[p] & 0x0F;
            nibbleLookup = nibbleLookup && !taken[n];
            taken[n] = true;
            firstByNibble[n] = first[p];
            secondByNibble[n] = second[p];
        }
    }

    // Word compare at a candidate whose whole compare span is readable.
    // Inlined into each vector loop, so it is compiled for that loop's level.
    __attribute__((always_inline)) int checkWords(const unsigned char *at, int best) const
    {
        const int group = groupOf[at[0]];
        if (group < 0)
            return best;
        std::uint64_t words[kWords];
        std::memcpy(words, at, sizeof words);
        for (int r : groups[std::size_t(group)]) {
            if (r >= best)
                break;
            const Row &row = rows[std::size_t(r)];
            if ((((words[0] ^ row.text[0]) & row.mask[0]) | ((words[1] ^ row.text[1]) & row.mask[1]) |
                 ((words[2] ^ row.text[2]) & row.mask[2])) == 0)
                return r;
        }
        return best;
    }

    // Byte compare that reads nothing at or past `available`.
    int checkBytes(const unsigned char *at, std::size_t available, int best) const
    {
        const int group = groupOf[at[0]];
        if (group < 0)
            return best;
        for (int r : groups[std::size_t(group)]) {
            if (r >= best)
                break;
            const Row &row = rows[std::size_t(r)];
            if (std::size_t(row.lastPosition) >= available)
                continue;
            const auto *text = reinterpret_cast<const unsigned char *>(row.text);
            const auto *mask = reinterpret_cast<const unsigned char *>(row.mask);
            bool all = true;
            for (int pos = 0; pos <= row.lastPosition && all; ++pos)
                all = !mask[pos] || at[pos] == text[pos];
            if (all)
                return r;
        }
        return best;
    }
};

const Compiled &compiled()
{
    static const Compiled table;
    return table;
}

int scanPlain(const Compiled &t, const unsigned char *data, std::size_t size, std::size_t from, std::size_t end, int best)
{
    for (std::size_t s = from; s < end && best > 0; ++s)
        best = t.checkBytes(data + s, size - s, best);
    return best;
}

// The candidates of one block: bit i set means a pair starts at s + i.
template <class Bits> __attribute__((always_inline)) inline int checkCandidates(const Compiled &t, const unsigned char *data, std::size_t s, std::size_t end, Bits bits, int best)
{
    if (end - s < sizeof(Bits) * 8)
        bits &= (Bits(1) << (end - s)) - 1;
    while (bits && best > 0) {
        const int i = sizeof(Bits) == 8 ? __builtin_ctzll(bits) : __builtin_ctz(unsigned(bits));
        best = t.checkWords(data + s + std::size_t(i), best);
        bits &= bits - 1;
    }
    return best;
}

template <int Pairs>
int scanSse2(const Compiled &t, const unsigned char *data, std::size_t size, std::size_t s, std::size_t end, int best)
{
    constexpr std::size_t kStep = 16;
    __m128i first[Pairs], second[Pairs];
    for (int p = 0; p < Pairs; ++p) {
        first[p] = _mm_set1_epi8(char(t.first[p]));
        second[p] = _mm_set1_epi8(char(t.second[p]));
    }
    // Both loads and every candidate's word compare stay below `size`.
    for (; s < end && s + kStep + kCompareSpan <= size && best > 0; s += kStep) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + s));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + s + 1));
        __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(v0, first[0]), _mm_cmpeq_epi8(v1, second[0]));
        for (int p = 1; p < Pairs; ++p)
            hit = _mm_or_si128(hit, _mm_and_si128(_mm_cmpeq_epi8(v0, first[p]), _mm_cmpeq_epi8(v1, second[p])));
        const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
        if (bits)
            best = checkCandidates<std::uint32_t>(t, data, s, end, bits, best);
    }
    return scanPlain(t, data, size, s, end, best);
}

__attribute__((target("avx2"))) int scanAvx2(const Compiled &t, const unsigned char *data, std::size_t size,
                                             std::size_t s, std::size_t end, int best)
{
    constexpr std::size_t kStep = 32;
    if (!t.nibbleLookup)
        return scanSse2<kMaxPairs>(t, data, size, s, end, best);
    // A byte's low nibble picks the pair it may start; one compare each for
    // the first and the second byte then says whether it does.
    const __m128i firstTable = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t.firstByNibble));
    const __m128i secondTable = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t.secondByNibble));
    const __m256i firsts = _mm256_broadcastsi128_si256(firstTable);
    const __m256i seconds = _mm256_broadcastsi128_si256(secondTable);
    const __m256i lowNibble = _mm256_set1_epi8(0x0F);
    for (; s < end && s + kStep + kCompareSpan <= size && best > 0; s += kStep) {
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + s));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + s + 1));
        const __m256i nibble = _mm256_and_si256(v0, lowNibble);
        const __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi8(v0, _mm256_shuffle_epi8(firsts, nibble)),
                                             _mm256_cmpeq_epi8(v1, _mm256_shuffle_epi8(seconds, nibble)));
        const auto bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
        if (bits)
            best = checkCandidates<std::uint32_t>(t, data, s, end, bits, best);
    }
    return scanPlain(t, data, size, s, end, best);
}

SearchLevel detectLevel()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? SearchLevel::Avx2 : SearchLevel::Sse2;
}

std::atomic<SearchLevel> &currentLevel()
{
    static std::atomic<SearchLevel> level{detectLevel()};
    return level;
}

} // namespace

SearchLevel supportedSearchLevel()
{
    static const SearchLevel level = detectLevel();
    return level;
}

SearchLevel forceSearchLevel(SearchLevel level)
{
    const SearchLevel used = std::min(level, supportedSearchLevel());
    currentLevel().store(used);
    return used;
}

SearchLevel searchLevel() { return currentLevel().load(); }

const char *searchLevelName(SearchLevel level)
{
    switch (level) {
    case SearchLevel::Plain: return "plain";
    case SearchLevel::Sse2: return "sse2";
    case SearchLevel::Avx2: return "avx2";
    }
    return "?";
}

int searchModelRows(const unsigned char *data, std::size_t size, std::size_t begin, std::size_t end, int best)
{
    const Compiled &t = compiled();
    end = std::min(end, size);
    if (begin >= end || best <= 0)
        return best;
    const SearchLevel level = t.prefilter ? searchLevel() : SearchLevel::Plain;
    switch (level) {
    case SearchLevel::Avx2: return scanAvx2(t, data, size, begin, end, best);
    case SearchLevel::Sse2:
        // The usual table has six pairs: a loop of exactly that length.
        return t.pairs == 6 ? scanSse2<6>(t, data, size, begin, end, best)
                            : scanSse2<kMaxPairs>(t, data, size, begin, end, best);
    case SearchLevel::Plain: break;
    }
    return scanPlain(t, data, size, begin, end, best);
}

bool findModelInFile(QFile &file, int *model)
{
    constexpr std::size_t kBuffer = kModelBufferSize;
    constexpr qint64 kPiece = 256 * 1024;
    // Room after the buffer so the vector loop runs to its end.
    constexpr std::size_t kPad = 64;
    const int rows = int(compiled().rows.size());
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBuffer + kPad]);

    // Reading the file in buffer-sized blocks, each from the buffer's start,
    // leaves the last block followed by the tail of the one before: those two
    // parts are read, in that order.
    const qint64 length = file.size();
    struct Part {
        qint64 from, bytes;
    };
    std::vector<Part> parts;
    if (length <= qint64(kBuffer)) {
        parts.push_back({0, length});
    } else {
        const qint64 last = (length - 1) / qint64(kBuffer) * qint64(kBuffer);
        const qint64 lastBytes = length - last;
        parts.push_back({last, lastBytes});
        parts.push_back({last - qint64(kBuffer) + lastBytes, qint64(kBuffer) - lastBytes});
    }

    std::size_t filled = 0, searched = 0;
    int best = rows;
    for (const Part &part : parts) {
        if (part.bytes <= 0 || !file.seek(part.from))
            continue;
        for (qint64 left = part.bytes; left > 0 && best > 0;) {
            const qint64 n = file.read(reinterpret_cast<char *>(buffer.get() + filled), std::min(left, kPiece));
            if (n <= 0)
                break;
            filled += std::size_t(n);
            left -= n;
            // Offsets whose every compared byte has arrived.
            const std::size_t ready = std::min<std::size_t>(filled > kCompareSpan ? filled - kCompareSpan : 0, kModelSearchEnd);
            best = searchModelRows(buffer.get(), filled, searched, ready, best);
            searched = std::max(searched, ready);
        }
    }
    // The rest of the buffer is zeros, which no pattern starts with.
    const std::size_t zeros = std::min(kBuffer + kPad, filled + kPad) - filled;
    std::memset(buffer.get() + filled, 0, zeros);
    best = searchModelRows(buffer.get(), filled + zeros, searched, std::min<std::size_t>(filled, kModelSearchEnd), best);
    if (best >= rows)
        return false;
    *model = modelPatterns().at(best).model;
    return true;
}

} // namespace lumora::upgrade
