#include "upgrade/updatechannel.h"

#include "platform/kernel.h"
#include "upgrade/bulkonlytransport.h"
#include "upgrade/runflag.h"
#include "upgrade/scsitransport.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace lumora::upgrade {

namespace {

constexpr unsigned kVendorTimeoutMs = 120 * 1000;
constexpr unsigned kInquiryTimeoutMs = 2 * 1000;
constexpr int kInquiryLength = 36;
constexpr int kMaxChunkFailures = 100;
constexpr int kLoadAttempts = 5;
constexpr int kChunksPerPiece = 32;

int g_currentFd = -1;
QString g_currentNode;
// The current drive has left: its descriptor can never work again, so the
// retries and pauses meant for a busy device are skipped.
bool g_driveGone = false;
// How commands reach the current drive: SG_IO on g_currentFd until the
// kernel refuses a vendor command, then Bulk-Only over usbfs.
std::unique_ptr<ScsiTransport> g_transport;
bool g_transportChosen = false; // and logged, once per drive
// The camera was told to reset: it leaves by itself, nothing is handed back.
bool g_resetting = false;

void chooseBulkOnly(int refusal)
{
    QString why;
    std::unique_ptr<BulkOnlyTransport> bulk = BulkOnlyTransport::open(g_currentNode, &why);
    const QString refused = QString::fromLocal8Bit(std::strerror(-refusal));
    if (!bulk) {
        qWarning().noquote() << QStringLiteral("update drive %1: SG_IO refuses vendor commands (%2) and USB Bulk-Only "
                                               "transport cannot be used: %3")
                                    .arg(g_currentNode, refused, why);
        return;
    }
    qInfo().noquote() << QStringLiteral("update drive %1: SG_IO refuses vendor commands (%2); using %3")
                             .arg(g_currentNode, refused, bulk->describe());
    // The disk node went with the storage driver.
    platform::kernel().close(g_currentFd);
    g_currentFd = -1;
    g_transport = std::move(bulk);
}

// One command to the current drive; true when the device completed it without
// error. `moved`, when given, gets the bytes the data stage moved.
bool passThrough(const std::uint8_t *cdb, int cdbLength, ScsiCommand::Direction direction, int length, void *data,
                 unsigned timeoutMs, int *moved = nullptr)
{
    if (!g_transport) {
        if (g_currentFd < 0)
            return false;
        g_transport = std::make_unique<SgIoTransport>(g_currentFd);
    }
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = cdbLength;
    command.direction = length == 0 ? ScsiCommand::Direction::None : direction;
    command.data = data;
    command.length = length;
    command.timeoutMs = timeoutMs;
    int rc = g_transport->execute(command);
    // INQUIRY passes SG_IO for anyone; the first vendor command settles the transport.
    if (!g_transportChosen && cdb[0] != 0x12) {
        g_transportChosen = true;
        if (rc == -EPERM || rc == -EACCES) {
            chooseBulkOnly(rc);
            rc = g_transport->execute(command);
        } else {
            qInfo().noquote() << QStringLiteral("update drive %1: using %2").arg(g_currentNode, g_transport->describe());
        }
    }
    // A drive that has left, or one the kernel will never let us talk to, is
    // not worth the retries meant for a busy device.
    if (rc == -ENODEV || rc == -EPERM || rc == -EACCES)
        g_driveGone = true;
    // Either transport reports the same: why a command failed, and a pass
    // that moved less than asked (the drive took the command all the same).
    const QString opcode = QStringLiteral("%1 %2").arg(cdb[0], 2, 16, QLatin1Char('0')).arg(cdbLength > 1 ? cdb[1] : 0, 2, 16, QLatin1Char('0'));
    if (rc == ScsiTransport::kFailed)
        qDebug().noquote() << QStringLiteral("update drive %1: command %2 failed: %3")
                                  .arg(g_currentNode, opcode, g_transport->sense().describe());
    else if (rc == ScsiTransport::kPassed && g_transport->residue() > 0)
        qDebug().noquote() << QStringLiteral("update drive %1: command %2 passed with %3 of %4 bytes not moved")
                                  .arg(g_currentNode, opcode)
                                  .arg(g_transport->residue())
                                  .arg(length);
    if (moved)
        *moved = length - std::clamp(g_transport->residue(), 0, length);
    return rc == ScsiTransport::kPassed;
}

// One SG_IO request on a descriptor of the caller's (INQUIRY of a disk being probed).
bool passThroughOn(int fd, const std::uint8_t *cdb, int cdbLength, int length, void *data, unsigned timeoutMs)
{
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = cdbLength;
    command.direction = ScsiCommand::Direction::In;
    command.data = data;
    command.length = length;
    command.timeoutMs = timeoutMs;
    return fd >= 0 && SgIoTransport(fd).execute(command) == ScsiTransport::kPassed;
}

bool isUsbDisk(const QString &name)
{
    static const QRegularExpression usb("/usb\\d+/");
    // sd.c names disks sdX; a drive that reports itself as a CD-ROM is sr.c's srN.
    return (name.startsWith("sd") || name.startsWith("sr")) && usb.match(platform::kernel().canonicalPath("/sys/block/" + name)).hasMatch();
}

const char *stateName(int state)
{
    switch (state) {
    case StateRom: return "ROM";
    case StateUpdater: return "Updater";
    case StateUBoot: return "u-Boot";
    default: return nullptr;
    }
}

} // namespace

