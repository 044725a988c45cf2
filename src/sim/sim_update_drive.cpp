#include "sim/sim_update_drive.h"

#include "sim/sim_kernel.h"
#include "sim/sim_usb_identity.h"

#include <QCryptographicHash>
#include <QDebug>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <scsi/sg.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <thread>

namespace lumora::sim {

namespace {

constexpr quint8 kInquiry = 0x12;
constexpr quint8 kRequestSense = 0x03;
constexpr int kSenseLength = 18;
constexpr quint8 kVendor = 0xE8;
constexpr int kInquiryLength = 36;
constexpr int kBulkIn = 0x81, kBulkOut = 0x02, kStorageInterface = 0;
constexpr int kLoadHeaderLength = 24;
constexpr quint32 kMaxReservedLoad = 64u * 1024 * 1024;
constexpr int kSenseIllegalRequest = 0x05, kSenseNotReady = 0x02;
constexpr int kAscInvalidCommand = 0x20, kAscInvalidField = 0x24, kAscNotReady = 0x04;
constexpr std::array<quint8, 4> kStatusOk = {0x0D, 0x00, 0x00, 0x00};
constexpr std::array<quint8, 4> kStatusError = {0x0D, 0x01, 0x00, 0x00};
// Boot-loader command that tells the simulated camera its new firmware version.
const QByteArray kVersionCommand = "setenv fw_version ";

const char *stateKey(SimUpdateDrive::State state)
{
    switch (state) {
    case SimUpdateDrive::State::Rom: return "rom";
    case SimUpdateDrive::State::Updater: return "updater";
    case SimUpdateDrive::State::UBoot: return "uboot";
    }
    return "";
}

bool parseState(const QString &key, SimUpdateDrive::State *state)
{
    for (auto s : {SimUpdateDrive::State::Rom, SimUpdateDrive::State::Updater, SimUpdateDrive::State::UBoot})
        if (key == stateKey(s)) {
            *state = s;
            return true;
        }
    return false;
}

QByteArray padded(QByteArray text, int size)
{
    text = text.left(size);
    return text + QByteArray(size - text.size(), ' ');
}

quint32 littleEndian(const quint8 *p) { return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24; }
quint32 bigEndian(const quint8 *p) { return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]); }

SimUpdateDrive::State initialState(const QJsonObject &config)
{
    SimUpdateDrive::State state = SimUpdateDrive::State::UBoot;
    parseState(config.value("state").toString(), &state);
    return state;
}

} // namespace

SimUpdateDrive::SimUpdateDrive(const QJsonObject &config)
    : SimDevice(config.value("id").toString()), m_config(config), m_usb(readUsbIdentity(config)),
      m_vendorText(config.value("inquiryVendor").toString("GC").toLatin1()),
      m_productText(config.value("inquiryProduct").toString().toLatin1()), m_state(initialState(config)),
      m_checkMsPerMiB(config.value("checkMsPerMiB").toInt(kCheckMsPerMiB)), m_status(kStatusError),
      m_bulkOnly(kBulkIn, kBulkOut, kStorageInterface, SimBulkOnly::readFaults(config.value("usbFaults").toObject()))
{
    const QJsonObject faults = config.value("protocolFaults").toObject();
    m_faults.dropAtChunk = faults.value("dropAtChunk").toInt();
    m_faults.corruptChunk = faults.value("corruptChunk").toInt();
    m_faults.neverAcknowledge = faults.value("neverAcknowledge").toBool();
    m_faults.lateStatusReads = faults.value("lateStatusReads").toInt();
    m_faults.chunkDelayMs = faults.value("chunkDelayMs").toInt();
}

QByteArray SimUpdateDrive::descriptors() const
{
    const quint8 device[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, quint8(m_usb.vendorId), quint8(m_usb.vendorId >> 8),
                               quint8(m_usb.productId), quint8(m_usb.productId >> 8), 0x00, 0x01, 1, 2, 3, 1};
    // One configuration with one bulk-only mass-storage interface (SCSI transparent set).
    const quint8 configuration[32] = {9, 2, 32, 0, 1, 1, 0, 0x80, 250,
                                      9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 0,
                                      7, 5, 0x81, 2, 0x00, 0x02, 0,
                                      7, 5, 0x02, 2, 0x00, 0x02, 0};
    return QByteArray(reinterpret_cast<const char *>(device), sizeof device)
        + QByteArray(reinterpret_cast<const char *>(configuration), sizeof configuration);
}

