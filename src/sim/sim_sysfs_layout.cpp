#include "sim/sim_sysfs_layout.h"

#include "sim/sim_usb_identity.h"
#include "sim/sim_usbfs.h"

#include <QRegularExpression>

#include <algorithm>

namespace lumora::sim {

namespace {

const QString kUsbController = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0");
const QString kInternalDisk = QStringLiteral("/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0");
constexpr int kVideoMajor = 81, kDiskMajor = 8, kCdromMajor = 11, kUsbDeviceMajor = 189;

struct Interface {
    int number = 0, cls = 0, subclass = 0, protocol = 0;
};

QByteArray line(const QString &text) { return text.toUtf8() + '\n'; }
QString hex(int value, int digits) { return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')); }

// The path from directory `from` to `to`, as sysfs writes its links.
QString relative(const QString &from, const QString &to)
{
    const QStringList a = from.split('/', Qt::SkipEmptyParts), b = to.split('/', Qt::SkipEmptyParts);
    int common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common])
        ++common;
    QStringList parts;
    for (int i = common; i < a.size(); ++i)
        parts << QStringLiteral("..");
    return (parts + b.mid(common)).join('/');
}

void link(SimSysfs *sysfs, const QString &path, const QString &target)
{
    sysfs->addLink(path, relative(path.left(path.lastIndexOf('/')), target));
}

QString rootHubDir(int bus) { return kUsbController + QStringLiteral("/usb%1").arg(bus); }

// "1-2.3" sits below its hub "1-2", like the kernel nests them.
QString usbDeviceDir(const SimUsbIdentity &usb)
{
    QString dir = rootHubDir(usb.busNumber);
    QString name = QString::number(usb.busNumber) + '-';
    const QStringList hops = usbDevpath(usb).split('.');
    for (int i = 0; i < hops.size(); ++i) {
        name += (i ? QStringLiteral(".") : QString()) + hops[i];
        dir += '/' + name;
    }
    return dir;
}

QString interfaceDir(const SimUsbIdentity &usb, int number)
{
    return usbDeviceDir(usb) + QStringLiteral("/%1:1.%2").arg(usb.port).arg(number);
}

QString platformDir(const QString &id)
{
    QString name = id;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_.-]")), QStringLiteral("_"));
    return QStringLiteral("/sys/devices/platform/") + name;
}

QVector<Interface> interfacesIn(const QByteArray &d)
{
    QVector<Interface> found;
    for (const SimUsbInterface &i : parseUsbInterfaces(d))
        found.append({i.number, i.cls, i.subclass, i.protocol});
    return found;
}

QVector<Interface> interfacesOf(const SimPlacement &p)
{
    QVector<Interface> found = interfacesIn(p.descriptors);
    for (const SimNode &node : p.nodes) {
        const bool known = std::any_of(found.begin(), found.end(),
                                       [&](const Interface &i) { return i.number == node.interfaceNumber; });
        if (!known)
            found.append(node.kind == SimNode::Kind::Disk ? Interface{node.interfaceNumber, 0x08, 0x06, 0x50}
                                                          : Interface{node.interfaceNumber, 0x0E, 0x01, 0x00});
    }
    return found;
}

void addRootHub(int bus, SimSysfs *sysfs)
{
    const QString dir = rootHubDir(bus);
    sysfs->addFile(dir + "/idVendor", "1d6b\n");
    sysfs->addFile(dir + "/idProduct", "0002\n");
    sysfs->addFile(dir + "/product", "xHCI Host Controller\n");
    sysfs->addFile(dir + "/busnum", line(QString::number(bus)));
    sysfs->addFile(dir + "/devnum", "1\n");
    sysfs->addFile(dir + "/speed", "480\n");
    link(sysfs, QStringLiteral("/sys/bus/usb/devices/usb%1").arg(bus), dir);
}

