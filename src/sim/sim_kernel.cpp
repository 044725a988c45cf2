#include "sim/sim_kernel.h"

#include "platform/udev_rules.h"

#include "sim/sim_camera.h"
#include "sim/sim_machine_store.h"
#include "sim/sim_monitor.h"
#include "sim/sim_sysfs.h"
#include "sim/sim_sysfs_layout.h"
#include "sim/sim_usbfs.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QDebug>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <scsi/sg.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include <unistd.h>

namespace lumora::sim {

namespace {

constexpr int kFirstDescriptor = 3;
// The command block a SCSI command holds (struct scsi_cmnd's cmnd).
constexpr int kMaxCdbLength = 32;
constexpr int kMaxVideoNodes = 256;
constexpr qint64 kDefaultDiskSectors = 131072; // 64 MiB
const QString kInternalDiskNode = QStringLiteral("/dev/sda");
// Descriptors of a device's /dev/bus/usb node carry this in place of a node index.
constexpr int kUsbfsNode = -1;

// scsi_cmd_allowed(): what SG_IO lets through for a process without
// CAP_SYS_RAWIO, by the first byte of the command block: read-safe commands
// for anyone who could open the disk, basic writing commands on a descriptor
// opened for writing. Everything else, vendor commands included, is refused.
bool scsiCommandAllowed(quint8 opcode, bool writable)
{
    static const QSet<quint8> readSafe = {
        0x00, 0x03, 0x08, 0x28, 0xA8, 0x88, 0x3C, 0x37, 0x25, 0x3E, 0x12, 0x1A, 0x5A, 0x4D, 0x1B, 0x2F, 0x8F, 0xA0,
        0x9E, 0x1C, 0xA3, 0x5C,                         // basic reading; 0xA3 is also MMC's SEND KEY
        0xBC, 0x45, 0x47, 0x48, 0x4B,                   // audio CD
        0xBE, 0xB9, 0x51, 0xAD, 0x44, 0x52, 0x42, 0x43, 0xA4, 0xBA, 0x46, 0x23, 0x4A, 0xAC, 0x2B, 0x4E, // MMC reading
        0x95};                                          // ZBC IN
    static const QSet<quint8> writeSafe = {
        0x0A, 0x2A, 0x2E, 0xAA, 0xAE, 0x8A, 0x3F, 0xEA, 0x41, 0x93,
        0x0D, // WRITE_SAME_32 as the kernel names it: a service action compared as an opcode
        0x19, 0x55, 0x15, 0x4C, 0xA1, 0x5B, 0x35, 0x04, 0x58, 0x53, 0xBF, 0xA2, 0x54, 0x5D, 0xBB, 0x1E, 0xA6, 0xB6, 0xA7,
        0x94}; // ZBC OUT
    return readSafe.contains(opcode) || (writable && writeSafe.contains(opcode));
}

QString accessKind(const SimNode &node)
{
    return node.kind == SimNode::Kind::Disk ? QStringLiteral("disk") : QStringLiteral("video");
}

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
    const bool ok = device.ioctl(SimFile{-1, node, O_RDONLY}, SG_IO, &hdr) == 0 && hdr.status == 0;
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
        int flags = 0;
        bool dead = false; // its node went with its interface's driver
        std::weak_ptr<SimDevice> device; // told when the descriptor closes
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
    bool privileged = false;   // CAP_SYS_RAWIO: SG_IO passes any command
    QString udevRuleFolder = QStringLiteral("/etc/udev/rules.d");
    std::shared_ptr<SimMachineStore> store;
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
            if (node.cdrom) {
                int n = 0;
                while (used.contains(QStringLiteral("sr%1").arg(n)) || p->nodeNames.contains(QStringLiteral("sr%1").arg(n)))
                    ++n;
                p->nodeNames.append(QStringLiteral("sr%1").arg(n));
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
    // Events for the device's present nodes, or for those of one interface.
    void publish(const Plugged &p, platform::DeviceEvent::Action action, int interface = -1)
    {
        const QString actionName = action == platform::DeviceEvent::Action::Add ? "add" : "remove";
        for (int n = 0; n < p.placement.nodes.size(); ++n) {
            if (interface >= 0 ? p.placement.nodes[n].interfaceNumber != interface : !p.placement.nodePresent(n))
                continue;
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
    int resolve(int fd, std::shared_ptr<SimDevice> *device, SimFile *file) const
    {
        const auto it = descriptors.constFind(fd);
        if (it == descriptors.constEnd())
            return -EBADF;
        const auto p = plugged.constFind(it->id);
        if (p == plugged.constEnd() || p->generation != it->generation || it->dead)
            return -ENODEV;
        *device = p->device;
        *file = {fd, it->node, it->flags};
        return 0;
    }
    Plugged *pluggedFor(int fd)
    {
        const auto it = descriptors.constFind(fd);
        if (it == descriptors.constEnd())
            return nullptr;
        const auto p = plugged.find(it->id);
        return p == plugged.end() || p->generation != it->generation ? nullptr : &p.value();
    }
    int addDescriptor(const Plugged &p, int node, int flags)
    {
        const int fd = nextDescriptor++;
        descriptors.insert(fd, {p.placement.id, node, p.generation, flags, false, p.device});
        return fd;
    }
    // The rule that grants access: the file in the scenario's rule folder,
    // else the one Lumora ships, as a packaged install has it. A scenario
    // without the rule ("udevRules": false) changes what doctor reports;
    // "denied" takes a grant away.
    QString installedRule() const
    {
        QFile installed(udevRuleFolder + '/' + QLatin1String(platform::kUdevRuleName));
        return !udevRuleFolder.isEmpty() && installed.open(QIODevice::ReadOnly) ? QString::fromUtf8(installed.readAll())
                                                                              : platform::shippedUdevRule();
    }
    // A usbfs node is root's (0664): the seat user writes to it only where
    // the installed rule tags it "uaccess"; root always may.
    bool usbfsWritable(const SimPlacement &p) const
    {
        if (p.denied.contains(QLatin1String("usbfs")))
            return false;
        return privileged || platform::rulesGrantUsbDevice(installedRule(), p.identity.vendorId, p.identity.productId);
    }
    // The driver an interface is bound to: "usbfs" when claimed, the kernel's own, or none.
    static QString driverOf(const SimPlacement &p, const SimUsbInterface &interface)
    {
        if (p.claims.contains(interface.number))
            return QStringLiteral("usbfs");
        return p.unbound.contains(interface.number) ? QString() : kernelDriverFor(interface);
    }
    // The kernel driver lets go of the interface: its nodes leave, their descriptors die.
    void unbind(Plugged &p, int interface)
    {
        p.placement.unbound.insert(interface);
        for (auto it = descriptors.begin(); it != descriptors.end(); ++it)
            if (it->id == p.placement.id && it->generation == p.generation && it->node >= 0
                && p.placement.nodes[it->node].interfaceNumber == interface)
                it->dead = true;
        rebuildSysfs();
        publish(p, platform::DeviceEvent::Action::Remove, interface);
    }
    // usbfs reaches an interface for this descriptor: claimed by it, or claimed now when no driver has it.
    static int reach(SimPlacement &p, const SimUsbInterface &interface, int fd)
    {
        const int holder = p.claims.value(interface.number, -1);
        if (holder == fd)
            return 0;
        if (holder >= 0 || !driverOf(p, interface).isEmpty())
            return -EBUSY;
        p.claims.insert(interface.number, fd);
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
    for (const QJsonValue &kind : device->config().value("denied").toArray())
        placement.denied.append(kind.toString());
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
    // What comes back is what the next run finds, even if this one ends first.
    if (const std::shared_ptr<SimMachineStore> shared = store())
        shared->save(id, std::dynamic_pointer_cast<SimCamera>(next) ? SimMachineStore::Kind::Camera
                                                                    : SimMachineStore::Kind::Drive,
                     next->config());
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

void SimKernel::setStore(std::shared_ptr<SimMachineStore> store)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->store = std::move(store);
}

std::shared_ptr<SimMachineStore> SimKernel::store() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->store;
}

std::shared_ptr<SimDevice> SimKernel::device(const QString &id) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->plugged.value(id).device;
}

QStringList SimKernel::deviceIds() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->plugged.keys();
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
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    for (const State::Plugged &p : qAsConst(d->plugged)) {
        // usbfs nodes are world-readable; writing takes the udev rule's grant.
        if (p.placement.usb && node == usbfsNode(p.placement.identity.busNumber, p.placement.devnum)) {
            if (writing && !d->usbfsWritable(p.placement))
                return -EACCES;
            return d->addDescriptor(p, kUsbfsNode, flags);
        }
    }
    int index = -1;
    const State::Plugged *p = d->findNode(node, &index);
    if (!p || !p->placement.nodePresent(index))
        return -ENOENT;
    if (p->placement.denied.contains(accessKind(p->placement.nodes[index])))
        return -EACCES;
    const SimNode &opened = p->placement.nodes[index];
    // sd_open() refuses writing to protected media; cdrom_open() checks for
    // writable media only when the open is not O_NONBLOCK.
    if (writing && opened.kind == SimNode::Kind::Disk
        && (opened.writeProtected || (opened.cdrom && !(flags & O_NONBLOCK))))
        return -EROFS;
    if (writing)
        ++d->writableOpens[node];
    return d->addDescriptor(*p, index, flags);
}

int SimKernel::close(int fd)
{
    std::shared_ptr<SimDevice> device;
    SimFile file;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        // Closing a usbfs descriptor gives up its claims; the kernel drivers stay detached.
        if (State::Plugged *p = d->pluggedFor(fd)) {
            for (auto it = p->placement.claims.begin(); it != p->placement.claims.end();)
                it = it.value() == fd ? p->placement.claims.erase(it) : std::next(it);
        }
        const auto it = d->descriptors.find(fd);
        if (it == d->descriptors.end())
            return -EBADF;
        device = it->device.lock();
        file = {fd, it->node, it->flags};
        d->descriptors.erase(it);
    }
    // The driver's release: what the file held (a buffer queue) goes with it.
    if (device && file.node != kUsbfsNode)
        device->closed(file);
    return 0;
}

int SimKernel::ioctl(int fd, unsigned long request, void *arg)
{
    std::shared_ptr<SimDevice> device;
    SimFile file;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (const int rc = d->resolve(fd, &device, &file))
            return rc;
        // sg_io() and scsi_fill_sghdr_rq(), in their order; root passes the allow-list only.
        if (file.node != kUsbfsNode && request == SG_IO
            && d->plugged.value(d->descriptors.value(fd).id).placement.nodes[file.node].kind == SimNode::Kind::Disk) {
            const auto *hdr = static_cast<const sg_io_hdr_t *>(arg);
            if (!hdr || hdr->interface_id != 'S' || hdr->cmd_len > kMaxCdbLength)
                return -EINVAL;
            if (hdr->cmd_len < 6)
                return -EMSGSIZE;
            if (!hdr->cmdp)
                return -EFAULT;
            if (!d->privileged && !scsiCommandAllowed(hdr->cmdp[0], (d->descriptors.value(fd).flags & O_ACCMODE) != O_RDONLY))
                return -EPERM;
        }
    }
    if (file.node == kUsbfsNode)
        return usbfs(fd, request, arg);
    return device->ioctl(file, request, arg);
}

