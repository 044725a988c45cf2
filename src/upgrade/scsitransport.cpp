#include "upgrade/scsitransport.h"

#include "platform/kernel.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>

namespace lumora::upgrade {

namespace {
constexpr int kSenseLength = 24;
}

QString ScsiSense::describe() const
{
    if (length == 0)
        return QStringLiteral("no sense data");
    return QStringLiteral("sense key %1, asc %2/%3")
        .arg(key(), 0, 16)
        .arg(asc(), 2, 16, QLatin1Char('0'))
        .arg(ascq(), 2, 16, QLatin1Char('0'));
}

int SgIoTransport::execute(const ScsiCommand &command)
{
    m_residue = 0;
    m_sense = {};
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
    m_residue = hdr.resid;
    if ((hdr.info & SG_INFO_OK_MASK) == SG_INFO_OK)
        return kPassed;
    m_sense.length = std::min<int>(hdr.sb_len_wr, int(m_sense.bytes.size()));
    std::memcpy(m_sense.bytes.data(), sense, size_t(m_sense.length));
    return kFailed;
}

QString SgIoTransport::describe() const { return QStringLiteral("SG_IO"); }

} // namespace lumora::upgrade
