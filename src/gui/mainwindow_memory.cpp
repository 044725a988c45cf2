// The window's side of the camera memory: the restore switch and shortcut list
// on the Support page, the preset row and the pad keys on the Video tab, the
// snapshot button on the preview and the Advanced section of the Color
// Adjustment tab. Each widget event makes one camera-model call.

#include "gui/mainwindow.h"

#include "camera/snapshot.h"
#include "core/catalogue.h"
#include "preview/videostreamthread.h"
#include "gui/mainwindow_form.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDebug>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QToolButton>

#include <linux/videodev2.h>

using namespace lumora::camera;

namespace {

constexpr int kNoticeMs = 2500;
constexpr int kZoomKeyStep = 10;

const char kShortcuts[] =
    "Keys on the preview and the Video tab: arrows pan and tilt, + and - zoom, Home centres, "
    "1-9 recall presets 1-9, Ctrl+1-9 save the position to them, Ctrl+S saves a snapshot.";

struct AdvancedSpec {
    const char *label;
    quint32 id;
};
// The controls people look for beyond the basic ones.
const AdvancedSpec kAdvanced[] = {
    {"Exposure", V4L2_CID_EXPOSURE_ABSOLUTE},
    {"White balance", V4L2_CID_WHITE_BALANCE_TEMPERATURE},
    {"Gain", V4L2_CID_GAIN},
    {"Backlight compensation", V4L2_CID_BACKLIGHT_COMPENSATION},
};

const V4l2Control *byId(const QVector<V4l2Control> &controls, quint32 id)
{
    for (const V4l2Control &c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

} // namespace

void MainWindow::setupCameraMemoryUi()
{
    // Support page: the restore switch and the keys.
    auto *box = new QWidget(ui->scrollAreaWidgetContents);
    box->setObjectName(QStringLiteral("widgetCameraMemory"));
    auto *boxLayout = new QVBoxLayout(box);
    m_restoreSwitch = new QCheckBox(tr("Restore my settings when this camera is connected"), box);
    m_restoreSwitch->setObjectName(QStringLiteral("checkBoxRestoreSettings"));
    m_restoreSwitch->setEnabled(false);
    auto *keys = new QLabel(tr(kShortcuts), box);
    keys->setObjectName(QStringLiteral("labelShortcuts"));
    keys->setWordWrap(true);
    boxLayout->addWidget(m_restoreSwitch);
    boxLayout->addWidget(keys);
    ui->verticalLayout_2->insertWidget(qMax(0, ui->verticalLayout_2->count() - 1), box);
    connect(m_restoreSwitch, &QCheckBox::toggled, this, &MainWindow::slotRestoreSwitch);

    // Video tab: the preset row.
    auto *presets = new QWidget(ui->page);
    presets->setObjectName(QStringLiteral("widgetPresets"));
    auto *row = new QHBoxLayout(presets);
    row->setContentsMargins(0, 0, 0, 0);
    m_presetBox = new QComboBox(presets);
    m_presetBox->setObjectName(QStringLiteral("comboBoxPresets"));
    m_presetBox->setMinimumWidth(110);
    m_presetBox->view(); // its popup now, so the page looks the same before and after a camera
    m_presetName = new QLineEdit(presets);
    m_presetName->setObjectName(QStringLiteral("lineEditPresetName"));
    m_presetName->setPlaceholderText(tr("Preset name"));
    m_presetName->setMaxLength(40);
    auto *save = new QToolButton(presets);
    save->setObjectName(QStringLiteral("btnSavePreset"));
    save->setText(tr("Save"));
    auto *remove = new QToolButton(presets);
    remove->setObjectName(QStringLiteral("btnDeletePreset"));
    remove->setText(tr("Delete"));
    row->addWidget(new QLabel(tr("Presets"), presets));
    row->addWidget(m_presetBox, 1);
    row->addWidget(remove);
    row->addWidget(m_presetName, 1);
    row->addWidget(save);
    ui->verticalLayout_4->addWidget(presets);
    connect(m_presetBox, QOverload<int>::of(&QComboBox::activated), this, &MainWindow::slotRecallPreset);
    connect(save, &QToolButton::clicked, this, &MainWindow::slotSavePreset);
    connect(m_presetName, &QLineEdit::returnPressed, this, &MainWindow::slotSavePreset);
    connect(remove, &QToolButton::clicked, this, &MainWindow::slotDeletePreset);

    // Color Adjustment tab: the Advanced section, rows shown per camera.
    m_advancedBox = new QWidget(ui->page_2);
    m_advancedBox->setObjectName(QStringLiteral("widgetAdvanced"));
    auto *advanced = new QVBoxLayout(m_advancedBox);
    advanced->setContentsMargins(0, 0, 0, 0);
    advanced->addWidget(new QLabel(tr("Advanced"), m_advancedBox));
    for (const AdvancedSpec &spec : kAdvanced) {
        AdvancedRow r;
        r.id = spec.id;
        const AutoMode mode = autoModeOf(spec.id);
        r.autoId = mode.id;
        r.manualValue = mode.manualValue;
        r.autoValue = spec.id == V4L2_CID_EXPOSURE_ABSOLUTE ? V4L2_EXPOSURE_APERTURE_PRIORITY : 1;
        r.row = new QWidget(m_advancedBox);
        r.row->setObjectName(QStringLiteral("advanced_%1").arg(controlName(spec.id)));
        auto *line = new QHBoxLayout(r.row);
        line->setContentsMargins(0, 0, 0, 0);
        auto *label = new QLabel(tr(spec.label), r.row);
        label->setMinimumWidth(150);
        line->addWidget(label);
        r.slider = new QSlider(Qt::Horizontal, r.row);
        line->addWidget(r.slider, 1);
        if (r.autoId) {
            r.automatic = new QCheckBox(tr("Auto"), r.row);
            line->addWidget(r.automatic);
        }
        advanced->addWidget(r.row);
        r.row->hide();
        const int index = m_advancedRows.size();
        m_advancedRows.append(r);
        connect(r.slider, &QSlider::valueChanged, this, [this, index](int value) {
            const AdvancedRow &a = m_advancedRows.at(index);
            if (const V4l2Control *c = byId(m_camera.controls(), a.id))
                m_camera.setV4l2(*c, value);
        });
        if (r.automatic) {
            connect(r.automatic, &QCheckBox::toggled, this, [this, index](bool on) {
                const AdvancedRow &a = m_advancedRows.at(index);
                if (const V4l2Control *c = byId(m_camera.controls(), a.autoId))
                    m_camera.setV4l2(*c, on ? a.autoValue : a.manualValue);
                refreshAdvanced();
            });
        }
    }
    m_advancedBox->hide();
    ui->verticalLayout_10->addWidget(m_advancedBox);

    // The preview: a snapshot button in its corner and a brief notice.
    m_snapshotButton = new QToolButton(ui->labPreview);
    m_snapshotButton->setObjectName(QStringLiteral("btnSnapshot"));
    m_snapshotButton->setText(tr("Snapshot"));
    m_snapshotButton->setToolTip(tr("Save the picture at full resolution (Ctrl+S)"));
    m_snapshotButton->move(8, 8);
    connect(m_snapshotButton, &QToolButton::clicked, this, &MainWindow::takeSnapshot);
    m_snapshotNotice = new QLabel(ui->labPreview);
    m_snapshotNotice->setObjectName(QStringLiteral("labelSnapshotNotice"));
    m_snapshotNotice->setStyleSheet(QStringLiteral("background: rgba(0,0,0,160); color: white; padding: 4px;"));
    m_snapshotNotice->move(8, 44);
    m_snapshotNotice->hide();

    // The keys: the preview and everything on the Video tab.
    ui->labPreview->setFocusPolicy(Qt::ClickFocus);
    ui->labPreview->installEventFilter(this);
    ui->page->installEventFilter(this);
    for (QWidget *child : ui->page->findChildren<QWidget *>())
        child->installEventFilter(this);

    connect(&m_camera, &Camera::stateRead, this, &MainWindow::showCameraMemory);
    // After a suspend the open camera gets its values back, and the pages show them.
    m_resumeSource = systemResumeSource();
    m_camera.restoreOnResume(m_resumeSource.get());
    connect(&m_camera, &Camera::restoredOnResume, this, &MainWindow::readDeviceState);
    connect(&m_camera.memory(), &CameraMemory::presetsChanged, this, &MainWindow::refreshPresetRow);
}

void MainWindow::showCameraMemory()
{
    const QSignalBlocker blocker(m_restoreSwitch);
    m_restoreSwitch->setEnabled(m_camera.memory().loaded());
    m_restoreSwitch->setChecked(m_camera.memory().restoreEnabled());
    refreshPresetRow();
    refreshAdvanced();
}

void MainWindow::slotRestoreSwitch(bool on)
{
    m_camera.memory().setRestoreEnabled(on);
}

void MainWindow::refreshPresetRow()
{
    const QSignalBlocker blocker(m_presetBox);
    m_presetBox->clear();
    for (const Preset &p : m_camera.memory().presets())
        m_presetBox->addItem(p.slot > 0 ? QStringLiteral("%1  %2").arg(p.slot).arg(p.name) : p.name, p.name);
    const bool usable = m_camera.availability(Feature::Pan) == Availability::Available && m_camera.memory().loaded();
    ui->page->findChild<QWidget *>(QStringLiteral("widgetPresets"))->setEnabled(usable);
}

void MainWindow::showPadPosition()
{
    const ControlCache &c = controls();
    updatePanArrows(c.pan);
    updateTiltArrows(c.tilt);
    {
        const QSignalBlocker blocker(ui->sliderZoom);
        ui->sliderZoom->setValue(c.zoom);
    }
    updatePadEnabled(ui->sliderZoom->isEnabled(), c.zoom);
}

void MainWindow::slotRecallPreset(int index)
{
    const Preset *p = m_camera.memory().preset(m_presetBox->itemData(index).toString());
    if (!p)
        return;
    const Preset preset = *p;
    m_camera.recallPreset(preset);
    showPadPosition();
}

void MainWindow::slotSavePreset()
{
    const QString name = m_presetName->text().trimmed();
    if (name.isEmpty() || m_camera.availability(Feature::Pan) != Availability::Available)
        return;
    m_camera.savePreset(name);
    m_presetName->clear();
}

void MainWindow::slotDeletePreset()
{
    m_camera.memory().removePreset(m_presetBox->currentData().toString());
}

void MainWindow::recallPresetSlot(int slot)
{
    if (const Preset *p = m_camera.memory().presetInSlot(slot)) {
        const Preset preset = *p;
        m_camera.recallPreset(preset);
        showPadPosition();
    }
}

void MainWindow::savePresetSlot(int slot)
{
    const Preset *existing = m_camera.memory().presetInSlot(slot);
    m_camera.savePreset(existing ? existing->name : tr("Preset %1").arg(slot), slot);
}

bool MainWindow::cameraKeyEvent(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !(widget == ui->labPreview || widget == ui->page || ui->page->isAncestorOf(widget)))
        return false;
    // Typing a preset name is not a pad command.
    if (qobject_cast<QLineEdit *>(widget))
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool ctrl = key->modifiers() & Qt::ControlModifier;
    if (ctrl && key->key() == Qt::Key_S) {
        takeSnapshot();
        return true;
    }
    if (!m_isOpened)
        return false;
    // The keys are the pad's buttons: disabled when they are.
    const bool padOn = m_bControlsEnable && ui->btnCameraLeft->isEnabled();
    const bool modelHasPad = ui->sliderZoom->isEnabled() && m_camera.availability(Feature::Pan) == Availability::Available;
    switch (key->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: {
        if (padOn) {
            if (key->key() == Qt::Key_Left)
                on_btnCameraLeft_clicked();
            else if (key->key() == Qt::Key_Right)
                on_btnCameraRight_clicked();
            else if (key->key() == Qt::Key_Up)
                on_btnCameraUp_clicked();
            else
                on_btnCameraDown_clicked();
        }
        return true;
    }
    case Qt::Key_Plus:
    case Qt::Key_Equal:
    case Qt::Key_Minus:
        if (modelHasPad) {
            const int step = key->key() == Qt::Key_Minus ? -kZoomKeyStep : kZoomKeyStep;
            ui->sliderZoom->setValue(qBound(ui->sliderZoom->minimum(), ui->sliderZoom->value() + step, ui->sliderZoom->maximum()));
        }
        return true;
    case Qt::Key_Home:
        if (padOn) {
            m_camera.set(Feature::Pan, 0);
            m_camera.set(Feature::Tilt, 0);
            showPadPosition();
        }
        return true;
    default:
        break;
    }
    // Ctrl+digit may arrive as the digit with the keypad or shift modifiers too.
    const int digit = key->key() - Qt::Key_0;
    if (digit >= 1 && digit <= CameraMemory::kSlots) {
        if (modelHasPad && m_camera.memory().loaded()) {
            if (ctrl)
                savePresetSlot(digit);
            else
                recallPresetSlot(digit);
        }
        return true;
    }
    return false;
}

void MainWindow::takeSnapshot()
{
    if (!m_pVideoWorker) {
        showSnapshotNotice(tr("Start the preview to take a snapshot"));
        return;
    }
    if (m_snapshotWait)
        return; // one at a time
    const QString path = defaultSnapshotPath(shortDeviceName(m_currentDeviceName));
    m_snapshotWait = connect(m_pVideoWorker, &VideoStreamThread::onFullFrame, this, [this, path](const QImage &image) {
        disconnect(m_snapshotWait);
        m_snapshotWait = {};
        QString error;
        if (saveSnapshot(image, path, &error)) {
            m_lastSnapshot = path;
            qInfo().noquote() << "Snapshot saved:" << path;
            showSnapshotNotice(tr("Snapshot saved to %1").arg(path));
        } else {
            qWarning().noquote() << "Snapshot not saved:" << error;
            showSnapshotNotice(tr("Snapshot not saved: %1").arg(error));
        }
    });
    m_pVideoWorker->requestFullFrame();
}

void MainWindow::showSnapshotNotice(const QString &text)
{
    m_snapshotNotice->setText(text);
    m_snapshotNotice->adjustSize();
    m_snapshotNotice->show();
    m_snapshotNotice->raise();
    QTimer::singleShot(kNoticeMs, m_snapshotNotice, &QWidget::hide);
}

void MainWindow::refreshAdvanced()
{
    const QVector<V4l2Control> present = m_isOpened ? m_camera.controls() : QVector<V4l2Control>();
    bool any = false;
    for (AdvancedRow &r : m_advancedRows) {
        const V4l2Control *c = byId(present, r.id);
        const V4l2Control *mode = r.autoId ? byId(present, r.autoId) : nullptr;
        r.row->setVisible(c != nullptr);
        if (!c)
            continue;
        any = true;
        const QSignalBlocker sliderBlocker(r.slider);
        r.slider->setRange(int(c->minimum), int(c->maximum));
        r.slider->setSingleStep(int(qMax<qint64>(1, c->step)));
        r.slider->setValue(c->value);
        const bool automatic = mode && mode->value != r.manualValue;
        r.slider->setEnabled(!automatic);
        if (r.automatic) {
            const QSignalBlocker autoBlocker(r.automatic);
            r.automatic->setVisible(mode != nullptr);
            r.automatic->setChecked(automatic);
        }
    }
    m_advancedBox->setVisible(any);
}
