// The control page's vendor features: tracking, HDR, HD, anti-flicker,
// microphone, field of view, factory reset, and the state read after opening.

#include "control/cameraparameters.h"
#include "control/featuretables.h"
#include "ui/formcustomizemessagebox.h"
#include "control/controlmessages.h"
#include "ui/mainwindow.h"
#include "ui/mainwindow_form.h"

#include <QDebug>
#include <QTimer>

#include <array>

namespace {

constexpr int kVersionCode = 0x80;
constexpr int kLegacyVersionCode = 0x0B;
constexpr int kRememberAfterTrackOffMs = 100;
constexpr int kTrackOff = 0;
constexpr int kAutoFraming = 1;
constexpr int kPresenterTracking = 3;
constexpr int kImmediate = 0;
// This model's firmware 1.0.22 reports a tracking mode it does not run.
constexpr int kQuirkModel = 12;
const char kQuirkFirmware[] = "1.0.22";

const char kRestartText[] = "To complete this process, your device may take a few seconds to restart.";
const char kHdRestartText[] = "Turn on for better image quality and turn off for better compatibility.To complete this "
                              "process, your device may take a few seconds to restart.";
const char kRestoreConfirmText[]
    = "<h3>Restore Factory Defaults</h3>\r\nAre you sure you want to reset your device to factory settings? The "
      "current settings will be completely removed, and your device may take several seconds to reboot. Please keep "
      "your device connected during the whole resetting process.";

bool offersFieldOfView(int model) { return model == 4 || model == 14; }

void selectFeature(QComboBox *box, const FeatureTable &table, int value)
{
    box->setCurrentIndex(featureIndexOf(table, value));
}

using Row = std::array<QWidget *, 3>;
Row effectRow(Ui::MainWindow *ui) { return {ui->label_16, ui->comboBoxTrackEffect, ui->widget_12}; }
Row speedRow(Ui::MainWindow *ui) { return {ui->label_17, ui->comboBoxTrackSpeend, ui->widget_11}; }

void setRowVisible(const Row &row, bool visible)
{
    for (QWidget *w : row)
        w->setVisible(visible);
}

// Reads a feature back after a change and shows what the camera has.
void readFeatureBack(UVCExtensionUnit &unit, bool (UVCExtensionUnit::*get)(int &), const char *label, int sent,
                     int *state, QComboBox *box, const FeatureTable &table)
{
    int read = 0;
    if (!(unit.*get)(read))
        return;
    qDebug() << label << sent << ", query value:" << read;
    *state = read;
    selectFeature(box, table, read);
}

void fillList(QComboBox *box, const FeatureTable &table)
{
    box->clear();
    for (const FeatureValue &entry : table)
        box->addItem(QString::fromLatin1(entry.text), entry.value);
}

} // namespace

void MainWindow::fillFeatureLists()
{
    fillList(ui->comboBoxAntiFlicker, antiFlickerTable());
    fillList(ui->comboBoxTrackMode, trackModeTable());
    fillList(ui->comboBoxTrackEffect, trackEffectTable());
    fillList(ui->comboBoxTrackSpeend, trackSpeedTable());
}

void MainWindow::applyTrackVisibility(int mode)
{
    const bool off = mode == kTrackOff;
    qDebug() << (off ? "show widgetoff" : "hide widgetoff");
    ui->widgetTrackOff->setVisible(off);
    if (!off)
        ui->widgetAngle->hide();
    else if (offersFieldOfView(m_cameraModel))
        ui->widgetAngle->show();
    const bool framing = !off && mode != kPresenterTracking;
    setRowVisible(effectRow(ui), framing);
    setRowVisible(speedRow(ui), framing && !(mode == kAutoFraming && m_trackEffect == kImmediate));
}

bool MainWindow::readViewAngle()
{
    int angle = 0;
    if (!m_extensionUnit.GetViewAngle(angle))
        return false;
    qDebug() << "angleState: " << angle;
    m_angleState = angle;
    m_bAngleFromDevice = true;
    QAbstractButton *const buttons[] = {ui->btn90, ui->btn78, ui->btn65};
    if (angle >= 0 && angle <= 2)
        buttons[angle]->click();
    return true;
}

