// The control page's standard controls: pan/tilt pad, zoom, focus, the image
// sliders with their "Auto" boxes, and the warning when a change did not take.
// Each slot turns a widget event into one camera call; the camera's values
// reach the widgets with their signals blocked.

#include "gui/controlmessages.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QDebug>
#include <QSignalBlocker>
#include <QTimer>

using lumora::camera::Feature;
using lumora::camera::kNoZoom;
using lumora::camera::kPadLimit;

namespace {

constexpr int kTipsShowDelayMs = 500;
constexpr int kTipsHoldMs = 1500;
constexpr int kRememberDelayMs = 400;
constexpr int kRememberAfterTrackOffMs = 100;
const char kNotTakenText[] = "Any change in the setting takes effect only if the camera is working.";

bool hasFocusControl(int model) { return model == 4 || model == 14; }

void setSliderSilently(QSlider *slider, int value)
{
    const QSignalBlocker blocker(slider);
    slider->setValue(value);
}

} // namespace

void MainWindow::setupControlPage()
{
    connect(&m_camera.unit(), &UVCExtensionUnit::reInitUvc, this, &MainWindow::slotReInitUvcEx);
    connect(ui->sliderZoom, &QSlider::valueChanged, this, &MainWindow::slotOnSetZoomValue);
    connect(ui->sliderFocus, &QSlider::valueChanged, this, &MainWindow::slotOnSetFocusValue);
    connect(ui->sliderBrightness, &QSlider::valueChanged, this, &MainWindow::slotOnSetBrightnessValue);
    connect(ui->sliderContract, &QSlider::valueChanged, this, &MainWindow::slotOnSetContractValue);
    connect(ui->sliderHue, &QSlider::valueChanged, this, &MainWindow::slotOnSetHueValue);
    connect(ui->sliderSaturation, &QSlider::valueChanged, this, &MainWindow::slotOnSetSaturationValue);
    connect(ui->sliderSharpness, &QSlider::valueChanged, this, &MainWindow::slotOnSetSharpnessValue);
    connect(&m_camera, &lumora::camera::Camera::featureChanged, this, &MainWindow::showFeature);
    connect(&m_camera, &lumora::camera::Camera::stateRead, this, &MainWindow::showCameraState);
    connect(&m_camera, &lumora::camera::Camera::padRestoreDue, this,
            [this] { QTimer::singleShot(kRememberAfterTrackOffMs, this, &MainWindow::slotRemberYuntaiValue); });
    setupCameraMemoryUi();
}

void MainWindow::slotReInitUvcEx()
{
    qDebug() << "MainWindow::slotReInitUvcEx";
    if (!m_camera.reopenChannel())
        qDebug() << "UVC reinit failed!";
}

void MainWindow::loadCameraParameters()
{
    if (m_nCurrentCameraIndex == -1)
        return;
    m_camera.queryControls();
    fillControlPage();
}

void MainWindow::showFocusMode()
{
    const ControlCache &c = controls();
    ui->widgetAFocus->show();
    m_bAutoFocus = c.focusFlags == kControlFlagsAuto ? 1 : 0;
    const QSignalBlocker blocker(ui->btnAutoFocus);
    ui->btnAutoFocus->setChecked(m_bAutoFocus);
    ui->widgetMFocus->setVisible(!m_bAutoFocus);
    if (!m_bAutoFocus)
        setSliderSilently(ui->sliderFocus, c.focus);
}

void MainWindow::showImageSliders()
{
    ControlCache &c = controls();
    const struct {
        QSlider *slider;
        QLabel *label;
        Control control;
    } rows[] = {
        {ui->sliderBrightness, ui->labelBrightnessValue, Control::Brightness},
        {ui->sliderContract, ui->labelContractValue, Control::Contrast},
        {ui->sliderHue, ui->labelHueValue, Control::Hue},
        {ui->sliderSaturation, ui->labelSaturationValue, Control::Saturation},
        {ui->sliderSharpness, ui->labelSharpnessValue, Control::Sharpness},
    };
    for (const auto &row : rows) {
        const QSignalBlocker blocker(row.slider);
        const ParameterRange &range = c.range(row.control);
        row.slider->setRange(range.minimum, range.maximum);
        row.slider->setSingleStep(1);
        row.slider->setValue(c.value(row.control));
        row.label->setText(QString::number(c.value(row.control)));
    }
}