int SimKernel::poll(int fd, short events, int timeoutMs)
{
    std::shared_ptr<SimDevice> device;
    SimFile file;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        const int rc = d->resolve(fd, &device, &file);
        if (rc == -EBADF)
            return POLLNVAL;
        // What v4l2_poll() answers for a device that went away.
        if (rc < 0)
            return POLLERR | POLLHUP | POLLPRI;
    }
    if (file.node == kUsbfsNode)
        return events & (POLLOUT | POLLWRNORM);
    return device->poll(file, events, timeoutMs);
}

int SimKernel::usbfs(int fd, unsigned long request, void *arg)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    if (!(d->descriptors.value(fd).flags & (O_WRONLY | O_RDWR)))
        return -EPERM;
    State::Plugged *p = d->pluggedFor(fd);
    if (!p)
        return -ENODEV;
    if (!arg)
        return -EFAULT;
    SimPlacement &placement = p->placement;
    const QVector<SimUsbInterface> interfaces = parseUsbInterfaces(placement.descriptors);
    auto interfaceNumbered = [&](int number) -> const SimUsbInterface * {
        for (const SimUsbInterface &i : interfaces)
            if (i.number == number)
                return &i;
        return nullptr;
    };
    auto interfaceWithEndpoint = [&](unsigned endpoint, int *type) -> const SimUsbInterface * {
        for (const SimUsbInterface &i : interfaces)
            for (int e = 0; e < i.endpoints.size(); ++e)
                if (unsigned(i.endpoints[e]) == endpoint) {
                    *type = i.endpointTypes[e];
                    return &i;
                }
        return nullptr;
    };
    std::shared_ptr<SimDevice> device = p->device;
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE: {
        const SimUsbInterface *i = interfaceNumbered(int(*static_cast<unsigned *>(arg)));
        return i ? State::reach(placement, *i, fd) : -ENOENT;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        const int number = int(*static_cast<unsigned *>(arg));
        if (placement.claims.value(number, -1) != fd)
            return -EINVAL;
        placement.claims.remove(number);
        return 0;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        const auto *claim = static_cast<const usbdevfs_disconnect_claim *>(arg);
        const SimUsbInterface *i = interfaceNumbered(int(claim->interface));
        if (!i)
            return -EINVAL;
        const QString driver = State::driverOf(placement, *i);
        const QString named = QString::fromLatin1(claim->driver, int(qstrnlen(claim->driver, sizeof claim->driver)));
        if ((claim->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && driver != named)
            return -EBUSY;
        if ((claim->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && driver == named)
            return -EBUSY;
        if (driver == QLatin1String("usbfs"))
            placement.claims.remove(i->number);
        else if (!driver.isEmpty())
            d->unbind(*p, i->number);
        return State::reach(placement, *i, fd);
    }
    case USBDEVFS_IOCTL: {
        const auto *call = static_cast<const usbdevfs_ioctl *>(arg);
        const SimUsbInterface *i = interfaceNumbered(call->ifno);
        if (!i)
            return -EINVAL;
        const QString driver = State::driverOf(placement, *i);
        if (call->ioctl_code == int(USBDEVFS_DISCONNECT)) {
            if (driver.isEmpty())
                return -ENODATA;
            if (driver == QLatin1String("usbfs"))
                placement.claims.remove(i->number);
            else
                d->unbind(*p, i->number);
            return 0;
        }
        if (call->ioctl_code == int(USBDEVFS_CONNECT)) {
            if (!driver.isEmpty())
                return -EBUSY;
            // device_attach(): 1 when a driver bound, 0 when none would.
            if (kernelDriverFor(*i).isEmpty())
                return 0;
            const int number = i->number;
            const quint64 generation = p->generation;
            lock.unlock();
            rebind(placement.id, generation, number);
            return 1;
        }
        return -ENOTTY;
    }
    case USBDEVFS_BULK:
    case USBDEVFS_CLEAR_HALT: {
        const unsigned endpoint = request == USBDEVFS_BULK ? static_cast<usbdevfs_bulktransfer *>(arg)->ep
                                                           : *static_cast<unsigned *>(arg);
        int type = 0;
        const SimUsbInterface *i = interfaceWithEndpoint(endpoint, &type);
        if (!i)
            return -ENOENT;
        if (request == USBDEVFS_BULK && type != 2)
            return -EINVAL;
        if (const int rc = State::reach(placement, *i, fd))
            return rc;
        break;
    }
    case USBDEVFS_CONTROL: {
        const auto *control = static_cast<const usbdevfs_ctrltransfer *>(arg);
        if ((control->bRequestType & 0x1F) == 1) { // to an interface: it must be ours
            const SimUsbInterface *i = interfaceNumbered(control->wIndex & 0xFF);
            if (!i)
                return -ENOENT;
            if (const int rc = State::reach(placement, *i, fd))
                return rc;
        }
        break;
    }
    default:
        return -ENOTTY;
    }
    lock.unlock();
    return device->usbTransfer(request, arg);
}

