#include "core/settingsfiles.h"

#include "core/catalogue.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

QString userConfigFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The base directory specification ignores relative paths.
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    return QDir::homePath() + QStringLiteral("/.config");
}

bool canKeepSettingsIn(const QString &folder)
{
    const QFileInfo dir(folder);
    const QFileInfo file(QDir(folder).filePath(QLatin1String(kSettingsFileName)));
    return dir.isDir() && dir.isWritable() && (!file.exists() || file.isWritable());
}

} // namespace

SettingsFiles settingsFiles(const QString &executableDir, bool writableThere)
{
    const QString beside = QDir(executableDir).filePath(QLatin1String(kSettingsFileName));
    if (writableThere)
        return {beside, QString()};
    const QString file = userConfigFolder() + QStringLiteral("/lumora/") + QLatin1String(kSettingsFileName);
    return {file, QFileInfo(beside).isFile() ? beside : QString()};
}

SettingsFiles settingsFiles()
{
    const QString folder = QCoreApplication::applicationDirPath();
    return settingsFiles(folder, canKeepSettingsIn(folder));
}

QVariant readSetting(const QString &file, const QString &key, const QVariant &fallback)
{
    const QSettings settings(file, QSettings::IniFormat);
    if (settings.contains(key))
        return settings.value(key);
    const SettingsFiles files = settingsFiles();
    if (files.preset.isEmpty() || QFileInfo(file).absoluteFilePath() != QFileInfo(files.file).absoluteFilePath())
        return fallback;
    return QSettings(files.preset, QSettings::IniFormat).value(key, fallback);
}

void logSettingsFiles(const SettingsFiles &files)
{
    if (files.preset.isEmpty())
        qInfo().noquote() << "settings file:" << files.file;
    else
        qInfo().noquote() << "settings file:" << files.file << "with defaults from" << files.preset;
}
