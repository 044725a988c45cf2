#pragma once
// The kernel seam with a stopwatch on its device calls: the time spent inside
// ioctl() while `counting` is set is the device's (a real drive takes it
// moving the data; the simulated one takes it copying and checking), not the
// app's, and the benches leave it out of the app's figures.

#include "platform/kernel.h"

#include <QElapsedTimer>

#include <atomic>
#include <memory>

namespace bench {

class DeviceClock : public lumora::platform::Kernel {
public:
    explicit DeviceClock(std::unique_ptr<Kernel> inner) : m_inner(std::move(inner)) {}

    std::atomic<bool> counting{false};
    std::atomic<qint64> deviceNs{0};

    int open(const QString &node, int flags) override { return m_inner->open(node, flags); }
    int close(int fd) override { return m_inner->close(fd); }
    int ioctl(int fd, unsigned long request, void *arg) override
    {
        if (!counting.load())
            return m_inner->ioctl(fd, request, arg);
        QElapsedTimer clock;
        clock.start();
        const int rc = m_inner->ioctl(fd, request, arg);
        deviceNs += clock.nsecsElapsed();
        return rc;
    }
    int readAttribute(const QString &path, QByteArray *contents) override
    {
        return m_inner->readAttribute(path, contents);
    }
    QStringList listDirectory(const QString &path) override { return m_inner->listDirectory(path); }
    QString canonicalPath(const QString &path) override { return m_inner->canonicalPath(path); }
    std::unique_ptr<lumora::platform::DeviceMonitor> createMonitor() override { return m_inner->createMonitor(); }
    int poll(int fd, short events, int timeoutMs) override { return m_inner->poll(fd, events, timeoutMs); }
    QVector<lumora::platform::NodeHolder> holders(const QString &node) override { return m_inner->holders(node); }
    bool rawScsiAllowed() override { return m_inner->rawScsiAllowed(); }
    QString installedUdevRule(const QString &name) override { return m_inner->installedUdevRule(name); }

private:
    std::unique_ptr<Kernel> m_inner;
};

} // namespace bench
