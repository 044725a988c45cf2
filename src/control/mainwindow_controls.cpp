// The control page's standard controls: pan/tilt pad, zoom, focus, the image
// sliders with their "Auto" boxes, and the warning when a change did not take.

#include "control/cameraparameters.h"
#include "control/controlmessages.h"
#include "ui/mainwindow.h"
#include "ui/mainwindow_form.h"

#include <QDebug>
#include <QTimer>

namespace {

constexpr int kPadLimit = 30;
constexpr int kNoZoom = 100;
constexpr int kTipsShowDelayMs = 500;
constexpr int kTipsHoldMs = 1500;
constexpr int kRememberDelayMs = 400;
const char kNotTakenText[] = "Any change in the setting takes effect only if the camera is working.";

bool hasFocusControl(int model) { return model == 4 || model == 14; }

} // namespace

void MainWindow::setupControlPage()
{
    connect(&m_extensionUnit, &UVCExtensionUnit::reInitUvc, this, &MainWindow::slotReInitUvcEx);
    connect(ui->sliderZoom, &QSlider::valueChanged, this, &MainWindow::slotOnSetZoomValue);
}

void MainWindow::slotReInitUvcEx()
{
    qDebug() << "MainWindow::slotReInitUvcEx";
    if (!m_extensionUnit.ReopenVideoDevice(m_currentDevicePath, m_currentDeviceName))
        qDebug() << "UVC reinit failed!";
}

