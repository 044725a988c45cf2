#include "core/staterecords.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QUrl>

namespace {

const QString kUpgradeFile = QStringLiteral("last-upgrade.json");
const QString kRestoreFolder = QStringLiteral("restore");

QJsonObject readObject(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

// A record is only for monitoring: one that cannot be written is logged, the command goes on.
void writeObject(const QString &path, const QJsonObject &object)
{
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(object).toJson()) < 0 || !file.commit())
        qWarning().noquote() << "cannot write" << path << "-" << file.errorString();
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

QString recordsFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty())
        base = QDir::home().filePath(QStringLiteral(".local/state"));
    return QDir(base).filePath(QStringLiteral("lumora"));
}

void recordUpgrade(const UpgradeRecord &record)
{
    writeObject(QDir(recordsFolder()).filePath(kUpgradeFile),
                {{"time", double(record.time ? record.time : now())}, {"success", record.success},
                 {"camera", record.camera}, {"model", record.model}, {"from", record.from}, {"to", record.to}});
}

UpgradeRecord lastUpgrade()
{
    const QJsonObject o = readObject(QDir(recordsFolder()).filePath(kUpgradeFile));
    return {qint64(o.value("time").toDouble()), o.value("success").toBool(), o.value("camera").toString(),
            o.value("model").toString(), o.value("from").toString(), o.value("to").toString()};
}

void recordRestore(const QString &serial, bool applied)
{
    if (serial.isEmpty())
        return;
    const QString name = QString::fromLatin1(QUrl::toPercentEncoding(serial)) + QStringLiteral(".json");
    writeObject(QDir(recordsFolder()).filePath(kRestoreFolder + '/' + name),
                {{"serial", serial}, {"time", double(now())}, {"applied", applied}});
}

QMap<QString, RestoreRecord> restoreRecords()
{
    QMap<QString, RestoreRecord> records;
    const QDir folder(QDir(recordsFolder()).filePath(kRestoreFolder));
    for (const QString &name : folder.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        const QJsonObject o = readObject(folder.filePath(name));
        if (!o.value("serial").toString().isEmpty())
            records.insert(o.value("serial").toString(), {qint64(o.value("time").toDouble()), o.value("applied").toBool()});
    }
    return records;
}
