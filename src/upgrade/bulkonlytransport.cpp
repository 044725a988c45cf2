#include "upgrade/bulkonlytransport.h"

#include "platform/kernel.h"
#include "upgrade/runflag.h"

#include <QRegularExpression>
#include <QtEndian>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lumora::upgrade {

namespace {

constexpr int kCbwLength = 31, kCswLength = 13;
constexpr std::uint32_t kCbwSignature = 0x43425355, kCswSignature = 0x53425355;
constexpr std::uint8_t kCswPassed = 0, kCswPhaseError = 2;
constexpr unsigned kControlTimeoutMs = 5000;
// usb_stor_reset_common(): the device is given this long to recover from a
// class reset before its halts are cleared.
constexpr int kResetSettleMs = 6000;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr int kInterfaceType = 0x04, kEndpointType = 0x05;
constexpr int kClassMassStorage = 0x08, kProtocolBulkOnly = 0x50;

struct Endpoints {
    int in = -1, out = -1;
};

// The bulk endpoints of alternate setting 0 of `interface`, if it is a bulk-only mass-storage one.
Endpoints bulkOnlyEndpoints(const QByteArray &d, int interface)
{
    Endpoints found;
    bool inside = false;
    for (int at = 0; at + 1 < d.size() && quint8(d[at]) >= 2; at += quint8(d[at])) {
        const int type = quint8(d[at + 1]);
        if (type == kInterfaceType && at + 8 < d.size()) {
            inside = quint8(d[at + 2]) == interface && d[at + 3] == 0 && quint8(d[at + 5]) == kClassMassStorage
                && quint8(d[at + 7]) == kProtocolBulkOnly;
        } else if (type == kEndpointType && inside && at + 3 < d.size() && (quint8(d[at + 3]) & 3) == 2) {
            const int address = quint8(d[at + 2]);
            (address & 0x80 ? found.in : found.out) = address;
        }
    }
    return found;
}

QByteArray attribute(const QString &path)
{
    QByteArray contents;
    return platform::kernel().readAttribute(path, &contents) == 0 ? contents : QByteArray();
}

QString errorText(int rc) { return QString::fromLocal8Bit(std::strerror(-rc)); }

} // namespace

std::unique_ptr<BulkOnlyTransport> BulkOnlyTransport::open(const QString &diskNode, QString *why)
{
    // /sys/block/sdb resolves through .../<port>/<port>:<config>.<interface>/host.../block/sdb.
    const QString disk = platform::kernel().canonicalPath("/sys/block/" + diskNode.section('/', -1));
    static const QRegularExpression interfaceName(QStringLiteral("^\\d+-[\\d.]+:\\d+\\.\\d+$"));
    const QStringList parts = disk.split('/');
    int at = -1;
    for (int i = 0; i < parts.size() && at < 0; ++i)
        if (interfaceName.match(parts[i]).hasMatch())
            at = i;
    if (at < 1) {
        *why = QStringLiteral("%1 is not on a USB interface").arg(diskNode);
        return nullptr;
    }
    const QString interfaceDir = parts.mid(0, at + 1).join('/');
    const QString deviceDir = parts.mid(0, at).join('/');
    bool okBus = false, okDev = false, okInterface = false;
    const int bus = attribute(deviceDir + "/busnum").trimmed().toInt(&okBus);
    const int devnum = attribute(deviceDir + "/devnum").trimmed().toInt(&okDev);
    const int interface = attribute(interfaceDir + "/bInterfaceNumber").trimmed().toInt(&okInterface, 16);
    const Endpoints endpoints = bulkOnlyEndpoints(attribute(deviceDir + "/descriptors"), interface);
    if (!okBus || !okDev || !okInterface || endpoints.in < 0 || endpoints.out < 0) {
        *why = QStringLiteral("no bulk-only mass-storage interface in the descriptors of %1").arg(deviceDir);
        return nullptr;
    }
    const QString node = QStringLiteral("/dev/bus/usb/%1/%2").arg(bus, 3, 10, QLatin1Char('0')).arg(devnum, 3, 10, QLatin1Char('0'));
    const int fd = platform::kernel().open(node, O_RDWR);
    if (fd < 0) {
        *why = QStringLiteral("cannot open %1: %2").arg(node, errorText(fd));
        return nullptr;
    }
    // Detach usb-storage and claim in one step, so nothing can bind in between;
    // kernels before 3.11 need the two steps.
    usbdevfs_disconnect_claim claim{};
    claim.interface = unsigned(interface);
    claim.flags = USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER;
    std::strcpy(claim.driver, "usbfs");
    int rc = platform::kernel().ioctl(fd, USBDEVFS_DISCONNECT_CLAIM, &claim);
    if (rc == -ENOTTY) {
        usbdevfs_ioctl detach{interface, int(USBDEVFS_DISCONNECT), nullptr};
        rc = platform::kernel().ioctl(fd, USBDEVFS_IOCTL, &detach);
        unsigned number = unsigned(interface);
        if (rc == 0 || rc == -ENODATA)
            rc = platform::kernel().ioctl(fd, USBDEVFS_CLAIMINTERFACE, &number);
    }
    if (rc < 0) {
        *why = QStringLiteral("cannot claim interface %1 of %2: %3").arg(interface).arg(node, errorText(rc));
        platform::kernel().close(fd);
        return nullptr;
    }
    return std::unique_ptr<BulkOnlyTransport>(
        new BulkOnlyTransport(fd, node, unsigned(interface), unsigned(endpoints.in), unsigned(endpoints.out)));
}

