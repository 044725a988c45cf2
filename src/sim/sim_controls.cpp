#include "sim/sim_controls.h"

#include "sim/sim_extension_unit.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

namespace lumora::sim {

namespace {

constexpr int kArcSecondsPerDegree = 3600;

constexpr unsigned kInteger = V4L2_CTRL_TYPE_INTEGER;
constexpr unsigned kBoolean = V4L2_CTRL_TYPE_BOOLEAN;
constexpr unsigned kMenu = V4L2_CTRL_TYPE_MENU;

struct ControlDefault {
    unsigned id;
    const char *key;
    const char *name;
    unsigned type;
    int minimum, maximum, step, defaultValue;
    unsigned autoId;  // the control whose automatic mode drives this one; 0 if none
    int manualValue;  // the value of autoId that leaves this one to the user
};

// uvcvideo's names; ranges of the family's cameras unless the config says otherwise.
const ControlDefault kDefaults[] = {
    {V4L2_CID_BRIGHTNESS, "brightness", "Brightness", kInteger, 0, 255, 1, 128, 0, 0},
    {V4L2_CID_CONTRAST, "contrast", "Contrast", kInteger, 0, 255, 1, 128, 0, 0},
    {V4L2_CID_SATURATION, "saturation", "Saturation", kInteger, 0, 255, 1, 128, 0, 0},
    {V4L2_CID_HUE, "hue", "Hue", kInteger, -180, 180, 1, 0, V4L2_CID_HUE_AUTO, 0},
    {V4L2_CID_AUTO_WHITE_BALANCE, "whiteBalanceAuto", "White Balance, Automatic", kBoolean, 0, 1, 1, 1, 0, 0},
    {V4L2_CID_GAIN, "gain", "Gain", kInteger, 0, 100, 1, 0, 0, 0},
    {V4L2_CID_HUE_AUTO, "hueAuto", "Hue, Auto", kBoolean, 0, 1, 1, 0, 0, 0},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "whiteBalanceTemperature", "White Balance Temperature", kInteger, 2800, 6500,
     10, 4600, V4L2_CID_AUTO_WHITE_BALANCE, 0},
    {V4L2_CID_SHARPNESS, "sharpness", "Sharpness", kInteger, 0, 255, 1, 128, 0, 0},
    {V4L2_CID_BACKLIGHT_COMPENSATION, "backlightCompensation", "Backlight Compensation", kInteger, 0, 2, 1, 1, 0, 0},
    {V4L2_CID_EXPOSURE_AUTO, "exposureAuto", "Auto Exposure", kMenu, 0, 3, 1, V4L2_EXPOSURE_APERTURE_PRIORITY, 0, 0},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "exposure", "Exposure Time, Absolute", kInteger, 3, 2047, 1, 250,
     V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
    {V4L2_CID_EXPOSURE_AUTO_PRIORITY, "exposureAutoPriority", "Exposure, Dynamic Framerate", kBoolean, 0, 1, 1, 0, 0, 0},
    {V4L2_CID_PAN_ABSOLUTE, "pan", "Pan (Absolute)", kInteger, -170 * kArcSecondsPerDegree, 170 * kArcSecondsPerDegree,
     kArcSecondsPerDegree, 0, 0, 0},
    {V4L2_CID_TILT_ABSOLUTE, "tilt", "Tilt (Absolute)", kInteger, -170 * kArcSecondsPerDegree,
     170 * kArcSecondsPerDegree, kArcSecondsPerDegree, 0, 0, 0},
    {V4L2_CID_FOCUS_ABSOLUTE, "focus", "Focus, Absolute", kInteger, 0, 1023, 1, 0, V4L2_CID_FOCUS_AUTO, 0},
    {V4L2_CID_FOCUS_AUTO, "focusAuto", "Focus, Automatic Continuous", kBoolean, 0, 1, 1, 1, 0, 0},
    {V4L2_CID_ZOOM_ABSOLUTE, "zoom", "Zoom, Absolute", kInteger, 100, 400, 10, 100, 0, 0},
};

// UVC controls whose data is unsigned (UVC 1.5, 4.2.2): a negative value
// clamps as a huge one, to the maximum.
bool hasUnsignedData(unsigned id)
{
    switch (id) {
    case V4L2_CID_CONTRAST:
    case V4L2_CID_SATURATION:
    case V4L2_CID_SHARPNESS:
    case V4L2_CID_ZOOM_ABSOLUTE:
    case V4L2_CID_FOCUS_ABSOLUTE:
    case V4L2_CID_GAIN:
    case V4L2_CID_BACKLIGHT_COMPENSATION:
    case V4L2_CID_WHITE_BALANCE_TEMPERATURE:
    case V4L2_CID_EXPOSURE_ABSOLUTE:
        return true;
    default:
        return false;
    }
}

// The auto-exposure modes a UVC camera offers: manual and aperture priority.
struct MenuItem {
    int index;
    const char *name;
};
const MenuItem kExposureModes[] = {{V4L2_EXPOSURE_MANUAL, "Manual Mode"},
                                   {V4L2_EXPOSURE_APERTURE_PRIORITY, "Aperture Priority Mode"}};

const char *menuItem(unsigned id, int index)
{
    if (id != V4L2_CID_EXPOSURE_AUTO)
        return nullptr;
    for (const MenuItem &item : kExposureModes)
        if (item.index == index)
            return item.name;
    return nullptr;
}

} // namespace

