#pragma once
// A scenario's machine as a umockdev testbed: the simulated kernel hosts the
// devices, and the testbed shows a preloaded process what that kernel shows
// SimKernel's callers. Its sysfs tree is copied from the simulated one, its
// /dev nodes answer ioctls through the simulated devices (IoctlBridge), and
// each simulated device event becomes a uevent the process's udev monitor
// receives. The calling process must run under the umockdev preload itself:
// umockdev builds a uevent from the testbed's sysfs through libudev.

#include "platform/kernel.h"

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <memory>

#include "emulated/umockdev_api.h"

namespace lumora::sim {
class SimKernel;
}

namespace emulated {

class IoctlBridge;

class EmulatedMachine : public QObject {
public:
    explicit EmulatedMachine(const QJsonObject &scenario);
    ~EmulatedMachine() override;

    // The testbed folder a preloaded process is pointed at (UMOCKDEV_DIR).
    QString root() const { return m_root; }
    lumora::sim::SimKernel &kernel() { return *m_kernel; }
    // What the testbed could not carry; a case fails on any.
    QStringList faults() const;

private:
    struct Entry {
        enum class Kind { Directory, File, Link };
        Kind kind = Kind::Directory;
        QByteArray contents; // a file's bytes, a link's target
        bool operator==(const Entry &o) const { return kind == o.kind && contents == o.contents; }
    };

    void onEvent(const lumora::platform::DeviceEvent &event);
    // The testbed's sysfs and /dev made what the simulated kernel has now.
    void sync();
    void walk(const QString &path, QMap<QString, Entry> *into);
    void syncNodes();
    void addNode(const QString &node, const QString &devNumbers);
    void removeNode(const QString &node);
    // The permission bits of a node for the device's user: what the udev rule grants.
    int modeOf(const QString &node) const;
    QString hostPath(const QString &path) const { return m_root + path; }

    UMockdevTestbed *m_testbed = nullptr;
    QString m_root;
    std::unique_ptr<lumora::sim::SimKernel> m_kernel;
    std::unique_ptr<IoctlBridge> m_bridge;
    std::unique_ptr<lumora::platform::DeviceMonitor> m_monitor;
    QMap<QString, Entry> m_sysfs;      // what was copied, by "/sys/..." path
    QMap<QString, QString> m_nodes;    // "/dev/..." node -> "major:minor"
    QStringList m_faults;
};

} // namespace emulated