QVector<SimNode> SimUpdateDrive::nodes() const
{
    return {SimNode{SimNode::Kind::Disk, 0, QString(), m_config.value("cdrom").toBool(),
                    m_config.value("writeProtected").toBool()}};
}

QJsonObject SimUpdateDrive::config() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    QJsonObject config = m_config;
    config.insert("state", stateKey(m_state));
    return config;
}

void SimUpdateDrive::attach(SimKernel *kernel)
{
    SimDevice::attach(kernel);
    m_attachedTo.store(kernel);
}

SimUpdateDrive::State SimUpdateDrive::state() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_state;
}

QStringList SimUpdateDrive::commandLines() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_commandLines;
}

QVector<quint32> SimUpdateDrive::acceptedLoads() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_acceptedLoads;
}

int SimUpdateDrive::ioctl(const SimFile &, unsigned long request, void *arg)
{
    if (request != SG_IO)
        return -ENOTTY;
    auto *hdr = static_cast<sg_io_hdr_t *>(arg);
    if (!hdr || hdr->interface_id != 'S' || !hdr->cmdp || hdr->cmd_len < 6)
        return -EINVAL;
    const bool fromDevice = hdr->dxfer_direction == SG_DXFER_FROM_DEV;
    const Reply reply = execute(hdr->cmdp, hdr->cmd_len, fromDevice, static_cast<quint8 *>(hdr->dxferp),
                                int(hdr->dxfer_len));
    if (reply.next == Next::Leave) {
        moveOn(Next::Leave);
        return -ENODEV;
    }
    hdr->resid = 0;
    hdr->host_status = 0;
    hdr->duration = 1;
    if (reply.ok) {
        hdr->status = hdr->masked_status = 0;
        hdr->driver_status = 0;
        hdr->sb_len_wr = 0;
        hdr->info = SG_INFO_OK;
    } else {
        hdr->status = 0x02; // CHECK CONDITION
        hdr->masked_status = 0x01;
        hdr->driver_status = 0x08; // DRIVER_SENSE
        hdr->info = SG_INFO_CHECK;
        quint8 sense[kSenseLength] = {0x70, 0, quint8(reply.senseKey), 0, 0, 0, 0, 10, 0, 0, 0, 0, quint8(reply.asc)};
        hdr->sb_len_wr = quint8(qMin<int>(hdr->mx_sb_len, sizeof sense));
        if (hdr->sbp)
            std::memcpy(hdr->sbp, sense, hdr->sb_len_wr);
    }
    moveOn(reply.next);
    return 0;
}

SimUpdateDrive::Reply SimUpdateDrive::execute(const quint8 *cdb, int cdbLength, bool fromDevice, quint8 *data,
                                              int length)
{
    if (cdbLength >= 6 && cdb[0] == kRequestSense && fromDevice)
        return requestSense(data, length);
    const Reply reply = answer(cdb, cdbLength, fromDevice, data, length);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastFailure = reply.ok ? Reply{} : reply;
    return reply;
}

// Fixed-format sense data of the last command that failed; no sense once it has been read.
SimUpdateDrive::Reply SimUpdateDrive::requestSense(quint8 *data, int length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const quint8 sense[kSenseLength] = {0x70, 0, quint8(m_lastFailure.senseKey), 0, 0, 0, 0, 10, 0, 0, 0, 0,
                                        quint8(m_lastFailure.asc)};
    if (data)
        std::memcpy(data, sense, size_t(qMin(length, kSenseLength)));
    m_lastFailure = {};
    return {};
}

SimUpdateDrive::Reply SimUpdateDrive::answer(const quint8 *cdb, int cdbLength, bool fromDevice, quint8 *data,
                                             int length)
{
    if (cdbLength >= 6 && cdb[0] == kInquiry && fromDevice)
        return inquiry(data, length);
    if (cdbLength == 10 && cdb[0] == kVendor) {
        if (bigEndian(cdb + 6) != quint32(length) || (length > 0 && !data))
            return {false, kSenseIllegalRequest, kAscInvalidField, Next::Stay};
        if ((cdb[1] == 1 || cdb[1] == 4) && m_faults.chunkDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_faults.chunkDelayMs));
        return vendor(cdb[1], fromDevice, data, length);
    }
    return {false, kSenseIllegalRequest, kAscInvalidCommand, Next::Stay};
}

