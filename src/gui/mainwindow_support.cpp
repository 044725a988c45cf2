// Device information and support panel: links, section titles, the picture
// of the connected model and the controls each model offers.

#include "core/catalogue.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QEvent>
#include <QSignalBlocker>
#include <QMouseEvent>

namespace {

const char kLinkHoverColor[] = "#d12631";
const char kDarkLinkColor[] = "#FFFFFF";

struct SectionTitleStyles {
    const char *normal;
    const char *hover;
};
constexpr SectionTitleStyles kLightTitles{"color: #4a4a4a;", "color: #000000;"};
constexpr SectionTitleStyles kDarkTitles{"color: #F2F2F2;", "color: #FFFFFF;"};

using lumora::camera::Picture;

const char *pictureStyle(Picture picture)
{
    switch (picture) {
    case Picture::Orbit: return "QLabel{background-image:url(:/qss/light/Orbit-pic.png);center no-repeat;}";
    case Picture::Orbit60: return "QLabel{background-image:url(:/qss/light/orbit-60-pic.png);center no-repeat;}";
    case Picture::Orbit160: return "QLabel{background-image:url(:/qss/light/orbit-160-pic.png);center no-repeat;}";
    case Picture::Vpt410b: return "QLabel{background-image:url(:/qss/light/vpt-410-b-pic.png);center no-repeat;}";
    case Picture::None: break;
    }
    return "";
}

} // namespace

void MainWindow::updateSupportLinks(const QString &color)
{
    m_supportLinkColor = color;
    setSupportLink(color);
}

void MainWindow::setSupportLink(const QString &color)
{
    const QString templ = tr("<style> a {text-decoration: none} </style><a style='color: %2;' href=\"%1/\">Contact Support");
    ui->labelHyperlinksContactSupport->setText(templ.arg(m_supportAddress, color));
    ui->labelHyperlinksQuickStartGuide->setText(tr("Documentation"));
    ui->labelHyperlinksApp->setText(tr("Application and Firmware"));
}

void MainWindow::applyModelTraits(const QString &pathId)
{
    using namespace lumora::camera;
    const ModelTraits traits = modelTraits(m_manufacturerCode, modelFromVidPid(pathId));
    if (!traits.hasPageRow)
        return;
    const int row = traits.page;

    ui->labelIcon->setStyleSheet(QLatin1String(pictureStyle(traits.picture)));

    if (row & TrackingOff) {
        // Shown Off; the camera model holds these models' tracking off, nothing is sent.
        {
            const QSignalBlocker blocker(ui->comboBoxTrackMode);
            ui->comboBoxTrackMode->setCurrentIndex(ui->comboBoxTrackMode->findData(0));
        }
        applyTrackVisibility(0);
    }
    if (row & TrackingLocked)
        ui->comboBoxTrackMode->setEnabled(false);
    if (row & BasicControls) {
        setControlsEnabled(false);
        ui->btnMute->setEnabled(true);
        ui->comboBoxAntiFlicker->setEnabled(true);
        setColorControlsEnabled(true);
        ui->btnRestoreDefaults->setEnabled(!m_isUpgrading);
        ui->btnUpgrade->setEnabled(!m_isUpgrading);
    }
    if (row & ShowHD)
        ui->widgetHD->show();
    if (row & HideHD)
        ui->widgetHD->hide();
    if (row & HideFieldOfView)
        ui->widgetAngle->hide();
    ui->labelIcon->repaint();
}

bool MainWindow::supportLabelEvent(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    const bool hoverOn = type == QEvent::HoverEnter || type == QEvent::HoverMove;
    const bool hoverOff = type == QEvent::HoverLeave;
    const bool press = type == QEvent::MouseButtonPress
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;

    const struct {
        QLabel *title;
        QAbstractButton *toggle;
    } sections[] = {
        {ui->labelDevInfo, ui->btnDevInfoExtend},
        {ui->labelDevUpdate, ui->btnDevUpdateExtend},
        {ui->labelDevSupport, ui->btnDevSupportExtend},
    };
    const bool dark = m_supportLinkColor == QLatin1String(kDarkLinkColor);
    for (const auto &section : sections) {
        if (watched != section.title)
            continue;
        const SectionTitleStyles &styles = dark ? kDarkTitles : kLightTitles;
        if (hoverOn || hoverOff)
            section.title->setStyleSheet(QLatin1String(hoverOn ? styles.hover : styles.normal));
        if (press)
            section.toggle->click();
        return press;
    }

    // Presses on the link labels pass on: the label opens its link on release
    // only when it saw the press.
    if (watched == ui->labelHyperlinksContactSupport && (hoverOn || hoverOff))
        setSupportLink(hoverOn ? QLatin1String(kLinkHoverColor) : m_supportLinkColor);
    return false;
}
