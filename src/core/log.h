#pragma once
// The log file: every message of every level becomes one line in
// "~/.vistrel/vistrel.log" (rotated into ".1" and ".2" above 5 MiB) and one
// line on standard error.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// Where the log lives before start-up resolves it.
constexpr const char *kDefaultLogFilePath = "~/.vistrel/vistrel.log";
// A log file larger than this is rotated before the next line is written.
constexpr qint64 kLogRotateSize = 5242880;

// Expands a leading "~/" to the home folder (HOME, else the account's home
// from the password database) and turns backslashes into slashes; unless
// `isDirectory`, creates the parent folder (new folders only for the user)
// and, when nothing is at the path, not even a link, the file with
// `initialContent`. Returns the resolved path, empty when there is no home.
QString resolveUserFile(const QString &path, bool isDirectory, const QByteArray &initialContent);

// The resolved log file path (the literal default until start-up sets it).
QString LogFilePath();
void setLogFilePath(const QString &path);

// The two lines one message becomes: one for the file, one for standard error.
struct LogLines {
    QString file;
    QString debugger;
};
LogLines formatLogLines(QtMsgType type, const QMessageLogContext &context, const QString &message, const QDateTime &now);

// The process-wide message handler; installed once at start-up. The file is
// opened without following links or blocking and must be a regular file; when
// it is not, or cannot be opened, one warning goes to standard error and the
// run carries on without a file log (until setLogFilePath names another).
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Resolves the log file, installs the handler and writes the start banner.
// Without `echo` nothing goes to standard error (the command-line tool keeps
// it for its own messages).
void startLogging(bool echo = true);
