#pragma once
// Which camera an upgrade is for, and how to tell it again: by the USB port it
// sits on (and its serial number) while it is a video device, an update drive,
// and a video device again.

#include "upgrade/updatechannel.h"

#include <QString>

namespace lumora::upgrade {

struct UpgradeTarget {
    QString node;         // capture node of the chosen working camera; empty for a rescue
    QString port;         // USB port path; taken from the node when empty
    QString serial;       // USB serial number; taken from the node when empty
    QString name;         // device name, for messages
    QString version;      // firmware before the upgrade; empty when unknown
};

// Port and serial number of a video node ("/dev/video0"); false without USB ancestors.
bool usbPortOfVideoNode(const QString &node, QString *port, QString *serial);

// A working camera of the catalogue's kind on `port` (with `serial` when one
// is given): its firmware version is read through its extension unit. False
// while there is none or it does not answer yet.
bool readCameraOnPort(const QString &port, const QString &serial, QString *version);

// Whether a package for `packageModel` may go to `drive`. The drive's USB ids
// name its model when they are the catalogue's; else its INQUIRY vendor names
// its family; "GC" and unknown ids tell nothing.
enum class FamilyMatch { Same, Other, Unknown };
FamilyMatch matchRescueFamily(const UpdateDriveInfo &drive, int packageModel, QString *driveFamily);

// -1, 0 or 1 as version a is older than, the same as, or newer than b
// ("1.2.10" > "1.2.9"); 0 also when either cannot be read.
int compareVersions(const QString &a, const QString &b);

// "ROM", "Updater", "u-Boot" or "unknown".
QString updateStateName(int state);

} // namespace lumora::upgrade