std::mutex &channelMutex()
{
    static std::mutex mutex;
    return mutex;
}

namespace {
thread_local TransferCounter *t_counter = nullptr;
}

TransferCounter::TransferCounter(std::function<void(qint64)> onSent)
    : m_onSent(std::move(onSent)), m_previous(t_counter)
{
    t_counter = this;
}

TransferCounter::~TransferCounter() { t_counter = m_previous; }

void TransferCounter::count(std::uint8_t subCommand, qint64 bytes)
{
    const bool payload = subCommand == SubChunk || subCommand == SubLastChunk || subCommand == SubCommandText;
    if (t_counter && payload && t_counter->m_onSent)
        t_counter->m_onSent(bytes);
}

std::array<std::uint8_t, 10> vendorCdb(std::uint8_t subCommand, std::uint32_t length)
{
    return {kVendorOpcode, subCommand, 0, 0, 0, 0,
            std::uint8_t(length >> 24), std::uint8_t(length >> 16), std::uint8_t(length >> 8), std::uint8_t(length)};
}

std::array<std::uint8_t, 24> loadHeader(std::uint32_t address, const QByteArray &data)
{
    return loadHeader(address, data, QCryptographicHash::hash(data, QCryptographicHash::Md5));
}

std::array<std::uint8_t, 24> loadHeader(std::uint32_t address, const QByteArray &data, const QByteArray &md5)
{
    return loadHeader(address, static_cast<std::uint32_t>(data.size()), md5);
}

std::array<std::uint8_t, 24> loadHeader(std::uint32_t address, std::uint32_t size, const QByteArray &md5)
{
    std::array<std::uint8_t, 24> header{};
    for (int i = 0; i < 4; ++i) {
        header[i] = std::uint8_t(address >> (8 * i));
        header[4 + i] = std::uint8_t(size >> (8 * i));
    }
    std::memcpy(header.data() + 8, md5.constData(), size_t(std::min(16, int(md5.size()))));
    return header;
}

bool isStatusSuccess(const std::uint8_t status[4]) { return status[0] == 0x0D && status[1] == 0x00; }

UpdateDeviceState stateFromProduct(const QByteArray &product)
{
    if (product.isEmpty() || product.at(0) == '\0')
        return StateRom;
    if (product.startsWith("UPD"))
        return StateUpdater;
    if (product.startsWith("UBO"))
        return StateUBoot;
    return StateNone;
}

bool acceptsVendor(int manufacturerCode, const QByteArray &vendor)
{
    static const char *const qx[] = {"GC", "QXK52", "VPT41", "QXVPT", "NVOPT"};
    static const char *const orvanta[] = {"GC", "ORBIT"};
    if (manufacturerCode == 0)
        return std::any_of(std::begin(qx), std::end(qx), [&](const char *p) { return vendor.startsWith(p); });
    if (manufacturerCode == 1)
        return std::any_of(std::begin(orvanta), std::end(orvanta), [&](const char *p) { return vendor.startsWith(p); });
    return false;
}

void closeUpdateDrive()
{
    if (auto *bulk = dynamic_cast<BulkOnlyTransport *>(g_transport.get()))
        bulk->close(!g_driveGone && !g_resetting);
    g_transport.reset();
    if (g_currentFd >= 0)
        platform::kernel().close(g_currentFd);
    g_currentFd = -1;
    g_currentNode.clear();
    g_driveGone = false;
    g_transportChosen = false;
    g_resetting = false;
}

QString currentDriveNode() { return g_currentNode; }

