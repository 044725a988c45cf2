#pragma once
// The real main window on a simulated kernel of the test's making.

#include "simcameras.h"

#include "core/catalogue.h"
#include "gui/startup.h"
#include "device/v4l2controlnode.h"
#include "gui/widgets/previewsurface.h"
#include "gui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>

namespace testdevices {

struct WindowRig {
    lumora::sim::SimKernel *sim = nullptr;
    std::unique_ptr<MainWindow> window;

    // Installs a kernel with `devices` plugged, then builds the window (profile 0).
    explicit WindowRig(const QVector<std::shared_ptr<lumora::sim::SimDevice>> &devices)
    {
        initLumoraResources();
        QFile::remove(settingsFilePath());
        auto kernel = std::make_unique<lumora::sim::SimKernel>();
        sim = kernel.get();
        for (const auto &device : devices)
            sim->plug(device);
        lumora::platform::installKernel(std::move(kernel));
        // Each rig starts with no camera remembered: an earlier case's settings would be restored.
        QDir(lumora::camera::CameraMemory::folder()).removeRecursively();
        window = std::make_unique<MainWindow>();
    }
    ~WindowRig()
    {
        window->close();
        window.reset();
    }

    QListWidget *list() const { return window->findChild<QListWidget *>(QStringLiteral("listWidgetCamera")); }
    QLabel *label(const char *name) const { return window->findChild<QLabel *>(QLatin1String(name)); }
    // The live picture the preview shows; null when it shows none.
    QPixmap picture() const { return window->findChild<PreviewSurface *>()->picture(); }

    // pathIds of the list entries, in display order.
    QStringList listed() const
    {
        QStringList paths;
        for (int row = 0; row < list()->count(); ++row)
            paths << list()->item(row)->data(Qt::UserRole + 2).toString();
        return paths;
    }

    // pathIds of the profile's cameras the kernel has now, in enumeration order.
    QStringList present() const
    {
        QVector<CameraDeviceInfo> devices;
        V4l2ControlNode().ListCameraDevices(devices);
        QStringList paths;
        for (const CameraDeviceInfo &info : devices)
            if (acceptsCamera(info, window->m_manufacturerCode, window->m_manufacturerVid))
                paths << info.pathId;
        return paths;
    }
};

} // namespace testdevices
