#pragma once
// Enumeration of video-capture devices and the standard camera and image
// controls of the bound device.

#include "core/cameradeviceinfo.h"

#include <QObject>
#include <QVector>

class DShowCameraWrapper : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
};
