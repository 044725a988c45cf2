#pragma once
// Summaries of repeated measurements, and the machine's load around them.

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

inline double minimum(const std::vector<double> &values) { return *std::min_element(values.begin(), values.end()); }
inline double maximum(const std::vector<double> &values) { return *std::max_element(values.begin(), values.end()); }

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The 1, 5 and 15 minute load averages, as /proc/loadavg gives them.
inline QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return "unknown";
    return file.readAll().split(' ').mid(0, 3).join(' ');
}

// A figure taken on a busy machine reads differently: every bench says how
// busy it was when it started and when it ended.
inline void printLoad(const char *when)
{
    std::printf("load average %s: %s\n", when, loadAverage().constData());
    std::fflush(stdout);
}

} // namespace bench
