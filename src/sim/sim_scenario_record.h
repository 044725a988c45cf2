#pragma once
// Checks of the fields a camera dump records about a real camera: its raw
// USB descriptors, the extension unit's GUID and selectors, control menus,
// controls the simulated camera does not have, and each format's frame sizes
// and intervals.

#include <QJsonObject>
#include <QString>

namespace lumora::sim {

// False with the fault named after `owner`.
bool checkRecordedFields(const QJsonObject &camera, const QString &owner, QString *error);

// The "descriptors" hex field decoded; empty when the camera has none.
QByteArray recordedDescriptors(const QJsonObject &camera);

} // namespace lumora::sim
