#pragma once
// Where a plugged device sits on the simulated machine, and how that looks in
// sysfs and in udev's event properties.

#include "sim/sim_device.h"
#include "sim/sim_sysfs.h"

#include <QMap>
#include <QSet>
#include <QStringList>

namespace lumora::sim {

struct SimPlacement {
    QString id;
    bool usb = true;
    SimUsbIdentity identity;
    QByteArray descriptors;
    QVector<SimNode> nodes;
    QStringList nodeNames; // per node: "video0", "sdb"
    int devnum = 0;        // USB device number on its bus
    int scsiHost = -1;     // disks only
    QByteArray diskVendor, diskModel; // INQUIRY identification, padded as the device sent it
    qint64 diskSectors = 0;           // 512-byte sectors
    // Interfaces without a kernel driver (detached through usbfs): their nodes are gone.
    QSet<int> unbound;
    // Interfaces claimed through usbfs, and the descriptor that holds each.
    QMap<int, int> claims;
    // Node kinds the desktop user may not open read-write ("video", "disk", "usbfs").
    QStringList denied;

    bool nodePresent(int node) const { return !unbound.contains(nodes[node].interfaceNumber); }
};

// The parts of the machine that are there without any device: the internal disk.
void addMachine(SimSysfs *sysfs);
void addPlacement(const SimPlacement &placement, SimSysfs *sysfs);

QString sysPathOf(const SimPlacement &placement, int node);
QString subsystemOf(const SimNode &node);
// udev's properties for the node's event; ACTION is left to the caller.
QMap<QString, QString> udevProperties(const SimPlacement &placement, int node);

} // namespace lumora::sim