void MainWindow::readDeviceState()
{
    ui->labelDevModel->setText(m_currentDeviceName);

    QString version;
    if (m_extensionUnit.GetVersion(kVersionCode, version) || m_extensionUnit.GetVersion(kLegacyVersionCode, version)) {
        m_firmwareVersion = version;
        ui->labelDevVer->setText(QStringLiteral("V%1").arg(version));
    } else {
        qWarning() << "Failed to get the camera version.";
    }

    int value = 0;
    if (m_extensionUnit.GetHDR(value)) {
        m_hdrState = value;
        ui->btnHDR->setChecked(value != 0);
    }
    if (m_extensionUnit.GetAntiFlicker(value)) {
        qDebug() << "flicker state: " << value;
        m_flickerState = value;
        selectFeature(ui->comboBoxAntiFlicker, antiFlickerTable(), value);
    }
    if (m_extensionUnit.GetMicEnable(value)) {
        qDebug() << "mute state: " << value;
        m_muteState = value;
        ui->btnMute->setChecked(value != 0);
    }
    if (offersFieldOfView(m_cameraModel))
        readViewAngle();

    loadCameraParameters();
    g_zoom = qBound(100, g_zoom, 800);
    qDebug() << "param:"
             << "g_brightness:" << g_brightness << "pan:" << g_pan << "tilt:" << g_tilt << "zoom:" << g_zoom;

    if (m_extensionUnit.GetHD(value)) {
        m_hdState = value;
        ui->btnHD->setChecked(value != 0);
    }
    if (!m_extensionUnit.GetTrackMode(value))
        return;
    if (m_cameraModel == kQuirkModel && m_firmwareVersion == QLatin1String(kQuirkFirmware))
        value = kTrackOff;
    qDebug() << "tracking mode state: " << value;
    m_trackMode = value;
    qDebug() << "tracking mode index: " << featureIndexOf(trackModeTable(), value);
    selectFeature(ui->comboBoxTrackMode, trackModeTable(), value);
    applyTrackVisibility(value);
    if (value == kTrackOff)
        QTimer::singleShot(kRememberAfterTrackOffMs, this, &MainWindow::slotRemberYuntaiValue);
    if (value != kAutoFraming)
        return;
    if (m_extensionUnit.GetTrackEffect(value)) {
        qDebug() << "tracking effect state: " << value;
        m_trackEffect = value;
        selectFeature(ui->comboBoxTrackEffect, trackEffectTable(), value);
        if (value == kImmediate)
            setRowVisible(speedRow(ui), false);
    }
    if (m_extensionUnit.GetTrackSpeed(value)) {
        qDebug() << "tracking speend state: " << value;
        m_trackSpeed = value;
        selectFeature(ui->comboBoxTrackSpeend, trackSpeedTable(), value);
    }
}

void MainWindow::on_comboBoxTrackMode_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= trackModeTable().size())
        return;
    qDebug() << "get tracking index:" << index;
    const int mode = trackModeTable().at(index).value;
    qDebug() << "get tracking mode:" << mode;
    if (!m_extensionUnit.SetTrackMode(mode)) {
        showMessageBox(tr(controlmessages::kOperationTimeout));
        readFeatureBack(m_extensionUnit, &UVCExtensionUnit::GetTrackMode, "Set tracking mode:", mode, &m_trackMode,
                        ui->comboBoxTrackMode, trackModeTable());
        return;
    }
    if (mode == kTrackOff) {
        // Zoom goes home; that programmatic change must not raise the "not taken" warning.
        m_bCancelTips = true;
        ui->sliderZoom->setValue(g_zoomRange.minimum);
        if (offersFieldOfView(m_cameraModel))
            readViewAngle();
    }
    applyTrackVisibility(mode);
    int read = 0;
    if (m_extensionUnit.GetTrackMode(read))
        qDebug() << "Set tracking mode:" << mode << ", query value:" << read;

    if (mode == kTrackOff) {
        QTimer::singleShot(kRememberAfterTrackOffMs, this, &MainWindow::slotRemberYuntaiValue);
        return;
    }
    if (mode != kAutoFraming)
        return;
    int value = 0;
    if (m_extensionUnit.GetTrackEffect(value)) {
        qDebug() << "tracking effect state: " << value;
        m_trackEffect = value;
        selectFeature(ui->comboBoxTrackEffect, trackEffectTable(), value);
    }
    if (m_trackEffect != 1) {
        setRowVisible(speedRow(ui), false);
        return;
    }
    if (m_extensionUnit.GetTrackSpeed(value)) {
        qDebug() << "tracking speend state: " << value;
        m_trackSpeed = value;
        selectFeature(ui->comboBoxTrackSpeend, trackSpeedTable(), value);
    }
}

void MainWindow::on_comboBoxTrackEffect_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= trackEffectTable().size())
        return;
    const int value = trackEffectTable().at(index).value;
    int mode = 0;
    // The effect only goes to a camera in Auto Framing; the speed row follows the choice anyway.
    if (!m_extensionUnit.GetTrackMode(mode) || mode != kAutoFraming || m_extensionUnit.SetTrackEffect(value)) {
        setRowVisible(speedRow(ui), value != kImmediate);
        return;
    }
    showMessageBox(tr(controlmessages::kOperationTimeout));
    readFeatureBack(m_extensionUnit, &UVCExtensionUnit::GetTrackEffect, "Set tracking effect:", value, &m_trackEffect,
                    ui->comboBoxTrackEffect, trackEffectTable());
}

void MainWindow::on_comboBoxTrackSpeend_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= trackSpeedTable().size())
        return;
    const int value = trackSpeedTable().at(index).value;
    int mode = 0;
    if (!m_extensionUnit.GetTrackMode(mode) || mode != kAutoFraming || m_extensionUnit.SetTrackSpeed(value))
        return;
    showMessageBox(tr(controlmessages::kOperationTimeout));
    readFeatureBack(m_extensionUnit, &UVCExtensionUnit::GetTrackSpeed, "Set tracking speed:", value, &m_trackSpeed,
                    ui->comboBoxTrackSpeend, trackSpeedTable());
}

