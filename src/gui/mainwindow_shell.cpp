// Form wiring, widget set-up and page navigation of the main window.
// The constructor (src/core/mainwindow.cpp) calls setupShell() right after
// ui->setupUi(this).

#include "gui/controlmessages.h"
#include "gui/mainwindow.h"
#include "core/catalogue.h"
#include "gui/widgets/framelesswindow.h"
#include "gui/mainwindow_form.h"
#include "gui/widgets/maskwidget.h"

#include <QDebug>
#include <QSignalBlocker>
#include <QMovie>

namespace {

void checkOnly(const QList<QAbstractButton *> &buttons, QAbstractButton *checked)
{
    for (QAbstractButton *button : buttons)
        button->setChecked(button == checked);
}

void wireButtons(QList<QAbstractButton *> &list, std::initializer_list<QToolButton *> buttons,
                 MainWindow *window, void (MainWindow::*slot)())
{
    for (QToolButton *button : buttons) {
        list.append(button);
        button->setCheckable(true);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        QObject::connect(button, &QToolButton::clicked, window, slot);
    }
}

// Grey when off, accent when checked; the same in both themes.
QIcon navigationIcon(const QString &name)
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/qss/light/icon-nav-%1.png").arg(name), QSize(), QIcon::Normal, QIcon::Off);
    icon.addFile(QStringLiteral(":/qss/light/icon-nav-%1-checked.png").arg(name), QSize(), QIcon::Normal, QIcon::On);
    return icon;
}

// Checks the button and shows the page of the same index; -1 when the button
// is not in the list.
int showPageOf(const QList<QAbstractButton *> &buttons, QStackedWidget *pages, QAbstractButton *button)
{
    const int index = buttons.indexOf(button);
    if (index < 0)
        return index;
    checkOnly(buttons, button);
    pages->setCurrentIndex(index);
    return index;
}

} // namespace

void MainWindow::setupShell()
{
    m_frameless = new FramelessWindow(this);

    wireButtons(m_navButtons, {ui->btnNavControl, ui->btnNavSupport}, this, &MainWindow::buttonClickedNavTop);
    ui->btnNavControl->click();
    wireButtons(m_controlButtons, {ui->btnVideoControl, ui->btnColorControl}, this, &MainWindow::buttonColorControl);
    ui->btnVideoControl->click();
    wireButtons(m_fieldButtons, {ui->btn90, ui->btn78, ui->btn65}, this, &MainWindow::buttonClickedField);
    ui->btnNavControl->setIcon(navigationIcon(QStringLiteral("controls")));
    ui->btnNavSupport->setIcon(navigationIcon(QStringLiteral("support")));

    for (QLabel *label : {ui->labelDevInfo, ui->labelDevUpdate, ui->labelDevSupport,
                          ui->labelHyperlinksContactSupport, ui->labelHyperlinksQuickStartGuide,
                          ui->labelHyperlinksApp, ui->labPreview, ui->labelCamera, ui->labelStop}) {
        label->installEventFilter(this);
        label->setAttribute(Qt::WA_Hover, true);
    }

    for (QAbstractButton *button : {ui->btnHDR, ui->btnHD, ui->btnAutoFocus, ui->btnMute, ui->btnDevInfoExtend,
                                    ui->btnDevUpdateExtend, ui->btnDevSupportExtend})
        button->setCheckable(true);

    for (QAbstractButton *button : {ui->btnCameraUp, ui->btnCameraDown, ui->btnCameraLeft, ui->btnCameraRight}) {
        button->setAutoRepeat(true);
        button->setAutoRepeatDelay(500);
        button->setAutoRepeatInterval(200);
    }

    ui->sliderZoom->setSingleStep(10);

    ui->progressBarUpdate->setRange(0, 100);
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->hide();

    for (QLabel *label : {ui->labelHyperlinksContactSupport, ui->labelHyperlinksQuickStartGuide, ui->labelHyperlinksApp}) {
        label->setOpenExternalLinks(true);
        label->setTextFormat(Qt::RichText);
    }
    ui->labelAppVer->setText(QStringLiteral("V%1.%2.%3").arg(1).arg(0).arg(4));

    ui->listWidgetCamera->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui->listWidgetCamera->setIconSize(QSize(66, 36));

    ui->labelloading->setScaledContents(true);
    for (QLabel *label : {ui->labelloading, ui->labelCamera, ui->labelStop})
        label->setStyleSheet(QStringLiteral("border:0px"));
    m_loadingMovieLight = new QMovie(QStringLiteral(":/qss/light/loading.gif"), QByteArray(), this);
    m_loadingMovieDark = new QMovie(QStringLiteral(":/qss/dark/loading.gif"), QByteArray(), this);
    m_loadingMovieLight->setSpeed(300);
    m_loadingMovieDark->setSpeed(300);
    ui->labelloading->setMovie(m_loadingMovieLight);

    for (QWidget *widget : std::initializer_list<QWidget *>{
             ui->labelHyperlinksApp, ui->labelHyperlinksQuickStartGuide, ui->labelHDR_3, ui->btnHDR, ui->widget_14,
             ui->labelAuto, ui->checkBoxBrigtness, ui->checkBoxContract, ui->checkBoxHue, ui->checkBoxSaturation,
             ui->checkBoxSharpness, ui->widgetAngle, ui->widgetMFocus, ui->widget_11, ui->widget_12})
        widget->hide();

    setControlsEnabled(false);

    m_supportAddress = supportAddress();
    setSupportLink(m_supportLinkColor);

    rememberPristineRows();

    MaskWidget *mask = MaskWidget::instance();
    mask->setMainWidget(window());
    mask->setDialogNames({QStringLiteral("FormUpgrade"), QStringLiteral("FormAbnormal"),
                          QStringLiteral("FormCustomizeMessagebox")});
}

