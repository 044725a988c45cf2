// The standard camera and image controls of the bound camera, on V4L2 controls.
// V4L2 reports pan and tilt in arc-seconds; the app works in degrees.

#include "device/controlcache.h"
#include "device/v4l2controlnode.h"
#include "platform/kernel.h"

#include <QDebug>

#include <linux/videodev2.h>

#include <cmath>

using lumora::platform::kernel;

namespace {

constexpr int kArcSecondsPerDegree = 3600;

struct ControlMapping {
    int propertyId;
    quint32 cid;
    quint32 autoCid; // V4L2 control for the automatic mode; 0 when the device has none
    int scale;       // device units per app unit
    int ControlCache::*value;
    ParameterRange ControlCache::*range;
    const char *label;
    bool logsCurrent; // "Get <label> Cur value." after a successful read
};

const ControlMapping kCameraControls[] = {
    {kCameraZoom, V4L2_CID_ZOOM_ABSOLUTE, 0, 1, &ControlCache::zoom, &ControlCache::zoomRange, "Zoom", true},
    {kCameraPan, V4L2_CID_PAN_ABSOLUTE, 0, kArcSecondsPerDegree, &ControlCache::pan, &ControlCache::panRange, "Pan", false},
    {kCameraTilt, V4L2_CID_TILT_ABSOLUTE, 0, kArcSecondsPerDegree, &ControlCache::tilt, &ControlCache::tiltRange, "Tilt", false},
    {kCameraFocus, V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO, 1, &ControlCache::focus, &ControlCache::focusRange, "Focus", false},
};

const ControlMapping kImageControls[] = {
    {kImageBrightness, V4L2_CID_BRIGHTNESS, 0, 1, &ControlCache::brightness, &ControlCache::brightnessRange, "Brightness", false},
    {kImageContrast, V4L2_CID_CONTRAST, 0, 1, &ControlCache::contrast, &ControlCache::contrastRange, "Contrast", false},
    {kImageSharpness, V4L2_CID_SHARPNESS, 0, 1, &ControlCache::sharpness, &ControlCache::sharpnessRange, "Sharpness", true},
    {kImageHue, V4L2_CID_HUE, V4L2_CID_HUE_AUTO, 1, &ControlCache::hue, &ControlCache::hueRange, "Hue", true},
    {kImageSaturation, V4L2_CID_SATURATION, 0, 1, &ControlCache::saturation, &ControlCache::saturationRange, "Saturation", false},
};

template <size_t N>
const ControlMapping *mappingFor(const ControlMapping (&table)[N], int propertyId)
{
    for (const ControlMapping &m : table)
        if (m.propertyId == propertyId)
            return &m;
    return nullptr;
}

int toDevice(const ControlMapping &m, int value) { return value * m.scale; }
int fromDevice(const ControlMapping &m, int value) { return int(std::lround(double(value) / m.scale)); }

int setControl(int fd, quint32 cid, int value)
{
    v4l2_control control{cid, value};
    return kernel().ioctl(fd, VIDIOC_S_CTRL, &control);
}

// A failed read leaves the caller's value in the cache.
bool getProperty(ControlCache &cache, const ControlMapping *m, int value)
{
    if (currentFilter < 0)
        return false;
    if (!m)
        return true;
    v4l2_control control{m->cid, toDevice(*m, value)};
    cache.*m->value = kernel().ioctl(currentFilter, VIDIOC_G_CTRL, &control) == 0 ? fromDevice(*m, control.value) : value;
    return true;
}

// Manual mode takes the control out of its automatic mode first; the device's
// answer is not examined here, a later read-back shows what took.
bool setManual(const ControlMapping *m, int value)
{
    if (currentFilter < 0)
        return false;
    if (!m)
        return true;
    if (m->autoCid)
        setControl(currentFilter, m->autoCid, 0);
    setControl(currentFilter, m->cid, toDevice(*m, value));
    return true;
}

// Reads range, default and current value of one control into the cache.
void queryControl(ControlCache &cache, int fd, const ControlMapping &m, int *flags = nullptr)
{
    v4l2_queryctrl query{};
    query.id = m.cid;
    if (kernel().ioctl(fd, VIDIOC_QUERYCTRL, &query) < 0 || (query.flags & V4L2_CTRL_FLAG_DISABLED)) {
        qWarning().noquote() << QStringLiteral("Get %1 Parameter Error.").arg(m.label);
        return;
    }
    v4l2_control current{m.cid, 0};
    const bool haveCurrent = kernel().ioctl(fd, VIDIOC_G_CTRL, &current) == 0;
    // The automatic flag is only wanted for focus (the cache's focus flags).
    v4l2_control automatic{m.autoCid, 0};
    const bool isAuto = flags && m.autoCid && kernel().ioctl(fd, VIDIOC_G_CTRL, &automatic) == 0 && automatic.value;
    const int currentFlags = isAuto ? kControlFlagsAuto : kControlFlagsManual;
    if (haveCurrent) {
        if (m.logsCurrent)
            qDebug().noquote() << QStringLiteral("Get %1 Cur value.").arg(m.label);
        cache.*m.value = fromDevice(m, current.value);
        if (flags)
            *flags = currentFlags;
    }
    ParameterRange &range = cache.*m.range;
    range = {fromDevice(m, query.minimum), fromDevice(m, query.maximum), fromDevice(m, query.default_value)};
    if (m.cid == V4L2_CID_ZOOM_ABSOLUTE)
        qDebug() << "Zoom--->"
                 << "Flags:" << currentFlags << "Min:" << range.minimum << "Max:" << range.maximum
                 << "Default:" << range.defaultValue << "Cur:" << cache.*m.value;
}

bool hasCameraControls(int model) { return model != 9 && model != 10 && model != 11; }
bool hasFocus(int model) { return model == 4 || model == 14; }

} // namespace

