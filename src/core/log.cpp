#include "core/log.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTextStream>

#include <atomic>
#include <cstdio>

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

void renameReplacing(const QString &from, const QString &to)
{
    std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData());
}

// Caller holds the log mutex.
void appendLine(const QString &path, const QString &line)
{
    const QFileInfo info(path);
    if (info.exists() && info.size() > kLogRotateSize) {
        renameReplacing(path + QLatin1String(".1"), path + QLatin1String(".2"));
        renameReplacing(path, path + QLatin1String(".1"));
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file);
    stream << line << "\r\n";
    stream.flush();
    file.close();
}

} // namespace

QString resolveUserFile(const QString &path, bool isDirectory, const QByteArray &initialContent)
{
    QString resolved = path;
    if (resolved.startsWith(QLatin1String("~/")))
        resolved = QStringLiteral("%1/%2").arg(QDir::homePath(), resolved.mid(2));
    resolved.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (isDirectory)
        return resolved;

    const int slash = resolved.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) {
        const QString dir = resolved.left(slash);
        if (!QDir().mkpath(dir))
            qWarning().noquote() << "Error, cannot create dir" << dir;
    }
    if (!QFile::exists(resolved)) {
        QFile file(resolved);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(initialContent);
            file.close();
        }
    }
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
    QMutexLocker lock(&logMutex());
    appendLine(logFilePathStorage(), lines.file);
    if (echoToStandardError())
        std::fputs((lines.debugger + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
}

void startLogging(bool echo)
{
    echoToStandardError() = echo;
    setLogFilePath(resolveUserFile(LogFilePath(), false, QByteArray()));
    qInstallMessageHandler(logMessageHandler);
    const QString rule(51, QLatin1Char('-'));
    // The banner carries no source context, so it takes the short line form.
    QMessageLogger().info().noquote() << rule;
    QMessageLogger().info().noquote() << "- System Start!";
    QMessageLogger().info().noquote() << rule;
}
