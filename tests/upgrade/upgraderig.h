#pragma once
// A simulated kernel with the wire trace, a package workspace and a log
// capture, for the firmware engine's tests.

#include "platform/kernel.h"
#include "platform/udev_rules.h"
#include "sim/sim_kernel.h"
#include "sim/sim_update_drive.h"
#include "upgrade/updatechannel.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

namespace upgradetest {

// Lines logged through Qt's message functions while it lives, from any thread.
class LogCapture {
public:
    LogCapture()
    {
        s_self = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_self = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    bool has(const QString &line) const { return lines().contains(line); }
    int count(const QString &line) const { return lines().count(line); }

private:
    static void handle(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (LogCapture *self = s_self) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(message.endsWith('\n') ? message.chopped(1) : message);
        }
    }
    static inline LogCapture *s_self = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

inline QJsonObject cameraConfig(const QString &firmware = "1.0.0")
{
    return {{"id", "cam"},        {"vendorId", "0x5a17"}, {"productId", "0x0305"}, {"manufacturer", "ORBIT"},
            {"product", "ORBIT 400"}, {"serial", "OR4000001"}, {"port", "1-4"},   {"firmware", firmware}};
}

class UpgradeRig {
public:
    // Unprivileged like a desktop user, whom SG_IO refuses vendor commands;
    // privileged, as root, for whom SG_IO passes them.
    explicit UpgradeRig(bool privileged = false)
    {
        qputenv("LUMORA_TRACE", m_dir.filePath("trace.log").toUtf8());
        auto sim = std::make_unique<lumora::sim::SimKernel>();
        sim->setPrivileged(privileged);
        kernel = sim.get();
        lumora::platform::installKernel(std::move(sim));
        QDir().mkpath(workspace());
    }
    ~UpgradeRig() { lumora::upgrade::closeUpdateDrive(); }

    // The installed rule becomes the shipped one plus the line for these ids,
    // as a user who followed the printed advice has it.
    void grantUsbIds(int vendorId, int productId)
    {
        const QString folder = m_dir.filePath("rules.d");
        QDir().mkpath(folder);
        QFile rule(folder + '/' + QLatin1String(lumora::platform::kUdevRuleName));
        if (rule.open(QIODevice::WriteOnly))
            rule.write((lumora::platform::shippedUdevRule() + lumora::platform::usbAccessRuleLine(vendorId, productId) + '\n').toUtf8());
        kernel->setUdevRuleFolder(folder);
    }

    QString workspace() const { return m_dir.filePath("firmware"); }

    void writeFile(const QString &name, const QByteArray &data) const
    {
        const QString path = workspace() + '/' + name;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(data);
    }

    // An update drive for the camera of cameraConfig(), in `state`.
    std::shared_ptr<lumora::sim::SimUpdateDrive> plugDrive(const QString &state, QJsonObject extra = {})
    {
        QJsonObject config = cameraConfig();
        config.insert("state", state);
        config.insert("camera", cameraConfig());
        for (auto it = extra.begin(); it != extra.end(); ++it)
            config.insert(it.key(), it.value());
        auto drive = std::make_shared<lumora::sim::SimUpdateDrive>(config);
        kernel->plug(drive);
        return drive;
    }

    std::shared_ptr<lumora::sim::SimUpdateDrive> drive() const { return kernel->find<lumora::sim::SimUpdateDrive>("cam"); }

    // The vendor commands the drive was sent since the last call, over SG_IO
    // or inside CBWs: "cdb=... dir=out len=32768". SG_IO calls the kernel
    // refused never reached the drive and are left out.
    QStringList takeVendorCommands()
    {
        QStringList lines;
        for (const QString &line : takeTrace()) {
            const QString command = vendorCommandIn(line);
            if (!command.isEmpty())
                lines << command;
        }
        return lines;
    }

    // The vendor commands with the head of their data as the drive took or
    // gave it: "cdb=... dir=out len=24 head=...", whichever transport carried them.
    QStringList takeVendorExchanges() { return vendorExchanges(takeTrace()); }

    static QStringList vendorExchanges(const QStringList &trace)
    {
        QStringList exchanges;
        static const QRegularExpression scsiHead(" head=(\\S*) rc=0$");
        static const QRegularExpression bulk(" usb \\S+ bulk ep=\\S+ len=\\d+ head=(\\S*) rc=\\d+$");
        QString pending; // a CBW whose data stage comes next
        for (const QString &line : trace) {
            const QString command = vendorCommandIn(line);
            if (!command.isEmpty() && line.contains(" scsi ")) {
                exchanges << command + " head=" + scsiHead.match(line).captured(1);
            } else if (!command.isEmpty()) {
                if (command.endsWith(" len=0"))
                    exchanges << command + " head=";
                else
                    pending = command;
            } else if (!pending.isEmpty() && bulk.match(line).hasMatch()) {
                exchanges << pending + " head=" + bulk.match(line).captured(1);
                pending.clear();
            }
        }
        return exchanges;
    }

    static QString vendorCommandIn(const QString &line)
    {
        static const QRegularExpression scsi(" scsi \\S+ (cdb=e8\\S+ dir=\\S+ len=\\d+) head=\\S* rc=0$");
        static const QRegularExpression cbw(" usb \\S+ bulk ep=[0-7][0-9a-f] len=31 head=(55534243[0-9a-f]{54}) rc=31$");
        QRegularExpressionMatch m = scsi.match(line);
        if (m.hasMatch())
            return m.captured(1);
        m = cbw.match(line);
        if (!m.hasMatch())
            return {};
        const QByteArray block = QByteArray::fromHex(m.captured(1).toLatin1());
        const quint32 length = quint8(block[8]) | quint8(block[9]) << 8 | quint8(block[10]) << 16 | quint32(quint8(block[11])) << 24;
        const QByteArray cdb = block.mid(15, quint8(block[14]));
        if (!cdb.startsWith('\xe8'))
            return {};
        const QString dir = length == 0 ? "none" : quint8(block[12]) & 0x80 ? "in" : "out";
        return QStringLiteral("cdb=%1 dir=%2 len=%3").arg(QString::fromLatin1(cdb.toHex()), dir).arg(length);
    }

    QStringList takeTrace()
    {
        QFile file(m_dir.filePath("trace.log"));
        QStringList lines;
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        file.seek(m_read);
        while (!file.atEnd())
            lines << QString::fromUtf8(file.readLine()).trimmed();
        m_read = file.pos();
        return lines;
    }

    lumora::sim::SimKernel *kernel = nullptr;

private:
    QTemporaryDir m_dir;
    qint64 m_read = 0;
};

} // namespace upgradetest
