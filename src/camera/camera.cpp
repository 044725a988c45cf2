#include "camera/camera.h"

#include "core/catalogue.h"

#include <QDebug>

namespace lumora::camera {

namespace {

constexpr int kVersionCode = 0x80;
constexpr int kLegacyVersionCode = 0x0B;
constexpr int kTrackOff = 0;
constexpr int kAutoFraming = 1;
constexpr int kSmooth = 1;
constexpr int kImmediate = 0;
constexpr int kMaxZoom = 800;

using Getter = bool (UVCExtensionUnit::*)(int &);
using Setter = bool (UVCExtensionUnit::*)(int);

struct VendorCalls {
    Getter get;
    Setter set;
};

VendorCalls vendorCalls(Feature id)
{
    switch (id) {
    case Feature::Hdr: return {&UVCExtensionUnit::GetHDR, &UVCExtensionUnit::SetHDR};
    case Feature::Hd: return {&UVCExtensionUnit::GetHD, &UVCExtensionUnit::SetHD};
    case Feature::AntiFlicker: return {&UVCExtensionUnit::GetAntiFlicker, &UVCExtensionUnit::SetAntiFlicker};
    case Feature::Mic: return {&UVCExtensionUnit::GetMicEnable, &UVCExtensionUnit::SetMicEnable};
    case Feature::FieldOfView: return {&UVCExtensionUnit::GetViewAngle, &UVCExtensionUnit::SetViewAngle};
    case Feature::Tracking: return {&UVCExtensionUnit::GetTrackMode, &UVCExtensionUnit::SetTrackMode};
    case Feature::TrackingEffect: return {&UVCExtensionUnit::GetTrackEffect, &UVCExtensionUnit::SetTrackEffect};
    case Feature::TrackingSpeed: return {&UVCExtensionUnit::GetTrackSpeed, &UVCExtensionUnit::SetTrackSpeed};
    default: return {nullptr, nullptr};
    }
}

int indexOf(Feature id, int value)
{
    const QVector<Choice> &choices = featureInfo(id).choices;
    for (int i = 0; i < choices.size(); ++i)
        if (choices[i].value == value)
            return i;
    return -1;
}

} // namespace

Camera::Camera(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<lumora::camera::CameraState>();
}

Camera::~Camera()
{
    close();
}

void Camera::setIdentity(const QString &pathId, const QString &friendlyName)
{
    m_pathId = pathId;
    m_friendlyName = friendlyName;
    int vid = 0;
    int pid = 0;
    ParseVidPid(pathId, &vid, &pid);
    m_traits = modelTraits(profileOfVendor(vid), modelFromFriendlyName(friendlyName));
    m_state = CameraState();
}

bool Camera::bindCapture(int *position)
{
    m_position = -1;
    const bool bound = m_wrapper.OpenCameraDevice(m_pathId, m_friendlyName, &m_position);
    if (position)
        *position = m_position;
    resolveIdentity();
    m_memory.load(m_identity);
    return bound;
}

bool Camera::openChannel()
{
    m_open = m_unit.InitVideoDevice(m_pathId, m_friendlyName);
    return m_open;
}

bool Camera::reopenChannel()
{
    if (m_unit.ReopenVideoDevice(m_pathId, m_friendlyName))
        return true;
    Q_EMIT lost();
    return false;
}

void Camera::close()
{
    m_memory.unload();
    m_unit.ReleaseVideoDevice();
    m_wrapper.ReleaseCameraDevice();
    m_position = -1;
    m_open = false;
}

const CameraState &Camera::state()
{
    m_state.controls = cache();
    return m_state;
}

int *Camera::stateSlot(Feature id)
{
    switch (id) {
    case Feature::Hdr: return &m_state.hdr;
    case Feature::Hd: return &m_state.hd;
    case Feature::AntiFlicker: return &m_state.antiFlicker;
    case Feature::Mic: return &m_state.mic;
    case Feature::FieldOfView: return &m_state.fieldOfView;
    case Feature::Tracking: return &m_state.trackMode;
    case Feature::TrackingEffect: return &m_state.trackEffect;
    case Feature::TrackingSpeed: return &m_state.trackSpeed;
    default: return nullptr;
    }
}

void Camera::report(Feature id, int value)
{
    if (int *slot = stateSlot(id))
        *slot = value;
    Q_EMIT featureChanged(id, value);
}

bool Camera::readVendor(Feature id, int *value)
{
    const VendorCalls calls = vendorCalls(id);
    return calls.get && (m_unit.*calls.get)(*value);
}

bool Camera::trackingHeldOff() const
{
    return m_traits.trackingHeldOff(m_state.firmware) || (m_traits.page & TrackingOff);
}

bool Camera::readTrackMode(int *mode)
{
    if (!m_unit.GetTrackMode(*mode))
        return false;
    if (trackingHeldOff())
        *mode = kTrackOff;
    return true;
}

void Camera::readState()
{
    const QString version = readFirmware();
    if (!version.isEmpty())
        m_state.firmware = version;
    else
        qWarning() << "Failed to get the camera version.";

    int value = 0;
    if (m_unit.GetHDR(value))
        report(Feature::Hdr, value);
    if (m_unit.GetAntiFlicker(value)) {
        qDebug() << "flicker state: " << value;
        report(Feature::AntiFlicker, value);
    }
    if (m_unit.GetMicEnable(value)) {
        qDebug() << "mute state: " << value;
        report(Feature::Mic, value);
    }
    if (m_traits.fieldOfView)
        readFieldOfView();

    if (m_position != -1)
        queryControls();
    ControlCache &controls = cache();
    controls.zoom = qBound(kNoZoom, controls.zoom, kMaxZoom);
    qDebug() << "param:"
             << "g_brightness:" << controls.brightness << "pan:" << controls.pan << "tilt:" << controls.tilt
             << "zoom:" << controls.zoom;

    if (m_unit.GetHD(value))
        report(Feature::Hd, value);
    int answered = 0;
    if (m_unit.GetTrackMode(answered)) {
        value = trackingHeldOff() ? kTrackOff : answered;
        qDebug() << "tracking mode state: " << value;
        qDebug() << "tracking mode index: " << indexOf(Feature::Tracking, value);
        report(Feature::Tracking, value);
        if (value == kTrackOff)
            Q_EMIT padRestoreDue();
        // Effect and speed are read whenever the camera runs Auto Framing, also
        // where the page shows Off: reading changes nothing on the camera.
        if (answered == kAutoFraming) {
            if (m_unit.GetTrackEffect(value)) {
                qDebug() << "tracking effect state: " << value;
                report(Feature::TrackingEffect, value);
            }
            if (m_unit.GetTrackSpeed(value)) {
                qDebug() << "tracking speend state: " << value;
                report(Feature::TrackingSpeed, value);
            }
        }
    }
    Q_EMIT stateRead(state());
}

QString Camera::readFirmware()
{
    QString version;
    if (m_unit.GetVersion(kVersionCode, version) || m_unit.GetVersion(kLegacyVersionCode, version))
        return version;
    return {};
}

bool Camera::queryControls()
{
    return m_wrapper.QueryCameraParameters(m_position, m_traits.model);
}

bool Camera::readFieldOfView()
{
    int angle = 0;
    if (!m_unit.GetViewAngle(angle))
        return false;
    qDebug() << "angleState: " << angle;
    report(Feature::FieldOfView, angle);
    if (angle < 0 || angle > 2 || !m_echoFieldOfView)
        return true;
    // The page shows the camera's value and sends it back, as a choice of it would.
    qDebug() << "set VIEW ANGLE:" << angle;
    if (!m_unit.SetViewAngle(angle)) {
        qDebug() << "set VIEW ANGLE failed!";
        int read = 0;
        if (m_unit.GetViewAngle(read))
            report(Feature::FieldOfView, read);
    }
    return true;
}

void Camera::pollTrackingStatus()
{
    readFieldOfView();
    int mode = 0;
    if (!m_unit.GetTrackMode(mode))
        return;
    qDebug() << "tracking mode state: " << mode;
    qDebug() << "tracking mode index: " << indexOf(Feature::Tracking, mode);
    report(Feature::Tracking, mode);
    if (mode != kAutoFraming)
        return;
    int effect = 0;
    if (m_unit.GetTrackEffect(effect)) {
        qDebug() << "tracking effect state: " << effect;
        report(Feature::TrackingEffect, effect);
    }
}

void Camera::restorePad()
{
    // A model without pan, tilt and zoom has nothing to re-apply.
    if (!m_traits.cameraControls)
        return;
    ControlCache &c = cache();
    if (c.tilt > kPadLimit)
        c.tilt = kPadLimit;
    m_wrapper.SetCameraProperty(kCameraTilt, c.tilt);
    if (c.pan < -kPadLimit)
        c.pan = -kPadLimit;
    m_wrapper.SetCameraProperty(kCameraPan, c.pan);
    m_wrapper.SetCameraProperty(kCameraZoom, c.zoom);
    m_wrapper.GetCameraProperty(kCameraZoom, c.zoom);
}

bool Camera::restoreDefaults()
{
    if (m_traits.trackingHeldOff(m_state.firmware)) {
        ControlCache &c = cache();
        c.pan = 0;
        c.tilt = 0;
        c.zoom = kNoZoom;
        m_wrapper.SetCameraProperty(kCameraPan, c.pan);
        m_wrapper.SetCameraProperty(kCameraTilt, c.tilt);
        m_wrapper.SetCameraProperty(kCameraZoom, c.zoom);
        if (!m_unit.SetAntiFlicker(1))
            qDebug() << "Config deivce flicker failed.";
        if (!m_unit.SetMicEnable(1))
            qDebug() << "Config deivce mute failed.";
        readState();
    }
    if (!m_unit.RestoreDefaults()) {
        qDebug() << "Reset default params failed.";
        return false;
    }
    qDebug() << "Reset default params successed.";
    return true;
}

Availability Camera::availability(Feature id) const
{
    if (!m_open)
        return Availability::NoCamera;
    const bool basic = m_traits.page & BasicControls;
    switch (id) {
    case Feature::Mic:
    case Feature::AntiFlicker:
        return Availability::Available;
    case Feature::Hdr:
        return basic ? Availability::NotOnModel : Availability::Available;
    case Feature::Hd:
        return basic || (m_traits.page & HideHD) ? Availability::NotOnModel : Availability::Available;
    case Feature::FieldOfView:
        if (basic || !m_traits.fieldOfView || (m_traits.page & HideFieldOfView))
            return Availability::NotOnModel;
        // The page offers it only while tracking is off.
        return m_state.trackMode == kTrackOff ? Availability::Available : Availability::NotInMode;
    case Feature::Tracking:
        if (basic)
            return Availability::NotOnModel;
        return m_traits.page & TrackingLocked ? Availability::Held : Availability::Available;
    case Feature::TrackingEffect:
        if (basic)
            return Availability::NotOnModel;
        return m_state.trackMode == kAutoFraming ? Availability::Available : Availability::NotInMode;
    case Feature::TrackingSpeed:
        if (basic)
            return Availability::NotOnModel;
        return m_state.trackMode == kAutoFraming && m_state.trackEffect != kImmediate ? Availability::Available
                                                                                     : Availability::NotInMode;
    default:
        break;
    }
    const Control control = controlOf(id);
    if (isCameraControl(control) && (basic || !m_traits.cameraControls))
        return Availability::NotOnModel;
    if (control == Control::Focus && !m_traits.focus)
        return Availability::NotOnModel;
    ControlCache copy = m_wrapper.cache();
    const ParameterRange &r = copy.range(control);
    if (r.minimum == r.maximum)
        return Availability::NotOnModel;
    return Availability::Available;
}

ParameterRange Camera::rangeOf(Feature id)
{
    const Control control = controlOf(id);
    ParameterRange range = cache().range(control);
    if (control == Control::Pan || control == Control::Tilt) {
        range.minimum = qMax(range.minimum, -kPadLimit);
        range.maximum = qMin(range.maximum, kPadLimit);
    }
    return range;
}

bool Camera::read(Feature id, int *value)
{
    if (!isNumber(id)) {
        const bool ok = id == Feature::Tracking ? readTrackMode(value) : readVendor(id, value);
        if (ok)
            report(id, *value);
        return ok;
    }
    const Control control = controlOf(id);
    int &cached = cache().value(control);
    const bool ok = isCameraControl(control) ? m_wrapper.GetCameraProperty(propertyIdOf(control), cached)
                                             : m_wrapper.GetImageProperty(propertyIdOf(control), cached);
    *value = cached;
    return ok;
}

SetResult Camera::setTracking(int mode)
{
    SetResult result{false, false, mode, false};
    if (!m_unit.SetTrackMode(mode)) {
        int read = 0;
        if (m_unit.GetTrackMode(read)) {
            qDebug() << "Set tracking mode:" << mode << ", query value:" << read;
            report(Feature::Tracking, read);
            result.readBack = true;
            result.value = read;
        }
        return result;
    }
    result.sent = true;
    if (mode == kTrackOff) {
        // Zoom goes home with tracking off.
        setControl(Feature::Zoom, cache().zoomRange.minimum);
        if (m_traits.fieldOfView)
            readFieldOfView();
    }
    report(Feature::Tracking, mode);
    int read = 0;
    if (m_unit.GetTrackMode(read))
        qDebug() << "Set tracking mode:" << mode << ", query value:" << read;
    if (mode == kTrackOff) {
        Q_EMIT padRestoreDue();
        return result;
    }
    if (mode != kAutoFraming)
        return result;
    int value = 0;
    if (m_unit.GetTrackEffect(value)) {
        qDebug() << "tracking effect state: " << value;
        report(Feature::TrackingEffect, value);
    }
    if (m_state.trackEffect != kSmooth)
        return result;
    if (m_unit.GetTrackSpeed(value)) {
        qDebug() << "tracking speend state: " << value;
        report(Feature::TrackingSpeed, value);
    }
    return result;
}

SetResult Camera::setControl(Feature id, int value)
{
    const Control control = controlOf(id);
    const int property = propertyIdOf(control);
    int &cached = cache().value(control);
    cached = value;
    SetResult result{false, false, value, false};
    if (isCameraControl(control)) {
        result.sent = m_wrapper.SetCameraProperty(property, value);
        // Focus is only written; the others are read back as the page does.
        if (control != Control::Focus) {
            result.readBack = m_wrapper.GetCameraProperty(property, value);
            result.value = cached;
        }
    } else {
        result.sent = m_wrapper.SetImageProperty(property, value);
        result.readBack = m_wrapper.GetImageProperty(property, value);
        result.value = cached;
    }
    if (control == Control::Pan)
        qDebug() << "set pan:" << cached;
    if (result.sent)
        remember(control);
    Q_EMIT featureChanged(id, result.value);
    return result;
}

SetResult Camera::set(Feature id, int value)
{
    if (isNumber(id))
        return setControl(id, value);
    SetResult result{false, false, value, false};
    const VendorCalls calls = vendorCalls(id);
    int read = 0;
    switch (id) {
    case Feature::Tracking:
        return setTracking(value);
    case Feature::TrackingEffect:
    case Feature::TrackingSpeed: {
        // Effect and speed only go to a camera in Auto Framing.
        int mode = 0;
        if (!m_unit.GetTrackMode(mode) || mode != kAutoFraming) {
            result.attempted = false;
            return result;
        }
        if ((m_unit.*calls.set)(value)) {
            result.sent = true;
            report(id, value);
            return result;
        }
        if ((m_unit.*calls.get)(read)) {
            qDebug() << (id == Feature::TrackingEffect ? "Set tracking effect:" : "Set tracking speed:") << value
                     << ", query value:" << read;
            report(id, read);
            result.readBack = true;
            result.value = read;
        }
        return result;
    }
    case Feature::FieldOfView: {
        ControlCache &c = cache();
        // A new field of view starts from the centre.
        if (c.pan != 0 || c.tilt != 0 || c.zoom != kNoZoom) {
            c.pan = c.panRange.defaultValue;
            c.tilt = c.tiltRange.defaultValue;
            c.zoom = c.zoomRange.minimum;
            restorePad();
            Q_EMIT featureChanged(Feature::Zoom, c.zoom);
        }
        qDebug() << "set VIEW ANGLE:" << value;
        if (m_unit.SetViewAngle(value)) {
            result.sent = true;
            report(id, value);
            return result;
        }
        qDebug() << "set VIEW ANGLE failed!";
        if (m_unit.GetViewAngle(read)) {
            report(id, read);
            result.readBack = true;
            result.value = read;
        }
        return result;
    }
    default:
        break;
    }
    if (int *slot = stateSlot(id))
        *slot = value;
    result.sent = (m_unit.*calls.set)(value);
    if (result.sent && (id == Feature::Hd || id == Feature::Mic)) {
        result.restarting = true;
        Q_EMIT restarting();
        return result;
    }
    // Anti-flicker is always read back; HD and the microphone when they failed.
    if (id == Feature::AntiFlicker || (!result.sent && (id == Feature::Hd || id == Feature::Mic))) {
        if ((m_unit.*calls.get)(read)) {
            const char *label = id == Feature::AntiFlicker ? "Set Flicker:" : id == Feature::Hd ? "Set HD:" : "Set m_muteState:";
            qDebug() << label << value << ", query value:" << read;
            report(id, read);
            result.readBack = true;
            result.value = read;
        }
    }
    return result;
}

SetResult Camera::setManual(Feature id)
{
    const Control control = controlOf(id);
    int &cached = cache().value(control);
    SetResult result{false, false, cached, false};
    if (control == Control::Focus) {
        // Manual at the position automatic focus reached.
        m_wrapper.GetCameraProperty(kCameraFocus, cached);
        result.sent = m_wrapper.SetCameraProperty(kCameraFocus, cached);
        cache().focusFlags = kControlFlagsManual;
    } else if (!isCameraControl(control)) {
        result.sent = m_wrapper.SetImageProperty(propertyIdOf(control), cached);
    }
    if (result.sent) {
        rememberAuto(control, false);
        remember(control);
    }
    result.value = cached;
    return result;
}

int Camera::autoState(Feature id)
{
    if (!isNumber(id))
        return -1;
    const Control control = controlOf(id);
    if (control == Control::Focus)
        return m_traits.focus ? (cache().focusFlags == kControlFlagsAuto ? 1 : 0) : -1;
    if (isCameraControl(control))
        return -1;
    return m_wrapper.AutoModeState(propertyIdOf(control), false);
}

SetResult Camera::setAuto(Feature id)
{
    SetResult result{false, false, 1, false};
    const Control control = controlOf(id);
    if (control == Control::Focus) {
        result.sent = m_unit.EnableAutoFocus();
        if (result.sent)
            cache().focusFlags = kControlFlagsAuto;
    } else {
        result.sent = m_wrapper.SetImagePropertyAuto(propertyIdOf(control));
    }
    if (result.sent)
        rememberAuto(control, true);
    return result;
}

} // namespace lumora::camera
