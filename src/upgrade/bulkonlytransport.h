#pragma once
// USB mass-storage Bulk-Only Transport over usbfs: the update drive's storage
// interface is taken from the kernel's driver, and every command goes out as a
// CBW, its data stage and a CSW on the bulk endpoints. Linux lets the seat
// user do this on a node the udev rule opens up, where SG_IO would refuse
// vendor commands to anyone without CAP_SYS_RAWIO.

#include "upgrade/scsitransport.h"

#include <memory>

namespace lumora::upgrade {

class BulkOnlyTransport : public ScsiTransport {
public:
    // Claims the storage interface of the USB device behind `diskNode`
    // ("/dev/sdb"); null, with the reason in `why`, when that cannot be done.
    static std::unique_ptr<BulkOnlyTransport> open(const QString &diskNode, QString *why);
    ~BulkOnlyTransport() override;
    BulkOnlyTransport(const BulkOnlyTransport &) = delete;
    BulkOnlyTransport &operator=(const BulkOnlyTransport &) = delete;

    // Judged as usb-storage judges it (usb_stor_Bulk_transport): a pass with a
    // residue is a pass, a failure is followed by REQUEST SENSE, and a status
    // wrapper that is not one (bad signature or tag, status past 2) is a phase
    // error: reset recovery, with the settle wait after the class reset.
    int execute(const ScsiCommand &command) override;
    QString describe() const override;
    // Releases the interface and, with giveBack, lets the storage driver bind
    // to it again (its disk node comes back). Without giveBack the driver
    // stays off: the drive is gone or about to restart anyway.
    void close(bool giveBack);

private:
    BulkOnlyTransport(int fd, QString node, unsigned interface, unsigned in, unsigned out);
    // kPassed, kFailed or -errno; fills m_residue.
    int transport(const ScsiCommand &command);
    // Reads a failed command's sense data into m_sense.
    void requestSense(unsigned timeoutMs);
    // Bytes moved or -errno.
    int bulk(unsigned endpoint, void *data, int length, unsigned timeoutMs);
    int clearHalt(unsigned endpoint);
    // Bulk-Only Mass Storage Reset, then both halts cleared.
    void resetRecovery();

    int m_fd;
    const QString m_node;
    const unsigned m_interface, m_in, m_out;
    std::uint32_t m_tag = 0;
    bool m_gone = false;
};

} // namespace lumora::upgrade
