#pragma once
// A camera in one of its update states, seen as a USB mass-storage disk: its
// INQUIRY names the state, and it answers the vendor command 0xE8 the way the
// camera's ROM, updater and boot loader do (docs/scenario.md, "Update drives").

#include "sim/sim_bulk_only.h"
#include "sim/sim_device.h"

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

namespace lumora::sim {

class SimUpdateDrive : public SimDevice {
public:
    enum class State { Rom, Updater, UBoot };
    // Faults of the update protocol, counted from the drive's creation.
    struct Faults {
        int dropAtChunk = 0;    // the nth data chunk makes the drive leave
        int corruptChunk = 0;   // the nth data chunk arrives with a flipped byte
        bool neverAcknowledge = false; // every status read answers an error
        int lateStatusReads = 0;       // the first n status reads fail "not ready"
        int chunkDelayMs = 0;          // each data chunk takes this long (a slow drive)
    };

    // How long the updater takes to come back as the boot loader, and the boot
    // loader to come back as the camera.
    static constexpr int kBootLoaderStartMs = 300;
    static constexpr int kCameraStartMs = 500;
    // How long the camera checks a complete load, per MiB, unless the config's
    // "checkMsPerMiB" says otherwise; status reads answer "not ready" meanwhile.
    static constexpr int kCheckMsPerMiB = 50;

    explicit SimUpdateDrive(const QJsonObject &config);

    SimUsbIdentity usb() const override { return m_usb; }
    QByteArray descriptors() const override;
    QVector<SimNode> nodes() const override;
    int ioctl(const SimFile &file, unsigned long request, void *arg) override;
    // Bulk-Only Transport on its bulk endpoints, with the same commands as SG_IO.
    int usbTransfer(unsigned long request, void *arg) override;
    QJsonObject config() const override;
    void attach(SimKernel *kernel) override;

    State state() const;
    // Command lines received by the boot loader, in order.
    QStringList commandLines() const;
    // Load addresses of the loads the boot loader accepted, in order.
    QVector<quint32> acceptedLoads() const;

private:
    struct Load {
        bool active = false;
        quint32 address = 0;
        quint32 size = 0;
        QByteArray md5;
        QByteArray data;
    };
    enum class Next { Stay, BootLoader, Camera, Leave };
    struct Reply {
        bool ok = true;
        int senseKey = 0;
        int asc = 0;
        Next next = Next::Stay;
    };

    // One command block, whichever way it came; a failure's sense is kept
    // for the REQUEST SENSE that follows it.
    Reply execute(const quint8 *cdb, int cdbLength, bool fromDevice, quint8 *data, int length);
    Reply answer(const quint8 *cdb, int cdbLength, bool fromDevice, quint8 *data, int length);
    Reply requestSense(quint8 *data, int length);
    Reply inquiry(quint8 *data, int length) const;
    Reply vendor(int subCommand, bool fromDevice, quint8 *data, int length);
    Reply chunk(int subCommand, quint8 *data, int length);
    // The check of a complete load runs while the host waits its check
    // pause, as on the camera; its verdict is taken before the next command.
    void startLoadCheck();
    void settleLoadCheck();
    bool checkRunning() const;
    Reply status(quint8 *data, int length);
    Reply commandText(const QByteArray &text);
    void moveOn(Next next);

    QJsonObject m_config;
    const SimUsbIdentity m_usb;
    const QByteArray m_vendorText;
    const QByteArray m_productText;
    std::atomic<SimKernel *> m_attachedTo{nullptr};

    mutable std::mutex m_mutex;
    State m_state;
    Faults m_faults;
    int m_chunks = 0;
    int m_statusReads = 0;
    Load m_load;
    std::future<bool> m_loadCheck; // the running check of m_load, if any
    const int m_checkMsPerMiB;
    std::chrono::steady_clock::time_point m_checkDone; // when the camera has checked it
    QByteArray m_rawFile;
    std::array<quint8, 4> m_status;
    Reply m_lastFailure{true, 0, 0, Next::Stay}; // its sense until the next command
    bool m_bootPending = false;
    QString m_newVersion;
    QStringList m_commandLines;
    QVector<quint32> m_acceptedLoads;

    // One host at a time talks over the bulk endpoints; taken before m_mutex.
    std::mutex m_bulkMutex;
    SimBulkOnly m_bulkOnly;
    Next m_afterStatus = Next::Stay; // what the camera does once the command's CSW is out
};

} // namespace lumora::sim