namespace {

// Port, USB ids and serial of a disk, from sysfs.
UpdateDriveInfo diskIdentity(const QString &name)
{
    UpdateDriveInfo info;
    info.node = "/dev/" + name;
    const QString path = platform::kernel().canonicalPath("/sys/block/" + name);
    info.port = usbPortOfSysfsPath(path);
    if (info.port.isEmpty())
        return info;
    const QString device = path.left(path.indexOf('/' + info.port + '/') + info.port.size() + 1);
    const auto attribute = [&](const char *key) {
        QByteArray value;
        platform::kernel().readAttribute(device + '/' + key, &value);
        return QString::fromLatin1(value).trimmed();
    };
    info.vendorId = attribute("idVendor").toInt(nullptr, 16);
    info.productId = attribute("idProduct").toInt(nullptr, 16);
    info.serial = attribute("serial");
    return info;
}

// INQUIRY through a descriptor of its own, opened read-only: a disk opened
// for writing makes udev probe it again when it is closed.
bool probeDisk(const QString &name, int manufacturerCode, UpdateDriveInfo *info)
{
    const int fd = platform::kernel().open("/dev/" + name, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    static const std::uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, kInquiryLength, 0x00};
    std::uint8_t answer[kInquiryLength] = {};
    const bool answered = passThroughOn(fd, cdb, sizeof cdb, kInquiryLength, answer, kInquiryTimeoutMs);
    platform::kernel().close(fd);
    const QByteArray vendor(reinterpret_cast<char *>(answer) + 8, 8);
    if (!answered || !acceptsVendor(manufacturerCode, vendor))
        return false;
    *info = diskIdentity(name);
    info->vendor = vendor.trimmed();
    info->state = stateFromProduct(QByteArray(reinterpret_cast<char *>(answer) + 16, 16));
    return true;
}

} // namespace

QString usbPortOfSysfsPath(const QString &canonicalPath)
{
    // The USB device directory is the last "<bus>-<ports>" before its interfaces.
    static const QRegularExpression portName("^\\d+-[\\d.]+$");
    QString port;
    for (const QString &part : canonicalPath.split('/')) {
        if (part.contains(':') && !port.isEmpty())
            break;
        if (portName.match(part).hasMatch())
            port = part;
    }
    return port;
}

QVector<UpdateDriveInfo> listUpdateDrives(int manufacturerCode)
{
    QVector<UpdateDriveInfo> drives;
    for (const QString &name : platform::kernel().listDirectory("/sys/block")) {
        UpdateDriveInfo info;
        if (isUsbDisk(name) && probeDisk(name, manufacturerCode, &info))
            drives.append(info);
    }
    return drives;
}

int findUpdateDrive(int manufacturerCode, int *state, const QString &port)
{
    closeUpdateDrive();
    for (const QString &name : platform::kernel().listDirectory("/sys/block")) {
        UpdateDriveInfo info;
        if (!isUsbDisk(name) || (!port.isEmpty() && diskIdentity(name).port != port)
            || !probeDisk(name, manufacturerCode, &info))
            continue;
        const QString node = "/dev/" + name;
        // Read-only: vendor commands need no write access (SG_IO passes them
        // by privilege, Bulk-Only goes over the USB device node), and closing
        // a disk opened for writing makes udev probe it again (blkid, READs
        // to the camera in the middle of an upgrade).
        const int fd = platform::kernel().open(node, O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            continue;
        g_currentFd = fd;
        *state = info.state;
        if (const char *stateText = stateName(*state))
            qInfo().noquote() << "device state:" << stateText;
        g_currentNode = node;
        return fd;
    }
    *state = StateNone;
    return -1;
}

bool scsiInquiry(std::uint8_t answer[36])
{
    static const std::uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, kInquiryLength, 0x00};
    return passThrough(cdb, sizeof cdb, ScsiCommand::Direction::In, kInquiryLength, answer, kInquiryTimeoutMs);
}

int vendorCommand(std::uint8_t opcode, std::uint8_t subCommand, bool fromDevice, int length, std::uint8_t *data)
{
    if (length < 0 || length > kMaxVendorData || (length > 0 && !data))
        return -1;
    auto cdb = vendorCdb(subCommand, static_cast<std::uint32_t>(length));
    cdb[0] = opcode;
    // Data to the device goes from the caller's buffer as it is; an answer is
    // copied back only when the command succeeded.
    if (!fromDevice) {
        if (!passThrough(cdb.data(), int(cdb.size()), ScsiCommand::Direction::Out, length, data, kVendorTimeoutMs))
            return -1;
        TransferCounter::count(subCommand, length);
        return 0;
    }
    // Only what the data stage moved is copied: a pass may come short.
    QByteArray area(length, '\0');
    int moved = 0;
    if (!passThrough(cdb.data(), int(cdb.size()), ScsiCommand::Direction::In, length, area.data(), kVendorTimeoutMs, &moved))
        return -1;
    std::memcpy(data, area.constData(), size_t(moved));
    return 0;
}

