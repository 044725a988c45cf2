#include "camera/snapshot.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace lumora::camera {

QString defaultSnapshotPath(const QString &cameraName, const QDateTime &when)
{
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]+"));
    QString name = cameraName.trimmed();
    name.replace(unsafe, QStringLiteral("_"));
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name.prepend(QStringLiteral("camera"));
    // Qt reads the user's PICTURES folder from user-dirs.dirs, as xdg-user-dir does.
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = QDir::homePath();
    return QStringLiteral("%1/Lumora/Lumora-%2-%3.png").arg(pictures, name, when.toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

bool saveSnapshot(const QImage &image, const QString &path, QString *error)
{
    if (image.isNull()) {
        *error = QStringLiteral("no picture to save");
        return false;
    }
    const QString suffix = QFileInfo(path).suffix().toLower();
    const char *format = suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg") ? "JPEG" : "PNG";
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, format) || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace lumora::camera