SimControls::SimControls(const QJsonObject &cameraConfig)
{
    const QJsonObject config = cameraConfig.value("controls").toObject();
    const bool restored = cameraConfig.value(SimExtensionUnit::kRestoredKey).toBool(false);
    for (const ControlDefault &d : kDefaults) {
        const QJsonValue entry = config.value(d.key);
        if (entry.isBool() && !entry.toBool())
            continue;
        const QJsonObject o = entry.toObject();
        Control c{d.id, d.key, d.name, d.type, o.value("min").toInt(d.minimum), o.value("max").toInt(d.maximum),
                  o.value("step").toInt(d.step), o.value("default").toInt(d.defaultValue), 0, d.autoId, d.manualValue};
        c.value = restored ? c.defaultValue : o.value("value").toInt(c.defaultValue);
        m_controls.append(c);
    }
}

bool SimControls::checkConfig(const QJsonObject &cameraConfig, QString *error)
{
    const QJsonValue field = cameraConfig.value("controls");
    if (field.isUndefined())
        return true;
    if (!field.isObject()) {
        *error = QStringLiteral("\"controls\" must be an object");
        return false;
    }
    const QJsonObject config = field.toObject();
    for (auto it = config.begin(); it != config.end(); ++it) {
        const ControlDefault *d = nullptr;
        for (const ControlDefault &candidate : kDefaults)
            if (it.key() == QLatin1String(candidate.key))
                d = &candidate;
        if (!d) {
            *error = QStringLiteral("unknown control \"%1\"").arg(it.key());
            return false;
        }
        if (it.value().isBool() && !it.value().toBool())
            continue;
        if (!it.value().isObject()) {
            *error = QStringLiteral("control \"%1\" must be an object or false").arg(it.key());
            return false;
        }
        const QJsonObject o = it.value().toObject();
        // Each number is read as a double first: a huge one must not reach an int conversion.
        auto read = [&](const char *key, int fallback, int *out) {
            const QJsonValue v = o.value(key);
            if (v.isUndefined()) {
                *out = fallback;
                return true;
            }
            const double x = v.toDouble(NAN);
            if (!v.isDouble() || !(x >= INT_MIN && x <= INT_MAX) || x != std::floor(x)) {
                *error = QStringLiteral("control \"%1\": \"%2\" must be a whole number within int").arg(it.key(), key);
                return false;
            }
            *out = int(x);
            return true;
        };
        int minimum, maximum, step, defaultValue, value;
        if (!read("min", d->minimum, &minimum) || !read("max", d->maximum, &maximum) || !read("step", d->step, &step)
            || !read("default", d->defaultValue, &defaultValue) || !read("value", defaultValue, &value))
            return false;
        QString fault;
        if (step < 1)
            fault = QStringLiteral("\"step\" must be at least 1");
        else if (minimum > maximum)
            fault = QStringLiteral("\"min\" must not be above \"max\"");
        else if (defaultValue < minimum || defaultValue > maximum || value < minimum || value > maximum)
            fault = QStringLiteral("\"default\" and \"value\" must lie from \"min\" to \"max\"");
        else if (d->type == kMenu && (!menuItem(d->id, defaultValue) || !menuItem(d->id, value)))
            fault = QStringLiteral("\"default\" and \"value\" must be items of the menu");
        if (!fault.isEmpty()) {
            *error = QStringLiteral("control \"%1\": %2").arg(it.key(), fault);
            return false;
        }
    }
    return true;
}

