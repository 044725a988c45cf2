#pragma once
// Answers the ioctls a preloaded process makes on emulated device nodes with
// the simulated kernel's own devices: the same model that answers SimKernel,
// reached through umockdev's ioctl socket. The argument lives in the other
// process, so every pointer an ioctl carries is fetched and written back
// through umockdev's ioctl data.

#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

#include "emulated/umockdev_api.h"

namespace lumora::sim {
class SimKernel;
}

namespace emulated {

class IoctlBridge {
public:
    // `devRoot` is the testbed's folder that stands in for "/dev".
    IoctlBridge(lumora::sim::SimKernel *kernel, QString devRoot);
    ~IoctlBridge();
    IoctlBridge(const IoctlBridge &) = delete;
    IoctlBridge &operator=(const IoctlBridge &) = delete;

    UMockdevIoctlBase *handler() const { return m_handler; }
    // What the bridge could not carry; a case fails on any.
    QStringList faults() const;

private:
    struct Buffer {
        quint64 clientAddress = 0;
        QByteArray shadow; // the driver fills this in place of the client's memory
    };
    struct Open {
        int fd = -1; // the SimKernel descriptor, opened at the first ioctl
        QMap<quint32, Buffer> buffers;
    };

    // The simulated kernel as long as the bridge lives: a client's descriptor
    // is closed when umockdev lets go of the client, which may be after the bridge.
    struct Shared {
        QMutex mutex;
        lumora::sim::SimKernel *kernel = nullptr;
        QSet<int> fds;
    };

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self);
    // The open of a client, kept with the client object and released with it.
    Open &openOf(UMockdevIoctlClient *client);

    int answer(UMockdevIoctlClient *client, Open &open);
    int openFor(const QString &node, Open &open);
    int forward(Open &open, unsigned long request, void *arg);
    int userptrBuffer(Open &open, unsigned long request, UMockdevIoctlData *argument);
    void fault(const QString &text);

    lumora::sim::SimKernel *m_kernel;
    QString m_devRoot;
    UMockdevIoctlBase *m_handler;
    std::shared_ptr<Shared> m_shared;
    mutable QMutex m_faultsMutex;
    QStringList m_faults;
};

} // namespace emulated
