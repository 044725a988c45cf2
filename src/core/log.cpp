#include "core/log.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Guards the path, the rotation and the append: two threads never rotate at
// once and never interleave within a line.
QMutex &logMutex()
{
    static QMutex mutex;
    return mutex;
}

std::atomic<bool> &echoToStandardError()
{
    static std::atomic<bool> echo{true};
    return echo;
}

QString &logFilePathStorage()
{
    static QString path = QString::fromLatin1(kDefaultLogFilePath);
    return path;
}

struct LevelTags {
    const char *file;
    const char *debugger;
};

LevelTags levelTags(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return {"-D- ", " [Debug] "};
    case QtWarningMsg: return {"-W- ", " [Warning] "};
    case QtCriticalMsg: return {"-C- ", " [Critical] "};
    case QtFatalMsg: return {"-F- ", " [Fatal] "};
    case QtInfoMsg: return {"-I- ", " [Info] "};
    }
    return {"-E- ", " [Error] "};
}

// "void Foo::bar(int)" -> "Foo::bar"; the whole signature when it has no such shape.
QString shortFunctionName(const char *signature)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral(".*\\s([^\\s]+)\\(.*")));
    const QString full = QString::fromUtf8(signature);
    const QRegularExpressionMatch match = pattern.match(full);
    return match.hasMatch() ? match.captured(1) : full;
}

// Set once the file was refused: the rest of the run logs to standard error only.
bool &fileLogOff()
{
    static bool off = false;
    return off;
}

void renameReplacing(const QString &from, const QString &to)
{
    std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData());
}

// The log may be a FIFO, a device or a link planted by someone else: never
// follow a link, never block on open, and write only into a regular file.
// Returns the descriptor, or -1 with `why` saying what is wrong.
int openLogFile(const QString &path, QString *why)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        struct stat link;
        if (error == ELOOP && ::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode))
            *why = QStringLiteral("it is a symbolic link");
        else
            *why = QString::fromLocal8Bit(std::strerror(error));
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *why = QStringLiteral("it is not a regular file");
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Caller holds the log mutex. Returns the warning to give when the file was
// refused just now; empty otherwise.
QString appendLine(const QString &path, const QString &line)
{
    if (fileLogOff() || path.isEmpty())
        return {};
    QString why;
    int fd = openLogFile(path, &why);
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) == 0 && info.st_size > kLogRotateSize) {
        ::close(fd);
        renameReplacing(path + QLatin1String(".1"), path + QLatin1String(".2"));
        renameReplacing(path, path + QLatin1String(".1"));
        fd = openLogFile(path, &why);
    }
    if (fd < 0) {
        fileLogOff() = true;
        return QStringLiteral("log file %1 not used (%2); logging to standard error only").arg(path, why);
    }
    writeAll(fd, (line + QLatin1String("\r\n")).toLocal8Bit());
    ::close(fd);
    return {};
}

// The refusal goes to standard error even when lines are not echoed there:
// it is the only trace of a run without a log file.
void warnWithoutFile(const QString &message)
{
    const LogLines lines = formatLogLines(QtWarningMsg, QMessageLogContext(), message, QDateTime::currentDateTime());
    std::fputs((lines.debugger + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
}

// HOME when it names a folder, else the account's home; empty when neither.
QString homeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);
    if (const passwd *account = ::getpwuid(::getuid())) {
        const QString fromAccount = QFile::decodeName(account->pw_dir);
        if (QDir::isAbsolutePath(fromAccount))
            return QDir::cleanPath(fromAccount);
    }
    return {};
}

// mkpath with the folders it creates private to the user.
bool makePrivatePath(const QString &dir)
{
    const QString clean = QDir::cleanPath(dir);
    if (QFileInfo(clean).isDir())
        return true;
    const int slash = clean.lastIndexOf(QLatin1Char('/'));
    if (slash > 0 && !makePrivatePath(clean.left(slash)))
        return false;
    return ::mkdir(QFile::encodeName(clean).constData(), 0700) == 0 || (errno == EEXIST && QFileInfo(clean).isDir());
}

// The file is made only where nothing, not even a dangling link, is in the way.
void createIfMissing(const QString &path, const QByteArray &content)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    writeAll(fd, content);
    ::close(fd);
}

} // namespace

QString resolveUserFile(const QString &path, bool isDirectory, const QByteArray &initialContent)
{
    QString resolved = path;
    resolved.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (resolved.startsWith(QLatin1String("~/"))) {
        const QString home = homeFolder();
        if (home.isEmpty()) {
            qWarning().noquote() << "Error, no home folder for" << path;
            return {};
        }
        resolved = QStringLiteral("%1/%2").arg(home, resolved.mid(2));
    }
    if (isDirectory)
        return resolved;

    const int slash = resolved.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) {
        const QString dir = resolved.left(slash);
        if (!makePrivatePath(dir)) {
            qWarning().noquote() << "Error, cannot create dir" << dir;
            return resolved;
        }
    }
    createIfMissing(resolved, initialContent);
    return resolved;
}

QString LogFilePath()
{
    QMutexLocker lock(&logMutex());
    return logFilePathStorage();
}

void setLogFilePath(const QString &path)
{
    QMutexLocker lock(&logMutex());
    logFilePathStorage() = path;
    fileLogOff() = false;
}

LogLines formatLogLines(QtMsgType type, const QMessageLogContext &context, const QString &message, const QDateTime &now)
{
    const LevelTags tags = levelTags(type);
    const QString stamp = now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    if (context.file == nullptr) {
        return {QStringLiteral("[%1] %2: %3").arg(stamp, QLatin1String(tags.file), message),
                QLatin1String(tags.debugger) + message};
    }
    const QString file = QString::fromUtf8(context.file);
    const QString line = QString::number(context.line);
    return {QStringLiteral("[%1] %2 %3(%4) <<%5>>: %6")
                .arg(stamp, QLatin1String(tags.file), file, line, QString::fromUtf8(context.function), message),
            QStringLiteral("%1(%2):%3<<%4>> %5")
                .arg(file, line, QLatin1String(tags.debugger), shortFunctionName(context.function), message)};
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const LogLines lines = formatLogLines(type, context, message, QDateTime::currentDateTime());
    QString refused;
    {
        QMutexLocker lock(&logMutex());
        refused = appendLine(logFilePathStorage(), lines.file);
        if (echoToStandardError())
            std::fputs((lines.debugger + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    }
    if (!refused.isEmpty())
        warnWithoutFile(refused);
}

void startLogging(bool echo)
{
    echoToStandardError() = echo;
    const QString path = resolveUserFile(LogFilePath(), false, QByteArray());
    setLogFilePath(path);
    // Resolving has already said why there is no home or folder for the file.
    if (path.isEmpty() || !QFileInfo(QFileInfo(path).absolutePath()).isDir()) {
        QMutexLocker lock(&logMutex());
        fileLogOff() = true;
    }
    qInstallMessageHandler(logMessageHandler);
    const QString rule(51, QLatin1Char('-'));
    // The banner carries no source context, so it takes the short line form.
    QMessageLogger().info().noquote() << rule;
    QMessageLogger().info().noquote() << "- System Start!";
    QMessageLogger().info().noquote() << rule;
}
