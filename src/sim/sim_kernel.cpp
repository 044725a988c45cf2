#include "sim/sim_kernel.h"

#include "sim/sim_camera.h"
#include "sim/sim_monitor.h"
#include "sim/sim_sysfs.h"
#include "sim/sim_sysfs_layout.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <scsi/sg.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include <unistd.h>

namespace lumora::sim {

namespace {

constexpr int kFirstDescriptor = 3;
constexpr int kMaxVideoNodes = 256;
constexpr qint64 kDefaultDiskSectors = 131072; // 64 MiB
const QString kInternalDiskNode = QStringLiteral("/dev/sda");

// What the SCSI scan reads when a disk appears: vendor and product identification.
void inquire(SimDevice &device, int node, SimPlacement *placement)
{
    unsigned char cdb[6] = {0x12, 0, 0, 0, 36, 0};
    unsigned char data[36] = {};
    unsigned char sense[32] = {};
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.cmd_len = sizeof cdb;
    hdr.cmdp = cdb;
    hdr.dxfer_len = sizeof data;
    hdr.dxferp = data;
    hdr.mx_sb_len = sizeof sense;
    hdr.sbp = sense;
    hdr.timeout = 2000;
    const bool ok = device.ioctl(node, SG_IO, &hdr) == 0 && hdr.status == 0;
    // sysfs prints them as "%.8s" and "%.16s": a NUL ends the text.
    auto field = [&](int offset, int size) {
        const QByteArray bytes(reinterpret_cast<char *>(data) + offset, size);
        const int end = bytes.indexOf('\0');
        return ok ? bytes.left(end < 0 ? size : end) : QByteArray();
    };
    placement->diskVendor = field(8, 8);
    placement->diskModel = field(16, 16);
}

} // namespace

struct SimKernel::State {
    struct Plugged {
        std::shared_ptr<SimDevice> device;
        quint64 generation = 0;
        SimPlacement placement;
    };
    struct Descriptor {
        QString id;
        int node = 0;
        quint64 generation = 0;
    };

    mutable std::mutex mutex;
    QMap<QString, Plugged> plugged;
    QMap<QString, std::shared_ptr<SimDevice>> unplugged; // for replug()
    QMap<int, Descriptor> descriptors;
    QMap<QString, int> writableOpens;
    int nextDescriptor = kFirstDescriptor;
    quint64 nextGeneration = 1;
    QMap<int, int> nextDevnum; // per bus; 1 is the root hub
    int nextScsiHost = 1;      // host0 is the internal disk's
    SimSysfs sysfs;
    std::shared_ptr<SimMonitorHub> monitors = std::make_shared<SimMonitorHub>();
    // Owns the scheduled actions' timers; lives on the kernel's thread.
    QObject *host = new QObject;
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);

    // Callers hold the mutex for all of these.
    void rebuildSysfs()
    {
        sysfs.clear();
        addMachine(&sysfs);
        for (const Plugged &p : qAsConst(plugged))
            addPlacement(p.placement, &sysfs);
    }
    QSet<QString> nodeNamesInUse() const
    {
        QSet<QString> names;
        for (const Plugged &p : plugged)
            for (const QString &name : p.placement.nodeNames)
                names.insert(name);
        return names;
    }
    // Lowest free /dev/videoN numbers, consecutive for one device's nodes, and /dev/sdX letters.
    bool assignNodeNames(SimPlacement *p) const
    {
        const QSet<QString> used = nodeNamesInUse();
        const int videos = int(std::count_if(p->nodes.begin(), p->nodes.end(),
                                             [](const SimNode &n) { return n.kind != SimNode::Kind::Disk; }));
        int first = 0;
        for (;; ++first) {
            if (first + videos > kMaxVideoNodes)
                return false;
            bool free = true;
            for (int i = 0; i < videos && free; ++i)
                free = !used.contains(QStringLiteral("video%1").arg(first + i));
            if (free)
                break;
        }
        QChar letter('b');
        for (const SimNode &node : p->nodes) {
            if (node.kind != SimNode::Kind::Disk) {
                p->nodeNames.append(QStringLiteral("video%1").arg(first++));
                continue;
            }
            while (letter <= 'z' && used.contains(QStringLiteral("sd") + letter))
                letter = QChar(letter.unicode() + 1);
            if (letter > 'z')
                return false;
            p->nodeNames.append(QStringLiteral("sd") + letter);
            letter = QChar(letter.unicode() + 1);
        }
        return true;
    }
    bool portInUse(const SimPlacement &p) const
    {
        for (const Plugged &other : plugged)
            if (p.usb && other.placement.usb && other.placement.identity.port == p.identity.port)
                return true;
        return false;
    }
    void publish(const Plugged &p, platform::DeviceEvent::Action action)
    {
        const QString actionName = action == platform::DeviceEvent::Action::Add ? "add" : "remove";
        for (int n = 0; n < p.placement.nodes.size(); ++n) {
            platform::DeviceEvent event;
            event.action = action;
            event.subsystem = subsystemOf(p.placement.nodes[n]);
            event.devNode = "/dev/" + p.placement.nodeNames[n];
            event.sysPath = sysPathOf(p.placement, n);
            event.properties = udevProperties(p.placement, n);
            event.properties.insert("ACTION", actionName);
            monitors->publish(event);
        }
    }
    // The plugged device behind a node path and the node's index, or nullptr.
    const Plugged *findNode(const QString &node, int *index) const
    {
        if (!node.startsWith(QLatin1String("/dev/")))
            return nullptr;
        for (const Plugged &p : plugged) {
            *index = p.placement.nodeNames.indexOf(node.mid(5));
            if (*index >= 0)
                return &p;
        }
        return nullptr;
    }
    // The plugged device and node behind a descriptor, or -EBADF / -ENODEV.
    int resolve(int fd, std::shared_ptr<SimDevice> *device, int *node) const
    {
        const auto it = descriptors.constFind(fd);
        if (it == descriptors.constEnd())
            return -EBADF;
        const auto p = plugged.constFind(it->id);
        if (p == plugged.constEnd() || p->generation != it->generation)
            return -ENODEV;
        *device = p->device;
        *node = it->node;
        return 0;
    }
};