int SimUpdateDrive::usbTransfer(unsigned long request, void *arg)
{
    Next next = Next::Stay;
    int rc;
    {
        std::lock_guard<std::mutex> lock(m_bulkMutex);
        SimBulkOnly::After after;
        if (request == USBDEVFS_BULK) {
            const SimBulkOnly::Execute execute = [this](const QByteArray &cdb, bool fromDevice, QByteArray *data) {
                const Reply reply = this->execute(reinterpret_cast<const quint8 *>(cdb.constData()), cdb.size(),
                                                  fromDevice, reinterpret_cast<quint8 *>(data->data()), data->size());
                if (reply.next == Next::Leave)
                    return SimBulkOnly::Outcome::Gone;
                if (reply.next != Next::Stay)
                    m_afterStatus = reply.next;
                return reply.ok ? SimBulkOnly::Outcome::Passed : SimBulkOnly::Outcome::Failed;
            };
            rc = m_bulkOnly.bulk(static_cast<usbdevfs_bulktransfer *>(arg), execute, &after);
        } else if (request == USBDEVFS_CLEAR_HALT) {
            rc = m_bulkOnly.clearHalt(*static_cast<unsigned *>(arg));
        } else if (request == USBDEVFS_CONTROL) {
            rc = m_bulkOnly.control(static_cast<usbdevfs_ctrltransfer *>(arg));
        } else {
            return SimDevice::usbTransfer(request, arg);
        }
        if (after.gone) {
            next = Next::Leave;
            rc = -ENODEV;
        } else if (after.statusSent) {
            next = std::exchange(m_afterStatus, Next::Stay);
        }
    }
    // Once the host has the status, the camera goes on: a new boot stage, or back to work.
    moveOn(next);
    return rc;
}

SimUpdateDrive::Reply SimUpdateDrive::inquiry(quint8 *data, int length) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // Peripheral device type 5 for a drive that shows itself as a CD-ROM (sr.c binds those), 0 for a disk.
    const quint8 type = m_config.value("cdrom").toBool() ? 0x05 : 0x00;
    quint8 answer[kInquiryLength] = {type, 0x80, 0x02, 0x02, kInquiryLength - 5};
    QByteArray product = m_productText;
    if (!m_config.contains("inquiryProduct"))
        product = m_state == State::Rom ? QByteArray() : QByteArray(m_state == State::Updater ? "UPDATER" : "UBOOT");
    std::memcpy(answer + 8, padded(m_vendorText, 8).constData(), 8);
    // The boot ROM leaves its product identification empty.
    if (!product.isEmpty())
        std::memcpy(answer + 16, padded(product, 16).constData(), 16);
    std::memcpy(answer + 32, "1.00", 4);
    if (data)
        std::memcpy(data, answer, size_t(qMin(length, kInquiryLength)));
    return {};
}

SimUpdateDrive::Reply SimUpdateDrive::vendor(int subCommand, bool fromDevice, quint8 *data, int length)
{
    const bool expectsRead = subCommand == 2;
    if (fromDevice != expectsRead)
        return {false, kSenseIllegalRequest, kAscInvalidField, Next::Stay};
    std::unique_lock<std::mutex> lock(m_mutex);
    if (subCommand == 2 && checkRunning())
        return {false, kSenseNotReady, kAscNotReady, Next::Stay};
    settleLoadCheck();
    switch (subCommand) {
    case 1:
    case 4:
        return chunk(subCommand, data, length);
    case 2:
        return status(data, length);
    case 5:
        if (m_state == State::Rom || length != kLoadHeaderLength)
            break;
        m_load = {true, littleEndian(data), littleEndian(data + 4),
                  QByteArray(reinterpret_cast<const char *>(data) + 8, 16), {}};
        // Chunks land in place; a header claiming more than a camera holds reserves nothing.
        if (m_load.size <= kMaxReservedLoad)
            m_load.data.reserve(int(m_load.size));
        m_status = kStatusError;
        return {};
    case 6:
        if (m_state != State::UBoot)
            break;
        return commandText(QByteArray(reinterpret_cast<const char *>(data), length));
    default:
        break;
    }
    return {false, kSenseIllegalRequest, kAscInvalidField, Next::Stay};
}