void MainWindow::fillControlPage()
{
    const ControlCache &c = controls();
    {
        const QSignalBlocker blocker(ui->sliderZoom);
        ui->sliderZoom->setRange(c.zoomRange.minimum, c.zoomRange.maximum);
        ui->sliderZoom->setValue(c.zoom);
    }
    {
        const QSignalBlocker blocker(ui->sliderFocus);
        ui->sliderFocus->setRange(c.focusRange.minimum, c.focusRange.maximum);
        ui->sliderFocus->setSingleStep(1);
    }
    if (hasFocusControl(m_cameraModel))
        showFocusMode();
    showImageSliders();
}

void MainWindow::setControlsEnabled(bool enable)
{
    ui->labelloading->hide();
    if (m_isPreviewing) {
        ui->labelCamera->hide();
    } else {
        ui->labelCamera->show();
        ui->labelStop->hide();
    }
    qDebug() << "set controls enable:" << enable;
    ControlCache &c = controls();
    updatePadEnabled(enable, c.zoom);

    QWidget *const imageWidgets[] = {ui->sliderZoom, ui->sliderBrightness, ui->sliderContract, ui->sliderHue,
                                     ui->sliderSaturation, ui->sliderSharpness, ui->checkBoxBrigtness,
                                     ui->checkBoxContract, ui->checkBoxHue, ui->checkBoxSaturation,
                                     ui->checkBoxSharpness};
    for (QWidget *w : imageWidgets)
        w->setEnabled(enable);

    if (!enable) {
        // What a disabled page shows; nothing of it goes to a camera, and an
        // open camera keeps its zoom in the cache (the pad re-apply sends it).
        if (!m_isOpened)
            c.zoom = kNoZoom;
        setSliderSilently(ui->sliderZoom, kNoZoom);
        if (!m_isOpened) {
            setSliderSilently(ui->sliderBrightness, c.brightnessRange.minimum);
            setSliderSilently(ui->sliderContract, c.contrastRange.minimum);
            setSliderSilently(ui->sliderSaturation, c.saturationRange.minimum);
            setSliderSilently(ui->sliderHue, c.hueRange.minimum);
            setSliderSilently(ui->sliderSharpness, c.sharpnessRange.minimum);
        }
    }

    QWidget *const featureWidgets[] = {ui->comboBoxAntiFlicker, ui->btnHDR, ui->btnHD, ui->btnMute,
                                       ui->btnDefaultColor, ui->comboBoxTrackEffect, ui->comboBoxTrackMode,
                                       ui->comboBoxTrackSpeend};
    for (QWidget *w : featureWidgets)
        w->setEnabled(enable);
    ui->btnUpgrade->setEnabled(enable && !m_isUpgrading);
    ui->btnRestoreDefaults->setEnabled(enable && !m_isUpgrading);

    if (!(enable && hasFocusControl(m_cameraModel))) {
        ui->widgetAngle->hide();
        ui->widgetAFocus->hide();
        ui->widgetMFocus->hide();
    }
}

void MainWindow::setColorControlsEnabled(bool enable)
{
    QWidget *const widgets[] = {ui->sliderBrightness, ui->sliderContract, ui->sliderHue, ui->sliderSaturation,
                                ui->sliderSharpness, ui->checkBoxBrigtness, ui->checkBoxContract,
                                ui->checkBoxHue, ui->checkBoxSaturation, ui->checkBoxSharpness,
                                ui->btnDefaultColor};
    for (QWidget *w : widgets)
        w->setEnabled(enable);
}

