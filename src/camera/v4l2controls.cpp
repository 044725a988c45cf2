#include "camera/v4l2controls.h"

#include "platform/kernel.h"

#include <QRegularExpression>

#include <linux/videodev2.h>

#include <cstring>

using lumora::platform::kernel;

namespace lumora::camera {

namespace {

struct Known {
    quint32 id;
    const char *name;
    int order;
};

// Names as v4l2-ctl prints them for the kernel's own labels; automatic modes
// come first in the write order, then what they govern, then the rest.
const Known kKnown[] = {
    {V4L2_CID_FOCUS_AUTO, "focus_automatic_continuous", 0},
    {V4L2_CID_HUE_AUTO, "hue_automatic", 1},
    {V4L2_CID_AUTO_WHITE_BALANCE, "white_balance_automatic", 2},
    {V4L2_CID_EXPOSURE_AUTO, "auto_exposure", 3},
    {V4L2_CID_EXPOSURE_AUTO_PRIORITY, "exposure_dynamic_framerate", 4},
    {V4L2_CID_AUTOGAIN, "gain_automatic", 5},
    {V4L2_CID_FOCUS_ABSOLUTE, "focus_absolute", 10},
    {V4L2_CID_HUE, "hue", 11},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "white_balance_temperature", 12},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "exposure_time_absolute", 13},
    {V4L2_CID_GAIN, "gain", 14},
    {V4L2_CID_BACKLIGHT_COMPENSATION, "backlight_compensation", 20},
    {V4L2_CID_POWER_LINE_FREQUENCY, "power_line_frequency", 21},
    {V4L2_CID_BRIGHTNESS, "brightness", 22},
    {V4L2_CID_CONTRAST, "contrast", 23},
    {V4L2_CID_SATURATION, "saturation", 24},
    {V4L2_CID_SHARPNESS, "sharpness", 25},
    {V4L2_CID_GAMMA, "gamma", 26},
    {V4L2_CID_ZOOM_ABSOLUTE, "zoom_absolute", 30},
    {V4L2_CID_PAN_ABSOLUTE, "pan_absolute", 31},
    {V4L2_CID_TILT_ABSOLUTE, "tilt_absolute", 32},
};
constexpr int kUnknownOrder = 40;

const Known *known(quint32 id)
{
    for (const Known &k : kKnown)
        if (k.id == id)
            return &k;
    return nullptr;
}

// Query with VIDIOC_QUERY_EXT_CTRL, or VIDIOC_QUERYCTRL where the driver lacks it.
int query(int fd, quint32 id, V4l2Control *out)
{
    v4l2_query_ext_ctrl q{};
    q.id = id;
    int rc = kernel().ioctl(fd, VIDIOC_QUERY_EXT_CTRL, &q);
    if (rc == -ENOTTY) {
        v4l2_queryctrl old{};
        old.id = id;
        rc = kernel().ioctl(fd, VIDIOC_QUERYCTRL, &old);
        if (rc < 0)
            return rc;
        q.id = old.id;
        q.type = old.type;
        std::memcpy(q.name, old.name, sizeof q.name);
        q.minimum = old.minimum;
        q.maximum = old.maximum;
        q.step = quint64(old.step);
        q.default_value = old.default_value;
        q.flags = old.flags;
    }
    if (rc < 0)
        return rc;
    out->id = q.id;
    out->label = QString::fromUtf8(q.name, int(strnlen(q.name, sizeof q.name)));
    out->name = controlName(q.id, out->label);
    out->type = q.type;
    out->minimum = q.minimum;
    out->maximum = q.maximum;
    out->step = qint64(q.step);
    out->defaultValue = q.default_value;
    out->flags = q.flags;
    return 0;
}

} // namespace

bool V4l2Control::isMenu() const { return type == V4L2_CTRL_TYPE_MENU || type == V4L2_CTRL_TYPE_INTEGER_MENU; }
bool V4l2Control::isBoolean() const { return type == V4L2_CTRL_TYPE_BOOLEAN; }
bool V4l2Control::writable() const
{
    return !(flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE | V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_GRABBED));
}

QString labelName(const QString &label)
{
    static const QRegularExpression other(QStringLiteral("[^a-z0-9]+"));
    QString name = label.toLower().replace(other, QStringLiteral("_"));
    while (name.startsWith(QLatin1Char('_')))
        name.remove(0, 1);
    while (name.endsWith(QLatin1Char('_')))
        name.chop(1);
    return name;
}

QString controlName(quint32 id, const QString &label)
{
    if (const Known *k = known(id))
        return QLatin1String(k->name);
    const QString name = labelName(label);
    return name.isEmpty() ? QStringLiteral("0x%1").arg(id, 8, 16, QLatin1Char('0')) : name;
}

QString typeName(quint32 type)
{
    switch (type) {
    case V4L2_CTRL_TYPE_INTEGER: return QStringLiteral("int");
    case V4L2_CTRL_TYPE_BOOLEAN: return QStringLiteral("bool");
    case V4L2_CTRL_TYPE_MENU: return QStringLiteral("menu");
    case V4L2_CTRL_TYPE_INTEGER_MENU: return QStringLiteral("intmenu");
    case V4L2_CTRL_TYPE_BUTTON: return QStringLiteral("button");
    case V4L2_CTRL_TYPE_INTEGER64: return QStringLiteral("int64");
    case V4L2_CTRL_TYPE_BITMASK: return QStringLiteral("bitmask");
    case V4L2_CTRL_TYPE_STRING: return QStringLiteral("str");
    case V4L2_CTRL_TYPE_CTRL_CLASS: return QStringLiteral("class");
    default: return QStringLiteral("type%1").arg(type);
    }
}