SimUpdateDrive::Reply SimUpdateDrive::chunk(int subCommand, quint8 *data, int length)
{
    ++m_chunks;
    if (m_chunks == m_faults.dropAtChunk)
        return {false, 0, 0, Next::Leave};
    const bool last = subCommand == 4;
    if (m_state != State::Rom && !m_load.active)
        return {false, kSenseIllegalRequest, kAscInvalidField, Next::Stay};
    QByteArray &target = m_state == State::Rom ? m_rawFile : m_load.data;
    const int start = target.size();
    target.append(reinterpret_cast<const char *>(data), length);
    if (m_chunks == m_faults.corruptChunk && length > 0)
        target[start] = char(target.at(start) ^ 0xFF);
    if (m_state == State::Rom) {
        if (last) {
            // The boot ROM starts whatever it was given: the updater.
            m_state = State::Updater;
            m_rawFile.clear();
        }
        return {};
    }
    if (last)
        startLoadCheck();
    return {};
}

void SimUpdateDrive::startLoadCheck()
{
    m_load.active = false;
    // In whole milliseconds, as the camera's timer counts.
    const qint64 checkMs = qint64(m_load.data.size()) * m_checkMsPerMiB / (1024 * 1024);
    m_checkDone = std::chrono::steady_clock::now() + std::chrono::milliseconds(checkMs);
    m_loadCheck = std::async(std::launch::async, [data = std::move(m_load.data), size = m_load.size, md5 = m_load.md5] {
        return quint32(data.size()) == size && QCryptographicHash::hash(data, QCryptographicHash::Md5) == md5;
    });
}

bool SimUpdateDrive::checkRunning() const
{
    return m_loadCheck.valid() && std::chrono::steady_clock::now() < m_checkDone;
}

void SimUpdateDrive::settleLoadCheck()
{
    if (!m_loadCheck.valid())
        return;
    const bool intact = m_loadCheck.get();
    m_status = intact ? kStatusOk : kStatusError;
    if (intact && m_state == State::UBoot)
        m_acceptedLoads.append(m_load.address);
    // The updater only loads the boot loader, which has no load address.
    m_bootPending = intact && m_state == State::Updater && m_load.address == 0xFFFFFFFFu;
}

SimUpdateDrive::Reply SimUpdateDrive::status(quint8 *data, int length)
{
    if (++m_statusReads <= m_faults.lateStatusReads)
        return {false, kSenseNotReady, kAscNotReady, Next::Stay};
    const std::array<quint8, 4> answer = m_faults.neverAcknowledge ? kStatusError : m_status;
    std::memcpy(data, answer.data(), size_t(qMin(length, 4)));
    if (!m_bootPending || answer != kStatusOk)
        return {};
    // The updater has reported success: it now starts the boot loader.
    m_bootPending = false;
    return {true, 0, 0, Next::BootLoader};
}

SimUpdateDrive::Reply SimUpdateDrive::commandText(const QByteArray &text)
{
    m_commandLines.append(QString::fromLatin1(text));
    m_status = kStatusOk;
    if (text.startsWith(kVersionCommand))
        m_newVersion = QString::fromLatin1(text.mid(kVersionCommand.size())).trimmed();
    if (text == "reset")
        return {true, 0, 0, Next::Camera};
    return {};
}

void SimUpdateDrive::moveOn(Next next)
{
    SimKernel *kernel = m_attachedTo.load();
    if (!kernel || next == Next::Stay)
        return;
    QJsonObject following = config();
    following.remove("protocolFaults");
    following.remove("usbFaults");
    following.remove("inquiryProduct");
    if (next == Next::Leave) {
        kernel->unplug(id());
    } else if (next == Next::BootLoader) {
        following.insert("state", stateKey(State::UBoot));
        kernel->replace(id(), std::make_shared<SimUpdateDrive>(following), kBootLoaderStartMs);
    } else if (following.value("camera").isObject()) {
        QJsonObject camera = following.value("camera").toObject();
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_newVersion.isEmpty())
            camera.insert("firmware", m_newVersion);
        lock.unlock();
        kernel->replace(id(), makeCamera(camera), kCameraStartMs);
    } else {
        kernel->unplug(id());
    }
}

std::shared_ptr<SimDevice> makeUpdateDrive(const QJsonObject &config)
{
    SimUpdateDrive::State state;
    if (!parseState(config.value("state").toString(), &state)) {
        qWarning().noquote() << "sim: update drive" << config.value("id").toString()
                             << "has no state \"rom\", \"updater\" or \"uboot\"";
        return nullptr;
    }
    return std::make_shared<SimUpdateDrive>(config);
}

} // namespace lumora::sim
