#pragma once
// Simulated cameras of the catalogue's models and the wire trace, for the
// camera-model tests.

#include "core/catalogue.h"

#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace cameratest {

// A camera of catalogue model `model`, named and numbered as the catalogue says.
inline QJsonObject catalogueCamera(int model, const QJsonObject &features, const QJsonObject &controls = {},
                                   const QString &firmware = "1.0.30")
{
    for (const ModelEntry &entry : modelDisplayTable) {
        if (entry.model != model)
            continue;
        // The first profile's list takes cameras by their family name; the
        // model is still found by its own name, which comes first.
        QString name = QLatin1String(entry.name);
        if (entry.vid == 0x1D6B && !name.startsWith(QLatin1String("NV-Optica")))
            name += QStringLiteral(" NV-Optica-1080-AI");
        return QJsonObject{{"id", "cam"},
                           {"name", name},
                           {"product", name},
                           {"vendorId", entry.vid},
                           {"productId", entry.pid},
                           {"port", "1-4"},
                           {"serial", QStringLiteral("SN%1").arg(model)},
                           {"firmware", firmware},
                           {"features", features},
                           {"controls", controls}};
    }
    return {};
}

inline int profileOf(int model)
{
    for (const ModelEntry &entry : modelDisplayTable)
        if (entry.model == model)
            return entry.vid == 0x5A17 ? kManufacturerOrvanta : kManufacturerQX;
    return -1;
}

// Extension-unit and control lines of a trace file from line `from`, without
// time stamps and with the rolling sequence byte masked, so two programs that
// sent the same commands compare equal: "xu /dev/video0 set sel=1 out=10..01...".
inline QStringList wire(const QString &path, int from = 0)
{
    QFile file(path);
    QStringList lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    static const QRegularExpression time(QStringLiteral("^\\d+ "));
    static const QRegularExpression sequence(QStringLiteral("((?:out|in)=[0-9a-f]{2})[0-9a-f]{2}"));
    int n = 0;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        QString line = QString::fromUtf8(raw).trimmed();
        if (!line.contains(QLatin1String(" xu ")) && !line.contains(QLatin1String(" ctl ")))
            continue;
        if (n++ < from)
            continue;
        lines << line.remove(time).replace(sequence, QStringLiteral("\\1.."));
    }
    return lines;
}

// Whether `part` occurs in `whole` as consecutive lines.
inline bool containsRun(const QStringList &whole, const QStringList &part)
{
    for (int i = 0; i + part.size() <= whole.size(); ++i)
        if (whole.mid(i, part.size()) == part)
            return true;
    return part.isEmpty();
}

} // namespace cameratest