void addUsbDevice(const SimPlacement &p, SimSysfs *sysfs)
{
    const SimUsbIdentity &usb = p.identity;
    addRootHub(usb.busNumber, sysfs);
    const QString dir = usbDeviceDir(usb);
    sysfs->addFile(dir + "/idVendor", line(hex(usb.vendorId, 4)));
    sysfs->addFile(dir + "/idProduct", line(hex(usb.productId, 4)));
    sysfs->addFile(dir + "/bConfigurationValue", "1\n"); // the one configuration every simulated device has
    if (!usb.manufacturer.isEmpty())
        sysfs->addFile(dir + "/manufacturer", line(usb.manufacturer));
    if (!usb.product.isEmpty())
        sysfs->addFile(dir + "/product", line(usb.product));
    if (!usb.serial.isEmpty())
        sysfs->addFile(dir + "/serial", line(usb.serial));
    sysfs->addFile(dir + "/busnum", line(QString::number(usb.busNumber)));
    sysfs->addFile(dir + "/devnum", line(QString::number(p.devnum)));
    sysfs->addFile(dir + "/devpath", line(usbDevpath(usb)));
    sysfs->addFile(dir + "/dev", line(QStringLiteral("%1:%2").arg(kUsbDeviceMajor).arg((usb.busNumber - 1) * 128 + p.devnum - 1)));
    sysfs->addFile(dir + "/speed", "480\n");
    sysfs->addFile(dir + "/descriptors", p.descriptors);
    link(sysfs, "/sys/bus/usb/devices/" + usb.port, dir);
    for (const Interface &i : interfacesOf(p)) {
        const QString idir = interfaceDir(usb, i.number);
        sysfs->addFile(idir + "/bInterfaceNumber", line(hex(i.number, 2)));
        sysfs->addFile(idir + "/bInterfaceClass", line(hex(i.cls, 2)));
        sysfs->addFile(idir + "/bInterfaceSubClass", line(hex(i.subclass, 2)));
        sysfs->addFile(idir + "/bInterfaceProtocol", line(hex(i.protocol, 2)));
        if (!usb.interfaceNames.value(i.number).isEmpty())
            sysfs->addFile(idir + "/interface", line(usb.interfaceNames.value(i.number)));
        link(sysfs, "/sys/bus/usb/devices/" + idir.mid(idir.lastIndexOf('/') + 1), idir);
    }
}

QString scsiDeviceDir(const SimPlacement &p, int node)
{
    const int h = p.scsiHost;
    return interfaceDir(p.identity, p.nodes[node].interfaceNumber)
        + QStringLiteral("/host%1/target%1:0:0/%1:0:0:0").arg(h);
}

void addDisk(const QString &scsiDir, const QString &name, const QByteArray &vendor, const QByteArray &model,
             qint64 sectors, bool removable, SimSysfs *sysfs, bool readOnly = false)
{
    const QString dir = scsiDir + "/block/" + name;
    sysfs->addFile(scsiDir + "/vendor", vendor + '\n');
    sysfs->addFile(scsiDir + "/model", model + '\n');
    sysfs->addFile(dir + "/size", line(QString::number(sectors)));
    sysfs->addFile(dir + "/removable", removable ? "1\n" : "0\n");
    sysfs->addFile(dir + "/ro", readOnly ? "1\n" : "0\n");
    // Removable media are polled by the kernel unless told not to (block/disk-events.c).
    if (removable)
        sysfs->addFile(dir + "/events_poll_msecs", "-1\n");
    // sd.c numbers its disks 16 minors apart on major 8; sr.c its drives on major 11.
    const bool cdrom = name.startsWith(QLatin1String("sr"));
    const int minor = cdrom ? name.mid(2).toInt() : 16 * (name.at(2).unicode() - 'a');
    sysfs->addFile(dir + "/dev", line(QStringLiteral("%1:%2").arg(cdrom ? kCdromMajor : kDiskMajor).arg(minor)));
    link(sysfs, dir + "/device", scsiDir);
    link(sysfs, "/sys/block/" + name, dir);
    link(sysfs, "/sys/class/block/" + name, dir);
}

} // namespace

QString subsystemOf(const SimNode &node)
{
    return node.kind == SimNode::Kind::Disk ? QStringLiteral("block") : QStringLiteral("video4linux");
}

