#pragma once
// The per-user folder packages are unpacked into. Every relative name of a
// package ("auto_update.txt", "u-boot.bin", names inside scripts) resolves
// against it; the process's working directory is never changed.

#include <QString>

namespace lumora::upgrade {

// <AppLocalDataLocation>/firmware, created on first use.
QString firmwareWorkspace();

// `name` inside `workspace`; empty when the name is absolute or climbs out of it.
QString workspaceFile(const QString &workspace, const QString &name);

} // namespace lumora::upgrade