BulkOnlyTransport::BulkOnlyTransport(int fd, QString node, unsigned interface, unsigned in, unsigned out)
    : m_fd(fd), m_node(std::move(node)), m_interface(interface), m_in(in), m_out(out)
{
}

BulkOnlyTransport::~BulkOnlyTransport() { close(true); }

QString BulkOnlyTransport::describe() const
{
    return QStringLiteral("USB Bulk-Only transport on %1").arg(m_node);
}

void BulkOnlyTransport::close(bool giveBack)
{
    if (m_fd < 0)
        return;
    if (!m_gone) {
        unsigned number = m_interface;
        const bool gone = platform::kernel().ioctl(m_fd, USBDEVFS_RELEASEINTERFACE, &number) == -ENODEV;
        if (giveBack && !gone) {
            usbdevfs_ioctl attach{int(m_interface), int(USBDEVFS_CONNECT), nullptr};
            platform::kernel().ioctl(m_fd, USBDEVFS_IOCTL, &attach);
        }
    }
    platform::kernel().close(m_fd);
    m_fd = -1;
}

int BulkOnlyTransport::bulk(unsigned endpoint, void *data, int length, unsigned timeoutMs)
{
    usbdevfs_bulktransfer transfer{endpoint, unsigned(length), timeoutMs, data};
    const int rc = platform::kernel().ioctl(m_fd, USBDEVFS_BULK, &transfer);
    if (rc == -ENODEV)
        m_gone = true;
    return rc;
}

int BulkOnlyTransport::clearHalt(unsigned endpoint)
{
    const int rc = platform::kernel().ioctl(m_fd, USBDEVFS_CLEAR_HALT, &endpoint);
    if (rc == -ENODEV)
        m_gone = true;
    return rc;
}

void BulkOnlyTransport::resetRecovery()
{
    usbdevfs_ctrltransfer reset{0x21, 0xFF, 0, std::uint16_t(m_interface), 0, kControlTimeoutMs, nullptr};
    if (platform::kernel().ioctl(m_fd, USBDEVFS_CONTROL, &reset) == -ENODEV) {
        m_gone = true;
        return;
    }
    pauseMs(kResetSettleMs);
    clearHalt(m_in);
    clearHalt(m_out);
}

int BulkOnlyTransport::execute(const ScsiCommand &command)
{
    m_sense = {};
    const int rc = transport(command);
    if (rc == kFailed) {
        const int residue = m_residue;
        requestSense(command.timeoutMs);
        m_residue = residue;
    }
    return rc;
}