void MainWindow::loadCameraParameters()
{
    if (m_nCurrentCameraIndex == -1)
        return;
    m_cameraWrapper.QueryCameraParameters(m_nCurrentCameraIndex, m_cameraModel);
    ui->sliderZoom->setRange(g_zoomRange.minimum, g_zoomRange.maximum);
    ui->sliderZoom->setValue(g_zoom);

    ui->sliderFocus->setRange(g_focusRange.minimum, g_focusRange.maximum);
    ui->sliderFocus->setSingleStep(1);
    connect(ui->sliderFocus, &QSlider::valueChanged, this, &MainWindow::slotOnSetFocusValue, Qt::UniqueConnection);
    if (hasFocusControl(m_cameraModel)) {
        ui->widgetAFocus->show();
        m_bAutoFocus = g_focusFlags == kControlFlagsAuto ? 1 : 0;
        ui->btnAutoFocus->setChecked(m_bAutoFocus);
        ui->widgetMFocus->setVisible(!m_bAutoFocus);
        if (!m_bAutoFocus)
            ui->sliderFocus->setValue(g_focus);
    }

    const struct {
        QSlider *slider;
        void (MainWindow::*slot)(int);
        QLabel *label;
        const ParameterRange &range;
        const int &value;
    } rows[] = {
        {ui->sliderBrightness, &MainWindow::slotOnSetBrightnessValue, ui->labelBrightnessValue, g_brightnessRange, g_brightness},
        {ui->sliderContract, &MainWindow::slotOnSetContractValue, ui->labelContractValue, g_contrastRange, g_contrast},
        {ui->sliderHue, &MainWindow::slotOnSetHueValue, ui->labelHueValue, g_hueRange, g_hue},
        {ui->sliderSaturation, &MainWindow::slotOnSetSaturationValue, ui->labelSaturationValue, g_saturationRange, g_saturation},
        {ui->sliderSharpness, &MainWindow::slotOnSetSharpnessValue, ui->labelSharpnessValue, g_sharpnessRange, g_sharpness},
    };
    for (const auto &row : rows) {
        row.slider->setRange(row.range.minimum, row.range.maximum);
        row.slider->setSingleStep(1);
        // However often the page loads, one movement calls the slot once.
        connect(row.slider, &QSlider::valueChanged, this, row.slot, Qt::UniqueConnection);
        row.slider->setValue(row.value);
        row.label->setText(QString::number(row.value));
    }
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
    updatePadEnabled(enable, g_zoom);

    QWidget *const imageWidgets[] = {ui->sliderZoom, ui->sliderBrightness, ui->sliderContract, ui->sliderHue,
                                     ui->sliderSaturation, ui->sliderSharpness, ui->checkBoxBrigtness,
                                     ui->checkBoxContract, ui->checkBoxHue, ui->checkBoxSaturation,
                                     ui->checkBoxSharpness};
    for (QWidget *w : imageWidgets)
        w->setEnabled(enable);

    if (!enable) {
        g_zoom = kNoZoom;
        ui->sliderZoom->setValue(kNoZoom);
        if (!m_isOpened) {
            ui->sliderBrightness->setValue(g_brightnessRange.minimum);
            ui->sliderContract->setValue(g_contrastRange.minimum);
            ui->sliderSaturation->setValue(g_saturationRange.minimum);
            ui->sliderHue->setValue(g_hueRange.minimum);
            ui->sliderSharpness->setValue(g_sharpnessRange.minimum);
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
        m_cameraWrapper.QueryCameraParameters(m_nCurrentCameraIndex, m_cameraModel);
    m_cameraWrapper.GetCameraProperty(kCameraZoom, g_zoom);
    qDebug() << "g_zoom####" << g_zoom;
    ui->sliderZoom->setValue(g_zoom);
    QTimer::singleShot(kRememberDelayMs, this, &MainWindow::slotRemberYuntaiValue);

    if (m_cameraModel == 4) {
        ui->widgetAFocus->show();
        if (g_focusFlags != kControlFlagsAuto) {
            m_bAutoFocus = 0;
            ui->btnAutoFocus->setChecked(false);
            ui->widgetMFocus->show();
            ui->sliderFocus->setValue(g_focus);
        } else {
            m_bAutoFocus = 1;
            ui->btnAutoFocus->setChecked(true);
            ui->widgetMFocus->hide();
            if (!m_extensionUnit.EnableAutoFocus())
                showMessageBox(tr(controlmessages::kSettingTimeout));
        }
    }

    const struct {
        QSlider *slider;
        QLabel *label;
        const int &value;
    } rows[] = {
        {ui->sliderBrightness, ui->labelBrightnessValue, g_brightness},
        {ui->sliderContract, ui->labelContractValue, g_contrast},
        {ui->sliderHue, ui->labelHueValue, g_hue},
        {ui->sliderSaturation, ui->labelSaturationValue, g_saturation},
        {ui->sliderSharpness, ui->labelSharpnessValue, g_sharpness},
    };
    for (const auto &row : rows) {
        row.slider->setValue(row.value);
        row.label->setText(QString::number(row.value));
    }
}

void MainWindow::padStep(int cameraProperty, int *cached, int delta)
{
    const int value = qBound(-kPadLimit, *cached + delta, kPadLimit);
    *cached = value;
    if (cameraProperty == kCameraPan)
        updatePanArrows(value);
    else
        updateTiltArrows(value);
    m_cameraWrapper.SetCameraProperty(cameraProperty, value);
    m_cameraWrapper.GetCameraProperty(cameraProperty, value);
    if (*cached != value)
        showMessageBox(tr(kNotTakenText), true);
    if (cameraProperty == kCameraPan)
        qDebug() << "set pan:" << g_pan;
}

void MainWindow::on_btnCameraUp_clicked() { padStep(kCameraTilt, &g_tilt, +1); }
void MainWindow::on_btnCameraDown_clicked() { padStep(kCameraTilt, &g_tilt, -1); }
void MainWindow::on_btnCameraLeft_clicked() { padStep(kCameraPan, &g_pan, -1); }
void MainWindow::on_btnCameraRight_clicked() { padStep(kCameraPan, &g_pan, +1); }

void MainWindow::slotOnSetZoomValue(int value)
{
    g_zoom = value;
    m_cameraWrapper.SetCameraProperty(kCameraZoom, value);
    updatePadEnabled(true, value);
    readBackZoom(value);
}

void MainWindow::readBackZoom(int last)
{
    m_cameraWrapper.GetCameraProperty(kCameraZoom, g_zoom);
    qDebug() << "last_zoom" << last << "g_zoom" << g_zoom << "m_bCancelTips" << m_bCancelTips;
    if (m_bCancelTips && last == kNoZoom) {
        g_zoom = kNoZoom;
        m_bCancelTips = false;
        return;
    }
    if (last != g_zoom)
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
    if (g_tilt > kPadLimit)
        g_tilt = kPadLimit;
    updateTiltArrows(g_tilt);
    m_cameraWrapper.SetCameraProperty(kCameraTilt, g_tilt);
    if (g_pan < -kPadLimit)
        g_pan = -kPadLimit;
    updatePanArrows(g_pan);
    m_cameraWrapper.SetCameraProperty(kCameraPan, g_pan);

    ui->sliderZoom->setValue(g_zoom);
    m_cameraWrapper.SetCameraProperty(kCameraZoom, g_zoom);
    updatePadEnabled(true, g_zoom);
    readBackZoom(g_zoom);
}

void MainWindow::slotOnSetFocusValue(int value)
{
    g_focus = value;
    m_cameraWrapper.SetCameraProperty(kCameraFocus, value);
}

void MainWindow::on_btnAutoFocus_clicked(bool)
{
    if (!m_isOpened)
        return;
    if (m_bAutoFocus == 1) {
        m_bAutoFocus = 0;
        m_cameraWrapper.GetCameraProperty(kCameraFocus, g_focus);
        ui->widgetMFocus->show();
        qDebug() << "ui->sliderFocus" << ui->sliderFocus->value();
        ui->sliderFocus->setValue(g_focus);
        qDebug() << "g_focus" << g_focus;
        m_cameraWrapper.SetCameraProperty(kCameraFocus, g_focus);
        return;
    }
    m_bAutoFocus = 1;
    ui->widgetMFocus->hide();
    if (!m_extensionUnit.EnableAutoFocus()) {
        showMessageBox(tr(controlmessages::kSettingTimeout));
        m_bAutoFocus = 0;
        ui->btnAutoFocus->setChecked(false);
    }
}

namespace {

int *imageCache(int imageProperty)
{
    switch (imageProperty) {
    case kImageBrightness: return &g_brightness;
    case kImageContrast: return &g_contrast;
    case kImageHue: return &g_hue;
    case kImageSaturation: return &g_saturation;
    default: return &g_sharpness;
    }
}

} // namespace

void MainWindow::imageSliderMoved(int imageProperty, int value)
{
    QLabel *const labels[] = {ui->labelBrightnessValue, ui->labelContractValue, ui->labelHueValue,
                              ui->labelSaturationValue, ui->labelSharpnessValue};
    int *cache = imageCache(imageProperty);
    *cache = value;
    m_cameraWrapper.SetImageProperty(imageProperty, value);
    labels[imageProperty]->setText(QString::number(value));
    m_cameraWrapper.GetImageProperty(imageProperty, value);
    if (value != *cache)
        scheduleTips();
}

void MainWindow::slotOnSetBrightnessValue(int value) { imageSliderMoved(kImageBrightness, value); }
void MainWindow::slotOnSetContractValue(int value) { imageSliderMoved(kImageContrast, value); }
void MainWindow::slotOnSetHueValue(int value) { imageSliderMoved(kImageHue, value); }
void MainWindow::slotOnSetSaturationValue(int value) { imageSliderMoved(kImageSaturation, value); }
void MainWindow::slotOnSetSharpnessValue(int value) { imageSliderMoved(kImageSharpness, value); }

void MainWindow::autoBoxChanged(int imageProperty, int state)
{
    QSlider *const sliders[] = {ui->sliderBrightness, ui->sliderContract, ui->sliderHue, ui->sliderSaturation,
                                ui->sliderSharpness};
    const bool automatic = state == Qt::Checked;
    sliders[imageProperty]->setEnabled(!automatic);
    if (automatic)
        m_cameraWrapper.SetImagePropertyAuto(imageProperty);
    else
        m_cameraWrapper.SetImageProperty(imageProperty, *imageCache(imageProperty));
}

void MainWindow::on_checkBoxBrigtness_stateChanged(int arg1) { autoBoxChanged(kImageBrightness, arg1); }
void MainWindow::on_checkBoxContract_stateChanged(int arg1) { autoBoxChanged(kImageContrast, arg1); }
void MainWindow::on_checkBoxHue_stateChanged(int arg1) { autoBoxChanged(kImageHue, arg1); }
void MainWindow::on_checkBoxSaturation_stateChanged(int arg1) { autoBoxChanged(kImageSaturation, arg1); }
void MainWindow::on_checkBoxSharpness_stateChanged(int arg1) { autoBoxChanged(kImageSharpness, arg1); }

void MainWindow::on_btnDefaultColor_clicked()
{
    m_cameraWrapper.SetImageProperty(kImageBrightness, g_brightnessRange.defaultValue);
    m_cameraWrapper.SetImageProperty(kImageHue, g_hueRange.defaultValue);
    m_cameraWrapper.SetImageProperty(kImageContrast, g_contrastRange.defaultValue);
    m_cameraWrapper.SetImageProperty(kImageSaturation, g_saturationRange.defaultValue);
    m_cameraWrapper.SetImageProperty(kImageSharpness, g_sharpnessRange.defaultValue);
    slotUpdateSliderValue(true);
    if (!m_isOpened || m_isPreviewing)
        return;
    const bool atDefaults = ui->sliderBrightness->value() == g_brightnessRange.defaultValue
        && ui->sliderContract->value() == g_contrastRange.defaultValue
        && ui->sliderHue->value() == g_hueRange.defaultValue
        && ui->sliderSaturation->value() == g_saturationRange.defaultValue
        && ui->sliderSharpness->value() == g_sharpnessRange.defaultValue;
    if (!atDefaults)
        showMessageBox(tr(kNotTakenText), true);
}

bool MainWindow::slotGetSettingResult()
{
    m_cameraWrapper.QueryCameraParameters(m_nCurrentCameraIndex, m_cameraModel);
    qDebug() << "ui->sliderZoom->value()" << ui->sliderZoom->value();
    qDebug() << "g_zoom" << g_zoom;
    return ui->sliderZoom->value() != g_zoom || ui->sliderBrightness->value() != g_brightness
        || ui->sliderContract->value() != g_contrast || ui->sliderHue->value() != g_hue
        || ui->sliderSaturation->value() != g_saturation || ui->sliderSharpness->value() != g_sharpness;
}
