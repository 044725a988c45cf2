// The window without a camera: what the preview area says, the other
// profile's cameras named with a switch, and control pages that no longer
// show the rows of the model last opened.

#include "gui/mainwindow.h"

#include "core/catalogue.h"
#include "core/settingsfiles.h"
#include "gui/widgets/previewsurface.h"
#include "gui/mainwindow_form.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>

#include <algorithm>

namespace {

// The camera family each profile serves, as its users know it.
QString familyName(int profile)
{
    return profile == kManufacturerOrvanta ? QStringLiteral("ORBIT") : QStringLiteral("QX");
}

} // namespace

void MainWindow::rememberPristineRows()
{
    const QList<QWidget *> widgets = ui->stackedWidgetControl->findChildren<QWidget *>();
    for (QWidget *widget : widgets)
        m_pristineRows.insert(widget, widget->isHidden());

    m_profileSwitch = new QPushButton(ui->widget_16);
    m_profileSwitch->setObjectName(QStringLiteral("btnSwitchProfile"));
    m_profileSwitch->hide();
    ui->verticalLayout_15->addWidget(m_profileSwitch, 0, Qt::AlignHCenter);
    connect(m_profileSwitch, &QPushButton::clicked, this, &MainWindow::switchToOtherProfile);
}

void MainWindow::clearModelRows()
{
    for (auto it = m_pristineRows.constBegin(); it != m_pristineRows.constEnd(); ++it)
        it.key()->setHidden(it.value());
}

void MainWindow::updateEmptyState(const QVector<CameraDeviceInfo> &devices)
{
    m_otherProfileCode = -1;
    if (m_profileSwitch)
        m_profileSwitch->hide();
    // The list widget, not m_listCamera: an enumeration that finds nothing leaves the latter as it was.
    if (ui->listWidgetCamera->count() > 0) {
        setPreviewMessage(QString(), QString());
        return;
    }
    clearModelRows();
    int others = 0;
    for (const ManufacturerEntry &entry : manufacturerTable) {
        if (entry.code == m_manufacturerCode)
            continue;
        const int count = int(std::count_if(devices.begin(), devices.end(), [&entry](const CameraDeviceInfo &info) {
            return acceptsCamera(info, entry.code, entry.vid);
        }));
        if (count > 0) {
            others = count;
            m_otherProfileCode = entry.code;
            break;
        }
    }
    if (others > 0) {
        const QString family = familyName(m_otherProfileCode);
        setPreviewMessage(others == 1 ? tr("1 %1 camera is connected").arg(family)
                                      : tr("%1 %2 cameras are connected").arg(others).arg(family),
                          tr("Lumora is set up for %1 cameras.").arg(familyName(m_manufacturerCode)));
        m_profileSwitch->setText(tr("Show %1 cameras").arg(family));
        m_profileSwitch->show();
    } else {
        setPreviewMessage(tr("No camera found. Plug a camera in."),
                          tr("If a camera is plugged in but not listed, run lumora-cli doctor."));
    }
    m_previewSurface->clear();
    ui->labPreview_up->show();
    ui->labPreview_down->show();
}

void MainWindow::switchToOtherProfile()
{
    if (m_otherProfileCode < 0)
        return;
    const QString path = settingsFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (holdsSerializedValues(path))
        return;
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(QStringLiteral("/product_model/main"), m_otherProfileCode);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qWarning().noquote() << "save profile failed:" << settings.fileName();
    const ManufacturerProfile profile = manufacturerProfile(m_otherProfileCode);
    qInfo().noquote() << "profile switched to" << familyName(profile.code) << "cameras";
    m_manufacturerCode = profile.code;
    m_manufacturerVid = profile.vid;
    watchProfileForAbnormalDrives();
    refreshCameraList();
}