void MainWindow::slotUpdateSliderValue(bool isQuery)
{
    if (isQuery)
        m_camera.queryControls();
    ControlCache &c = controls();
    m_camera.wrapper().GetCameraProperty(kCameraZoom, c.zoom);
    qDebug() << "g_zoom####" << c.zoom;
    setSliderSilently(ui->sliderZoom, c.zoom);
    QTimer::singleShot(kRememberDelayMs, this, &MainWindow::slotRemberYuntaiValue);

    if (m_cameraModel == 4) {
        showFocusMode();
        if (m_bAutoFocus && !m_camera.setAuto(Feature::Focus).sent)
            showMessageBox(tr(controlmessages::kSettingTimeout));
    }
    showImageSliders();
}

void MainWindow::padStep(Control control, int delta)
{
    int &cached = controls().value(control);
    const int value = qBound(-kPadLimit, cached + delta, kPadLimit);
    if (control == Control::Pan)
        updatePanArrows(value);
    else
        updateTiltArrows(value);
    const lumora::camera::SetResult result = m_camera.set(control == Control::Pan ? Feature::Pan : Feature::Tilt, value);
    if (result.value != value)
        showMessageBox(tr(kNotTakenText), true);
}

void MainWindow::on_btnCameraUp_clicked() { padStep(Control::Tilt, +1); }
void MainWindow::on_btnCameraDown_clicked() { padStep(Control::Tilt, -1); }
void MainWindow::on_btnCameraLeft_clicked() { padStep(Control::Pan, -1); }
void MainWindow::on_btnCameraRight_clicked() { padStep(Control::Pan, +1); }

void MainWindow::slotOnSetZoomValue(int value)
{
    m_camera.set(Feature::Zoom, value);
    updatePadEnabled(true, value);
    zoomTaken(value);
}

void MainWindow::zoomTaken(int last)
{
    ControlCache &c = controls();
    qDebug() << "last_zoom" << last << "g_zoom" << c.zoom << "m_bCancelTips" << m_bCancelTips;
    if (m_bCancelTips && last == kNoZoom) {
        c.zoom = kNoZoom;
        m_bCancelTips = false;
        return;
    }
    if (last != c.zoom)
        scheduleTips();
}

void MainWindow::scheduleTips()
{
    if (!m_isOpened || m_isPreviewing || m_bTipsShowing)
        return;
    m_bTipsShowing = true;
    QTimer::singleShot(kTipsHoldMs, this, &MainWindow::slotTipsTimeout);
    QTimer::singleShot(kTipsShowDelayMs, this, &MainWindow::slotShowTips);
}

void MainWindow::slotShowTips()
{
    showMessageBox(tr(kNotTakenText), true);
    slotUpdateSliderValue(false);
}

void MainWindow::slotTipsTimeout() { m_bTipsShowing = false; }

void MainWindow::slotRemberYuntaiValue()
{
    m_camera.restorePad();
    const ControlCache &c = controls();
    updateTiltArrows(c.tilt);
    updatePanArrows(c.pan);
    setSliderSilently(ui->sliderZoom, c.zoom);
    // A page whose pad and zoom are disabled (basic models) keeps the pad disabled.
    updatePadEnabled(ui->sliderZoom->isEnabled(), c.zoom);
    zoomTaken(c.zoom);
}

void MainWindow::slotOnSetFocusValue(int value)
{
    m_camera.set(Feature::Focus, value);
}

void MainWindow::on_btnAutoFocus_clicked(bool)
{
    if (!m_isOpened)
        return;
    if (m_bAutoFocus == 1) {
        m_bAutoFocus = 0;
        ui->widgetMFocus->show();
        qDebug() << "ui->sliderFocus" << ui->sliderFocus->value();
        const int focus = m_camera.setManual(Feature::Focus).value;
        setSliderSilently(ui->sliderFocus, focus);
        qDebug() << "g_focus" << focus;
        return;
    }
    m_bAutoFocus = 1;
    ui->widgetMFocus->hide();
    if (!m_camera.setAuto(Feature::Focus).sent) {
        showMessageBox(tr(controlmessages::kSettingTimeout));
        m_bAutoFocus = 0;
        const QSignalBlocker blocker(ui->btnAutoFocus);
        ui->btnAutoFocus->setChecked(false);
    }
}