QString sysPathOf(const SimPlacement &p, int node)
{
    const QString &name = p.nodeNames[node];
    if (p.nodes[node].kind == SimNode::Kind::Disk)
        return scsiDeviceDir(p, node) + "/block/" + name;
    const QString parent = p.usb ? interfaceDir(p.identity, p.nodes[node].interfaceNumber) : platformDir(p.id);
    return parent + "/video4linux/" + name;
}

void addMachine(SimSysfs *sysfs)
{
    sysfs->addDirectory(QStringLiteral("/sys/class/video4linux"));
    sysfs->addDirectory(QStringLiteral("/sys/bus/usb/devices"));
    addDisk(kInternalDisk, QStringLiteral("sda"), "ATA     ", "SIM SSD 512GB   ", 1000215216, false, sysfs);
}

void addPlacement(const SimPlacement &p, SimSysfs *sysfs)
{
    if (p.usb)
        addUsbDevice(p, sysfs);
    int videoIndex = 0;
    for (int n = 0; n < p.nodes.size(); ++n) {
        if (!p.nodePresent(n))
            continue;
        const QString path = sysPathOf(p, n);
        const QString &name = p.nodeNames[n];
        if (p.nodes[n].kind == SimNode::Kind::Disk) {
            addDisk(scsiDeviceDir(p, n), name, p.diskVendor, p.diskModel, p.diskSectors, true, sysfs,
                    p.nodes[n].cdrom || p.nodes[n].writeProtected);
            continue;
        }
        sysfs->addFile(path + "/name", line(p.nodes[n].name));
        sysfs->addFile(path + "/index", line(QString::number(videoIndex++)));
        sysfs->addFile(path + "/dev", line(QStringLiteral("%1:%2").arg(kVideoMajor).arg(name.mid(5))));
        link(sysfs, path + "/device", path.left(path.lastIndexOf(QStringLiteral("/video4linux/"))));
        link(sysfs, path + "/subsystem", QStringLiteral("/sys/class/video4linux"));
        link(sysfs, "/sys/class/video4linux/" + name, path);
    }
}

QMap<QString, QString> udevProperties(const SimPlacement &p, int node)
{
    const SimNode &n = p.nodes[node];
    const QString path = sysPathOf(p, node);
    QMap<QString, QString> props{{"DEVPATH", path.mid(4)},
                                 {"DEVNAME", "/dev/" + p.nodeNames[node]},
                                 {"SUBSYSTEM", subsystemOf(n)}};
    if (n.kind == SimNode::Kind::Disk) {
        props.insert("DEVTYPE", "disk");
    } else {
        props.insert("ID_V4L_CAPABILITIES", n.kind == SimNode::Kind::VideoCapture ? ":capture:" : ":");
        props.insert("ID_V4L_PRODUCT", n.name);
        props.insert("ID_V4L_VERSION", "2");
    }
    if (!p.usb) {
        props.insert("ID_PATH", "platform-" + platformDir(p.id).section('/', -1));
        return props;
    }
    const SimUsbIdentity &usb = p.identity;
    QString idPath = QStringLiteral("pci-0000:00:14.0-usb-0:%1:1.%2").arg(usbDevpath(usb)).arg(n.interfaceNumber);
    if (n.kind == SimNode::Kind::Disk)
        idPath += QStringLiteral("-scsi-0:0:0:0");
    props.insert("ID_PATH", idPath);
    props.insert("ID_BUS", "usb");
    props.insert("ID_VENDOR_ID", hex(usb.vendorId, 4));
    props.insert("ID_MODEL_ID", hex(usb.productId, 4));
    props.insert("ID_USB_INTERFACE_NUM", hex(n.interfaceNumber, 2));
    props.insert("BUSNUM", QStringLiteral("%1").arg(usb.busNumber, 3, 10, QLatin1Char('0')));
    props.insert("DEVNUM", QStringLiteral("%1").arg(p.devnum, 3, 10, QLatin1Char('0')));
    if (!usb.serial.isEmpty())
        props.insert("ID_SERIAL_SHORT", usb.serial);
    return props;
}

} // namespace lumora::sim