void BulkOnlyTransport::requestSense(unsigned timeoutMs)
{
    const std::uint8_t cdb[6] = {kRequestSense, 0, 0, 0, std::uint8_t(m_sense.bytes.size()), 0};
    ScsiSense sense;
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = sizeof cdb;
    command.direction = ScsiCommand::Direction::In;
    command.data = sense.bytes.data();
    command.length = int(sense.bytes.size());
    command.timeoutMs = timeoutMs;
    if (transport(command) == kPassed) {
        sense.length = command.length - m_residue;
        m_sense = sense;
    }
}

int BulkOnlyTransport::transport(const ScsiCommand &command)
{
    m_residue = 0;
    if (m_fd < 0)
        return -EBADF;
    if (m_gone)
        return -ENODEV;
    if (command.cdbLength < 1 || command.cdbLength > 16 || command.length < 0)
        return -EINVAL;
    const bool in = command.direction == ScsiCommand::Direction::In;
    const std::uint32_t tag = ++m_tag;
    std::uint8_t cbw[kCbwLength] = {};
    qToLittleEndian<std::uint32_t>(kCbwSignature, cbw);
    qToLittleEndian<std::uint32_t>(tag, cbw + 4);
    qToLittleEndian<std::uint32_t>(std::uint32_t(command.length), cbw + 8);
    cbw[12] = in && command.length > 0 ? 0x80 : 0x00;
    cbw[14] = std::uint8_t(command.cdbLength);
    std::memcpy(cbw + 15, command.cdb, size_t(command.cdbLength));
    int rc = bulk(m_out, cbw, kCbwLength, command.timeoutMs);
    if (m_gone)
        return -ENODEV;
    if (rc != kCbwLength) {
        // The device did not take the command: start over from a clean state.
        resetRecovery();
        return m_gone ? -ENODEV : rc < 0 ? rc : -EIO;
    }

    int moved = 0;
    std::uint8_t csw[kCswLength] = {};
    bool statusInData = false;
    if (command.length > 0) {
        const unsigned endpoint = in ? m_in : m_out;
        rc = bulk(endpoint, command.data, command.length, command.timeoutMs);
        if (rc == -EPIPE)
            rc = clearHalt(endpoint); // the device refused the data; its CSW says why
        else if (rc >= 0)
            moved = rc;
        if (m_gone)
            return -ENODEV;
        if (rc < 0) {
            resetRecovery();
            return m_gone ? -ENODEV : rc;
        }
        // A device that skips its data stage sends its status in the data's place.
        if (in && moved == kCswLength && command.length > kCswLength
            && qFromLittleEndian<std::uint32_t>(command.data) == kCswSignature) {
            std::memcpy(csw, command.data, kCswLength);
            statusInData = true;
            moved = 0;
        }
    }

    if (!statusInData) {
        rc = bulk(m_in, csw, kCswLength, command.timeoutMs);
        if (rc == 0) // a zero-length packet ended the data: the status follows
            rc = bulk(m_in, csw, kCswLength, command.timeoutMs);
        if (rc == -EPIPE && clearHalt(m_in) == 0)
            rc = bulk(m_in, csw, kCswLength, command.timeoutMs); // a stalled status is asked for once more
        if (m_gone)
            return -ENODEV;
        if (rc != kCswLength) {
            resetRecovery();
            return m_gone ? -ENODEV : rc < 0 ? rc : -EPROTO;
        }
    }
    const std::uint8_t status = csw[12];
    if (qFromLittleEndian<std::uint32_t>(csw) != kCswSignature || qFromLittleEndian<std::uint32_t>(csw + 4) != tag
        || status >= kCswPhaseError) {
        resetRecovery();
        return m_gone ? -ENODEV : -EPROTO;
    }
    // What did not move: the short data stage, or the device's own count if larger.
    const int reported = int(std::min<std::uint32_t>(qFromLittleEndian<std::uint32_t>(csw + 8), std::uint32_t(command.length)));
    m_residue = std::max(command.length - moved, reported);
    return status == kCswPassed ? kPassed : kFailed;
}

} // namespace lumora::upgrade
