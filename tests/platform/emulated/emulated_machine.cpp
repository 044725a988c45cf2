#include "emulated/emulated_machine.h"

#include "emulated/ioctl_bridge.h"
#include "sim/sim_device.h"
#include "sim/sim_kernel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emulated {

namespace {

const QString kSys = QStringLiteral("/sys");

QString relative(const QString &fromDir, const QString &to)
{
    return QDir(fromDir).relativeFilePath(to);
}

QString trimmed(const QByteArray &bytes) { return QString::fromUtf8(bytes).trimmed(); }

} // namespace

EmulatedMachine::EmulatedMachine(const QJsonObject &scenario)
    : m_testbed(umockdev_testbed_new()), m_kernel(std::make_unique<lumora::sim::SimKernel>())
{
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    m_root = QString::fromUtf8(root);
    g_free(root);
    // An ordinary user's process binds its uevent socket in the testbed folder.
    ::chmod(QFile::encodeName(m_root).constData(), 01777);
    m_bridge = std::make_unique<IoctlBridge>(m_kernel.get(), m_root + QStringLiteral("/dev"));
    m_monitor = m_kernel->createMonitor();
    connect(m_monitor.get(), &lumora::platform::DeviceMonitor::deviceEvent, this, &EmulatedMachine::onEvent);
    m_monitor->start();
    m_kernel->setPrivileged(scenario.value(QStringLiteral("privileged")).toBool());
    m_kernel->loadScenario(scenario);
    sync();
    // The devices plugged with the scenario: their events are posted already.
    QCoreApplication::sendPostedEvents(m_monitor.get(), QEvent::MetaCall);
}

EmulatedMachine::~EmulatedMachine()
{
    m_monitor.reset();
    for (const QString &node : m_nodes.keys())
        umockdev_testbed_detach_ioctl(m_testbed, node.toUtf8().constData(), nullptr);
    g_object_unref(m_testbed);
    m_bridge.reset();
    m_kernel.reset();
}

QStringList EmulatedMachine::faults() const
{
    return m_faults + m_bridge->faults();
}

void EmulatedMachine::onEvent(const lumora::platform::DeviceEvent &event)
{
    const QByteArray sysPath = event.sysPath.toUtf8();
    if (event.action == lumora::platform::DeviceEvent::Action::Remove) {
        // umockdev reads the device from the testbed to build the event: it goes first.
        if (QFileInfo::exists(hostPath(event.sysPath)))
            umockdev_testbed_uevent(m_testbed, sysPath.constData(), "remove");
        // The device's other nodes have their remove events queued behind this one.
        QMetaObject::invokeMethod(this, &EmulatedMachine::sync, Qt::QueuedConnection);
        return;
    }
    sync();
    if (!QFileInfo::exists(hostPath(event.sysPath)))
        return; // gone again before its event was handled
    // What udev would have added to the kernel's event: the testbed keeps a
    // device's properties in its uevent file and sends them with the event.
    QByteArray properties;
    for (auto it = event.properties.constBegin(); it != event.properties.constEnd(); ++it)
        if (it.key() != QLatin1String("ACTION") && it.key() != QLatin1String("DEVPATH"))
            properties += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    QSaveFile uevent(hostPath(event.sysPath + QStringLiteral("/uevent")));
    if (uevent.open(QIODevice::WriteOnly)) {
        uevent.write(properties);
        uevent.commit();
    }
    const QString subsystem = hostPath(event.sysPath + QStringLiteral("/subsystem"));
    if (!QFileInfo(subsystem).isSymLink())
        QFile::link(relative(QFileInfo(subsystem).path(), hostPath(kSys + QStringLiteral("/class/") + event.subsystem)),
                    subsystem);
    QDir().mkpath(hostPath(kSys + QStringLiteral("/class/") + event.subsystem));
    umockdev_testbed_uevent(m_testbed, sysPath.constData(), "add");
}

