#pragma once
// The model search as plainly as it can be written: one full pass over the
// buffer per pattern, in table order, with a table and limits of its own so
// that a change to the app's table or limits shows up as a disagreement.

#include <cstddef>
#include <vector>

namespace upgradetest {

// The model buffer is 5 MiB; patterns may start at offsets 0 to 5,242,859.
constexpr int kReferenceBufferSize = 5242880;
constexpr int kReferenceSearchEnd = 5242860;

struct ReferencePattern {
    const char *text;
    std::vector<int> positions;
    int model;
};

inline std::vector<int> referenceRange(int from, int to)
{
    std::vector<int> r;
    for (int i = from; i <= to; ++i)
        r.push_back(i);
    return r;
}

inline const std::vector<ReferencePattern> &referencePatterns()
{
    static const std::vector<int> orbit9 = {0, 1, 2, 3, 4, 6, 7, 8};
    static const std::vector<int> orbit10 = {0, 1, 2, 3, 4, 6, 7, 8, 9};
    static const std::vector<ReferencePattern> table = {
        {"RM QX-K-P24", {0, 1, 3, 4, 6, 8, 9, 10}, 1},
        {"QX-VEN24-100", {0, 1, 3, 4, 5, 6, 7, 9, 10, 11}, 2},
        {"QX-TRN52-100", {0, 1, 3, 4, 5, 6, 7, 9, 10, 11}, 3},
        {"QX-K52-100", referenceRange(0, 9), 0},
        {"VPT410B-100", referenceRange(0, 10), 4},
        {"VPT620-100", referenceRange(0, 9), 5},
        {"Loomix+60", referenceRange(0, 8), 6},
        {"NV-Optica-4K-AI", referenceRange(0, 14), 7},
        {"NV-Optica-1080-AI", referenceRange(0, 16), 8},
        {"ORBIT 60F", orbit9, 9},
        {"ORBIT 60A", orbit9, 10},
        {"ORBIT 300", orbit9, 11},
        {"ORBIT 400", orbit9, 12},
        {"ORBIT 410", orbit9, 13},
        {"ORBIT 160F", orbit10, 15},
        {"ORBIT 160A", orbit10, 14},
    };
    return table;
}

// `buffer` holds kReferenceBufferSize bytes.
inline int referenceModelSearch(const unsigned char *buffer)
{
    for (const ReferencePattern &p : referencePatterns())
        for (int offset = 0; offset < kReferenceSearchEnd; ++offset) {
            std::size_t matched = 0;
            while (matched < p.positions.size() &&
                   buffer[offset + p.positions[matched]] == static_cast<unsigned char>(p.text[p.positions[matched]]))
                ++matched;
            if (matched == p.positions.size())
                return p.model;
        }
    return -1;
}

} // namespace upgradetest