void MainWindow::buttonClickedNavTop()
{
    const int page = showPageOf(m_navButtons, ui->stackedWidgetMain, qobject_cast<QAbstractButton *>(sender()));
    if (page == 0 && m_isOpened)
        slotUpdateSliderValue(true);
}

void MainWindow::buttonColorControl()
{
    const int page = showPageOf(m_controlButtons, ui->stackedWidgetControl, qobject_cast<QAbstractButton *>(sender()));
    if (page == 1 && m_isOpened)
        slotUpdateSliderValue(true);
}

void MainWindow::buttonClickedField()
{
    auto *clicked = qobject_cast<QAbstractButton *>(sender());
    const int index = m_fieldButtons.indexOf(clicked);
    if (index < 0)
        return;
    checkOnly(m_fieldButtons, nullptr);

    if (m_bAngleFromDevice) {
        // A value the camera model read (and sent back): only shown.
        m_bAngleFromDevice = false;
        clicked->setChecked(true);
        return;
    }
    // A user's choice first brings the camera home, so the new field of view
    // starts from the centre (the camera model does both).
    const ControlCache &c = controls();
    const bool awayFromHome = c.pan != 0 || c.tilt != 0 || c.zoom != 100;
    if (awayFromHome)
        m_bCancelTips = true;
    clicked->setChecked(true);
    const lumora::camera::SetResult result = m_camera.set(lumora::camera::Feature::FieldOfView, index);
    if (awayFromHome) {
        updatePanArrows(c.pan);
        updateTiltArrows(c.tilt);
        {
            const QSignalBlocker blocker(ui->sliderZoom);
            ui->sliderZoom->setValue(c.zoom);
        }
        updatePadEnabled(true, c.zoom);
        zoomTaken(c.zoomRange.minimum);
    }
    if (result.sent)
        return;
    showMessageBox(tr(controlmessages::kSettingTimeout));
    // Only shown, not sent again: a camera refusing every change would
    // otherwise bring the timeout box back forever.
    if (result.readBack && result.value >= 0 && result.value < m_fieldButtons.size())
        checkOnly(m_fieldButtons, m_fieldButtons.at(result.value));
}

namespace {

void toggleSection(bool &expanded, QWidget *body)
{
    expanded = !expanded;
    body->setVisible(expanded);
}

} // namespace

void MainWindow::on_btnDevInfoExtend_clicked()
{
    toggleSection(m_devInfoExpanded, ui->widgetDevInfo);
}

void MainWindow::on_btnDevUpdateExtend_clicked()
{
    toggleSection(m_devUpdateExpanded, ui->widgetDevUpdate);
}

void MainWindow::on_btnDevSupportExtend_clicked()
{
    toggleSection(m_devSupportExpanded, ui->widgetDevSupport);
}
