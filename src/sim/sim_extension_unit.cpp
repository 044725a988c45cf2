#include "sim/sim_extension_unit.h"

#include "sim/sim_controls.h"

#include <QStringList>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>

namespace lumora::sim {

const char *const SimExtensionUnit::kHdr = "hdr";
const char *const SimExtensionUnit::kAntiFlicker = "antiFlicker";
const char *const SimExtensionUnit::kMic = "mic";
const char *const SimExtensionUnit::kViewAngle = "viewAngle";
const char *const SimExtensionUnit::kHd = "hd";
const char *const SimExtensionUnit::kTrackMode = "trackMode";
const char *const SimExtensionUnit::kTrackEffect = "trackEffect";
const char *const SimExtensionUnit::kTrackSpeed = "trackSpeed";
const char *const SimExtensionUnit::kRestoredKey = "restoredDefaults";

namespace {

constexpr quint8 kRequestSelector = 1;
constexpr quint8 kReplySelector = 2;
constexpr quint8 kUpgradeSelector = 4;
constexpr quint8 kQueryBit = 0x80;
constexpr quint8 kVersionCode = 0x80;
constexpr quint8 kLegacyVersionCode = 0x0B;
constexpr quint8 kEnableAutoFocusCode = 0x40;
constexpr quint8 kRestoreDefaultsCode = 0x7F;
constexpr int kPacketSize = 8;
constexpr int kDefaultUnitId = 6;
// A second, unrelated unit placed before ours, as chipset vendors add one.
constexpr int kForeignUnitId = 5;

const quint8 kUpgradePacket[kPacketSize] = {0x00, 0xFF, 0x07, 0x3C, 0x96, 0xC3, 0x1E, 0x6B};
const quint8 kVendorGuid[16] = {0xD0, 0x9E, 0xE4, 0x23, 0x78, 0x11, 0x31, 0x4F,
                                0xAE, 0x52, 0xD2, 0xFB, 0x8A, 0x8D, 0x3B, 0x48};
const quint8 kForeignGuid[16] = {0x41, 0x76, 0x9E, 0xA2, 0x04, 0xDE, 0xE3, 0x47,
                                 0x8B, 0x2B, 0xF4, 0x34, 0x1A, 0xFF, 0x00, 0x3B};

struct FeatureRule {
    quint8 code;
    const char *key;
    std::initializer_list<int> allowed;
    int factory;
    bool restarts;
};

const FeatureRule kFeatures[] = {
    {0x01, SimExtensionUnit::kHdr, {0, 1}, 0, false},
    {0x02, SimExtensionUnit::kAntiFlicker, {1, 2}, 1, false},
    {0x04, SimExtensionUnit::kMic, {0, 1}, 1, true},
    {0x0C, SimExtensionUnit::kViewAngle, {0, 1, 2}, 0, false},
    {0x0D, SimExtensionUnit::kHd, {0, 1}, 1, true},
    {0x10, SimExtensionUnit::kTrackMode, {0, 1, 3}, 1, false},
    {0x11, SimExtensionUnit::kTrackEffect, {0, 1}, 1, false},
    {0x12, SimExtensionUnit::kTrackSpeed, {0, 1, 2}, 1, false},
};

const FeatureRule *ruleFor(quint8 code)
{
    for (const FeatureRule &rule : kFeatures)
        if (rule.code == code)
            return &rule;
    return nullptr;
}

QByteArray unitDescriptor(int unitId, const quint8 *guid, quint16 controls)
{
    // VC_EXTENSION_UNIT: bLength, CS_INTERFACE, subtype, bUnitID, guid, bNumControls,
    // bNrInPins, baSourceID, bControlSize, bmControls, iExtension.
    QByteArray d;
    d.append(char(0));
    d.append(char(0x24));
    d.append(char(UVC_VC_EXTENSION_UNIT));
    d.append(char(unitId));
    d.append(reinterpret_cast<const char *>(guid), 16);
    d.append(char(__builtin_popcount(controls)));
    d.append(char(1));
    d.append(char(2)); // fed by the processing unit
    d.append(char(2));
    d.append(char(controls & 0xFF));
    d.append(char(controls >> 8));
    d.append(char(0));
    d[0] = char(d.size());
    return d;
}

} // namespace

SimExtensionUnit::SimExtensionUnit(const QJsonObject &cameraConfig)
{
    const QJsonValue unit = cameraConfig.value("extensionUnit");
    m_present = !(unit.isBool() && !unit.toBool());
    const QJsonObject unitObject = unit.toObject();
    m_unitId = unitObject.value("unitId").toInt(kDefaultUnitId);
    m_versionOnLegacyCodeOnly = unitObject.value("legacyVersion").toBool(false);

    const QJsonObject features = cameraConfig.value("features").toObject();
    for (const FeatureRule &rule : kFeatures)
        m_features[rule.key] = features.value(rule.key).toInt(rule.factory);

    const QStringList parts = cameraConfig.value("firmware").toString("1.0.0").split('.');
    for (int i = 0; i < 3 && i < parts.size(); ++i)
        m_version[i] = quint16(parts[i].toUInt());
}

void SimExtensionUnit::attachControls(SimControls *controls)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_controls = controls;
}

bool SimExtensionUnit::present() const { return m_present; }

QByteArray SimExtensionUnit::descriptors() const
{
    if (!m_present)
        return {};
    const quint16 ourSelectors = (1 << (kRequestSelector - 1)) | (1 << (kReplySelector - 1))
        | (1 << (kUpgradeSelector - 1));
    return unitDescriptor(kForeignUnitId, kForeignGuid, 0) + unitDescriptor(m_unitId, kVendorGuid, ourSelectors);
}

