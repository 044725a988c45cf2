#pragma once
// The mass-storage command channel to a camera in one of its update states:
// finds the update drive among the USB-attached SCSI disks, tells the states
// apart by INQUIRY and talks through the vendor SCSI command 0xE8.
//
// The channel has one current drive for the whole process. Callers hold
// channelMutex() around every use, so the upgrade worker and the poller never
// interleave commands.

#include <QByteArray>
#include <QString>
#include <QVector>

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>

class QFile;

namespace lumora::upgrade {

enum UpdateDeviceState { StateRom = 0, StateUpdater = 1, StateUBoot = 2, StateNone = 3 };

enum VendorSubCommand : std::uint8_t {
    SubChunk = 1,
    SubStatus = 2,
    SubLastChunk = 4,
    SubLoadHeader = 5,
    SubCommandText = 6,
};

constexpr std::uint8_t kVendorOpcode = 0xE8;
constexpr int kMaxVendorData = 65536;
constexpr int kLoadChunkSize = 32768;
constexpr int kRawChunkSize = 1024;
constexpr std::uint32_t kNoLoadAddress = 0xFFFFFFFFu;

std::mutex &channelMutex();

// While it lives, every data chunk and command line the device takes on this
// thread is passed to `onSent` with its length in bytes.
class TransferCounter {
public:
    explicit TransferCounter(std::function<void(qint64)> onSent);
    ~TransferCounter();
    TransferCounter(const TransferCounter &) = delete;
    TransferCounter &operator=(const TransferCounter &) = delete;
    static void count(std::uint8_t subCommand, qint64 bytes);

private:
    std::function<void(qint64)> m_onSent;
    TransferCounter *m_previous;
};

// Byte layouts, exposed for tests.
std::array<std::uint8_t, 10> vendorCdb(std::uint8_t subCommand, std::uint32_t length);
std::array<std::uint8_t, 24> loadHeader(std::uint32_t address, const QByteArray &data);
std::array<std::uint8_t, 24> loadHeader(std::uint32_t address, const QByteArray &data, const QByteArray &md5);
std::array<std::uint8_t, 24> loadHeader(std::uint32_t address, std::uint32_t size, const QByteArray &md5);
bool isStatusSuccess(const std::uint8_t status[4]);
// The update state a product identification (16 bytes) stands for.
UpdateDeviceState stateFromProduct(const QByteArray &product);
// Whether an INQUIRY vendor identification is an update drive for the profile.
bool acceptsVendor(int manufacturerCode, const QByteArray &vendor);

// An accepted update drive as a read-only INQUIRY saw it.
struct UpdateDriveInfo {
    QString node;         // "/dev/sdb"
    QString port;         // USB port path, "1-4.2"
    QString serial;       // USB serial number; empty when the device has none
    int vendorId = 0;     // USB ids
    int productId = 0;
    QByteArray vendor;    // INQUIRY vendor identification, blanks trimmed
    int state = 3;        // UpdateDeviceState
    // Why this user cannot send it firmware, with the fix; empty when it can
    // or when nobody asked (see driveaccess.h).
    QString accessProblem;
};
// Every accepted update drive, in name order. Each disk is opened read-only for
// its INQUIRY and closed again; the current drive is not touched.
QVector<UpdateDriveInfo> listUpdateDrives(int manufacturerCode);
// USB port path ("1-4.2") of a device whose canonical sysfs path is given; empty without one.
QString usbPortOfSysfsPath(const QString &canonicalPath);

// Searches the USB disks in name order, only the one on `port` when a port is
// given; the first accepted one becomes the current drive, opened read-only
// for the vendor commands (the previous one is closed first). Returns its descriptor,
// or -1 with state StateNone when none is accepted.
int findUpdateDrive(int manufacturerCode, int *state, const QString &port = QString());
// Closes the current drive, if any.
void closeUpdateDrive();
// Node of the current drive ("/dev/sdb"); empty when none.
QString currentDriveNode();

bool scsiInquiry(std::uint8_t answer[36]);
// 0, or -1 when the request fails. fromDevice copies the bytes the drive sent
// (up to `length`) into data; the rest of data is left as it was.
int vendorCommand(std::uint8_t opcode, std::uint8_t subCommand, bool fromDevice, int length, std::uint8_t *data);
int sendCommandText(const QByteArray &text);
int sendLoadHeader(const std::uint8_t *header, int length);
// Fills status with 0xFF, then reads it with up to `attempts` tries (0 means 10).
int readStatus(std::uint8_t *status, int length, int attempts);
int sendData(const std::uint8_t *data, int length, int chunkSize);
// The first `size` bytes of `file` in chunks, read a few dozen chunks at a
// time while they go out; -1 when the file ends early or the transfer fails.
int sendFile(QFile &file, qint64 size, int chunkSize);
// Up to five attempts of header, data and status; -1 when the file cannot be
// read or no attempt was confirmed by the camera.
int loadFile(const QString &path, std::uint32_t address);
int sendRawFile(const QString &path);
bool readWholeFile(const QString &path, QByteArray *data);
// The file's size and MD5. The digest comes from digestsAhead() when it has
// hashed this file, unchanged, already; else it is computed here.
bool fileDigest(const QString &path, qint64 *size, QByteArray *md5);
// Hashes these files on a thread of its own, so that the loads that follow
// find their digests ready (the camera's restart as a drive takes longer).
// Replaces the previous set; an empty list just drops it.
void digestsAhead(const QStringList &paths);

} // namespace lumora::upgrade