SimControls::Control *SimControls::find(unsigned id)
{
    for (Control &c : m_controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

const SimControls::Control *SimControls::find(unsigned id) const
{
    return const_cast<SimControls *>(this)->find(id);
}

const SimControls::Control *SimControls::findKey(const QString &key) const
{
    for (const Control &c : m_controls)
        if (c.key == key)
            return &c;
    return nullptr;
}

int SimControls::ioctl(unsigned long request, void *arg)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    switch (request) {
    case VIDIOC_QUERYCTRL: {
        auto *q = static_cast<v4l2_queryctrl *>(arg);
        const Control *c = next(q->id);
        if (!c)
            return -EINVAL;
        std::memset(q, 0, sizeof *q);
        q->id = c->id;
        q->type = c->type;
        std::strncpy(reinterpret_cast<char *>(q->name), c->name, sizeof q->name - 1);
        q->minimum = c->minimum;
        q->maximum = c->maximum;
        q->step = c->step;
        q->default_value = c->defaultValue;
        q->flags = flagsOf(*c);
        return 0;
    }
    case VIDIOC_QUERY_EXT_CTRL: {
        auto *q = static_cast<v4l2_query_ext_ctrl *>(arg);
        const Control *c = next(q->id & ~V4L2_CTRL_FLAG_NEXT_COMPOUND);
        if (!c)
            return -EINVAL;
        std::memset(q, 0, sizeof *q);
        q->id = c->id;
        q->type = c->type;
        std::strncpy(q->name, c->name, sizeof q->name - 1);
        q->minimum = c->minimum;
        q->maximum = c->maximum;
        q->step = quint64(c->step);
        q->default_value = c->defaultValue;
        q->flags = flagsOf(*c);
        q->elem_size = sizeof(qint32);
        q->elems = 1;
        return 0;
    }
    case VIDIOC_QUERYMENU: {
        auto *m = static_cast<v4l2_querymenu *>(arg);
        const Control *c = find(m->id);
        if (!c || c->type != kMenu || int(m->index) < c->minimum || int(m->index) > c->maximum)
            return -EINVAL;
        const char *name = menuItem(c->id, int(m->index));
        if (!name)
            return -EINVAL;
        const quint32 id = m->id;
        const quint32 index = m->index;
        std::memset(m, 0, sizeof *m);
        m->id = id;
        m->index = index;
        std::strncpy(reinterpret_cast<char *>(m->name), name, sizeof m->name - 1);
        return 0;
    }
    case VIDIOC_G_CTRL: {
        auto *v = static_cast<v4l2_control *>(arg);
        const Control *c = find(v->id);
        if (!c)
            return -EINVAL;
        v->value = c->value;
        return 0;
    }
    case VIDIOC_S_CTRL: {
        auto *v = static_cast<v4l2_control *>(arg);
        Control *c = find(v->id);
        return c ? set(c, &v->value) : -EINVAL;
    }
    default:
        return -ENOTTY;
    }
}

const SimControls::Control *SimControls::next(unsigned id) const
{
    if (!(id & V4L2_CTRL_FLAG_NEXT_CTRL))
        return find(id);
    const unsigned after = id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
    const Control *c = nullptr;
    for (const Control &candidate : m_controls)
        if (candidate.id > after && (!c || candidate.id < c->id))
            c = &candidate;
    return c;
}

bool SimControls::drivenByAuto(const Control &control) const
{
    const Control *owner = control.autoId ? find(control.autoId) : nullptr;
    return owner && owner->value != control.manualValue;
}

unsigned SimControls::flagsOf(const Control &control) const
{
    unsigned flags = drivenByAuto(control) ? V4L2_CTRL_FLAG_INACTIVE : 0;
    // Changing an automatic mode changes what the controls it drives report.
    for (const Control &other : m_controls)
        if (other.autoId == control.id)
            flags |= V4L2_CTRL_FLAG_UPDATE;
    return flags;
}

int SimControls::set(Control *control, int *value)
{
    // A manual value is refused while its automatic mode drives it, as uvcvideo does.
    if (drivenByAuto(*control))
        return -EACCES;
    if (control->type == kMenu) {
        if (*value < control->minimum || *value > control->maximum)
            return -ERANGE;
        if (!menuItem(control->id, *value))
            return -EINVAL;
        control->value = *value;
        return 0;
    }
    control->value = *value = clampToStep(*control, *value);
    return 0;
}

// What uvcvideo makes of a value (uvc_ctrl_clamp() in uvc_ctrl.c): rounded to
// the nearest step from the minimum in 32-bit unsigned arithmetic, then
// clamped to the range, signed or unsigned as the UVC control's data is; a
// boolean becomes 0 or 1. Never an error.
int SimControls::clampToStep(const Control &control, int value)
{
    if (control.type == kBoolean)
        return qBound(0, value, 1);
    const quint32 step = quint32(control.step);
    const quint32 offset = quint32(value) - quint32(control.minimum);
    const qint32 rounded = qint32(quint32(control.minimum) + (offset + step / 2) / step * step);
    if (!hasUnsignedData(control.id))
        return qBound(control.minimum, rounded, control.maximum);
    return int(qBound(quint32(control.minimum), quint32(rounded), quint32(control.maximum)));
}

SimScene SimControls::scene() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SimScene s;
    auto read = [this](const char *key, int *out) {
        if (const Control *c = findKey(key))
            *out = c->value;
    };
    read("pan", &s.pan);
    read("tilt", &s.tilt);
    read("zoom", &s.zoom);
    read("focus", &s.focus);
    read("brightness", &s.brightness);
    read("contrast", &s.contrast);
    read("hue", &s.hue);
    read("saturation", &s.saturation);
    read("sharpness", &s.sharpness);
    read("gain", &s.gain);
    read("backlightCompensation", &s.backlightCompensation);
    // The picture follows the manual values only while their automatic mode is off.
    const Control *exposure = findKey("exposure");
    if (exposure && !drivenByAuto(*exposure))
        s.exposure = exposure->value;
    const Control *temperature = findKey("whiteBalanceTemperature");
    if (temperature && !drivenByAuto(*temperature))
        s.whiteBalance = temperature->value;
    return s;
}

void SimControls::saveTo(QJsonObject *cameraConfig) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonObject controls = cameraConfig->value("controls").toObject();
    for (const Control &c : m_controls) {
        controls.insert(c.key, QJsonObject{{"min", c.minimum}, {"max", c.maximum}, {"step", c.step},
                                           {"default", c.defaultValue}, {"value", c.value}});
    }
    cameraConfig->insert("controls", controls);
}

void SimControls::loadValues(const QJsonObject &cameraConfig)
{
    const QJsonObject saved = cameraConfig.value("controls").toObject();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Control &c : m_controls)
        c.value = qBound(c.minimum, saved.value(c.key).toObject().value("value").toInt(c.value), c.maximum);
}

void SimControls::restoreDefaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Control &c : m_controls)
        c.value = c.defaultValue;
}

void SimControls::enableAutoFocus()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Control *c = find(V4L2_CID_FOCUS_AUTO))
        c->value = 1;
}

int SimControls::value(const QString &key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const Control *c = findKey(key);
    return c ? c->value : 0;
}

} // namespace lumora::sim
