#pragma once
// Summaries of repeated measurements.

#include <algorithm>
#include <vector>

namespace bench {

inline double minimum(const std::vector<double> &values) { return *std::min_element(values.begin(), values.end()); }
inline double maximum(const std::vector<double> &values) { return *std::max_element(values.begin(), values.end()); }

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace bench
