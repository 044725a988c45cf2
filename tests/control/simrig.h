#pragma once
// A simulated kernel with the wire trace, for the control tests.

#include "camera/memory.h"
#include "platform/kernel.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

namespace controltest {

inline QJsonObject cameraConfig(const QString &id, const QString &port, const QString &name = "ORBIT 400")
{
    return QJsonObject{{"id", id}, {"vendorId", "5a17"}, {"productId", "0307"}, {"product", name},
                       {"port", port}, {"firmware", "1.0.22"}};
}

class SimRig {
public:
    SimRig()
    {
        qputenv("LUMORA_TRACE", m_dir.filePath("trace.log").toUtf8());
        auto sim = std::make_unique<lumora::sim::SimKernel>();
        kernel = sim.get();
        lumora::platform::installKernel(std::move(sim));
        // Each rig starts with no camera remembered: an earlier case's settings would be restored.
        QDir(lumora::camera::CameraMemory::folder()).removeRecursively();
    }

    std::shared_ptr<lumora::sim::SimCamera> plug(const QJsonObject &config)
    {
        auto camera = std::dynamic_pointer_cast<lumora::sim::SimCamera>(lumora::sim::makeCamera(config));
        kernel->plug(camera);
        return camera;
    }

    // The extension-unit lines of the trace since the last call, without time and node:
    // "set sel=1 out=0101010000000000 rc=0".
    QStringList takeXu() { return take(QStringLiteral(" xu ")); }
    // The same for standard controls: "set pan value=36000 rc=0".
    QStringList takeCtl() { return take(QStringLiteral(" ctl ")); }

    lumora::sim::SimKernel *kernel = nullptr;

private:
    QStringList take(const QString &kind)
    {
        QFile file(m_dir.filePath("trace.log"));
        QStringList lines;
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        file.seek(m_read.value(kind));
        static const QRegularExpression prefix(QStringLiteral("^\\d+ \\S+ \\S+ "));
        while (!file.atEnd()) {
            QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.contains(kind))
                lines << line.remove(prefix);
        }
        m_read[kind] = file.pos();
        return lines;
    }

    QTemporaryDir m_dir;
    QMap<QString, qint64> m_read;
};

} // namespace controltest
