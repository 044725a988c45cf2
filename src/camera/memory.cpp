#include "camera/memory.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace lumora::camera {

namespace {

constexpr qint64 kMaxFileSize = 1 << 20; // a camera's memory is a few hundred bytes

QString safe(const QString &text)
{
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QString out = text;
    out.replace(unsafe, QStringLiteral("_"));
    // Never "." or "..", never a hidden file.
    while (out.startsWith(QLatin1Char('.')))
        out.replace(0, 1, QLatin1Char('_'));
    return out.left(100);
}

} // namespace

QString CameraIdentity::key() const
{
    const QString ids = QStringLiteral("%1-%2").arg(vendorId, 4, 16, QLatin1Char('0')).arg(productId, 4, 16, QLatin1Char('0'));
    if (!serial.isEmpty())
        return QStringLiteral("%1-%2").arg(ids, safe(serial));
    return QStringLiteral("%1-model%2-port-%3").arg(ids).arg(model).arg(safe(port));
}

CameraMemory::CameraMemory(QObject *parent) : QObject(parent)
{
    m_debounce.setSingleShot(true);
    m_debounce.setInterval(kDebounceMs);
    connect(&m_debounce, &QTimer::timeout, this, [this] { flush(); });
}

CameraMemory::~CameraMemory()
{
    flush();
}

QString CameraMemory::folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/lumora/cameras");
}

void CameraMemory::load(const CameraIdentity &identity)
{
    unload();
    if (!identity.valid())
        return;
    m_identity = identity;
    m_path = folder() + QLatin1Char('/') + identity.key() + QStringLiteral(".json");
    QFile file(m_path);
    if (!file.exists())
        return;
    QJsonParseError error{};
    QJsonDocument document;
    if (file.open(QIODevice::ReadOnly) && file.size() <= kMaxFileSize)
        document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (!document.isObject()) {
        qWarning().noquote() << "Camera memory" << m_path << "is damaged; it is set aside and the camera starts afresh.";
        QFile::remove(m_path + QStringLiteral(".damaged"));
        QFile::rename(m_path, m_path + QStringLiteral(".damaged"));
        return;
    }
    const QJsonObject root = document.object();
    m_restore = root.value(QStringLiteral("restore")).toBool(true);
    const QJsonObject controls = root.value(QStringLiteral("controls")).toObject();
    for (auto it = controls.begin(); it != controls.end(); ++it)
        if (it.value().isDouble())
            m_values.insert(it.key(), it.value().toInt());
    for (const QJsonValue &entry : root.value(QStringLiteral("presets")).toArray()) {
        const QJsonObject o = entry.toObject();
        Preset preset;
        preset.name = o.value(QStringLiteral("name")).toString().trimmed();
        preset.slot = o.value(QStringLiteral("slot")).toInt(0);
        if (preset.slot < 0 || preset.slot > kSlots || presetInSlot(preset.slot))
            preset.slot = 0;
        const QJsonObject values = o.value(QStringLiteral("values")).toObject();
        for (auto it = values.begin(); it != values.end(); ++it)
            if (it.value().isDouble())
                preset.values.insert(it.key(), it.value().toInt());
        if (!preset.name.isEmpty() && !this->preset(preset.name))
            m_presets.append(preset);
    }
}

void CameraMemory::unload()
{
    flush();
    m_identity = CameraIdentity();
    m_path.clear();
    m_values.clear();
    m_presets.clear();
    m_restore = true;
}

void CameraMemory::remember(const QString &name, int value)
{
    if (!loaded() || (m_values.contains(name) && m_values.value(name) == value))
        return;
    m_values.insert(name, value);
    changed();
}

void CameraMemory::setRestoreEnabled(bool on)
{
    if (!loaded() || m_restore == on)
        return;
    m_restore = on;
    changed();
}

const Preset *CameraMemory::preset(const QString &name) const
{
    for (const Preset &p : m_presets)
        if (p.name.compare(name.trimmed(), Qt::CaseInsensitive) == 0)
            return &p;
    return nullptr;
}

const Preset *CameraMemory::presetInSlot(int slot) const
{
    if (slot < 1)
        return nullptr;
    for (const Preset &p : m_presets)
        if (p.slot == slot)
            return &p;
    return nullptr;
}

Preset CameraMemory::savePreset(const QString &name, const QMap<QString, int> &values, int slot)
{
    Preset saved{name.trimmed(), slot, values};
    int at = -1;
    for (int i = 0; i < m_presets.size(); ++i)
        if (m_presets[i].name.compare(saved.name, Qt::CaseInsensitive) == 0)
            at = i;
    if (slot == 0 && at >= 0)
        saved.slot = m_presets[at].slot;
    for (Preset &other : m_presets)
        if (slot > 0 && other.slot == slot && other.name.compare(saved.name, Qt::CaseInsensitive) != 0)
            other.slot = 0;
    if (saved.slot == 0) {
        for (int free = 1; free <= kSlots && saved.slot == 0; ++free)
            if (!presetInSlot(free))
                saved.slot = free;
    }
    if (at >= 0)
        m_presets[at] = saved;
    else
        m_presets.append(saved);
    changed();
    Q_EMIT presetsChanged();
    return saved;
}

bool CameraMemory::removePreset(const QString &name)
{
    for (int i = 0; i < m_presets.size(); ++i) {
        if (m_presets[i].name.compare(name.trimmed(), Qt::CaseInsensitive) == 0) {
            m_presets.remove(i);
            changed();
            Q_EMIT presetsChanged();
            return true;
        }
    }
    return false;
}

void CameraMemory::changed()
{
    m_dirty = true;
    m_debounce.start();
}

bool CameraMemory::flush()
{
    m_debounce.stop();
    if (!m_dirty || !loaded())
        return true;
    m_dirty = false;
    return write();
}

bool CameraMemory::write()
{
    QJsonObject controls;
    for (auto it = m_values.begin(); it != m_values.end(); ++it)
        controls.insert(it.key(), it.value());
    QJsonArray presets;
    for (const Preset &p : m_presets) {
        QJsonObject values;
        for (auto it = p.values.begin(); it != p.values.end(); ++it)
            values.insert(it.key(), it.value());
        presets.append(QJsonObject{{QStringLiteral("name"), p.name}, {QStringLiteral("slot"), p.slot},
                                   {QStringLiteral("values"), values}});
    }
    const QJsonObject root{{QStringLiteral("serial"), m_identity.serial},
                           {QStringLiteral("port"), m_identity.port},
                           {QStringLiteral("model"), m_identity.model},
                           {QStringLiteral("restore"), m_restore},
                           {QStringLiteral("controls"), controls},
                           {QStringLiteral("presets"), presets}};
    if (!QDir().mkpath(folder())) {
        qWarning().noquote() << "Cannot create" << folder() << "for the camera memory.";
        return false;
    }
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson()) < 0 || !file.commit()) {
        qWarning().noquote() << "Cannot write the camera memory" << m_path << ":" << file.errorString();
        return false;
    }
    ++m_writes;
    return true;
}

} // namespace lumora::camera
