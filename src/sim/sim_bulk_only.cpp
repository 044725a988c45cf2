#include "sim/sim_bulk_only.h"

#include <QtEndian>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace lumora::sim {

namespace {
constexpr int kCbwLength = 31, kCswLength = 13;
constexpr quint32 kCbwSignature = 0x43425355, kCswSignature = 0x53425355;
constexpr quint8 kClassOut = 0x21, kClassIn = 0xA1, kReset = 0xFF, kGetMaxLun = 0xFE;
constexpr quint8 kStatusPassed = 0, kStatusFailed = 1, kStatusPhaseError = 2, kStatusReserved = 5;
} // namespace

SimBulkOnly::Faults SimBulkOnly::readFaults(const QJsonObject &faults)
{
    Faults f;
    f.stallAt = faults.value("stallAt").toInt();
    f.vanishAt = faults.value("vanishAt").toInt();
    f.wrongTagAt = faults.value("wrongTagAt").toInt();
    f.phaseErrorAt = faults.value("phaseErrorAt").toInt();
    f.shortDataAt = faults.value("shortDataAt").toInt();
    f.residueAt = faults.value("residueAt").toInt();
    f.badSignatureAt = faults.value("badSignatureAt").toInt();
    f.badStatusAt = faults.value("badStatusAt").toInt();
    f.statusInDataAt = faults.value("statusInDataAt").toInt();
    return f;
}

SimBulkOnly::SimBulkOnly(int inEndpoint, int outEndpoint, int interface, const Faults &faults)
    : m_in(inEndpoint), m_out(outEndpoint), m_interface(interface), m_faults(faults)
{
}

void SimBulkOnly::run(const Execute &execute, After *after)
{
    if (m_phaseError)
        return;
    switch (execute(m_cdb, m_fromDevice, &m_buffer)) {
    case Outcome::Passed:
        break;
    case Outcome::Failed:
        m_failed = true;
        break;
    case Outcome::Gone:
        after->gone = true;
        break;
    }
}

int SimBulkOnly::bulk(usbdevfs_bulktransfer *t, const Execute &execute, After *after)
{
    const unsigned ep = t->ep;
    const int length = int(t->len);
    auto *data = static_cast<quint8 *>(t->data);
    if (length > 0 && !data)
        return -EFAULT;
    if (++m_transfers == m_faults.vanishAt) {
        after->gone = true;
        return -ENODEV;
    }
    if (m_halted.contains(ep) || m_phase == Phase::NeedsReset)
        return -EPIPE;
    const bool in = ep & 0x80;
    const bool stall = m_transfers == m_faults.stallAt;
    // An endpoint the current phase has no use for is NAKed until the host gives up.
    const bool wanted = m_phase == Phase::Command || m_phase == Phase::DataOut ? !in : in;
    if (!wanted)
        return -ETIMEDOUT;
    if (stall) {
        m_halted.insert(ep);
        // A refused data stage ends the command as failed; a stalled CBW or CSW stays where it was.
        if (m_phase == Phase::DataOut || m_phase == Phase::DataIn) {
            m_failed = true;
            m_phase = Phase::Status;
        }
        return -EPIPE;
    }
    switch (m_phase) {
    case Phase::Command: {
        const int cbLength = length == kCbwLength ? data[14] : 0;
        if (length != kCbwLength || qFromLittleEndian<quint32>(data) != kCbwSignature || cbLength < 1 || cbLength > 16) {
            // Not a valid CBW: both pipes stall until the host resets the device.
            m_halted << unsigned(m_in) << unsigned(m_out);
            m_phase = Phase::NeedsReset;
            return length;
        }
        m_tag = qFromLittleEndian<quint32>(data + 4);
        m_expected = int(qMin<quint32>(qFromLittleEndian<quint32>(data + 8), 1u << 24));
        m_fromDevice = data[12] & 0x80;
        m_cdb = QByteArray(reinterpret_cast<const char *>(data) + 15, cbLength);
        m_failed = false;
        m_phaseError = ++m_commands == m_faults.phaseErrorAt;
        m_bogusResidue = m_commands == m_faults.residueAt;
        m_residue = m_expected;
        m_buffer.clear();
        if (m_expected == 0 || m_fromDevice) {
            m_buffer = QByteArray(m_expected, '\0');
            run(execute, after);
            m_phase = m_expected == 0 ? Phase::Status : Phase::DataIn;
            if (m_expected == 0)
                m_residue = 0;
        } else {
            m_phase = Phase::DataOut;
        }
        return after->gone ? -ENODEV : length;
    }
    case Phase::DataOut: {
        const int take = qMin(length, m_expected - m_buffer.size());
        m_buffer.append(reinterpret_cast<const char *>(data), take);
        if (length > take)
            m_phaseError = true; // more than the CBW announced
        m_residue = m_expected - m_buffer.size();
        if (m_residue == 0) {
            run(execute, after);
            m_phase = Phase::Status;
        }
        return after->gone ? -ENODEV : length;
    }
    case Phase::DataIn: {
        if (m_failed) {
            // Nothing worth sending: the device stalls and reports the failure in the CSW.
            m_halted.insert(ep);
            m_phase = Phase::Status;
            return -EPIPE;
        }
        ++m_dataIns;
        if (m_dataIns == m_faults.statusInDataAt && length >= kCswLength)
            return sendStatus(data, after); // nothing moved: the residue stays the whole length
        int give = qMin(length, m_buffer.size());
        if (m_dataIns == m_faults.shortDataAt)
            give /= 2;
        std::memcpy(data, m_buffer.constData(), size_t(give));
        m_residue = m_expected - give;
        m_phase = Phase::Status;
        return give;
    }
    case Phase::Status:
        if (length < kCswLength)
            return -EOVERFLOW;
        return sendStatus(data, after);
    case Phase::NeedsReset:
        break;
    }
    return -EPIPE;
}

int SimBulkOnly::sendStatus(quint8 *data, After *after)
{
    ++m_statuses;
    const quint32 tag = m_statuses == m_faults.wrongTagAt ? ~m_tag : m_tag;
    const quint32 residue = m_bogusResidue && m_residue == 0 ? quint32(qMax(1, m_expected / 2)) : quint32(m_residue);
    quint8 status = m_phaseError ? kStatusPhaseError : m_failed ? kStatusFailed : kStatusPassed;
    if (m_statuses == m_faults.badStatusAt)
        status = kStatusReserved;
    qToLittleEndian<quint32>(m_statuses == m_faults.badSignatureAt ? kCbwSignature : kCswSignature, data);
    qToLittleEndian<quint32>(tag, data + 4);
    qToLittleEndian<quint32>(residue, data + 8);
    data[12] = status;
    m_phase = Phase::Command;
    after->statusSent = true;
    return kCswLength;
}

int SimBulkOnly::clearHalt(unsigned endpoint)
{
    m_halted.remove(endpoint);
    return 0;
}

int SimBulkOnly::control(usbdevfs_ctrltransfer *c)
{
    const bool ours = (c->wIndex & 0xFF) == m_interface;
    if (ours && c->bRequestType == kClassOut && c->bRequest == kReset && c->wValue == 0 && c->wLength == 0) {
        // Ready for the next CBW; the halts stay until the host clears them.
        m_phase = Phase::Command;
        return 0;
    }
    if (ours && c->bRequestType == kClassIn && c->bRequest == kGetMaxLun && c->wLength >= 1 && c->data) {
        *static_cast<quint8 *>(c->data) = 0;
        return 1;
    }
    return -EPIPE;
}

} // namespace lumora::sim
