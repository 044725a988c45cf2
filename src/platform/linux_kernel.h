#pragma once
// The Kernel of a real Linux machine: libc for device nodes, sysfs files
// under a root directory, and a udev monitor for device events.

#include "platform/kernel.h"

namespace lumora::platform {

class LinuxKernel : public Kernel {
public:
    // `sysRoot` stands in for "/sys" and `procRoot` for "/proc" (tests point them at fixture trees).
    explicit LinuxKernel(QString sysRoot = QStringLiteral("/sys"), QString procRoot = QStringLiteral("/proc"));

    int open(const QString &node, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    int readAttribute(const QString &path, QByteArray *contents) override;
    QStringList listDirectory(const QString &path) override;
    QString canonicalPath(const QString &path) override;
    std::unique_ptr<DeviceMonitor> createMonitor() override;
    int poll(int fd, short events, int timeoutMs) override;
    bool rawScsiAllowed() override;
    QString installedUdevRule(const QString &name) override;
    QVector<NodeHolder> holders(const QString &node) override;

private:
    // The file behind a "/sys/..." path; empty for paths outside sysfs.
    QString hostPath(const QString &path) const;

    QString m_sysRoot;
    QString m_procRoot;
};

} // namespace lumora::platform
