#pragma once
// Where "product.ini" lives. Beside the executable when that folder can be
// written (an unpacked or portable build); otherwise in the user's
// configuration folder, $XDG_CONFIG_HOME/lumora/product.ini (default
// ~/.config/lumora/), with a "product.ini" beside the read-only executable
// read first, as defaults a packager can preset. Both hold the same keys.

#include <QString>
#include <QVariant>

struct SettingsFiles {
    QString file;   // read and written
    QString preset; // read under `file`, never written; empty when there is none
};

// The files for an executable in `executableDir`, given whether the settings
// can be written there.
SettingsFiles settingsFiles(const QString &executableDir, bool writableThere);
// The files for this executable.
SettingsFiles settingsFiles();

// A value from `file`, else from the preset when `file` is this executable's
// settings file, else `fallback`.
QVariant readSetting(const QString &file, const QString &key, const QVariant &fallback = QVariant());
// True (with one warning) when the file holds values serialized as a Qt data
// stream, which Lumora never writes and QSettings may abort on: it is then
// neither read nor written.
bool holdsSerializedValues(const QString &file);

// "settings file: <file>" and, when there is one, the preset under it.
void logSettingsFiles(const SettingsFiles &files);