void SimKernel::rebind(const QString &id, quint64 generation, int interface)
{
    std::shared_ptr<SimDevice> device;
    SimPlacement probe;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        const auto it = d->plugged.constFind(id);
        if (it == d->plugged.constEnd() || it->generation != generation)
            return;
        device = it->device;
        probe = it->placement;
    }
    // A disk driver scans its disk again, outside the lock: the device answers on its own.
    for (int n = 0; n < probe.nodes.size(); ++n)
        if (probe.nodes[n].interfaceNumber == interface && probe.nodes[n].kind == SimNode::Kind::Disk)
            inquire(*device, n, &probe);
    std::lock_guard<std::mutex> lock(d->mutex);
    const auto it = d->plugged.find(id);
    if (it == d->plugged.end() || it->generation != generation || !it->placement.unbound.contains(interface))
        return;
    SimPlacement &placement = it->placement;
    placement.unbound.remove(interface);
    placement.diskVendor = probe.diskVendor;
    placement.diskModel = probe.diskModel;
    if (placement.scsiHost >= 0)
        placement.scsiHost = d->nextScsiHost++;
    d->rebuildSysfs();
    d->publish(it.value(), platform::DeviceEvent::Action::Add, interface);
}

void SimKernel::setPrivileged(bool privileged)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->privileged = privileged;
}

bool SimKernel::isPrivileged() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->privileged;
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

void SimKernel::setUdevRuleFolder(const QString &folder)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->udevRuleFolder = folder;
}

QString SimKernel::installedUdevRule(const QString &name)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->udevRuleFolder.isEmpty() ? QString() : d->udevRuleFolder + QLatin1Char('/') + name;
}

} // namespace lumora::sim
