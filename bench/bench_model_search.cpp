// The package model search over a 5 MiB buffer that holds no model: the fast
// search, the plain one-pass-per-pattern reference, and one memchr pass over
// the same buffer as the yardstick.

#include "../tests/upgrade/referencesearch.h"
#include "upgrade/firmwarepackage.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace lumora::upgrade;

namespace {

double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        work();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

volatile int g_sink;

void measure(const char *name, const std::vector<unsigned char> &buffer)
{
    const double fast = medianMs(21, [&] {
        int model = -1;
        g_sink = findModelInBuffer(buffer.data(), &model) ? model : -1;
    });
    const double reference = medianMs(5, [&] { g_sink = upgradetest::referenceModelSearch(buffer.data()); });
    // A byte that is not in the buffer, so memchr reads all of it.
    const double scan = medianMs(21, [&] {
        g_sink = std::memchr(buffer.data(), 0xA5, buffer.size()) != nullptr;
    });
    std::printf("| %s | %.2f | %.2f | %.3f | %.1fx | %.1fx |\n", name, fast, reference, scan, fast / scan,
                reference / fast);
}

} // namespace

int main()
{
    std::vector<unsigned char> buffer(kModelBufferSize, 0);
    std::printf("| buffer (no model in it) | fast ms | reference ms | memchr ms | fast / memchr | reference / fast |\n");
    std::printf("|---|---|---|---|---|---|\n");
    measure("zeros", buffer);
    QRandomGenerator random(7);
    for (auto &b : buffer)
        b = static_cast<unsigned char>(random.bounded(256));
    std::replace(buffer.begin(), buffer.end(), static_cast<unsigned char>(0xA5), static_cast<unsigned char>(0));
    measure("random bytes", buffer);
    // Near misses everywhere: the patterns' own letters and model names with one byte off.
    const QByteArray letters = "ORBIT 0146AFQX-KNVPELomix+2583";
    for (auto &b : buffer)
        b = static_cast<unsigned char>(letters.at(int(random.bounded(letters.size()))));
    measure("pattern letters", buffer);
    for (size_t at = 0; at + 20 < buffer.size(); at += 20)
        std::memcpy(buffer.data() + at, "ORBIT 16xA QX-K52-10x", 20);
    measure("near-miss names", buffer);
    return 0;
}
