// The floor for a command-line answer: a bare QCoreApplication that prints
// one line, as `lumora-cli get` does, and exits. Built beside the benches,
// timed by bench_cli.

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("brightness: 128\n");
    return 0;
}
