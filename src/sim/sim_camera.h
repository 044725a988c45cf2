#pragma once
// A simulated USB Video Class camera behind uvcvideo: per VideoStreaming
// interface a capture node and (optionally) a metadata node, its USB descriptors, the vendor extension
// unit, the standard controls and an MJPEG feed. Also serves the cameras
// without a USB identity (platform cameras) and other vendors' webcams.

#include "sim/sim_controls.h"
#include "sim/sim_device.h"
#include "sim/sim_extension_unit.h"
#include "sim/sim_faults.h"
#include "sim/sim_uvc_descriptors.h"
#include "sim/sim_video_feed.h"


#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct v4l2_capability;

namespace lumora::sim {

class SimMachineStore;

class SimCamera : public SimDevice {
public:
    // How long a restarting camera stays away, and how long it takes to come
    // back as an update drive (a scenario's "restartMs" and "upgradeSwitchMs" may say otherwise).
    static constexpr int kRestartMs = 2000;
    static constexpr int kUpgradeSwitchMs = 1500;

    explicit SimCamera(const QJsonObject &config);
    // Faults of the picture stream ("stallFeed", "garbageFrames",
    // "damagedFrames"), which the feed carries rather than the transfers.
    static bool isStreamFault(const QString &kind);
    ~SimCamera() override;

    bool hasUsbIdentity() const override { return m_hasUsb; }
    SimUsbIdentity usb() const override { return m_usb; }
    QByteArray descriptors() const override;
    QVector<SimNode> nodes() const override;
    int ioctl(const SimFile &file, unsigned long request, void *arg) override;
    int poll(const SimFile &file, short events, int timeoutMs) override;
    void closed(const SimFile &file) override;
    // The feed stops sending frames (a camera that hangs), after `afterFrames` more.
    void stallFeed(quint64 afterFrames = 0);
    void resumeFeed();
    // Called on the feed's thread each time a buffer holds a whole frame.
    void setFrameObserver(std::function<void(quint64 frame)> observer);
    QVector<platform::NodeHolder> holders(int node) const override;
    QJsonObject config() const override;
    void attach(SimKernel *kernel) override;

    SimFaults &faults() { return m_faults; }
    SimExtensionUnit &extensionUnit() { return m_extensionUnit; }
    SimControls &controls() { return m_controls; }
    // The config of the update drive this camera turns into on EnterUpgradeMode.
    QJsonObject updateDriveConfig() const;
    // The application streaming from the camera ("heldBy") closes it.
    void release();
    bool isHeld() const;

private:
    int queryCapabilities(int node, v4l2_capability *cap) const;
    // The VideoStreaming interface (index into m_streams) a capture node
    // belongs to; -1 for a metadata node.
    int streamOfNode(int node) const;
    // A streaming interface's stream, served on its capture node; null while unplugged.
    std::shared_ptr<SimVideoFeed> feed(int stream);
    // One transfer to the device: the extension unit or a standard control.
    int transfer(unsigned long request, void *arg);
    int transferNow(unsigned long request, void *arg);
    // Takes the state another process saved for this camera, if it changed.
    void catchUp(SimMachineStore &store);
    void act(SimExtensionUnit::Outcome outcome);

    const QJsonObject m_config;
    const bool m_hasUsb;
    const SimUsbIdentity m_usb;
    const QByteArray m_card; // VIDIOC_QUERYCAP card, as the driver built it
    const int m_videoInterface;
    const QVector<QStringList> m_streams; // per VideoStreaming interface: its format names
    const bool m_metadataNode;
    const SimFrameOffer m_frameOffer;
    SimFaults m_faults;
    SimExtensionUnit m_extensionUnit;
    SimControls m_controls;
    std::atomic<SimKernel *> m_attachedTo{nullptr};
    // Another application streaming from the capture node, and whether this user can see it.
    mutable std::mutex m_holderMutex;
    platform::NodeHolder m_holder; // pid 0: nobody
    bool m_holderHidden = false;
    // Guards the feed and what a new feed starts with.
    std::mutex m_feedMutex;
    std::vector<std::shared_ptr<SimVideoFeed>> m_feeds; // per streaming interface
    // -1: the feed runs; otherwise it stalls after that many frames.
    qint64 m_stallAfter = -1;
    int m_garbageEvery = 0;
    SimVideoFeed::Damage m_damage;
    std::function<void(quint64)> m_frameObserver;
    // The saved state last taken from, or given to, the machine's store.
    std::mutex m_storeMutex;
    QJsonObject m_stored;
};

} // namespace lumora::sim
