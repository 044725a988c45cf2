#include "cli/cli_output.h"

#include <QJsonDocument>

#include <fcntl.h>
#include <unistd.h>

namespace {

FILE *g_results = stdout;
bool g_terminal = false;

} // namespace

void claimStandardOutput()
{
    g_terminal = isatty(STDOUT_FILENO);
    std::fflush(stdout);
    const int results = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (results < 0 || null < 0)
        return;
    ::fcntl(results, F_SETFD, FD_CLOEXEC);
    if (FILE *stream = ::fdopen(results, "w")) {
        g_results = stream;
        ::dup2(null, STDOUT_FILENO);
    }
    ::close(null);
}

FILE *resultStream()
{
    return g_results;
}

bool resultsToTerminal()
{
    return g_terminal;
}

void printLine(const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), g_results);
    std::fflush(g_results);
}

void printJson(const QJsonObject &object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Indented).constData(), g_results);
    std::fflush(g_results);
}

int fail(int code, const QString &message)
{
    std::fputs(("lumora-cli: " + message + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    return code;
}