SimKernel::SimKernel() : d(std::make_unique<State>())
{
    qRegisterMetaType<platform::DeviceEvent>();
    if (QCoreApplication *app = QCoreApplication::instance())
        d->host->moveToThread(app->thread());
    std::lock_guard<std::mutex> lock(d->mutex);
    d->rebuildSysfs();
}

SimKernel::~SimKernel()
{
    d->alive->store(false);
    if (d->host->thread() == QThread::currentThread())
        delete d->host;
    else
        d->host->deleteLater();
    for (const State::Plugged &p : qAsConst(d->plugged))
        p.device->attach(nullptr);
}

void SimKernel::plug(std::shared_ptr<SimDevice> device)
{
    if (!device)
        return;
    SimPlacement placement;
    placement.id = device->id();
    placement.usb = device->hasUsbIdentity();
    if (placement.usb)
        placement.identity = device->usb();
    placement.descriptors = device->descriptors();
    placement.nodes = device->nodes();
    device->attach(this);
    for (int n = 0; n < placement.nodes.size(); ++n) {
        if (placement.nodes[n].kind == SimNode::Kind::Disk) {
            inquire(*device, n, &placement);
            placement.diskSectors = qint64(device->config().value("sectors").toDouble(kDefaultDiskSectors));
        }
    }

    std::unique_lock<std::mutex> lock(d->mutex);
    QString refusal;
    if (d->plugged.contains(placement.id))
        refusal = QStringLiteral("a device with this id is already plugged");
    else if (d->portInUse(placement))
        refusal = QStringLiteral("USB port %1 is taken").arg(placement.identity.port);
    else if (!d->assignNodeNames(&placement))
        refusal = QStringLiteral("no free device node");
    if (!refusal.isEmpty()) {
        // Plugging a device that is already in must not cut it off.
        const bool alreadyIn = d->plugged.value(placement.id).device == device;
        lock.unlock();
        if (!alreadyIn)
            device->attach(nullptr);
        qWarning().noquote() << "sim: cannot plug" << placement.id << "-" << refusal;
        return;
    }
    if (placement.usb) {
        int &devnum = d->nextDevnum[placement.identity.busNumber];
        devnum = devnum >= 127 || devnum < 2 ? 2 : devnum + 1;
        placement.devnum = devnum;
    }
    if (std::any_of(placement.nodes.begin(), placement.nodes.end(),
                    [](const SimNode &n) { return n.kind == SimNode::Kind::Disk; }))
        placement.scsiHost = d->nextScsiHost++;
    State::Plugged &p = d->plugged[placement.id];
    p = {std::move(device), d->nextGeneration++, std::move(placement)};
    d->unplugged.remove(p.placement.id);
    d->rebuildSysfs();
    d->publish(p, platform::DeviceEvent::Action::Add);
}

