#pragma once
// How the mass-storage channel's SCSI commands reach the update drive. Two
// transports carry the same command blocks, data and status: SG_IO on the
// disk node, and USB Bulk-Only Transport on the drive's usbfs node (for a
// process without CAP_SYS_RAWIO, which SG_IO refuses vendor commands).

#include <QString>

#include <array>
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

// Fixed-format sense data of a failed command, as REQUEST SENSE or SG_IO's
// sense buffer gives it.
struct ScsiSense {
    std::array<std::uint8_t, 18> bytes{};
    int length = 0;
    int key() const { return length > 2 ? bytes[2] & 0x0F : 0; }
    int asc() const { return length > 12 ? bytes[12] : 0; }
    int ascq() const { return length > 13 ? bytes[13] : 0; }
    // "sense key 2, asc 04/00"; "no sense data" when there is none.
    QString describe() const;
};

class ScsiTransport {
public:
    // The device carried out the command; it reported a failure.
    static constexpr int kPassed = 0;
    static constexpr int kFailed = 1;

    virtual ~ScsiTransport() = default;
    // kPassed, kFailed, or -errno when the transfer itself failed (-ENODEV:
    // the drive has gone; -EPERM or -EACCES: the kernel refused the command).
    // A pass may move less data than asked: residue() says how much less.
    virtual int execute(const ScsiCommand &command) = 0;
    // "SG_IO", "USB Bulk-Only transport on /dev/bus/usb/001/004", for the log.
    virtual QString describe() const = 0;

    // Of the last command: the bytes its data stage did not move, and, when
    // it failed, the sense data that says why.
    int residue() const { return m_residue; }
    const ScsiSense &sense() const { return m_sense; }

protected:
    int m_residue = 0;
    ScsiSense m_sense;
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
