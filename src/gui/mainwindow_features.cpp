// The control page's vendor features: tracking, HDR, HD, anti-flicker,
// microphone, field of view, factory reset, and the state read after opening.
// The camera model sends and reads; this file shows what it reports.

#include "gui/featuretables.h"
#include "gui/dialogs/formcustomizemessagebox.h"
#include "gui/controlmessages.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QDebug>
#include <QSignalBlocker>

#include <array>

using lumora::camera::Feature;

namespace {

constexpr int kTrackOff = 0;
constexpr int kAutoFraming = 1;
constexpr int kPresenterTracking = 3;
constexpr int kImmediate = 0;

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
    const QSignalBlocker blocker(box);
    box->setCurrentIndex(featureIndexOf(table, value));
}

void checkSilently(QAbstractButton *button, bool checked)
{
    const QSignalBlocker blocker(button);
    button->setChecked(checked);
}

using Row = std::array<QWidget *, 3>;
Row effectRow(Ui::MainWindow *ui) { return {ui->label_16, ui->comboBoxTrackEffect, ui->widget_12}; }
Row speedRow(Ui::MainWindow *ui) { return {ui->label_17, ui->comboBoxTrackSpeend, ui->widget_11}; }

void setRowVisible(const Row &row, bool visible)
{
    for (QWidget *w : row)
        w->setVisible(visible);
}

void fillList(QComboBox *box, const FeatureTable &table)
{
    const QSignalBlocker blocker(box);
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
    setRowVisible(speedRow(ui),
                  framing && !(mode == kAutoFraming && m_camera.state().trackEffect == kImmediate));
}

void MainWindow::showFeature(Feature id, int value)
{
    switch (id) {
    case Feature::Hdr: checkSilently(ui->btnHDR, value != 0); break;
    case Feature::Hd: checkSilently(ui->btnHD, value != 0); break;
    case Feature::Mic: checkSilently(ui->btnMute, value != 0); break;
    case Feature::AntiFlicker: selectFeature(ui->comboBoxAntiFlicker, antiFlickerTable(), value); break;
    case Feature::FieldOfView: {
        // The button of the camera's value is clicked as if chosen; the camera
        // model has sent the value back already, so the click only shows it.
        QAbstractButton *const buttons[] = {ui->btn90, ui->btn78, ui->btn65};
        if (value >= 0 && value <= 2) {
            m_bAngleFromDevice = true;
            buttons[value]->click();
        }
        break;
    }
    case Feature::Tracking:
        selectFeature(ui->comboBoxTrackMode, trackModeTable(), value);
        applyTrackVisibility(value);
        break;
    case Feature::TrackingEffect:
        selectFeature(ui->comboBoxTrackEffect, trackEffectTable(), value);
        if (value == kImmediate)
            setRowVisible(speedRow(ui), false);
        break;
    case Feature::TrackingSpeed: selectFeature(ui->comboBoxTrackSpeend, trackSpeedTable(), value); break;
    default: break;
    }
}

void MainWindow::showCameraState()
{
    const QString version = m_camera.state().firmware;
    if (!version.isEmpty())
        ui->labelDevVer->setText(QStringLiteral("V%1").arg(version));
    if (m_nCurrentCameraIndex != -1)
        fillControlPage();
}

void MainWindow::readDeviceState()
{
    ui->labelDevModel->setText(m_currentDeviceName);
    m_camera.readState();
}

void MainWindow::on_comboBoxTrackMode_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= trackModeTable().size())
        return;
    qDebug() << "get tracking index:" << index;
    const int mode = trackModeTable().at(index).value;
    qDebug() << "get tracking mode:" << mode;
    const lumora::camera::SetResult result = m_camera.set(Feature::Tracking, mode);
    if (!result.sent) {
        showMessageBox(tr(controlmessages::kOperationTimeout));
        return;
    }
    if (mode == kTrackOff) {
        // Zoom went home; that programmatic change must not raise the "not taken" warning.
        m_bCancelTips = true;
        const int home = controls().zoomRange.minimum;
        {
            const QSignalBlocker blocker(ui->sliderZoom);
            ui->sliderZoom->setValue(home);
        }
        updatePadEnabled(true, home);
        zoomTaken(home);
    }
    if (mode == kAutoFraming && m_camera.state().trackEffect != 1)
        setRowVisible(speedRow(ui), false);
}

void MainWindow::on_comboBoxTrackEffect_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= trackEffectTable().size())
        return;
    const int value = trackEffectTable().at(index).value;
    const lumora::camera::SetResult result = m_camera.set(Feature::TrackingEffect, value);
    if (!result.attempted || result.sent) {
        // Outside Auto Framing nothing is sent; the speed row follows the choice anyway.
        setRowVisible(speedRow(ui), value != kImmediate);
        return;
    }
    showMessageBox(tr(controlmessages::kOperationTimeout));
}

void MainWindow::on_comboBoxTrackSpeend_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= trackSpeedTable().size())
        return;
    const int value = trackSpeedTable().at(index).value;
    const lumora::camera::SetResult result = m_camera.set(Feature::TrackingSpeed, value);
    if (result.attempted && !result.sent)
        showMessageBox(tr(controlmessages::kOperationTimeout));
}

void MainWindow::on_comboBoxAntiFlicker_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= antiFlickerTable().size())
        return;
    if (!m_camera.set(Feature::AntiFlicker, antiFlickerTable().at(index).value).sent)
        showMessageBox(tr(controlmessages::kSettingTimeout));
}

void MainWindow::on_btnHDR_clicked()
{
    if (!m_isOpened)
        return;
    if (!m_camera.set(Feature::Hdr, m_camera.state().hdr > 0 ? 0 : 1).sent)
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
    if (m_camera.set(Feature::Hd, m_camera.state().hd > 0 ? 0 : 1).sent) {
        showRestartNotice(tr(kHdRestartText));
        return;
    }
    showMessageBox(tr(controlmessages::kOperationTimeout));
}

void MainWindow::on_btnMute_clicked()
{
    if (!m_isOpened)
        return;
    if (m_camera.set(Feature::Mic, m_camera.state().mic > 0 ? 0 : 1).sent) {
        showRestartNotice(tr(kRestartText));
        return;
    }
    showMessageBox(tr(controlmessages::kSettingTimeout));
}

void MainWindow::on_comboBoxMic_currentIndexChanged(int index)
{
    if (!m_isOpened || index < 0 || index >= microphoneTable().size())
        return;
    const int value = microphoneTable().at(index).value;
    UVCExtensionUnit &unit = m_camera.unit();
    if (!unit.SetMicEnable(value))
        showMessageBox(tr(controlmessages::kSettingTimeout));
    int read = 0;
    if (unit.GetMicEnable(read))
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
    if (!m_camera.restoreDefaults()) {
        showMessageBox(tr(controlmessages::kSettingTimeout));
        return;
    }
    showRestartNotice(tr(kRestartText));
    qDebug() << "Config default info";
}

void MainWindow::slotUpdate410BStatus()
{
    qDebug() << "cheching 410b status";
    if (m_cameraModel != 4)
        return;
    m_camera.pollTrackingStatus();
}
