#pragma once
// The simulated kernel: hosts device models, hands out descriptors for their
// nodes, serves their sysfs view and emits udev-like events. Thread-safe.

#include "platform/kernel.h"
#include "sim/sim_device.h"

#include <QJsonObject>
#include <QObject>

#include <functional>
#include <memory>

namespace lumora::sim {

class SimMachineStore;

class SimKernel : public platform::Kernel {
public:
    // Scheduled actions (timeline, restarts) run on the application's thread, or
    // on the constructing one when there is no application object yet. Events
    // reach each monitor queued on the monitor's own thread.
    SimKernel();
    ~SimKernel() override;

    // Plugs the scenario's devices and schedules its timeline (docs/scenario.md).
    // A scenario that does not check out is logged and nothing is loaded.
    bool loadScenario(const QJsonObject &scenario);
    // The built-in scenario the demo uses when LUMORA_SIM_SCENARIO is not set.
    static QJsonObject defaultScenario();

    // Test and model API.
    void plug(std::shared_ptr<SimDevice> device);  // emits "add" for its nodes
    void unplug(const QString &id);                // emits "remove"; its open descriptors then fail with ENODEV
    // Plugs again the device last unplugged under `id`; false when there is none.
    bool replug(const QString &id);
    // Keeps a device that is not plugged yet, for a later replug().
    void keepUnplugged(std::shared_ptr<SimDevice> device);
    // Unplugs `id` now and plugs `next` after delayMs (a restart, or a camera becoming an update drive).
    void replace(const QString &id, std::shared_ptr<SimDevice> next, int delayMs);
    // A power cycle: a camera comes back rebuilt from its saved config, other devices as they were.
    void restart(const QString &id, int delayMs);
    std::shared_ptr<SimDevice> device(const QString &id) const;
    // The ids of the devices plugged now.
    QStringList deviceIds() const;
    template <class T> std::shared_ptr<T> find(const QString &id) const
    {
        return std::dynamic_pointer_cast<T>(device(id));
    }
    // The device's node paths ("/dev/video0", ...) in the order of its nodes(); empty when not plugged.
    QStringList devNodes(const QString &id) const;
    // Whether the process counts as privileged (CAP_SYS_RAWIO): SG_IO then passes
    // any SCSI command, vendor ones included. Off by default, like a desktop user.
    void setPrivileged(bool privileged);
    bool isPrivileged() const;
    // How often a node has been opened for writing (O_WRONLY or O_RDWR).
    int writableOpens(const QString &node) const;
    // Runs `action` on the kernel's thread after delayMs.
    void after(int delayMs, std::function<void()> action);

    // platform::Kernel
    int open(const QString &node, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    int readAttribute(const QString &path, QByteArray *contents) override;
    QStringList listDirectory(const QString &path) override;
    QString canonicalPath(const QString &path) override;
    std::unique_ptr<platform::DeviceMonitor> createMonitor() override;
    int poll(int fd, short events, int timeoutMs) override;
    bool rawScsiAllowed() override { return isPrivileged(); }
    QString installedUdevRule(const QString &name) override;
    // Where the simulated machine has the udev rule; empty for nowhere.
    void setUdevRuleFolder(const QString &folder);
    QVector<platform::NodeHolder> holders(const QString &node) override;

    // The session's store of device state shared with other processes; null: this process only.
    void setStore(std::shared_ptr<SimMachineStore> store);
    std::shared_ptr<SimMachineStore> store() const;

private:
    // ioctls on a /dev/bus/usb node.
    int usbfs(int fd, unsigned long request, void *arg);
    // The kernel driver binds to `interface` again (USBDEVFS_CONNECT).
    void rebind(const QString &id, quint64 generation, int interface);

    struct State;
    std::unique_ptr<State> d;
};

// The simulated kernel with the scenario named by LUMORA_SIM_SCENARIO, or the
// default scenario (with a log line) when that file cannot be read or checked,
// as the session's earlier runs left it (LUMORA_SIM_FRESH=1: as the scenario says).
std::unique_ptr<platform::Kernel> createKernelFromEnvironment();

} // namespace lumora::sim