void MainWindow::on_comboBoxAntiFlicker_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= antiFlickerTable().size())
        return;
    const int value = antiFlickerTable().at(index).value;
    if (!m_extensionUnit.SetAntiFlicker(value))
        showMessageBox(tr(controlmessages::kSettingTimeout));
    readFeatureBack(m_extensionUnit, &UVCExtensionUnit::GetAntiFlicker, "Set Flicker:", value, &m_flickerState,
                    ui->comboBoxAntiFlicker, antiFlickerTable());
}

void MainWindow::on_btnHDR_clicked()
{
    if (!m_isOpened)
        return;
    m_hdrState = !m_hdrState;
    if (!m_extensionUnit.SetHDR(m_hdrState))
        showMessageBox(tr(controlmessages::kSettingTimeout));
}

void MainWindow::showRestartNotice(const QString &text)
{
    FormCustomizeMessagebox box(text, 0, true);
    runMessageBox(box);
}

void MainWindow::on_btnHD_clicked()
{
    if (!m_isOpened)
        return;
    m_hdState = !m_hdState;
    if (m_extensionUnit.SetHD(m_hdState)) {
        showRestartNotice(tr(kHdRestartText));
        return;
    }
    showMessageBox(tr(controlmessages::kOperationTimeout));
    int read = 0;
    if (m_extensionUnit.GetHD(read)) {
        qDebug() << "Set HD:" << m_hdState << ", query value:" << read;
        m_hdState = read;
        ui->btnHD->setChecked(read != 0);
    }
}

void MainWindow::on_btnMute_clicked()
{
    if (!m_isOpened)
        return;
    m_muteState = !m_muteState;
    if (m_extensionUnit.SetMicEnable(m_muteState)) {
        showRestartNotice(tr(kRestartText));
        return;
    }
    showMessageBox(tr(controlmessages::kSettingTimeout));
    int read = 0;
    if (m_extensionUnit.GetMicEnable(read)) {
        qDebug() << "Set m_muteState:" << m_muteState << "query value:" << read;
        m_muteState = read;
        ui->btnMute->setChecked(read != 0);
    }
}

void MainWindow::on_comboBoxMic_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= microphoneTable().size())
        return;
    const int value = microphoneTable().at(index).value;
    if (!m_extensionUnit.SetMicEnable(value))
        showMessageBox(tr(controlmessages::kSettingTimeout));
    int read = 0;
    if (m_extensionUnit.GetMicEnable(read))
        qDebug() << "Set mute:" << value << ", query value:" << read;
    showRestartNotice(tr(kRestartText));
}

void MainWindow::on_btnRestoreDefaults_clicked()
{
    if (!m_isOpened)
        return;
    FormCustomizeMessagebox box(tr(kRestoreConfirmText), 1, false);
    if (runMessageBox(box) == 1)
        restoreFactoryDefaults();
}

void MainWindow::restoreFactoryDefaults()
{
    if (m_cameraModel == kQuirkModel && m_firmwareVersion == QLatin1String(kQuirkFirmware)) {
        g_pan = 0;
        g_tilt = 0;
        g_zoom = 100;
        m_cameraWrapper.SetCameraProperty(kCameraPan, g_pan);
        m_cameraWrapper.SetCameraProperty(kCameraTilt, g_tilt);
        m_cameraWrapper.SetCameraProperty(kCameraZoom, g_zoom);
        if (!m_extensionUnit.SetAntiFlicker(1))
            qDebug() << "Config deivce flicker failed.";
        if (!m_extensionUnit.SetMicEnable(1))
            qDebug() << "Config deivce mute failed.";
        readDeviceState();
    }
    if (!m_extensionUnit.RestoreDefaults()) {
        qDebug() << "Reset default params failed.";
        showMessageBox(tr(controlmessages::kSettingTimeout));
        return;
    }
    qDebug() << "Reset default params successed.";
    showRestartNotice(tr(kRestartText));
    qDebug() << "Config default info";
}

void MainWindow::slotUpdate410BStatus()
{
    qDebug() << "cheching 410b status";
    if (m_cameraModel != 4)
        return;
    readViewAngle();
    int mode = 0;
    if (!m_extensionUnit.GetTrackMode(mode))
        return;
    qDebug() << "tracking mode state: " << mode;
    qDebug() << "tracking mode index: " << featureIndexOf(trackModeTable(), mode);
    m_trackMode = mode;
    selectFeature(ui->comboBoxTrackMode, trackModeTable(), mode);
    applyTrackVisibility(mode);
    if (mode != kAutoFraming)
        return;
    int effect = 0;
    if (m_extensionUnit.GetTrackEffect(effect)) {
        qDebug() << "tracking effect state: " << effect;
        m_trackEffect = effect;
        selectFeature(ui->comboBoxTrackEffect, trackEffectTable(), effect);
        if (effect == kImmediate)
            setRowVisible(speedRow(ui), false);
    }
}
