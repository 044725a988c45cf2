#pragma once
// Contract between the simulated kernel and the device models it hosts.
//
// A device model (a camera, an update drive) describes how it looks to
// enumeration (USB identity, descriptors, nodes) and answers ioctls on its
// nodes exactly as the Linux driver would: same structures, same errno values.
// Models are described by JSON objects (see docs/scenario.md), which is also
// how one model turns into another: a camera entering upgrade mode asks the
// kernel to replace it by makeUpdateDrive(...), and a drive finishing an
// upgrade asks for makeCamera(...) with the new firmware version.

#include "platform/kernel.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

namespace lumora::sim {

class SimKernel;

struct SimUsbIdentity {
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString manufacturer;
    QString product;
    QString serial;
    int busNumber = 1;
    QString port;          // USB port path as in sysfs device names, e.g. "1-2" or "1-2.3"
    QMap<int, QString> interfaceNames; // iInterface strings by interface number (sysfs "interface")
};

struct SimNode {
    enum class Kind { VideoCapture, VideoMetadata, Disk };
    Kind kind = Kind::VideoCapture;
    int interfaceNumber = 0; // USB interface the node belongs to
    QString name;            // V4L2 card name; unused for disks
    // Disks: a CD-ROM (sr.c names it srN) or write-protected media; either
    // refuses a writable open with EROFS, as sd_open() and cdrom_open() do.
    bool cdrom = false;
    bool writeProtected = false;
};

// An open descriptor of one of a device's nodes, as its driver sees the file.
struct SimFile {
    int fd = -1;
    int node = 0;  // an index into the device's nodes()
    int flags = 0; // the open flags (O_NONBLOCK, O_ACCMODE)
};

// Ioctls arrive from the GUI thread and from worker threads at once: models
// guard their own state.
class SimDevice {
public:
    explicit SimDevice(QString id) : m_id(std::move(id)) {}
    virtual ~SimDevice() = default;

    // Scenario id; stays the same when the device turns into another model.
    const QString &id() const { return m_id; }

    // A device without a USB identity (a platform camera) has no usb().
    virtual bool hasUsbIdentity() const { return true; }
    virtual SimUsbIdentity usb() const = 0;
    // The USB device's raw descriptors, as in its sysfs "descriptors" file.
    virtual QByteArray descriptors() const = 0;
    virtual QVector<SimNode> nodes() const = 0;

    // One ioctl on an open node: 0 or -errno.
    virtual int ioctl(const SimFile &file, unsigned long request, void *arg) = 0;
    // poll() on an open node: the ready events, 0 after `timeoutMs`. A node
    // without its own answer is always ready.
    virtual int poll(const SimFile & /*file*/, short events, int /*timeoutMs*/) { return events; }
    // The file was closed (the driver's release).
    virtual void closed(const SimFile & /*file*/) {}

    // usbfs traffic on the device's endpoints, after the kernel has checked the
    // endpoint and the interface claim: USBDEVFS_BULK (bytes moved or -errno),
    // USBDEVFS_CLEAR_HALT and USBDEVFS_CONTROL. A device without its own
    // answers NAKs bulk transfers and stalls control requests.
    virtual int usbTransfer(unsigned long request, void *arg);

    // Other processes that have the node open (the kernel adds this process itself).
    virtual QVector<platform::NodeHolder> holders(int /*node*/) const { return {}; }

    // The configuration that rebuilds this device (used when it turns into another model).
    virtual QJsonObject config() const = 0;

    // Called by the kernel when the device is plugged (kernel set) and unplugged (nullptr).
    virtual void attach(SimKernel *kernel) { m_kernel = kernel; }

protected:
    SimKernel *kernel() const { return m_kernel; }

private:
    QString m_id;
    SimKernel *m_kernel = nullptr;
};

// Factories for the two models; each parses its own JSON (docs/scenario.md).
std::shared_ptr<SimDevice> makeCamera(const QJsonObject &config);
std::shared_ptr<SimDevice> makeUpdateDrive(const QJsonObject &config);

} // namespace lumora::sim
