#pragma once
// Where and how a snapshot of the preview is saved, for the window and lumora-cli.

#include <QDateTime>
#include <QImage>
#include <QString>

namespace lumora::camera {

// $(xdg-user-dir PICTURES)/Lumora/Lumora-<camera>-<yyyyMMdd-HHmmss>.png
QString defaultSnapshotPath(const QString &cameraName, const QDateTime &when = QDateTime::currentDateTime());
// Writes the picture atomically, PNG or JPEG by the file's extension (PNG
// when it has neither), creating the folder; false with the reason.
bool saveSnapshot(const QImage &image, const QString &path, QString *error);

} // namespace lumora::camera
