#pragma once
// The one door between Lumora and the operating system's device layer.
//
// Every open/ioctl/close of a device node, every sysfs read and every device
// event goes through a Kernel. The Linux implementation calls libc, reads /sys
// and listens to udev; the simulated kernel (src/sim) answers the same calls
// with the same structures and errno values. Code above this seam never knows
// which one it talks to.
//
// Calls return 0 (or a descriptor) on success and -errno on failure; they never
// log. Callers decide what a failure means.

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

namespace lumora::platform {

// A device appearing or leaving, as udev describes it.
struct DeviceEvent {
    enum class Action { Add, Remove };
    Action action = Action::Add;
    QString subsystem;                 // "video4linux", "block", ...
    QString devNode;                   // "/dev/video0", "/dev/sdb"
    QString sysPath;                   // "/sys/devices/.../video4linux/video0"
    QMap<QString, QString> properties; // udev properties: ID_VENDOR_ID, ID_MODEL_ID,
                                       // ID_USB_INTERFACE_NUM, BUSNUM, DEVPATH,
                                       // ID_V4L_CAPABILITIES, ...
};

// Delivers device events on the thread that created it.
class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Starts listening; false when the event source cannot be set up.
    virtual bool start() = 0;

Q_SIGNALS:
    void deviceEvent(const lumora::platform::DeviceEvent &event);
};

// A process that has a device node open.
struct NodeHolder {
    qint64 pid = 0;
    QString name; // its command name, as /proc/<pid>/comm gives it
};

class Kernel {
public:
    virtual ~Kernel() = default;

    // Device nodes. open() returns a descriptor (>= 0) or -errno.
    virtual int open(const QString &node, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void *arg) = 0;

    // sysfs, addressed by absolute paths beginning with "/sys".
    virtual int readAttribute(const QString &path, QByteArray *contents) = 0;
    // Entry names of a directory, sorted; empty when it does not exist.
    virtual QStringList listDirectory(const QString &path) = 0;
    // The path with every link resolved; empty when it does not exist.
    virtual QString canonicalPath(const QString &path) = 0;

    // A new monitor for "video4linux" and "block" events, owned by the caller.
    virtual std::unique_ptr<DeviceMonitor> createMonitor() = 0;

    // Waits until `fd` has one of `events` (POLLIN, ...) or `timeoutMs`
    // pass: the events it has (POLLERR and POLLHUP included), 0 when the
    // time ran out, or -errno.
    virtual int poll(int fd, short events, int timeoutMs) = 0;

    // The processes that have `node` open, by pid, this process included when
    // it has. Other users' processes are hidden from an ordinary user, as
    // /proc hides their descriptors.
    virtual QVector<NodeHolder> holders(const QString &node) = 0;

    // Whether SG_IO passes any SCSI command for this process (CAP_SYS_RAWIO);
    // without it Linux lets only standard read and write commands through.
    virtual bool rawScsiAllowed() = 0;
    // Where the udev rule file `name` is installed, among the folders udev
    // reads rules from; empty when it is in none.
    virtual QString installedUdevRule(const QString &name) = 0;
};

// The process-wide kernel: the one main() installed, or Linux when none was.
// LUMORA_TRACE=<file> wraps it in the wire trace. Thread-safe.
Kernel &kernel();

// Replaces the process-wide kernel; the previous one is destroyed. Each
// main() installs sim::kernelFromEnvironment(); tests install their own.
// Returns the installed kernel, wrapped in the trace when LUMORA_TRACE is set.
Kernel &installKernel(std::unique_ptr<Kernel> kernel);

} // namespace lumora::platform

Q_DECLARE_METATYPE(lumora::platform::DeviceEvent)
Q_DECLARE_METATYPE(lumora::platform::NodeHolder)
Q_DECLARE_METATYPE(QVector<lumora::platform::NodeHolder>)
