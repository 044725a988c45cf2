#pragma once
// Every control a camera's video node reports, read and written through the
// kernel seam: what `lumora-cli controls` lists, what the memory keeps and
// restores, and the Advanced section's controls. Values in V4L2 units.

#include <QString>
#include <QVector>

namespace lumora::camera {

struct MenuEntry {
    int index = 0;
    QString name;
};

struct V4l2Control {
    quint32 id = 0;
    QString name;  // what people type: "auto_exposure", "white_balance_temperature"
    QString label; // what the driver calls it: "Auto Exposure"
    quint32 type = 0;
    qint64 minimum = 0, maximum = 0, step = 1, defaultValue = 0;
    quint32 flags = 0;
    int value = 0;
    bool hasValue = false; // the current value could be read
    QVector<MenuEntry> menu;

    bool isMenu() const;
    bool isBoolean() const;
    // Whether a value can be written now (not read-only, inactive or disabled).
    bool writable() const;
};

// The stable name of a control: the one v4l2-ctl shows on a current kernel
// for the standard ids, else the driver's label made lower case with "_".
QString controlName(quint32 id, const QString &label = {});
// The driver label turned into a name: "Pan (Absolute)" -> "pan_absolute".
QString labelName(const QString &label);
QString typeName(quint32 type);
QStringList flagNames(quint32 flags);

// The controls of an open video node, in id order, with their current values
// and menus. Empty when the node reports none.
QVector<V4l2Control> listControls(int fd);
// 0 or -errno.
int readControl(int fd, quint32 id, int *value);
int writeControl(int fd, quint32 id, int value);
// The control whose name, the driver's label made a name, or id ("0x00980900") matches; null when none.
const V4l2Control *findControl(const QVector<V4l2Control> &controls, const QString &name);
// A value as people type it: a number, "on"/"off" for a boolean, a menu item's name.
bool parseControlValue(const V4l2Control &control, const QString &text, int *value);
// The value as shown: a menu item's name, the number otherwise.
QString controlValueText(const V4l2Control &control, int value);

// The automatic mode that drives a control: the mode's id and the mode value
// that leaves the control to the user; id 0 when nothing drives it.
struct AutoMode {
    quint32 id = 0;
    int manualValue = 0;
};
AutoMode autoModeOf(quint32 id);
bool isAutoMode(quint32 id);
// The order restores and presets write in: automatic modes first, then the
// values they govern, then the rest; lower comes first.
int writeOrder(quint32 id);

} // namespace lumora::camera
