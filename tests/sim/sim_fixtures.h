#pragma once
// Small device configs shared by the simulator's tests.

#include <QJsonObject>

namespace simtest {

inline QJsonObject cameraConfig(const QString &id, const QString &port, bool metadata = true)
{
    return {{"id", id},          {"vendorId", "0x1d6b"},         {"productId", "0xff01"},
            {"manufacturer", "QX"}, {"product", "QX NV-Optica-4K-AI"}, {"serial", "SN-" + id},
            {"port", port},      {"metadata", metadata},         {"firmware", "1.4.2"}};
}

} // namespace simtest
