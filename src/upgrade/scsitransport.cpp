#include "upgrade/scsitransport.h"

#include "platform/kernel.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cstring>

namespace lumora::upgrade {

namespace {
constexpr int kSenseLength = 24;
}

int SgIoTransport::execute(const ScsiCommand &command)
{
    std::uint8_t sense[kSenseLength] = {};
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = command.length == 0                                 ? SG_DXFER_NONE
                          : command.direction == ScsiCommand::Direction::In ? SG_DXFER_FROM_DEV
                                                                            : SG_DXFER_TO_DEV;
    hdr.cmd_len = static_cast<unsigned char>(command.cdbLength);
    hdr.mx_sb_len = kSenseLength;
    hdr.dxfer_len = static_cast<unsigned>(command.length);
    hdr.dxferp = command.data;
    hdr.cmdp = const_cast<std::uint8_t *>(command.cdb);
    hdr.sbp = sense;
    hdr.timeout = command.timeoutMs;
    if (m_fd < 0)
        return -EBADF;
    const int rc = platform::kernel().ioctl(m_fd, SG_IO, &hdr);
    if (rc < 0)
        return rc;
    return (hdr.info & SG_INFO_OK_MASK) == SG_INFO_OK ? kPassed : kFailed;
}

QString SgIoTransport::describe() const { return QStringLiteral("SG_IO"); }

} // namespace lumora::upgrade