bool V4l2ControlNode::QueryCameraParameters(int position, int model)
{
    int fd = -1;
    if (!BindCaptureFilter(position, &fd)) {
        qWarning() << "directshow BindFilter error";
        return false;
    }
    if (fd < 0)
        return true;
    if (hasCameraControls(model)) {
        for (const ControlMapping &m : kCameraControls) {
            if (m.propertyId != kCameraFocus)
                queryControl(m_cache, fd, m);
            else if (hasFocus(model))
                queryControl(m_cache, fd, m, &m_cache.focusFlags);
        }
    }
    for (const ControlMapping &m : kImageControls)
        queryControl(m_cache, fd, m);
    kernel().close(fd);
    return true;
}

bool V4l2ControlNode::GetCameraProperty(int propertyId, int value)
{
    return getProperty(m_cache, mappingFor(kCameraControls, propertyId), value);
}

bool V4l2ControlNode::GetImageProperty(int propertyId, int value)
{
    return getProperty(m_cache, mappingFor(kImageControls, propertyId), value);
}

bool V4l2ControlNode::SetCameraProperty(int propertyId, int value)
{
    return setManual(mappingFor(kCameraControls, propertyId), value);
}

bool V4l2ControlNode::SetImageProperty(int propertyId, int value)
{
    return setManual(mappingFor(kImageControls, propertyId), value);
}

bool V4l2ControlNode::SetImagePropertyAuto(int propertyId)
{
    if (currentFilter < 0)
        return false;
    // Only controls with a V4L2 automatic mode can switch; the read-back shows the rest.
    const ControlMapping *m = mappingFor(kImageControls, propertyId);
    if (m && m->autoCid)
        setControl(currentFilter, m->autoCid, 1);
    qDebug() << "devCtl.Value:" << 0;
    qDebug() << "devCtl.Value:" << QString::number(kControlFlagsAuto, 16);
    return true;
}

int V4l2ControlNode::AutoModeState(int propertyId, bool cameraControl)
{
    if (currentFilter < 0)
        return -1;
    const ControlMapping *m = cameraControl ? mappingFor(kCameraControls, propertyId) : mappingFor(kImageControls, propertyId);
    if (!m || !m->autoCid)
        return -1;
    v4l2_queryctrl query{};
    query.id = m->autoCid;
    if (kernel().ioctl(currentFilter, VIDIOC_QUERYCTRL, &query) < 0 || (query.flags & V4L2_CTRL_FLAG_DISABLED))
        return -1;
    v4l2_control automatic{m->autoCid, 0};
    if (kernel().ioctl(currentFilter, VIDIOC_G_CTRL, &automatic) < 0)
        return -1;
    return automatic.value ? 1 : 0;
}
