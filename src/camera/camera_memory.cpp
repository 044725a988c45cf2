// The camera's memory, restore and presets, and every control of its video
// node: the parts of Camera that go beyond the feature table.

#include "camera/camera.h"

#include "core/catalogue.h"
#include "core/staterecords.h"
#include "platform/device_path.h"
#include "platform/kernel.h"

#include <QDebug>

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>

using lumora::platform::kernel;

namespace lumora::camera {

namespace {

constexpr int kArcSecondsPerDegree = 3600;

struct ControlId {
    quint32 id;
    quint32 autoId; // 0: no automatic mode on V4L2
    int scale;      // V4L2 units per app unit
};

ControlId controlId(Control control)
{
    switch (control) {
    case Control::Pan: return {V4L2_CID_PAN_ABSOLUTE, 0, kArcSecondsPerDegree};
    case Control::Tilt: return {V4L2_CID_TILT_ABSOLUTE, 0, kArcSecondsPerDegree};
    case Control::Zoom: return {V4L2_CID_ZOOM_ABSOLUTE, 0, 1};
    case Control::Focus: return {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO, 1};
    case Control::Brightness: return {V4L2_CID_BRIGHTNESS, 0, 1};
    case Control::Contrast: return {V4L2_CID_CONTRAST, 0, 1};
    case Control::Hue: return {V4L2_CID_HUE, V4L2_CID_HUE_AUTO, 1};
    case Control::Saturation: return {V4L2_CID_SATURATION, 0, 1};
    case Control::Sharpness: return {V4L2_CID_SHARPNESS, 0, 1};
    }
    return {0, 0, 1};
}

// The standard control a V4L2 id is, for the cache; false for the others.
bool standardControl(quint32 id, Control *control)
{
    for (int i = 0; i < kControlCount; ++i) {
        if (controlId(Control(i)).id == id) {
            *control = Control(i);
            return true;
        }
    }
    return false;
}

const char *const kPan = "pan";
const char *const kTilt = "tilt";
const char *const kZoom = "zoom";
const char *const kFocus = "focus";
const char *const kFocusAuto = "focusAuto";

} // namespace

void Camera::resolveIdentity()
{
    int vid = 0;
    int pid = 0;
    ParseVidPid(m_pathId, &vid, &pid);
    m_identity = CameraIdentity();
    m_identity.vendorId = vid;
    m_identity.productId = pid;
    m_identity.model = m_traits.model;
    if (m_position < 0)
        return;
    QVector<CameraDeviceInfo> devices;
    m_wrapper.ListCameraDevices(devices);
    for (const CameraDeviceInfo &device : devices) {
        if (device.index != m_position)
            continue;
        platform::UsbInterfaceIdentity usb;
        if (!platform::usbIdentityFromSysfs(kernel(), device.alias.section(QLatin1Char('/'), -1), &usb))
            return;
        m_identity.port = usb.port;
        m_identity.serial = platform::usbSerial(kernel(), usb.port);
    }
}

void Camera::remember(Control control)
{
    const ControlId id = controlId(control);
    m_memory.remember(controlName(id.id), cache().value(control) * id.scale);
}

void Camera::rememberAuto(Control control, bool automatic)
{
    const ControlId id = controlId(control);
    if (id.autoId)
        m_memory.remember(controlName(id.autoId), automatic ? 1 : 0);
}

QVector<RestoredValue> Camera::restoreMemory()
{
    QVector<RestoredValue> restored;
    const QMap<QString, int> wanted = m_memory.values();
    if (!m_memory.loaded() || !m_memory.restoreEnabled() || wanted.isEmpty() || currentFilter < 0)
        return restored;
    QVector<V4l2Control> present = listControls(currentFilter);
    std::stable_sort(present.begin(), present.end(),
                     [](const V4l2Control &a, const V4l2Control &b) { return writeOrder(a.id) < writeOrder(b.id); });
    QMap<quint32, int> now;
    for (const V4l2Control &c : present)
        if (c.hasValue)
            now.insert(c.id, c.value);
    for (const V4l2Control &c : present) {
        if (!wanted.contains(c.name) || !c.hasValue)
            continue;
        const int value = wanted.value(c.name);
        if (now.value(c.id) == value)
            continue;
        const AutoMode mode = autoModeOf(c.id);
        if (mode.id && now.contains(mode.id) && now.value(mode.id) != mode.manualValue) {
            qInfo().noquote() << QStringLiteral("Restore: %1 left to its automatic mode").arg(c.name);
            continue;
        }
        if (value < c.minimum || value > c.maximum || (c.flags & V4L2_CTRL_FLAG_READ_ONLY)) {
            qInfo().noquote() << QStringLiteral("Restore: %1 %2 is outside what the camera takes").arg(c.name).arg(value);
            continue;
        }
        RestoredValue r{c.name, now.value(c.id), value, now.value(c.id), false};
        const int rc = writeControl(currentFilter, c.id, value);
        int after = r.before;
        if (readControl(currentFilter, c.id, &after) == 0)
            r.after = after;
        r.taken = rc == 0 && r.after == value;
        now.insert(c.id, r.after);
        if (r.taken)
            qInfo().noquote() << QStringLiteral("Restored %1: %2 -> %3").arg(c.name).arg(r.before).arg(r.after);
        else
            qWarning().noquote() << QStringLiteral("Restore of %1 to %2 not taken (rc %3, reads %4)")
                                        .arg(c.name).arg(value).arg(rc).arg(r.after);
        restored.append(r);
        Q_EMIT v4l2ControlChanged(c.id, r.after);
    }
    recordRestore(m_memory.identity().serial,
                  std::all_of(restored.begin(), restored.end(), [](const RestoredValue &r) { return r.taken; }));
    return restored;
}

void Camera::restoreOnResume(ResumeSource *source)
{
    connect(source, &ResumeSource::resumed, this, [this] {
        if (currentFilter >= 0 && !restoreMemory().isEmpty())
            Q_EMIT restoredOnResume();
    });
}

QMap<QString, int> Camera::padPosition()
{
    ControlCache &c = cache();
    QMap<QString, int> values{{kPan, c.pan}, {kTilt, c.tilt}, {kZoom, c.zoom}};
    if (m_traits.focus && c.focusRange.minimum != c.focusRange.maximum) {
        values.insert(kFocusAuto, c.focusFlags == kControlFlagsAuto ? 1 : 0);
        values.insert(kFocus, c.focus);
    }
    return values;
}

Preset Camera::savePreset(const QString &name, int slot)
{
    return m_memory.savePreset(name, padPosition(), slot);
}

bool Camera::recallPreset(const Preset &preset)
{
    const QMap<QString, int> &v = preset.values;
    bool taken = true;
    const auto send = [&](Feature id, const char *key) {
        if (!v.contains(key) || availability(id) != Availability::Available)
            return;
        const ParameterRange range = rangeOf(id);
        const int value = qBound(range.minimum, v.value(key), range.maximum);
        const SetResult result = set(id, value);
        taken = taken && result.sent && result.value == value;
    };
    const auto sendFocus = [&] {
        if (!v.contains(kFocusAuto) || availability(Feature::Focus) != Availability::Available)
            return;
        // The automatic flag goes before the value it governs.
        if (v.value(kFocusAuto))
            taken = setAuto(Feature::Focus).sent && taken;
        else
            send(Feature::Focus, kFocus);
    };
    const bool zoomingIn = v.value(kZoom, kNoZoom) > cache().zoom;
    if (!zoomingIn)
        send(Feature::Zoom, kZoom);
    send(Feature::Pan, kPan);
    send(Feature::Tilt, kTilt);
    sendFocus();
    if (zoomingIn)
        send(Feature::Zoom, kZoom);
    return taken;
}

bool Camera::padUsable()
{
    return availability(Feature::Pan) == Availability::Available && cache().zoom > kNoZoom;
}

QVector<V4l2Control> Camera::controls()
{
    return listControls(currentFilter);
}

SetResult Camera::setV4l2(const V4l2Control &control, int value)
{
    SetResult result{false, false, value, false};
    if (currentFilter < 0) {
        result.attempted = false;
        return result;
    }
    const AutoMode mode = autoModeOf(control.id);
    int modeValue = mode.manualValue;
    if (mode.id && readControl(currentFilter, mode.id, &modeValue) == 0 && modeValue != mode.manualValue) {
        result.attempted = false;
        return result;
    }
    result.sent = writeControl(currentFilter, control.id, value) == 0;
    int read = value;
    result.readBack = readControl(currentFilter, control.id, &read) == 0;
    result.value = read;
    if (!result.sent)
        return result;
    m_memory.remember(control.name, read);
    Control standard;
    if (standardControl(control.id, &standard)) {
        const ControlId id = controlId(standard);
        cache().value(standard) = int(std::lround(double(read) / id.scale));
        const Feature feature = [&] {
            for (const FeatureInfo &info : features())
                if (info.kind == ValueKind::Number && info.control == standard)
                    return info.id;
            return Feature::Brightness;
        }();
        Q_EMIT featureChanged(feature, cache().value(standard));
    } else if (control.id == V4L2_CID_FOCUS_AUTO) {
        cache().focusFlags = read ? kControlFlagsAuto : kControlFlagsManual;
    }
    Q_EMIT v4l2ControlChanged(control.id, read);
    return result;
}

} // namespace lumora::camera
