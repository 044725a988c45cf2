#pragma once
// Runs a package's update script against the camera in its u-Boot state, and
// checks a script whole, with the same reader, before anything is sent.

#include <QString>

namespace lumora::upgrade {

// Deepest "estar" nesting; a deeper script fails.
constexpr int kMaxScriptNesting = 16;
// Longest boot-loader command line the camera takes.
constexpr int kMaxCommandLength = 1023;

// Runs `script` (a name inside `workspace`, as are the names in it): 0 on
// success, -1 on the first failure. Caller holds channelMutex().
int runScript(const QString &workspace, const QString &script);

// What a whole script would do, read the way runScript reads it.
struct ScriptPlan {
    bool usable = false;
    QString problem;       // one line when not usable
    qint64 bytes = 0;      // command text and file data the run sends
    QString version;       // from "setenv fw_version <v>"; empty when the script names none
};
// Walks `script` and every script it runs without touching the camera. Not
// usable when a named file is missing or unreadable, a tftp address does not
// parse, a limit is exceeded, nothing would run, or no "reset" is reached at
// the top level.
ScriptPlan checkScript(const QString &workspace, const QString &script);

// A script line with blanks and tabs trimmed and inner runs made one blank.
QByteArray normaliseScriptLine(const QByteArray &line);

} // namespace lumora::upgrade
