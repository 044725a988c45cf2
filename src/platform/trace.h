#pragma once
// The wire trace: a Kernel that forwards every call to another one and
// appends one line per device-protocol transfer and device event to a file.
//
//   <ms> event <add|remove> <interface path>
//   <ms> xu <node> <set|get> sel=<n> out=<hex> [in=<hex>] rc=<r>
//   <ms> ctl <node> <get|set> <control name> value=<v> rc=<r>
//   <ms> scsi <node> cdb=<hex> dir=<in|out|none> len=<n> head=<hex> rc=<r>
//   <ms> usb <node> bulk ep=<xx> len=<n> head=<hex> rc=<r>
//   <ms> usb <node> <claim|release|disconnect|connect|clear_halt|reset|control> <details> rc=<r>
//   <ms> v4l2 <node> <s_fmt|g_fmt|s_parm|reqbufs|streamon|streamoff> [<details>] rc=<r>
//
// <ms> counts from the creation of the trace; hex is lower-case without
// separators; rc is the kernel's result. docs/platform.md has the details.

#include "platform/kernel.h"

#include <QHash>

#include <mutex>

namespace lumora::platform {

class TraceKernel : public Kernel {
public:
    // Appends to `file` (created when missing); the trace is silent when it cannot be opened.
    TraceKernel(std::unique_ptr<Kernel> inner, const QString &file);
    ~TraceKernel() override;

    int open(const QString &node, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    int readAttribute(const QString &path, QByteArray *contents) override;
    QStringList listDirectory(const QString &path) override;
    QString canonicalPath(const QString &path) override;
    std::unique_ptr<DeviceMonitor> createMonitor() override;
    int poll(int fd, short events, int timeoutMs) override { return m_inner->poll(fd, events, timeoutMs); }
    bool rawScsiAllowed() override { return m_inner->rawScsiAllowed(); }
    QString installedUdevRule(const QString &name) override { return m_inner->installedUdevRule(name); }
    QVector<NodeHolder> holders(const QString &node) override;

private:
    QString nodeOf(int fd);

    std::unique_ptr<Kernel> m_inner;
    std::shared_ptr<class TraceWriter> m_writer; // shared with the monitors handed out
    std::mutex m_nodesMutex;
    QHash<int, QString> m_nodes;
};

// The name the trace gives a V4L2 control id ("pan", "zoom", ...); unknown
// ids are written in hex.
QString controlName(quint32 id);

} // namespace lumora::platform
