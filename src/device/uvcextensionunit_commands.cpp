// The vendor command set: 8-byte packets [code, sequence, value, 0...] on the
// request selector, replies read from the reply selector.

#include "device/uvcextensionunit.h"

#include <QDebug>

namespace {

constexpr quint8 kQueryBit = 0x80;
constexpr quint8 kCodeHdr = 0x01;
constexpr quint8 kCodeAntiFlicker = 0x02;
constexpr quint8 kCodeMic = 0x04;
constexpr quint8 kCodeViewAngle = 0x0C;
constexpr quint8 kCodeHd = 0x0D;
constexpr quint8 kCodeTrackMode = 0x10;
constexpr quint8 kCodeTrackEffect = 0x11;
constexpr quint8 kCodeTrackSpeed = 0x12;
constexpr quint8 kCodeRestoreDefaults = 0x7F;

} // namespace

quint8 UVCExtensionUnit::nextSequence()
{
    if (++sequenceCounter > 255)
        sequenceCounter = 0;
    return quint8(sequenceCounter);
}

bool UVCExtensionUnit::sendPacket(quint32 selector, const quint8 (&packet)[8])
{
    quint8 buffer[8];
    std::copy(std::begin(packet), std::end(packet), buffer);
    quint32 returned = 0;
    return SetGetExtensionUnit(kPropertySet, selector, kFlagsSet, buffer, sizeof buffer, &returned) == 0;
}

bool UVCExtensionUnit::setCommand(quint8 code, int value)
{
    const quint8 packet[8] = {code, nextSequence(), quint8(value & 0xFF), 0, 0, 0, 0, 0};
    return sendPacket(requestSelector, packet);
}

bool UVCExtensionUnit::queryReply(quint8 code, quint8 (&reply)[8])
{
    // The camera stages one answer per request: nothing may come between the two transfers.
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const quint8 request[8] = {code, nextSequence(), 0, 0, 0, 0, 0, 0};
    if (!sendPacket(requestSelector, request))
        return false;
    quint8 buffer[8] = {code, nextSequence(), 0, 0, 0, 0, 0, 0};
    quint32 returned = 0;
    if (SetGetExtensionUnit(kPropertySet, replySelector, kFlagsGet, buffer, sizeof buffer, &returned) != 0)
        return false;
    std::copy(std::begin(buffer), std::end(buffer), reply);
    return true;
}

bool UVCExtensionUnit::queryByte(quint8 code, int &value)
{
    quint8 reply[8];
    if (!queryReply(quint8(code | kQueryBit), reply))
        return false;
    value = reply[2];
    return true;
}

bool UVCExtensionUnit::SetHDR(int value) { return setCommand(kCodeHdr, value); }
bool UVCExtensionUnit::SetAntiFlicker(int value) { return setCommand(kCodeAntiFlicker, value); }
bool UVCExtensionUnit::SetMicEnable(int value) { return setCommand(kCodeMic, value); }
bool UVCExtensionUnit::SetViewAngle(int value) { return setCommand(kCodeViewAngle, value); }
bool UVCExtensionUnit::SetHD(int value) { return setCommand(kCodeHd, value); }
bool UVCExtensionUnit::SetTrackMode(int value) { return setCommand(kCodeTrackMode, value); }

bool UVCExtensionUnit::SetTrackEffect(int value)
{
    qDebug() << "Auto config Effect";
    return setCommand(kCodeTrackEffect, value);
}

bool UVCExtensionUnit::SetTrackSpeed(int value)
{
    qDebug() << "Auto config Speend";
    return setCommand(kCodeTrackSpeed, value);
}

bool UVCExtensionUnit::RestoreDefaults()
{
    qDebug() << "updateDev.";
    return setCommand(kCodeRestoreDefaults, 0);
}

bool UVCExtensionUnit::EnableAutoFocus()
{
    return sendPacket(requestSelector, {0x40, 0xFF, 0xFF, 0, 0, 0, 0, 0});
}

bool UVCExtensionUnit::GetHDR(int &value) { return queryByte(kCodeHdr, value); }
bool UVCExtensionUnit::GetAntiFlicker(int &value) { return queryByte(kCodeAntiFlicker, value); }
bool UVCExtensionUnit::GetMicEnable(int &value) { return queryByte(kCodeMic, value); }
bool UVCExtensionUnit::GetViewAngle(int &value) { return queryByte(kCodeViewAngle, value); }
bool UVCExtensionUnit::GetHD(int &value) { return queryByte(kCodeHd, value); }
bool UVCExtensionUnit::GetTrackMode(int &value) { return queryByte(kCodeTrackMode, value); }

bool UVCExtensionUnit::GetTrackEffect(int &value)
{
    qDebug() << "Auto query Effect";
    return queryByte(kCodeTrackEffect, value);
}

bool UVCExtensionUnit::GetTrackSpeed(int &value)
{
    qDebug() << "Auto query Speend";
    return queryByte(kCodeTrackSpeed, value);
}

bool UVCExtensionUnit::GetVersion(int code, QString &version)
{
    quint8 reply[8];
    if (!queryReply(quint8(code), reply))
        return false;
    const int major = reply[2] << 8 | reply[3];
    const int minor = reply[4] << 8 | reply[5];
    const int patch = reply[6] << 8 | reply[7];
    if (major == 0 && minor == 0 && patch == 0)
        return false;
    version = QString::asprintf("%d.%d.%d", major, minor, patch);
    return true;
}

bool UVCExtensionUnit::EnterUpgradeMode()
{
    qDebug() << "updateDev.";
    return sendPacket(upgradeSelector, {0x00, 0xFF, 0x07, 0x3C, 0x96, 0xC3, 0x1E, 0x6B});
}
