#include "cli/cli_metrics.h"

#include "cli/cli_doctor.h"
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "core/staterecords.h"
#include "upgrade/updatechannel.h"
#include "upgrade/upgradetarget.h"

#include <QSet>
#include <QStringList>
#include <QVector>

namespace {

using Labels = QVector<QPair<QString, QString>>;

QString escapedLabel(QString value)
{
    return value.replace('\\', QStringLiteral("\\\\")).replace('"', QStringLiteral("\\\"")).replace('\n', QStringLiteral("\\n"));
}

// One metric family: its help, type and samples, written together as the format asks.
class Family {
public:
    Family(const char *name, const char *help) : m_name(QLatin1String(name)), m_help(QLatin1String(help)) {}
    void add(const Labels &labels, double value)
    {
        QStringList pairs;
        for (const auto &label : labels)
            pairs << QStringLiteral("%1=\"%2\"").arg(label.first, escapedLabel(label.second));
        m_samples << QStringLiteral("%1%2 %3")
                         .arg(m_name, pairs.isEmpty() ? QString() : '{' + pairs.join(',') + '}')
                         .arg(value, 0, 'g', 15);
    }
    QString text() const
    {
        if (m_samples.isEmpty())
            return {};
        return QStringLiteral("# HELP %1 %2\n# TYPE %1 gauge\n%3\n").arg(m_name, m_help, m_samples.join('\n'));
    }

private:
    QString m_name, m_help;
    QStringList m_samples;
};

// "2.0.6" as 2000006, so a rule can compare versions: major, minor and patch below 1000 each.
double versionNumber(const QString &version)
{
    const QStringList parts = version.split('.');
    if (version.isEmpty() || parts.size() > 3)
        return -1;
    double number = 0;
    for (int i = 0; i < 3; ++i) {
        bool ok = true;
        const int part = i < parts.size() ? parts[i].toInt(&ok) : 0;
        if (!ok || part < 0 || part > 999)
            return -1;
        number = number * 1000 + part;
    }
    return number;
}

} // namespace

int metricsCommand(const ManufacturerProfile &profile)
{
    Family cameras("lumora_cameras", "Connected cameras of the profile.");
    Family present("lumora_camera_present", "1 for a connected camera, 0 for one restored here before that is not connected.");
    Family firmware("lumora_camera_firmware_info", "The camera's firmware version.");
    Family firmwareNumber("lumora_camera_firmware_version",
                          "The camera's firmware version as major*1000000 + minor*1000 + patch; -1 when unreadable.");
    Family restored("lumora_camera_restore_applied", "1 when the last restore of the camera's remembered settings applied every value.");
    Family restoredAt("lumora_camera_restore_timestamp_seconds", "When the camera's remembered settings were last restored.");
    Family drives("lumora_update_drives", "Cameras waiting in an update state (a rescue is needed).");
    Family driveState("lumora_update_drive_state", "A camera waiting in an update state, by USB port; the state is a label.");
    Family ready("lumora_ready", "1 when lumora-cli doctor finds the machine ready.");
    Family upgradeAt("lumora_last_upgrade_timestamp_seconds", "When the last upgrade or rescue ended.");
    Family upgradeResult("lumora_last_upgrade_success", "1 when the last upgrade or rescue succeeded.");

    const QMap<QString, RestoreRecord> restores = restoreRecords();
    QSet<QString> connected;
    const QVector<ListedCamera> listed = listCameras(profile.code);
    cameras.add({}, listed.size());
    for (const ListedCamera &camera : listed) {
        const QString model = modelDisplayName(camera.model);
        const QString version = readFirmware(camera);
        connected.insert(camera.serial);
        present.add({{"serial", camera.serial}, {"model", model}, {"port", camera.port}}, 1);
        firmware.add({{"serial", camera.serial}, {"model", model}, {"version", version}}, 1);
        firmwareNumber.add({{"serial", camera.serial}, {"model", model}}, versionNumber(version));
    }
    for (auto it = restores.begin(); it != restores.end(); ++it) {
        if (!connected.contains(it.key()))
            present.add({{"serial", it.key()}, {"model", QString()}, {"port", QString()}}, 0);
        restored.add({{"serial", it.key()}}, it->applied ? 1 : 0);
        restoredAt.add({{"serial", it.key()}}, double(it->time));
    }

    const QVector<lumora::upgrade::UpdateDriveInfo> waiting = lumora::upgrade::listUpdateDrives(profile.code);
    drives.add({}, waiting.size());
    for (const lumora::upgrade::UpdateDriveInfo &drive : waiting)
        driveState.add({{"port", drive.port}, {"state", lumora::upgrade::updateStateName(drive.state)}}, 1);

    ready.add({}, doctorReady(profile) ? 1 : 0);
    const UpgradeRecord upgrade = lastUpgrade();
    if (upgrade.time > 0) {
        upgradeAt.add({}, double(upgrade.time));
        upgradeResult.add({{"camera", upgrade.camera}, {"model", upgrade.model}, {"from", upgrade.from}, {"to", upgrade.to}},
                          upgrade.success ? 1 : 0);
    }

    QString text;
    for (const Family *family : {&cameras, &present, &firmware, &firmwareNumber, &restored, &restoredAt, &drives,
                                 &driveState, &ready, &upgradeAt, &upgradeResult})
        text += family->text();
    std::fputs(text.toUtf8().constData(), resultStream());
    return ExitOk;
}
