#pragma once
// How lumora-cli talks to its caller: results on standard output (plain or
// JSON), one error line on standard error, and the exit codes.

#include <QJsonObject>
#include <QString>

enum ExitCode {
    ExitOk = 0,
    ExitFailure = 1,        // the camera refused or did not answer
    ExitUsage = 2,          // bad command line
    ExitNoCamera = 3,       // no such camera index, or it vanished
    ExitOutOfRange = 4,     // a value the control does not take
    ExitUnreadable = 5,     // a file that cannot be read
    ExitBadFormat = 10,     // package layout wrong
    ExitCorrupted = 11,     // package model unreadable
    ExitMismatch = 12,      // package for another model
    ExitInterrupted = 130,  // stopped by a signal
};

#include <cstdio>

// Keeps standard output for the tool's results: the library's low-level
// console lines go to /dev/null instead. Call once at start.
void claimStandardOutput();
FILE *resultStream();
bool resultsToTerminal();

void printLine(const QString &text);
void printJson(const QJsonObject &object);
// Writes "lumora-cli: <message>" to standard error and returns `code`.
int fail(int code, const QString &message);
