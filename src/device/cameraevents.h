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

    // The camera an event is about: the sysfs path of the device its node
    // belongs to (uvcvideo's VideoControl interface).
    static QString cameraOf(const platform::DeviceEvent &event);
    // The same for a node present now ("/dev/video2"), from its sysfs
    // "device"; empty when the node is not there.
    static QString cameraOfNode(const QString &node);

private:
    QHash<QString, bool> m_present; // by parentOf(): arrived (true) or left (false)
};

} // namespace lumora::devices