QStringList flagNames(quint32 flags)
{
    static const QPair<quint32, const char *> names[] = {
        {V4L2_CTRL_FLAG_DISABLED, "disabled"}, {V4L2_CTRL_FLAG_GRABBED, "grabbed"},
        {V4L2_CTRL_FLAG_READ_ONLY, "read-only"}, {V4L2_CTRL_FLAG_UPDATE, "update"},
        {V4L2_CTRL_FLAG_INACTIVE, "inactive"}, {V4L2_CTRL_FLAG_SLIDER, "slider"},
        {V4L2_CTRL_FLAG_WRITE_ONLY, "write-only"}, {V4L2_CTRL_FLAG_VOLATILE, "volatile"},
    };
    QStringList out;
    for (const auto &[flag, name] : names)
        if (flags & flag)
            out << QLatin1String(name);
    return out;
}

QVector<V4l2Control> listControls(int fd)
{
    QVector<V4l2Control> controls;
    if (fd < 0)
        return controls;
    quint32 id = 0;
    // A driver that keeps answering would loop forever; no camera has this many.
    for (int guard = 0; guard < 1024; ++guard) {
        V4l2Control c;
        if (query(fd, id | V4L2_CTRL_FLAG_NEXT_CTRL, &c) < 0 || c.id <= id)
            break;
        id = c.id;
        if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS || (c.flags & V4L2_CTRL_FLAG_DISABLED))
            continue;
        if (c.isMenu()) {
            for (qint64 index = c.minimum; index <= c.maximum && index - c.minimum < 64; ++index) {
                v4l2_querymenu item{};
                item.id = c.id;
                item.index = quint32(index);
                if (kernel().ioctl(fd, VIDIOC_QUERYMENU, &item) < 0)
                    continue;
                const QString text = c.type == V4L2_CTRL_TYPE_INTEGER_MENU
                                         ? QString::number(item.value)
                                         : QString::fromUtf8(reinterpret_cast<const char *>(item.name),
                                                             int(strnlen(reinterpret_cast<const char *>(item.name), sizeof item.name)));
                c.menu.append({int(index), text});
            }
        }
        if (!(c.flags & V4L2_CTRL_FLAG_WRITE_ONLY) && c.type != V4L2_CTRL_TYPE_BUTTON)
            c.hasValue = readControl(fd, c.id, &c.value) == 0;
        controls.append(c);
    }
    return controls;
}

int readControl(int fd, quint32 id, int *value)
{
    v4l2_control control{id, 0};
    const int rc = kernel().ioctl(fd, VIDIOC_G_CTRL, &control);
    if (rc == 0)
        *value = control.value;
    return rc;
}

int writeControl(int fd, quint32 id, int value)
{
    v4l2_control control{id, value};
    return kernel().ioctl(fd, VIDIOC_S_CTRL, &control);
}

const V4l2Control *findControl(const QVector<V4l2Control> &controls, const QString &name)
{
    const QString wanted = name.trimmed().toLower();
    for (const V4l2Control &c : controls)
        if (c.name == wanted || labelName(c.label) == wanted || QStringLiteral("0x%1").arg(c.id, 8, 16, QLatin1Char('0')) == wanted)
            return &c;
    return nullptr;
}

bool parseControlValue(const V4l2Control &control, const QString &text, int *value)
{
    const QString t = text.trimmed();
    bool ok = false;
    const qint64 number = t.toLongLong(&ok);
    if (ok) {
        if (number < INT_MIN || number > INT_MAX)
            return false;
        *value = int(number);
    } else if (control.isBoolean()) {
        const QString word = t.toLower();
        if (word == QLatin1String("on") || word == QLatin1String("true"))
            *value = 1;
        else if (word == QLatin1String("off") || word == QLatin1String("false"))
            *value = 0;
        else
            return false;
    } else if (control.isMenu()) {
        const QString word = labelName(t);
        const MenuEntry *match = nullptr;
        for (const MenuEntry &item : control.menu)
            if (labelName(item.name) == word || labelName(item.name) == word + QLatin1String("_mode"))
                match = &item;
        if (!match)
            return false;
        *value = match->index;
    } else {
        return false;
    }
    if (control.isMenu()) {
        for (const MenuEntry &item : control.menu)
            if (item.index == *value)
                return true;
        return false;
    }
    return *value >= control.minimum && *value <= control.maximum;
}

QString controlValueText(const V4l2Control &control, int value)
{
    for (const MenuEntry &item : control.menu)
        if (item.index == value)
            return item.name;
    return QString::number(value);
}

AutoMode autoModeOf(quint32 id)
{
    switch (id) {
    case V4L2_CID_FOCUS_ABSOLUTE: return {V4L2_CID_FOCUS_AUTO, 0};
    case V4L2_CID_HUE: return {V4L2_CID_HUE_AUTO, 0};
    case V4L2_CID_WHITE_BALANCE_TEMPERATURE: return {V4L2_CID_AUTO_WHITE_BALANCE, 0};
    case V4L2_CID_EXPOSURE_ABSOLUTE: return {V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL};
    case V4L2_CID_GAIN: return {V4L2_CID_AUTOGAIN, 0};
    default: return {};
    }
}

bool isAutoMode(quint32 id)
{
    const Known *k = known(id);
    return k && k->order < 10;
}

int writeOrder(quint32 id)
{
    const Known *k = known(id);
    return k ? k->order : kUnknownOrder;
}

} // namespace lumora::camera
