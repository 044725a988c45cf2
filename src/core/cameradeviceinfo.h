#pragma once
#include <QMetaType>
#include <QString>

// Identity of one enumerated video-capture device.
struct CameraDeviceInfo {
    int index = -1;        // position in enumeration order
    QString pathId;        // interface path between its first and last '#'
    QString friendlyName;  // device name, at most 255 characters
    QString alias;         // what the preview opens (a node path on Linux)
};

Q_DECLARE_METATYPE(CameraDeviceInfo)