int sendCommandText(const QByteArray &text)
{
    if (text == "reset")
        g_resetting = true;
    QByteArray copy = text;
    if (vendorCommand(kVendorOpcode, SubCommandText, false, copy.size(), reinterpret_cast<std::uint8_t *>(copy.data())) != 0
        && !g_driveGone)
        pauseMs(500);
    return 0;
}

int sendLoadHeader(const std::uint8_t *header, int length)
{
    QByteArray copy(reinterpret_cast<const char *>(header), length);
    if (vendorCommand(kVendorOpcode, SubLoadHeader, false, length, reinterpret_cast<std::uint8_t *>(copy.data())) != 0
        && !g_driveGone)
        pauseMs(500);
    return 0;
}

int readStatus(std::uint8_t *status, int length, int attempts)
{
    if (!status)
        return -1;
    std::memset(status, 0xFF, size_t(length));
    for (int i = 0; i < (attempts == 0 ? 10 : attempts); ++i) {
        if (vendorCommand(kVendorOpcode, SubStatus, true, length, status) == 0 || g_driveGone)
            break;
        if (!pauseMs(100))
            break;
    }
    return 0;
}

namespace {

// Chunks of `data`; the last one is marked as the load's last only when
// `endsLoad`. `failures` is the budget of the whole transfer.
int sendChunks(const std::uint8_t *data, int length, int chunkSize, bool endsLoad, int *failures)
{
    for (int offset = 0; offset < length;) {
        // A stopped run ends between two chunks, never inside one.
        if (stopRequested())
            return -1;
        const int remaining = length - offset;
        const bool last = remaining <= chunkSize;
        const int size = last ? remaining : chunkSize;
        // A to-device command only reads the data (into its own request buffer).
        if (vendorCommand(kVendorOpcode, last && endsLoad ? SubLastChunk : SubChunk, false, size,
                          const_cast<std::uint8_t *>(data + offset)) == 0) {
            offset += size;
            continue;
        }
        if (g_driveGone || !pauseMs(100) || ++*failures > kMaxChunkFailures)
            return -1;
    }
    return 0;
}

} // namespace

int sendData(const std::uint8_t *data, int length, int chunkSize)
{
    int failures = 0;
    return sendChunks(data, length, chunkSize, true, &failures);
}

int sendFile(QFile &file, qint64 size, int chunkSize)
{
    // A piece read stays in the cache while its chunks go out; the whole
    // file in memory would cost a fresh, zeroed page every 4 KiB on top.
    const qint64 pieceSize = qint64(chunkSize) * kChunksPerPiece;
    QByteArray piece(int(std::min(pieceSize, size)), Qt::Uninitialized);
    if (!file.seek(0))
        return -1;
    int failures = 0;
    for (qint64 sent = 0; sent < size;) {
        const int want = int(std::min(pieceSize, size - sent));
        if (file.read(piece.data(), want) != want)
            return -1;
        sent += want;
        if (sendChunks(reinterpret_cast<const std::uint8_t *>(piece.constData()), want, chunkSize, sent == size,
                       &failures) != 0)
            return -1;
    }
    return 0;
}

bool readWholeFile(const QString &path, QByteArray *data)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    *data = file.readAll();
    return true;
}

int loadFile(const QString &path, std::uint32_t address)
{
    qint64 size = 0;
    QByteArray md5;
    QFile file(path);
    if (!fileDigest(path, &size, &md5) || size > std::numeric_limits<std::int32_t>::max()
        || !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return -1;
    const auto header = loadHeader(address, std::uint32_t(size), md5);
    bool confirmed = false;
    for (int attempt = 0; attempt < kLoadAttempts && !confirmed && !stopRequested() && !g_driveGone; ++attempt) {
        sendLoadHeader(header.data(), int(header.size()));
        if (sendFile(file, size, kLoadChunkSize) != 0)
            continue;
        // The camera needs about 50 ms per MiB to check what it received.
        pauseMs(int(size / 20480));
        std::uint8_t status[4];
        readStatus(status, 4, 10);
        confirmed = isStatusSuccess(status);
    }
    // An image the camera never confirmed must not be followed by the
    // commands that make it boot.
    return confirmed ? 0 : -1;
}

int sendRawFile(const QString &path)
{
    QByteArray data;
    if (!readWholeFile(path, &data))
        return -1;
    // The boot ROM has no digest to catch a chunk lost or sent twice: a
    // transfer that did not go through whole is a failure here.
    return sendData(reinterpret_cast<const std::uint8_t *>(data.constData()), data.size(), kRawChunkSize);
}

} // namespace lumora::upgrade
