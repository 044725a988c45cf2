#include "sim/sim_machine_store.h"

#include "sim/sim_extension_unit.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QJsonArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace lumora::sim {

namespace {

const QString kStateFile = QStringLiteral("machine.json");
const QString kLockFile = QStringLiteral("machine.lock");

QString kindName(SimMachineStore::Kind kind)
{
    return kind == SimMachineStore::Kind::Drive ? QStringLiteral("drive") : QStringLiteral("camera");
}

int lockFile(int fd, int operation)
{
    int rc;
    do
        rc = ::flock(fd, operation);
    while (rc != 0 && errno == EINTR);
    return rc;
}

} // namespace

QString SimMachineStore::defaultFolder()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QString() : QDir(runtime).filePath(QStringLiteral("lumora-sim"));
}

std::shared_ptr<SimMachineStore> SimMachineStore::open(const QString &folder, const QJsonObject &scenario, bool fresh)
{
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        qWarning().noquote() << "sim: no folder for the machine's state" << folder << "- every run starts afresh";
        return nullptr;
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(kLockFile));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        qWarning().noquote() << "sim: cannot open" << path << "-" << std::strerror(errno) << "- every run starts afresh";
        return nullptr;
    }
    // The scenario's own text names the machine: another scenario is another machine.
    const QByteArray key = QCryptographicHash::hash(QJsonDocument(scenario).toJson(QJsonDocument::Compact),
                                                    QCryptographicHash::Sha256).toHex();
    std::shared_ptr<SimMachineStore> store(new SimMachineStore(folder, key, fd));
    store->exclusive([&] {
        store->readDevices();
        const bool ours = QJsonDocument::fromJson(store->m_lastSeen).object().value("scenario").toString().toLatin1() == key;
        if (fresh || !ours)
            store->writeDevices({});
    });
    return store;
}

SimMachineStore::SimMachineStore(QString folder, QByteArray scenarioKey, int lockFd)
    : m_folder(std::move(folder)), m_scenarioKey(std::move(scenarioKey)), m_lockFd(lockFd)
{
}

SimMachineStore::~SimMachineStore()
{
    ::close(m_lockFd);
}

void SimMachineStore::exclusive(const std::function<void()> &action)
{
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    if (m_depth++ == 0 && lockFile(m_lockFd, LOCK_EX) != 0)
        qWarning().noquote() << "sim: cannot lock the machine's state:" << std::strerror(errno);
    action();
    if (--m_depth == 0)
        lockFile(m_lockFd, LOCK_UN);
}

SimMachineStore::Saved SimMachineStore::saved(const QString &id)
{
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    const QJsonObject entry = readDevices().value(id).toObject();
    Saved saved;
    saved.found = entry.value("config").isObject();
    saved.kind = entry.value("kind").toString() == kindName(Kind::Drive) ? Kind::Drive : Kind::Camera;
    saved.config = entry.value("config").toObject();
    return saved;
}

void SimMachineStore::save(const QString &id, Kind kind, const QJsonObject &config)
{
    exclusive([&] {
        QJsonObject devices = readDevices();
        devices.insert(id, QJsonObject{{"kind", kindName(kind)}, {"config", config}});
        writeDevices(devices);
    });
}

QJsonObject SimMachineStore::readDevices()
{
    QFile file(QDir(m_folder).filePath(kStateFile));
    // Written by rename, so a reader sees one whole version or the other.
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (bytes != m_lastSeen) {
        m_lastSeen = bytes;
        const QJsonObject root = QJsonDocument::fromJson(bytes).object();
        // Another scenario's machine (a newer process started it afresh) has nothing for this one.
        m_devices = root.value("scenario").toString().toLatin1() == m_scenarioKey ? root.value("devices").toObject()
                                                                                  : QJsonObject();
    }
    return m_devices;
}

void SimMachineStore::writeDevices(const QJsonObject &devices)
{
    const QByteArray bytes = QJsonDocument(QJsonObject{{"scenario", QString::fromLatin1(m_scenarioKey)},
                                                       {"devices", devices}})
                                 .toJson(QJsonDocument::Compact);
    // Under the lock, so one name for the new file serves every process. No
    // fsync: the state lasts a session, and a control set must stay cheap.
    const QString path = QDir(m_folder).filePath(kStateFile);
    QFile file(path + QStringLiteral(".new"));
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    file.close();
    if (!written || ::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        qWarning().noquote() << "sim: cannot save the machine's state in" << m_folder << "-" << file.errorString();
        return;
    }
    m_lastSeen = bytes;
    m_devices = devices;
}

QJsonObject withSavedState(const QJsonObject &scenario, SimMachineStore &store)
{
    static const char *const kState[] = {"firmware", "features", "controls", SimExtensionUnit::kRestoredKey};
    QJsonArray cameras, drives;
    auto place = [&](const QJsonValue &value, SimMachineStore::Kind described) {
        QJsonObject device = value.toObject();
        const SimMachineStore::Saved saved = store.saved(device.value("id").toString());
        if (saved.found && saved.kind == described && described == SimMachineStore::Kind::Camera) {
            for (const char *key : kState)
                if (saved.config.contains(QLatin1String(key)))
                    device.insert(QLatin1String(key), saved.config.value(QLatin1String(key)));
        } else if (saved.found) {
            device = saved.config;
        }
        (saved.found ? saved.kind : described) == SimMachineStore::Kind::Camera ? cameras.append(device)
                                                                                : drives.append(device);
    };
    for (const QJsonValue &camera : scenario.value("cameras").toArray())
        place(camera, SimMachineStore::Kind::Camera);
    for (const QJsonValue &drive : scenario.value("drives").toArray())
        place(drive, SimMachineStore::Kind::Drive);
    QJsonObject merged = scenario;
    merged.insert("cameras", cameras);
    merged.insert("drives", drives);
    return merged;
}

} // namespace lumora::sim
