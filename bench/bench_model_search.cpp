// The package model search.
//
// Headline: reading a 5 MiB model file and searching it (the app's
// readPackageModel: one pass, read in pieces, each searched while cached)
// against reading the same file and one memchr pass over it. Both sides read
// with the same unbuffered QFile into a fresh buffer; runs alternate for
// several rounds; min and median. The file holds random bytes and no model,
// the worst case (every offset searched).
//
// Then the search alone over 5 MiB buffers, under each vector level, against
// memchr over the same buffer, and the plain reference once.
//
// Usage: bench_model_search [rounds, default 21]

#include "../tests/upgrade/referencesearch.h"
#include "upgrade/firmwarepackage.h"
#include "upgrade/modelsearch.h"
#include "stats.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace lumora::upgrade;

namespace {

volatile int g_sink;

struct Times {
    std::vector<double> ms;
    double min() const { return bench::minimum(ms); }
    double median() const { return bench::median(ms); }
};

double timeMs(const std::function<void()> &work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return double(clock.nsecsElapsed()) / 1e6;
}

// Alternates the two sides, changing which goes first every round.
void interleave(int rounds, const std::function<void()> &a, const std::function<void()> &b, Times *ta, Times *tb)
{
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            ta->ms.push_back(timeMs(a));
            tb->ms.push_back(timeMs(b));
        } else {
            tb->ms.push_back(timeMs(b));
            ta->ms.push_back(timeMs(a));
        }
    }
}

void readAndMemchr(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return;
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kModelBufferSize]);
    const qint64 n = file.read(reinterpret_cast<char *>(buffer.get()), kModelBufferSize);
    g_sink = n > 0 && std::memchr(buffer.get(), 0xA5, std::size_t(n)) != nullptr;
}

void fillRandom(std::vector<unsigned char> &buffer, QRandomGenerator &random)
{
    for (auto &b : buffer)
        b = static_cast<unsigned char>(random.bounded(256));
    // memchr looks for 0xA5 and must read everything.
    std::replace(buffer.begin(), buffer.end(), static_cast<unsigned char>(0xA5), static_cast<unsigned char>(0));
}

} // namespace

int main(int argc, char **argv)
{
    // readPackageModel logs which file it reads; that is not what is measured.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    bench::printLoad("before");
    const int rounds = argc > 1 ? std::max(3, atoi(argv[1])) : 21;
    QRandomGenerator random(7);
    std::vector<unsigned char> buffer(kModelBufferSize, 0);
    fillRandom(buffer, random);

    QTemporaryDir workspace;
    {
        QFile file(workspace.filePath("miservice.ubifs"));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(reinterpret_cast<const char *>(buffer.data()), qint64(buffer.size()));
    }
    const QString path = workspace.filePath("miservice.ubifs");
    const SearchLevel dispatched = supportedSearchLevel();

    std::printf("5 MiB model file of random bytes, no model in it; %d rounds, alternating order; search level %s\n\n",
                rounds, searchLevelName(dispatched));
    std::printf("| whole operation | min ms | median ms | median / read + memchr |\n|---|---|---|---|\n");
    Times search, scan;
    interleave(rounds, [&] {
        int model = -1;
        g_sink = readPackageModel(workspace.path(), &model) ? model : -1;
    }, [&] { readAndMemchr(path); }, &search, &scan);
    std::printf("| read + search (readPackageModel) | %.3f | %.3f | %.2f |\n", search.min(), search.median(),
                search.median() / scan.median());
    std::printf("| read + memchr | %.3f | %.3f | 1.00 |\n\n", scan.min(), scan.median());
    const double headline = search.median() / scan.median();

    std::printf("search alone over a 5 MiB buffer (findModelInBuffer), each level against memchr:\n\n");
    std::printf("| buffer | level | search min ms | median ms | memchr median ms | search / memchr |\n|---|---|---|---|---|---|\n");
    std::vector<unsigned char> letters(kModelBufferSize), nearMiss(kModelBufferSize);
    const QByteArray alphabet = "ORBIT 0146AFQX-KNVPELomix+2583";
    for (auto &b : letters)
        b = static_cast<unsigned char>(alphabet.at(int(random.bounded(alphabet.size()))));
    for (std::size_t at = 0; at + 20 < nearMiss.size(); at += 20)
        std::memcpy(nearMiss.data() + at, "ORBIT 16xA QX-K52-10x", 20);
    const std::vector<unsigned char> zeros(kModelBufferSize, 0);
    const struct {
        const char *name;
        const std::vector<unsigned char> *data;
    } buffers[] = {{"zeros", &zeros}, {"random bytes", &buffer}, {"pattern letters", &letters}, {"near-miss names", &nearMiss}};
    for (const auto &b : buffers) {
        for (const SearchLevel level : {SearchLevel::Plain, SearchLevel::Sse2, SearchLevel::Avx2}) {
            if (forceSearchLevel(level) != level)
                continue;
            Times fast, chr;
            interleave(rounds, [&] {
                int model = -1;
                g_sink = findModelInBuffer(b.data->data(), &model) ? model : -1;
            }, [&] { g_sink = std::memchr(b.data->data(), 0xA5, b.data->size()) != nullptr; }, &fast, &chr);
            std::printf("| %s | %s | %.3f | %.3f | %.3f | %.1f |\n", b.name, searchLevelName(level), fast.min(),
                        fast.median(), chr.median(), fast.median() / chr.median());
        }
    }
    forceSearchLevel(dispatched);
    const double reference = timeMs([&] { g_sink = upgradetest::referenceModelSearch(buffer.data()); });
    std::printf("\nplain reference (one pass per pattern), random bytes, one run: %.1f ms\n", reference);
    std::printf("\n");
    bench::printLoad("after");
    std::printf("\nratio model_search_vs_memchr %.2f\n", headline);
    return 0;
}
