#pragma once
// The device side of USB mass-storage Bulk-Only Transport: command blocks
// wrapped in 31-byte CBWs on the bulk OUT endpoint, an optional data stage, a
// 13-byte CSW on the bulk IN endpoint, halts, the class reset, and the faults
// a scenario can put on that path. What a command does is left to the device.

#include <QByteArray>
#include <QJsonObject>
#include <QSet>

#include <functional>

struct usbdevfs_bulktransfer;
struct usbdevfs_ctrltransfer;

namespace lumora::sim {

class SimBulkOnly {
public:
    // Counted from the device's creation, 1 = the first.
    struct Faults {
        int stallAt = 0;      // that bulk transfer stalls its endpoint
        int vanishAt = 0;     // that bulk transfer answers ENODEV and the device leaves
        int wrongTagAt = 0;   // that CSW carries a tag the host never sent
        int phaseErrorAt = 0; // that command ends in a phase error, not carried out
        int shortDataAt = 0;  // that data-in stage moves half its bytes
        int residueAt = 0;    // that command's CSW reports half its length unmoved, though all of it moved
        int badSignatureAt = 0; // that CSW carries a wrong signature
        int badStatusAt = 0;  // that CSW carries a status past phase error (3-255)
        int statusInDataAt = 0; // that data-in stage is skipped: the CSW comes in its place
    };
    static Faults readFaults(const QJsonObject &faults);

    enum class Outcome { Passed, Failed, Gone };
    // Carries out one command block: `data` holds what the host sent, or is
    // filled in place (it comes sized to the transfer length) for the host.
    using Execute = std::function<Outcome(const QByteArray &cdb, bool fromDevice, QByteArray *data)>;

    // What a transfer led to, for the device to act on once it has answered.
    struct After {
        bool gone = false;       // the device leaves: the transfer answers ENODEV
        bool statusSent = false; // a CSW went out: the command is over
    };

    SimBulkOnly(int inEndpoint, int outEndpoint, int interface, const Faults &faults);

    // USBDEVFS_BULK: bytes moved or -errno.
    int bulk(usbdevfs_bulktransfer *transfer, const Execute &execute, After *after);
    // USBDEVFS_CLEAR_HALT
    int clearHalt(unsigned endpoint);
    // USBDEVFS_CONTROL: the class requests (reset, max LUN); others stall.
    int control(usbdevfs_ctrltransfer *control);

private:
    enum class Phase { Command, DataOut, DataIn, Status, NeedsReset };
    void run(const Execute &execute, After *after);
    // Writes the command's CSW into `data` (13 bytes) and ends the command.
    int sendStatus(quint8 *data, After *after);

    const int m_in, m_out, m_interface;
    const Faults m_faults;
    Phase m_phase = Phase::Command;
    QSet<unsigned> m_halted;
    int m_transfers = 0, m_commands = 0, m_dataIns = 0, m_statuses = 0;
    quint32 m_tag = 0;
    int m_expected = 0;
    bool m_fromDevice = false;
    QByteArray m_cdb, m_buffer;
    int m_residue = 0;
    bool m_failed = false, m_phaseError = false, m_bogusResidue = false;
};

} // namespace lumora::sim