void MainWindow::imageSliderMoved(Feature feature, int value)
{
    QLabel *const labels[] = {ui->labelBrightnessValue, ui->labelContractValue, ui->labelHueValue,
                              ui->labelSaturationValue, ui->labelSharpnessValue};
    labels[propertyIdOf(lumora::camera::controlOf(feature))]->setText(QString::number(value));
    if (m_camera.set(feature, value).value != value)
        scheduleTips();
}

void MainWindow::slotOnSetBrightnessValue(int value) { imageSliderMoved(Feature::Brightness, value); }
void MainWindow::slotOnSetContractValue(int value) { imageSliderMoved(Feature::Contrast, value); }
void MainWindow::slotOnSetHueValue(int value) { imageSliderMoved(Feature::Hue, value); }
void MainWindow::slotOnSetSaturationValue(int value) { imageSliderMoved(Feature::Saturation, value); }
void MainWindow::slotOnSetSharpnessValue(int value) { imageSliderMoved(Feature::Sharpness, value); }

void MainWindow::autoBoxChanged(Feature feature, int state)
{
    QSlider *const sliders[] = {ui->sliderBrightness, ui->sliderContract, ui->sliderHue, ui->sliderSaturation,
                                ui->sliderSharpness};
    const bool automatic = state == Qt::Checked;
    sliders[propertyIdOf(lumora::camera::controlOf(feature))]->setEnabled(!automatic);
    if (automatic)
        m_camera.setAuto(feature);
    else
        m_camera.setManual(feature);
}

void MainWindow::on_checkBoxBrigtness_stateChanged(int arg1) { autoBoxChanged(Feature::Brightness, arg1); }
void MainWindow::on_checkBoxContract_stateChanged(int arg1) { autoBoxChanged(Feature::Contrast, arg1); }
void MainWindow::on_checkBoxHue_stateChanged(int arg1) { autoBoxChanged(Feature::Hue, arg1); }
void MainWindow::on_checkBoxSaturation_stateChanged(int arg1) { autoBoxChanged(Feature::Saturation, arg1); }
void MainWindow::on_checkBoxSharpness_stateChanged(int arg1) { autoBoxChanged(Feature::Sharpness, arg1); }

void MainWindow::on_btnDefaultColor_clicked()
{
    const ControlCache &c = controls();
    V4l2ControlNode &wrapper = m_camera.wrapper();
    wrapper.SetImageProperty(kImageBrightness, c.brightnessRange.defaultValue);
    wrapper.SetImageProperty(kImageHue, c.hueRange.defaultValue);
    wrapper.SetImageProperty(kImageContrast, c.contrastRange.defaultValue);
    wrapper.SetImageProperty(kImageSaturation, c.saturationRange.defaultValue);
    wrapper.SetImageProperty(kImageSharpness, c.sharpnessRange.defaultValue);
    slotUpdateSliderValue(true);
    if (!m_isOpened || m_isPreviewing)
        return;
    const bool atDefaults = ui->sliderBrightness->value() == c.brightnessRange.defaultValue
        && ui->sliderContract->value() == c.contrastRange.defaultValue
        && ui->sliderHue->value() == c.hueRange.defaultValue
        && ui->sliderSaturation->value() == c.saturationRange.defaultValue
        && ui->sliderSharpness->value() == c.sharpnessRange.defaultValue;
    if (!atDefaults)
        showMessageBox(tr(kNotTakenText), true);
}

bool MainWindow::slotGetSettingResult()
{
    m_camera.queryControls();
    const ControlCache &c = controls();
    qDebug() << "ui->sliderZoom->value()" << ui->sliderZoom->value();
    qDebug() << "g_zoom" << c.zoom;
    return ui->sliderZoom->value() != c.zoom || ui->sliderBrightness->value() != c.brightness
        || ui->sliderContract->value() != c.contrast || ui->sliderHue->value() != c.hue
        || ui->sliderSaturation->value() != c.saturation || ui->sliderSharpness->value() != c.sharpness;
}
