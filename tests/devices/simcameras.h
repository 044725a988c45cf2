#pragma once
// Simulated devices for the device-discovery tests.

#include "sim/sim_device.h"
#include "sim/sim_kernel.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <QVector>

namespace testdevices {

// A USB camera; `port` tells identical cameras apart.
inline std::shared_ptr<lumora::sim::SimDevice> camera(const QString &id, const QString &name, int vid, int pid,
                                                      const QString &port)
{
    return lumora::sim::makeCamera(QJsonObject{{"id", id},
                                               {"name", name},
                                               {"product", name},
                                               {"vendorId", vid},
                                               {"productId", pid},
                                               {"port", port},
                                               {"serial", id}});
}

inline std::shared_ptr<lumora::sim::SimDevice> orbit160a(const QString &id, const QString &port)
{
    return camera(id, QStringLiteral("ORBIT 160A"), 0x5a17, 0x0307, port);
}

// A camera with a VideoStreaming interface per entry of `streams`, each
// offering those formats ("mjpeg", "yuyv"): a capture node for each.
inline std::shared_ptr<lumora::sim::SimDevice> streamingCamera(const QString &id, const QString &port,
                                                               const QVector<QStringList> &streams,
                                                               bool metadata = true)
{
    QJsonArray list;
    for (const QStringList &formats : streams)
        list.append(QJsonObject{{"formats", QJsonArray::fromStringList(formats)}});
    return lumora::sim::makeCamera(QJsonObject{{"id", id},
                                               {"product", "NV-Optica-1080-AI"},
                                               {"vendorId", 0x1d6b},
                                               {"productId", 0xff13},
                                               {"port", port},
                                               {"serial", id},
                                               {"metadata", metadata},
                                               {"streams", list}});
}

// A camera without a USB identity (on the platform bus).
inline std::shared_ptr<lumora::sim::SimDevice> platformCamera(const QString &id)
{
    return lumora::sim::makeCamera(QJsonObject{{"id", id}, {"name", "Integrated Camera"}, {"usb", false}});
}

} // namespace testdevices