void EmulatedMachine::walk(const QString &path, QMap<QString, Entry> *into)
{
    for (const QString &name : m_kernel->listDirectory(path)) {
        const QString entry = path + QLatin1Char('/') + name;
        const QString canonical = m_kernel->canonicalPath(entry);
        if (!canonical.isEmpty() && canonical != entry) {
            into->insert(entry, {Entry::Kind::Link, relative(path, canonical).toUtf8()});
            continue;
        }
        QByteArray contents;
        if (m_kernel->readAttribute(entry, &contents) == -EISDIR) {
            into->insert(entry, {Entry::Kind::Directory, {}});
            walk(entry, into);
        } else {
            into->insert(entry, {Entry::Kind::File, contents});
        }
    }
}

void EmulatedMachine::sync()
{
    QMap<QString, Entry> now;
    walk(kSys, &now);
    // Gone first, deepest first, so a folder goes after what it held.
    const QStringList previous = m_sysfs.keys();
    for (auto it = previous.crbegin(); it != previous.crend(); ++it) {
        if (now.contains(*it) && now.value(*it).kind == m_sysfs.value(*it).kind)
            continue;
        const QString file = hostPath(*it);
        if (m_sysfs.value(*it).kind == Entry::Kind::Directory)
            QDir(file).removeRecursively();
        else
            QFile::remove(file);
    }
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        if (m_sysfs.contains(it.key()) && m_sysfs.value(it.key()) == it.value())
            continue;
        const QString file = hostPath(it.key());
        switch (it->kind) {
        case Entry::Kind::Directory:
            QDir().mkpath(file);
            break;
        case Entry::Kind::Link:
            QDir().mkpath(QFileInfo(file).path());
            QFile::remove(file);
            QFile::link(QString::fromUtf8(it->contents), file);
            break;
        case Entry::Kind::File: {
            QDir().mkpath(QFileInfo(file).path());
            // Whole or not at all: the process under test may be reading it.
            QSaveFile out(file);
            if (out.open(QIODevice::WriteOnly)) {
                out.write(it->contents);
                out.commit();
            }
            break;
        }
        }
    }
    m_sysfs = now;
    syncNodes();
}

void EmulatedMachine::syncNodes()
{
    QMap<QString, QString> wanted;
    for (const QString &folder : {QStringLiteral("/sys/class/video4linux"), QStringLiteral("/sys/block")})
        for (const QString &name : m_kernel->listDirectory(folder)) {
            QByteArray numbers;
            if (m_kernel->readAttribute(folder + '/' + name + QStringLiteral("/dev"), &numbers) == 0)
                wanted.insert(QStringLiteral("/dev/") + name, trimmed(numbers));
        }
    const QString usbDevices = QStringLiteral("/sys/bus/usb/devices/");
    for (const QString &name : m_kernel->listDirectory(usbDevices)) {
        QByteArray bus, devnum, numbers;
        if (name.startsWith(QLatin1String("usb")) || name.contains(QLatin1Char(':'))
            || m_kernel->readAttribute(usbDevices + name + QStringLiteral("/busnum"), &bus) != 0
            || m_kernel->readAttribute(usbDevices + name + QStringLiteral("/devnum"), &devnum) != 0
            || m_kernel->readAttribute(usbDevices + name + QStringLiteral("/dev"), &numbers) != 0)
            continue;
        wanted.insert(QStringLiteral("/dev/bus/usb/%1/%2")
                          .arg(trimmed(bus).toInt(), 3, 10, QLatin1Char('0'))
                          .arg(trimmed(devnum).toInt(), 3, 10, QLatin1Char('0')),
                      trimmed(numbers));
    }
    for (const QString &node : m_nodes.keys())
        if (wanted.value(node) != m_nodes.value(node))
            removeNode(node);
    for (auto it = wanted.constBegin(); it != wanted.constEnd(); ++it)
        if (!m_nodes.contains(it.key()))
            addNode(it.key(), it.value());
}

