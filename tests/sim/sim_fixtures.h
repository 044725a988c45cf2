#pragma once
// Small device configs shared by the simulator's tests.

#include "sim/sim_device.h"

#include <QJsonObject>

#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

namespace simtest {

inline QJsonObject cameraConfig(const QString &id, const QString &port, bool metadata = true)
{
    return {{"id", id},          {"vendorId", "0x1d6b"},         {"productId", "0xff01"},
            {"manufacturer", "QX"}, {"product", "QX NV-Optica-4K-AI"}, {"serial", "SN-" + id},
            {"port", port},      {"metadata", metadata},         {"firmware", "1.4.2"}};
}

// A USB disk that only answers INQUIRY: enough for the kernel's own scan.
class InquiryDisk : public lumora::sim::SimDevice {
public:
    InquiryDisk(const QString &id, const QString &port) : SimDevice(id), m_port(port) {}
    lumora::sim::SimUsbIdentity usb() const override
    {
        lumora::sim::SimUsbIdentity usb;
        usb.vendorId = 0x5a17;
        usb.productId = 0x0307;
        usb.port = m_port;
        return usb;
    }
    QByteArray descriptors() const override { return {}; }
    QVector<lumora::sim::SimNode> nodes() const override { return {{lumora::sim::SimNode::Kind::Disk, 0, {}}}; }
    int ioctl(int, unsigned long request, void *arg) override
    {
        auto *hdr = static_cast<sg_io_hdr_t *>(arg);
        if (request != SG_IO || hdr->cmdp[0] != 0x12)
            return -EINVAL;
        static const char reply[] = "\0\x80\x02\x02\x1f\0\0\0SIMDISK Boot Drive      1.00";
        std::memcpy(hdr->dxferp, reply, qMin<size_t>(hdr->dxfer_len, sizeof reply - 1));
        hdr->status = 0;
        return 0;
    }
    QJsonObject config() const override { return {{"id", id()}, {"sectors", 2048}}; }

private:
    QString m_port;
};

} // namespace simtest