int SimExtensionUnit::query(void *arg, Outcome *outcome)
{
    *outcome = Outcome::None;
    auto *q = static_cast<uvc_xu_control_query *>(arg);
    std::lock_guard<std::mutex> lock(m_mutex);
    // uvcvideo's own checks come first: unknown unit or selector, wrong size, wrong direction.
    if (!m_present || q->unit != m_unitId)
        return -ENOENT;
    const bool writable = q->selector == kRequestSelector || q->selector == kUpgradeSelector;
    const bool readable = q->selector == kReplySelector;
    if (!writable && !readable)
        return -ENOENT;
    switch (q->query) {
    case UVC_GET_LEN:
        if (q->size != 2)
            return -ENOBUFS;
        q->data[0] = kPacketSize;
        q->data[1] = 0;
        return 0;
    case UVC_GET_INFO:
        if (q->size != 1)
            return -ENOBUFS;
        q->data[0] = writable ? UVC_CONTROL_CAP_SET : UVC_CONTROL_CAP_GET;
        return 0;
    case UVC_SET_CUR:
    case UVC_GET_CUR:
    case UVC_GET_MIN:
    case UVC_GET_MAX:
    case UVC_GET_RES:
    case UVC_GET_DEF:
        break;
    default:
        // uvcvideo refuses a query code it does not know before asking the device.
        return -EINVAL;
    }
    // Same order as uvcvideo: the capability flags, then the size, then the device.
    if ((q->query == UVC_SET_CUR && !writable) || (q->query == UVC_GET_CUR && !readable))
        return -EBADRQC;
    if (q->size != kPacketSize)
        return -ENOBUFS;
    if (q->query != UVC_SET_CUR && q->query != UVC_GET_CUR)
        return -EIO; // the firmware stalls it as an invalid request

    if (q->selector == kReplySelector)
        return reply(q->data);
    if (q->selector == kUpgradeSelector) {
        if (std::memcmp(q->data, kUpgradePacket, kPacketSize) != 0)
            return -EIO;
        *outcome = Outcome::EnterUpgradeMode;
        return 0;
    }
    return request(q->data, outcome);
}

int SimExtensionUnit::request(const quint8 *packet, Outcome *outcome)
{
    // Every request replaces what was staged; a rejected one leaves nothing staged.
    m_staged = false;
    const quint8 code = packet[0];
    if (code == kVersionCode || code == kLegacyVersionCode || (code & kQueryBit))
        return stageQuery(code, packet[1]);
    if (code == kEnableAutoFocusCode) {
        if (m_controls)
            m_controls->enableAutoFocus();
        return 0;
    }
    if (code == kRestoreDefaultsCode) {
        restoreFactoryDefaults();
        *outcome = Outcome::Restart;
        return 0;
    }
    return setFeature(code, packet[2], outcome);
}

int SimExtensionUnit::setFeature(quint8 code, quint8 value, Outcome *outcome)
{
    const FeatureRule *rule = ruleFor(code);
    if (!rule || std::find(rule->allowed.begin(), rule->allowed.end(), value) == rule->allowed.end())
        return -EIO;
    // The camera re-enumerates only when its USB functions actually change.
    if (rule->restarts && m_features.value(rule->key) != value)
        *outcome = Outcome::Restart;
    m_features[rule->key] = value;
    return 0;
}

int SimExtensionUnit::stageQuery(quint8 code, quint8 sequence)
{
    std::array<quint8, 8> answer{code, sequence, 0, 0, 0, 0, 0, 0};
    if (code == kVersionCode || code == kLegacyVersionCode) {
        const bool answers = code == kLegacyVersionCode || !m_versionOnLegacyCodeOnly;
        for (int i = 0; answers && i < 3; ++i) {
            answer[2 + 2 * i] = quint8(m_version[i] >> 8);
            answer[3 + 2 * i] = quint8(m_version[i] & 0xFF);
        }
    } else {
        const FeatureRule *rule = ruleFor(code & ~kQueryBit);
        if (!rule)
            return -EIO;
        answer[2] = quint8(m_features.value(rule->key));
    }
    m_stagedReply = answer;
    m_staged = true;
    return 0;
}

int SimExtensionUnit::reply(quint8 *packet)
{
    if (!m_staged)
        return -EIO;
    std::copy(m_stagedReply.begin(), m_stagedReply.end(), packet);
    m_staged = false;
    return 0;
}

void SimExtensionUnit::restoreFactoryDefaults()
{
    for (const FeatureRule &rule : kFeatures)
        m_features[rule.key] = rule.factory;
    m_restored = true;
    if (m_controls)
        m_controls->restoreDefaults();
}

void SimExtensionUnit::saveTo(QJsonObject *cameraConfig) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonObject features;
    for (auto it = m_features.cbegin(); it != m_features.cend(); ++it)
        features.insert(it.key(), it.value());
    cameraConfig->insert("features", features);
    cameraConfig->insert(kRestoredKey, m_restored);
}

void SimExtensionUnit::loadState(const QJsonObject &cameraConfig)
{
    const QJsonObject features = cameraConfig.value("features").toObject();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_features.begin(); it != m_features.end(); ++it)
        it.value() = features.value(it.key()).toInt(it.value());
    m_restored = cameraConfig.value(kRestoredKey).toBool(m_restored);
}

int SimExtensionUnit::feature(const QString &key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_features.value(key, -1);
}

QString SimExtensionUnit::firmware() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QString("%1.%2.%3").arg(m_version[0]).arg(m_version[1]).arg(m_version[2]);
}

} // namespace lumora::sim