void EmulatedMachine::addNode(const QString &node, const QString &devNumbers)
{
    const QString file = hostPath(node);
    QDir().mkpath(QFileInfo(file).path());
    QFile(file).open(QIODevice::WriteOnly);
    ::chmod(QFile::encodeName(file).constData(), mode_t(modeOf(node)));
    // The preload shows the file as a device node with these numbers.
    const QString info = hostPath(QStringLiteral("/dev/.node/") + node.mid(5).replace(QLatin1Char('/'), QLatin1Char('_')));
    QDir().mkpath(QFileInfo(info).path());
    QFile::link(devNumbers, info);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, node.toUtf8().constData(), m_bridge->handler(), &error)) {
        m_faults << QStringLiteral("%1: %2").arg(node, QString::fromUtf8(error ? error->message : "attach failed"));
        if (error)
            g_error_free(error);
        return;
    }
    // An ordinary user's process connects to the node's ioctl socket.
    ::chmod(QFile::encodeName(hostPath(QStringLiteral("/ioctl") + node)).constData(), 0666);
    m_nodes.insert(node, devNumbers);
}

void EmulatedMachine::removeNode(const QString &node)
{
    umockdev_testbed_detach_ioctl(m_testbed, node.toUtf8().constData(), nullptr);
    QFile::remove(hostPath(node));
    QFile::remove(hostPath(QStringLiteral("/dev/.node/") + node.mid(5).replace(QLatin1Char('/'), QLatin1Char('_'))));
    m_nodes.remove(node);
}

int EmulatedMachine::modeOf(const QString &node) const
{
    const bool usbfs = node.startsWith(QLatin1String("/dev/bus/usb/"));
    for (const QString &id : m_kernel->deviceIds()) {
        const QStringList nodes = m_kernel->devNodes(id);
        if (nodes.isEmpty())
            continue;
        const std::shared_ptr<lumora::sim::SimDevice> model = m_kernel->device(id);
        const QJsonArray denied = model ? model->config().value(QStringLiteral("denied")).toArray() : QJsonArray();
        if (!usbfs) {
            if (!nodes.contains(node))
                continue;
            const bool disk = node.startsWith(QLatin1String("/dev/sd")) || node.startsWith(QLatin1String("/dev/sr"));
            return denied.contains(disk ? QStringLiteral("disk") : QStringLiteral("video")) ? 0 : 0666;
        }
        // The USB device node of the device whose first node sits below it.
        const QString first = m_kernel->canonicalPath(
            (nodes.first().startsWith(QLatin1String("/dev/video")) ? QStringLiteral("/sys/class/video4linux/")
                                                                   : QStringLiteral("/sys/class/block/"))
            + nodes.first().mid(5));
        // Up from the node to the USB device it belongs to.
        QString deviceDir = first;
        QByteArray bus, devnum;
        while (deviceDir.count(QLatin1Char('/')) > 2
               && (m_kernel->readAttribute(deviceDir + QStringLiteral("/busnum"), &bus) != 0
                   || m_kernel->readAttribute(deviceDir + QStringLiteral("/devnum"), &devnum) != 0))
            deviceDir = deviceDir.left(deviceDir.lastIndexOf(QLatin1Char('/')));
        const QStringList parts = node.split(QLatin1Char('/'));
        // Writable where the model lets the seat user write: "denied", and the ids the rule grants.
        if (trimmed(bus).toInt() == parts.value(4).toInt() && trimmed(devnum).toInt() == parts.value(5).toInt()) {
            const int fd = m_kernel->open(node, O_RDWR);
            if (fd >= 0)
                m_kernel->close(fd);
            return fd >= 0 ? 0666 : 0444;
        }
    }
    // The internal disk, and anything no scenario device owns.
    return usbfs ? 0444 : 0;
}

} // namespace emulated
