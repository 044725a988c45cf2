#pragma once
// What the app knows of one open camera: firmware, vendor feature values and
// the standard controls. A value type; a copy is a snapshot.

#include "device/controlcache.h"

#include <QMetaType>
#include <QString>

namespace lumora::camera {

struct CameraState {
    QString firmware; // "major.minor.patch"; empty until read
    // Vendor feature values as the camera reported them; -1 until read.
    int hdr = -1;
    int hd = -1;
    int antiFlicker = -1;
    int mic = -1;
    int fieldOfView = -1;
    int trackMode = -1; // as the page shows it (a model may hold it Off)
    int trackEffect = -1;
    int trackSpeed = -1;
    ControlCache controls;
};

} // namespace lumora::camera

Q_DECLARE_METATYPE(lumora::camera::CameraState)
