#pragma once
// What a udev rule file gives a device: its tags, properties, attribute
// writes and options, line by line as udev applies them. Knows the keys
// Lumora's own rule uses (ACTION, SUBSYSTEM, KERNEL, ENV, ATTR, TEST,
// SUBSYSTEMS, KERNELS, ATTRS, TAG, OPTIONS, GOTO, LABEL), "==" and "!=" with
// shell globs and "|" alternatives, and udev's rule that every parent key of
// a line (SUBSYSTEMS, KERNELS, ATTRS) matches one and the same device of the
// chain. The simulated kernel grants access by it, and doctor and the rescue
// judge the shipped rule with it.

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

namespace lumora::platform {

struct UdevDevice {
    struct Level {
        QString subsystem;
        QString kernel;
        QMap<QString, QString> attributes; // as sysfs prints them
    };
    QString action = QStringLiteral("add");
    QVector<Level> chain; // the device itself, then its parents towards the root
    QMap<QString, QString> properties; // what earlier rules set (DEVTYPE, ...)
};

struct UdevOutcome {
    QStringList tags;
    QMap<QString, QString> properties;
    QMap<QString, QString> attributeWrites;
    QStringList options;
};

UdevOutcome applyUdevRules(const QString &rules, const UdevDevice &device);

// The rule file Lumora installs as 70-lumora.rules.
QString shippedUdevRule();
constexpr const char *kUdevRuleName = "70-lumora.rules";

// The line that gives the seat user a USB device node of these ids.
QString usbAccessRuleLine(int vendorId, int productId);
// Whether `rules` tag the USB device of these ids "uaccess".
bool rulesGrantUsbDevice(const QString &rules, int vendorId, int productId);

} // namespace lumora::platform
