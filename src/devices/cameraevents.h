#pragma once
// Which device events stand for a camera arriving or leaving.
//
// Only capture nodes stand for a camera; its metadata nodes and disks do not.
// A camera with several VideoStreaming interfaces has a capture node for each,
// all under its VideoControl interface, and plugging it brings one event per
// node: the camera arrives (or leaves) once, with its first capture node.

#include "platform/kernel.h"

#include <QHash>
#include <QString>

namespace lumora::devices {

class CameraEvents {
public:
    // True for a capture node's arrival while its camera was not known to be
    // here, and for its removal while the camera was not known to be gone.
    // Cameras seen by enumeration only are neither: their first event counts.
    bool announces(const platform::DeviceEvent &event);

    // The sysfs path of the device a video node belongs to (uvcvideo's
    // VideoControl interface), from the node's own sysfs path.
    static QString parentOf(const QString &sysPath);

private:
    QHash<QString, bool> m_present; // by parentOf(): arrived (true) or left (false)
};

} // namespace lumora::devices
