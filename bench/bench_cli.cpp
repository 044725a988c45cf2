// A command-line answer against the least any Qt program costs: wall time of
// `lumora-cli get brightness -c 0` on the simulated 4K camera (the first of
// the default simulated cameras) against a bare QCoreApplication that prints
// one line and exits, both whole processes started the same way, in turn
// (A B, then B A), several rounds; min and median.
//
// Usage: bench_cli [rounds, default 21]

#include "stats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

// Wall ms of one run; negative when it failed.
double runMs(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    bench::printLoad("before");
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LUMORA_PLATFORM", "sim");
    env.insert("HOME", home.path());
    env.remove("LUMORA_TRACE");
    env.remove("LUMORA_SIM_SCENARIO");
    const QString cli = QStringLiteral(LUMORA_CLI_PATH);
    const QString baseline = QStringLiteral(LUMORA_CLI_BASELINE_PATH);
    const QStringList get = {"get", "brightness", "-c", "0"};

    // Once each first, so neither pays for the files' first read.
    if (runMs(cli, get, env) < 0 || runMs(baseline, {}, env) < 0) {
        std::fprintf(stderr, "%s get brightness -c 0 failed\n", qPrintable(cli));
        return 1;
    }
    std::vector<double> cliMs, baselineMs;
    for (int round = 0; round < rounds; ++round) {
        for (int side = 0; side < 2; ++side) {
            if ((side == 0) == (round % 2 == 0))
                cliMs.push_back(runMs(cli, get, env));
            else
                baselineMs.push_back(runMs(baseline, {}, env));
        }
    }
    if (bench::minimum(cliMs) < 0 || bench::minimum(baselineMs) < 0) {
        std::fprintf(stderr, "a run failed\n");
        return 1;
    }
    std::printf("%d rounds, alternating order, wall time of each whole process\n\n", rounds);
    std::printf("| command | min ms | median ms | median / baseline |\n|---|---|---|---|\n");
    std::printf("| lumora-cli get brightness -c 0 (simulated 4K camera) | %.1f | %.1f | %.2f |\n", bench::minimum(cliMs),
                bench::median(cliMs), bench::median(cliMs) / bench::median(baselineMs));
    std::printf("| bare QCoreApplication that prints and exits | %.1f | %.1f | 1.00 |\n\n", bench::minimum(baselineMs),
                bench::median(baselineMs));
    bench::printLoad("after");
    std::printf("\nvalue cli_get_ms %.1f ms\n", bench::median(cliMs));
    std::printf("value cli_baseline_ms %.1f ms\n", bench::median(baselineMs));
    return 0;
}
