// Device information and support panel: links, section titles, the picture
// of the connected model and the controls each model offers.

#include "core/catalogue.h"
#include "ui/mainwindow.h"
#include "ui/mainwindow_form.h"

#include <QEvent>
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

enum class Picture { Orbit, Orbit60, Orbit160, Vpt410b };

const char *pictureStyle(Picture picture)
{
    switch (picture) {
    case Picture::Orbit: return "QLabel{background-image:url(:/qss/light/Orbit-pic.png);center no-repeat;}";
    case Picture::Orbit60: return "QLabel{background-image:url(:/qss/light/orbit-60-pic.png);center no-repeat;}";
    case Picture::Orbit160: return "QLabel{background-image:url(:/qss/light/orbit-160-pic.png);center no-repeat;}";
    case Picture::Vpt410b: return "QLabel{background-image:url(:/qss/light/vpt-410-b-pic.png);center no-repeat;}";
    }
    return "";
}

// What a model changes on the page when it is selected.
enum Trait {
    TrackingOff = 1 << 0,      // select the "Off" tracking item
    TrackingLocked = 1 << 1,   // and disable the tracking combo box
    BasicControls = 1 << 2,    // page disabled except mic, anti-flicker, colour, restore, upgrade
    ShowHD = 1 << 3,
    HideHD = 1 << 4,
    HideFieldOfView = 1 << 5,
};

struct ModelTraits {
    int profile;
    std::initializer_list<int> models;
    Picture picture;
    int traits;
};

const ModelTraits kModelTraits[] = {
    {kManufacturerOrvanta, {9, 10}, Picture::Orbit60, TrackingOff | BasicControls},
    {kManufacturerOrvanta, {11}, Picture::Orbit, TrackingOff | BasicControls},
    {kManufacturerOrvanta, {12}, Picture::Orbit, TrackingOff | TrackingLocked},
    {kManufacturerOrvanta, {13}, Picture::Orbit, 0},
    {kManufacturerOrvanta, {14, 15}, Picture::Orbit160, 0},
    {kManufacturerQX, {0}, Picture::Orbit, TrackingOff | TrackingLocked | ShowHD},
    {kManufacturerQX, {1, 2, 8}, Picture::Orbit, TrackingOff | BasicControls | HideHD},
    {kManufacturerQX, {3, 5, 7}, Picture::Orbit, ShowHD | HideFieldOfView},
    {kManufacturerQX, {4}, Picture::Vpt410b, ShowHD},
};

const ModelTraits *traitsFor(int profile, int model)
{
    for (const ModelTraits &row : kModelTraits) {
        if (row.profile == profile && std::find(row.models.begin(), row.models.end(), model) != row.models.end())
            return &row;
    }
    return nullptr;
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
    const int model = modelFromVidPid(pathId);
    const ModelTraits *row = traitsFor(m_manufacturerCode, model);
    if (!row)
        return;

    ui->labelIcon->setStyleSheet(QLatin1String(pictureStyle(row->picture)));

    if (row->traits & TrackingOff)
        ui->comboBoxTrackMode->setCurrentIndex(ui->comboBoxTrackMode->findData(0));
    if (row->traits & TrackingLocked)
        ui->comboBoxTrackMode->setEnabled(false);
    if (row->traits & BasicControls) {
        setControlsEnabled(false);
        ui->btnMute->setEnabled(true);
        ui->comboBoxAntiFlicker->setEnabled(true);
        setColorControlsEnabled(true);
        ui->btnRestoreDefaults->setEnabled(!m_isUpgrading);
        ui->btnUpgrade->setEnabled(!m_isUpgrading);
    }
    if (row->traits & ShowHD)
        ui->widgetHD->show();
    if (row->traits & HideHD)
        ui->widgetHD->hide();
    if (row->traits & HideFieldOfView)
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
