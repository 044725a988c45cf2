#include "core/settingsfiles.h"

#include "core/catalogue.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
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

QVariant readValue(const QString &file, const QString &key, const QVariant &fallback)
{
    if (holdsSerializedValues(file))
        return fallback;
    return QSettings(file, QSettings::IniFormat).value(key, fallback);
}

bool hasKey(const QString &file, const QString &key)
{
    return !holdsSerializedValues(file) && QSettings(file, QSettings::IniFormat).contains(key);
}

} // namespace

// Lumora stores plain numbers only. A value serialized as a Qt data stream is
// decoded by QSettings without limits, so a damaged or foreign one can abort
// the process: such a file is not read at all.
bool holdsSerializedValues(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = in.readAll();
    if (!text.contains("@Variant(") && !text.contains("@DateTime("))
        return false;
    qWarning().noquote() << "settings file ignored, it holds values Lumora does not write:" << file;
    return true;
}

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
    if (hasKey(file, key))
        return readValue(file, key, fallback);
    const SettingsFiles files = settingsFiles();
    if (files.preset.isEmpty() || QFileInfo(file).absoluteFilePath() != QFileInfo(files.file).absoluteFilePath())
        return fallback;
    return readValue(files.preset, key, fallback);
}

void logSettingsFiles(const SettingsFiles &files)
{
    if (files.preset.isEmpty())
        qInfo().noquote() << "settings file:" << files.file;
    else
        qInfo().noquote() << "settings file:" << files.file << "with defaults from" << files.preset;
}
