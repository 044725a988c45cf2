#pragma once
// How the mass-storage channel's SCSI commands reach the update drive. Two
// transports carry the same command blocks, data and status: SG_IO on the
// disk node, and USB Bulk-Only Transport on the drive's usbfs node (for a
// process without CAP_SYS_RAWIO, which SG_IO refuses vendor commands).

#include <QString>

#include <cstdint>

namespace lumora::upgrade {

struct ScsiCommand {
    enum class Direction { None, In, Out };
    const std::uint8_t *cdb = nullptr;
    int cdbLength = 0;
    Direction direction = Direction::None;
    void *data = nullptr;
    int length = 0;
    unsigned timeoutMs = 0;
};

class ScsiTransport {
public:
    // The device carried out the command; it reported a failure.
    static constexpr int kPassed = 0;
    static constexpr int kFailed = 1;

    virtual ~ScsiTransport() = default;
    // kPassed, kFailed, or -errno when the transfer itself failed (-ENODEV:
    // the drive has gone; -EPERM or -EACCES: the kernel refused the command).
    virtual int execute(const ScsiCommand &command) = 0;
    // "SG_IO", "USB Bulk-Only transport on /dev/bus/usb/001/004", for the log.
    virtual QString describe() const = 0;
};

// SG_IO on a disk descriptor the caller owns.
class SgIoTransport : public ScsiTransport {
public:
    explicit SgIoTransport(int fd) : m_fd(fd) {}
    int execute(const ScsiCommand &command) override;
    QString describe() const override;

private:
    const int m_fd;
};

} // namespace lumora::upgrade