void SimKernel::unplug(const QString &id)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    const auto it = d->plugged.find(id);
    if (it == d->plugged.end())
        return;
    const State::Plugged gone = it.value();
    d->plugged.erase(it);
    d->unplugged.insert(id, gone.device);
    d->rebuildSysfs();
    d->publish(gone, platform::DeviceEvent::Action::Remove);
    lock.unlock();
    gone.device->attach(nullptr);
}

bool SimKernel::replug(const QString &id)
{
    std::shared_ptr<SimDevice> device;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        device = d->unplugged.value(id);
    }
    if (!device)
        return false;
    plug(device);
    return true;
}

void SimKernel::keepUnplugged(std::shared_ptr<SimDevice> device)
{
    if (!device)
        return;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->unplugged.insert(device->id(), std::move(device));
}

void SimKernel::replace(const QString &id, std::shared_ptr<SimDevice> next, int delayMs)
{
    unplug(id);
    after(delayMs, [this, next] { plug(next); });
}

void SimKernel::restart(const QString &id, int delayMs)
{
    std::shared_ptr<SimDevice> current = device(id);
    if (!current)
        return;
    if (std::dynamic_pointer_cast<SimCamera>(current))
        current = makeCamera(current->config());
    replace(id, current, delayMs);
}

std::shared_ptr<SimDevice> SimKernel::device(const QString &id) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->plugged.value(id).device;
}

QStringList SimKernel::devNodes(const QString &id) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    QStringList nodes;
    for (const QString &name : d->plugged.value(id).placement.nodeNames)
        nodes.append("/dev/" + name);
    return nodes;
}

void SimKernel::after(int delayMs, std::function<void()> action)
{
    QObject *host = d->host;
    auto alive = d->alive;
    auto guarded = [alive, action = std::move(action)] {
        if (alive->load())
            action();
    };
    QMetaObject::invokeMethod(
        host, [host, delayMs, guarded] { QTimer::singleShot(qMax(0, delayMs), host, guarded); },
        Qt::QueuedConnection);
}

int SimKernel::writableOpens(const QString &node) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->writableOpens.value(node);
}

int SimKernel::open(const QString &node, int flags)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (node == kInternalDiskNode)
        return -EACCES;
    int index = -1;
    const State::Plugged *p = d->findNode(node, &index);
    if (!p)
        return -ENOENT;
    const int fd = d->nextDescriptor++;
    d->descriptors.insert(fd, {p->placement.id, index, p->generation});
    if ((flags & O_ACCMODE) != O_RDONLY)
        ++d->writableOpens[node];
    return fd;
}

int SimKernel::close(int fd)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->descriptors.remove(fd) ? 0 : -EBADF;
}

int SimKernel::ioctl(int fd, unsigned long request, void *arg)
{
    std::shared_ptr<SimDevice> device;
    int node = 0;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (const int rc = d->resolve(fd, &device, &node))
            return rc;
    }
    return device->ioctl(node, request, arg);
}

int SimKernel::readAttribute(const QString &path, QByteArray *contents)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->sysfs.read(path, contents);
}

QStringList SimKernel::listDirectory(const QString &path)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->sysfs.list(path);
}

QString SimKernel::canonicalPath(const QString &path)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->sysfs.canonical(path);
}

std::unique_ptr<platform::DeviceMonitor> SimKernel::createMonitor()
{
    return std::make_unique<SimMonitor>(d->monitors);
}

platform::CaptureInput SimKernel::captureInput(const QString &alias)
{
    std::shared_ptr<SimDevice> device;
    int index = -1;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (const State::Plugged *p = d->findNode(alias, &index))
            device = p->device;
    }
    return device ? device->captureInput(index) : platform::CaptureInput{};
}

QVector<platform::NodeHolder> SimKernel::holders(const QString &node)
{
    std::shared_ptr<SimDevice> device;
    int index = -1;
    bool openHere = false;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        const State::Plugged *p = d->findNode(node, &index);
        if (!p)
            return {};
        device = p->device;
        for (const State::Descriptor &open : qAsConst(d->descriptors))
            openHere = openHere || (open.id == p->placement.id && open.node == index && open.generation == p->generation);
    }
    QVector<platform::NodeHolder> found = device->holders(index);
    if (openHere) {
        // What /proc/self/comm says: the program name cut to 15 bytes.
        found.append({qint64(::getpid()), QString::fromLocal8Bit(program_invocation_short_name).left(15)});
    }
    std::sort(found.begin(), found.end(),
              [](const platform::NodeHolder &a, const platform::NodeHolder &b) { return a.pid < b.pid; });
    return found;
}

} // namespace lumora::sim
