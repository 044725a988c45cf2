#pragma once
// Channel to the camera's vendor extension unit: 8-byte transfers on its
// selectors, and the vendor command set carried over them.
//
// The GUI thread opens, releases and uses the unit; the upgrade worker sends
// its one command through the same object. One lock covers every transfer and
// the release and re-open of a recovery.

#include "device/xudescriptor.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <mutex>

// The extension units of the active configuration of the USB device a video node
// (a path or a bare name such as "video0") belongs to; read through the kernel.
QVector<ExtensionUnitDescriptor> extensionUnitsOfNode(const QString &node);

class UVCExtensionUnit : public QObject {
    Q_OBJECT
public:
    // Status of a transfer: 0 on success, negative (HRESULT-style) on failure.
    using Status = std::int32_t;
    static constexpr Status kStatusPointer = Status(0x80004003); // nothing open
    static constexpr Status kStatusFail = Status(0x80004005);    // no extension unit
    // A failure of the device node carries its errno in the low 16 bits.
    static Status statusFromErrno(int negativeErrno);

    // Transfer flags: write to / read from the unit.
    static constexpr quint32 kFlagsSet = 0x10000002;
    static constexpr quint32 kFlagsGet = 0x10000001;
    static constexpr quint32 requestSelector = 1;
    static constexpr quint32 replySelector = 2;
    static constexpr quint32 upgradeSelector = 4;
    static const ExtensionUnitGuid kPropertySet;

    explicit UVCExtensionUnit(QObject *parent = nullptr);
    ~UVCExtensionUnit() override;

    // Opens the first capture node, in enumeration order, whose interface path
    // contains `pathId` and whose name equals `friendlyName`.
    bool InitVideoDevice(QString pathId, QString friendlyName);
    // One transfer of `length` bytes to (kFlagsSet) or from (kFlagsGet) `selector`.
    Status SetGetExtensionUnit(ExtensionUnitGuid propertySet, quint32 selector, quint32 flags, quint8 *data,
                               quint32 length, quint32 *bytesReturned);
    void ReleaseVideoDevice();
    // Release and re-open as one step, so no other thread's transfer falls in between.
    bool ReopenVideoDevice(const QString &pathId, const QString &friendlyName);
    bool isOpen() const;

    // Vendor commands; each returns true when every transfer succeeded.
    bool SetHDR(int value);
    bool SetAntiFlicker(int value);
    bool SetMicEnable(int value);
    bool SetViewAngle(int value);
    bool SetHD(int value);
    bool SetTrackMode(int value);
    bool SetTrackEffect(int value);
    bool SetTrackSpeed(int value);
    bool RestoreDefaults();
    bool EnableAutoFocus();
    bool GetHDR(int &value);
    bool GetAntiFlicker(int &value);
    bool GetMicEnable(int &value);
    bool GetViewAngle(int &value);
    bool GetHD(int &value);
    bool GetTrackMode(int &value);
    bool GetTrackEffect(int &value);
    bool GetTrackSpeed(int &value);
    // `code` is 0x80, or 0x0B for older firmware; `version` becomes "major.minor.patch".
    bool GetVersion(int code, QString &version);
    // Thread-safe; does not touch sequenceCounter.
    bool EnterUpgradeMode();

    // Rolling request number, 1..255 then 0; GUI thread only.
    int sequenceCounter = 0;

Q_SIGNALS:
    void reInitUvc();

private:
    quint8 nextSequence();
    bool sendPacket(quint32 selector, const quint8 (&packet)[8]);
    bool setCommand(quint8 code, int value);
    bool queryReply(quint8 code, quint8 (&reply)[8]);
    bool queryByte(quint8 code, int &value);
    void releaseLocked();

    // Recursive: a recovery on the GUI thread runs inside the failing transfer.
    mutable std::recursive_mutex m_lock;
    int m_fd = -1;
    QVector<ExtensionUnitDescriptor> m_units;
};
