#pragma once
// The single main window. Its methods are implemented in the folder of the
// subsystem that owns them (mainwindow_*.cpp files under src/<subsystem>/);
// each section below belongs to one subsystem.

#include "camera/camera.h"
#include "device/cameraevents.h"
#include "platform/kernel.h"
#include "core/cameradeviceinfo.h"

#include <QHash>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QString>
#include <QVector>

#include <memory>

class FormCustomizeMessagebox;
class FormPrompt;
class FramelessWindow;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;
class QToolButton;
class QListWidgetItem;
class QPushButton;
class QMovie;
class QThread;
class QTimer;
class VideoStreamThread;
class PreviewSurface;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

Q_SIGNALS:
    void onCameraPlugged(bool plug, QString path);
    void onCameraState(int state, QString name);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

    // ---- core (src/core) ----
public:
    // Themes and window settings (src/ui/mainwindow_theme.cpp).
    void applyTheme(int dark);
    void loadWindowSettings();
    void saveWindowSettings();
    void adaptToScreen();
    void applyDisplayPlan(const struct DisplayPlan &plan);
    // Logs which position is used, applies the saved theme and places the window.
    void restoreWindowPlacement();
    // The desktop's colour scheme (org.freedesktop.appearance color-scheme
    // from the portal): 1 when it prefers dark, else 0. Asked only while no
    // theme is saved.
    static int desktopPrefersDark();

public Q_SLOTS:
    void changeStyle(QString qssFile);
    void on_btnModeLight_clicked();

protected:
    int m_styleIndex = 0;
    QString m_qssFile;
    QString m_styleSheet;
    QRect m_savedGeometry; // "/window/left", "/window/top", "/window/width", "/window/height"

    // ---- devices (src/devices) ----
public:
    // Constructor step 11: listens for cameras coming and going; logs
    // "register device event failt!" when the system cannot tell.
    void registerDeviceEvents();
    // Constructor step 12: device-list and state signals, selected-entry icon.
    void setupCameraList();
    // An interface path arriving or leaving (lower-cased before it is emitted).
    void handleDeviceChange(bool arrival, const QString &path);
    void refreshCameraList();
    // Rebuilds m_listCamera from enumerated records; true when a camera is new.
    bool filterCameraList(const QVector<CameraDeviceInfo> &devices);
    void fillCameraListWidget();
    void clearCameraListWidget();
    // Rebuilds the list from a fresh enumeration, selecting and opening
    // nothing; false (list untouched) when nothing is enumerated.
    bool relistCameras(QVector<CameraDeviceInfo> *devices);
    void selectCamera(QListWidgetItem *entry);
    bool openCameraCapture(const QString &pathId, const QString &friendlyName);
    bool closeCurrentCamera();

public Q_SLOTS:
    void slotOnCameraPlugged(bool plug, QString path);
    void slotOnCameraState(int state, QString name);
    void slotIconChangge(QListWidgetItem *current, QListWidgetItem *previous);
    void slotSwitchCameraItem(QListWidgetItem *item);
    void slotOnSingleClickedCameraItem(QListWidgetItem *item);

protected:
    void onDeviceEvent(const lumora::platform::DeviceEvent &event);
    void clearFeatureComboBoxes();
    QIcon normalCameraIcon() const;

    std::unique_ptr<lumora::platform::DeviceMonitor> m_deviceMonitor;
    // One arrival and one removal per camera, whatever its number of capture nodes.
    lumora::devices::CameraEvents m_cameraEvents;

    // ---- control (src/control) ----
public:
    // Standard controls page (src/control/mainwindow_controls*.cpp).
    // Queries the standard controls and fills the page from them.
    void loadCameraParameters();
    void setControlsEnabled(bool enable);
    void setColorControlsEnabled(bool enable);
    void updatePadEnabled(bool enable, int zoom);
    void updatePanArrows(int pan);
    void updateTiltArrows(int tilt);
    void scheduleTips();
    // Before the first refresh: the camera model's signals, the unit's
    // recovery and the zoom slider.
    void setupControlPage();
    // Vendor features page (src/control/mainwindow_features*.cpp).
    void fillFeatureLists();
    void readDeviceState();
    void restoreFactoryDefaults();
    // Has no widget of that name: a plain method, so the by-name connection
    // at set-up does not look for one.
    void on_comboBoxMic_currentIndexChanged(int index);

public Q_SLOTS:
    void slotReInitUvcEx();
    void on_btnCameraUp_clicked();
    void on_btnCameraDown_clicked();
    void on_btnCameraLeft_clicked();
    void on_btnCameraRight_clicked();
    void slotOnSetZoomValue(int value);
    void slotOnSetFocusValue(int value);
    void on_btnAutoFocus_clicked(bool checked);
    void slotOnSetBrightnessValue(int value);
    void slotOnSetContractValue(int value);
    void slotOnSetHueValue(int value);
    void slotOnSetSaturationValue(int value);
    void slotOnSetSharpnessValue(int value);
    void on_checkBoxBrigtness_stateChanged(int arg1);
    void on_checkBoxContract_stateChanged(int arg1);
    void on_checkBoxHue_stateChanged(int arg1);
    void on_checkBoxSaturation_stateChanged(int arg1);
    void on_checkBoxSharpness_stateChanged(int arg1);
    void on_btnDefaultColor_clicked();
    void slotUpdateSliderValue(bool isQuery = true);
    void slotRemberYuntaiValue();
    void setYuntaiDisabledStyle();
    void slotShowTips();
    void slotTipsTimeout();
    bool slotGetSettingResult();
    void on_comboBoxTrackMode_currentIndexChanged(int index);
    void on_comboBoxTrackEffect_currentIndexChanged(int index);
    void on_comboBoxTrackSpeend_currentIndexChanged(int index);
    void on_comboBoxAntiFlicker_currentIndexChanged(int index);
    void on_btnHDR_clicked();
    void on_btnHD_clicked();
    void on_btnMute_clicked();
    void on_btnRestoreDefaults_clicked();
    void slotUpdate410BStatus();

protected:
    void padStep(Control control, int delta);
    // The zoom read back after a change to `last`; warns when it did not take.
    void zoomTaken(int last);
    void imageSliderMoved(lumora::camera::Feature feature, int value);
    void autoBoxChanged(lumora::camera::Feature feature, int state);
    void applyTrackVisibility(int mode);
    void showRestartNotice(const QString &text);
    // The model's values reach the widgets here, with the widgets' signals
    // blocked: showing a value never sends it back.
    void showFeature(lumora::camera::Feature id, int value);
    void showCameraState();
    void fillControlPage();
    void showFocusMode();
    void showImageSliders();
    ControlCache &controls() { return m_camera.cache(); }

    bool m_bControlsEnable = false;
    bool m_bCancelTips = false;
    bool m_bTipsShowing = false;
    int m_bAutoFocus = 0;
    bool m_bAngleFromDevice = false;

    // ---- preview (src/preview) ----
public:
    // The one stop sequence (restart, stop icon, camera closed): stops the
    // worker and ends its thread, waiting at most kPreviewStopWaitMs.
    void stopVideoWorker();
    // Creates the preview worker and its thread for the current camera.
    void launchVideoWorker();
    // Hover and press handling of the preview labels; true when consumed.
    bool previewLabelEvent(QObject *watched, QEvent *event);
    static constexpr int kPreviewStopWaitMs = 2000;

    // Another application streams from the camera: the preview area names it
    // and the preview is tried again every kBusyRetryMs while the window shows.
    void showCameraBusy(const QVector<lumora::platform::NodeHolder> &holders);
    // Back to the preview area's own hints; stops the retries.
    void leaveCameraBusy();
    static constexpr int kBusyRetryMs = 2000;

public Q_SLOTS:
    void slotStartPreview();
    void stopCameraPreView();
    void slotOnReader(QImage image);

protected:
    void startPreviewAfterDelay();
    void stopPreviewByIcon();
    // The preview area in device pixels, the size pictures are decoded at.
    QSize previewPixels() const;
    void showPreviewHints();
    void retryBusyPreview();
    // Two lines in the preview area in place of its hints; empty texts restore the hints.
    void setPreviewMessage(const QString &headline, const QString &detail);

    bool m_previewBusy = false;
    QTimer *m_busyRetryTimer = nullptr;
    QString m_previewHintUp, m_previewHintDown; // the form's own hint texts

    // Ends a running preview when the window goes, however it was closed.
    struct PreviewShutdown {
        MainWindow *window;
        ~PreviewShutdown();
    } m_previewShutdown{this};

    // ---- upgrade (src/upgrade) ----
public:
    // Constructor step 15: the abnormal-state poller, for the window's life.
    void startAbnormalDetection();
    // After a profile switch the poller looks for the new profile's drives.
    void watchProfileForAbnormalDrives();
    void startUpgrade();

public Q_SLOTS:
    void on_btnUpgrade_clicked();
    // Bytes the camera has taken, of all the run sends; shown up to 95 % until the result.
    void slotOnUpgradeProgress(qint64 sent, qint64 total);
    void slotOnUpgradeReport(bool success, int progress, QString message);
    void slotOnDeviceAbnormal(int state);

protected:
    void centreOnWindow(QWidget *dialog) const;
    // The folder the package dialogs start in: the last one used, else Downloads.
    QString packageFolder() const;

    bool m_isAbnormalShown = false;
    int m_dummyProgress = 0;
    // The upgrade run and the poller; stopped and waited for when the window goes.
    struct UpgradeWorkers;
    struct UpgradeWorkersHolder {
        UpgradeWorkers *workers;
        ~UpgradeWorkersHolder();
    } m_upgradeWorkers{nullptr};

    // ---- ui (src/ui) ----
public:
    // Form wiring and widget set-up; the constructor calls it right after
    // setupUi (src/ui/mainwindow_shell.cpp).
    void setupShell();
    // Notices and errors: OK only, 450 x 180, modal; returns when closed.
    void showMessageBox(const QString &text, bool countdown = false);
    // Centres a box on the window and runs it application-modal: 1 = OK.
    int runMessageBox(FormCustomizeMessagebox &box);
    // Help bubble at the pointer; an empty text keeps the current one.
    void showPromptAtCursor(const QString &text = QString());
    void updateSupportLinks(const QString &color);
    void applyModelTraits(const QString &pathId);
    // After a refresh: with no camera listed, the preview area says what to do
    // (or names the other profile's cameras and offers the switch) and the
    // control pages lose the rows the last model showed
    // (src/ui/mainwindow_emptystate.cpp).
    void updateEmptyState(const QVector<CameraDeviceInfo> &devices);
    // Saves the other profile as "/product_model/main" and lists its cameras.
    void switchToOtherProfile();
    // SIGINT, SIGTERM or SIGHUP: closes as the close button does (refused and
    // logged while an upgrade runs).
    void closeForSignal(int signo);
    // Another launch handed over to this one: the window comes to the front.
    void raiseFromAnotherLaunch();

public Q_SLOTS:
    void buttonClickedNavTop();
    void buttonColorControl();
    void buttonClickedField();
    void on_btnDevInfoExtend_clicked();
    void on_btnDevUpdateExtend_clicked();
    void on_btnDevSupportExtend_clicked();
    void on_btnAutoFramingPrompt_clicked();
    void on_btnFlickerPrompt_clicked();
    void on_btnHDRPrompt_clicked();
    void on_btnMicEnablePrompt_clicked();

protected:
    bool supportLabelEvent(QObject *watched, QEvent *event);
    void setSupportLink(const QString &color);
    void rememberPristineRows();
    void clearModelRows();

    QPushButton *m_profileSwitch = nullptr;
    int m_otherProfileCode = -1;
    // Visibility of the control pages' widgets before any camera was opened.
    QHash<QWidget *, bool> m_pristineRows;
    bool m_closingForSignal = false;

    QList<QAbstractButton *> m_navButtons;
    QList<QAbstractButton *> m_controlButtons;
    QList<QAbstractButton *> m_fieldButtons;
    bool m_devInfoExpanded = true;
    bool m_devUpdateExpanded = true;
    bool m_devSupportExpanded = true;
    FormPrompt *m_prompt = nullptr;
    FramelessWindow *m_frameless = nullptr;
    bool m_dragging = false;
    QPoint m_dragOffset;
    QString m_supportAddress;
    QString m_supportLinkColor = QStringLiteral("#000000");

    // ---- memory, presets, keys, snapshot, Advanced (src/ui/mainwindow_memory.cpp) ----
public:
    // Builds the restore switch and the shortcut list on the Support page,
    // the preset row on the Video tab, the snapshot button on the preview and
    // the Advanced section on the Color Adjustment tab.
    void setupCameraMemoryUi();
    // Shows the open camera's memory, presets and Advanced controls.
    void showCameraMemory();
    // The pad keys on the preview and the Video tab; true when the key was used.
    bool cameraKeyEvent(QObject *watched, QEvent *event);
    // Saves the next full-resolution frame as a PNG under the Pictures folder.
    void takeSnapshot();
    // Recall or save a preset slot (1-9) as the number keys do.
    void recallPresetSlot(int slot);
    void savePresetSlot(int slot);
    QString lastSnapshotPath() const { return m_lastSnapshot; }
    // Says when the machine woke up; the open camera gets its values back then.
    lumora::camera::ResumeSource *resumeSource() const { return m_resumeSource.get(); }

public Q_SLOTS:
    void slotRecallPreset(int index);
    void slotSavePreset();
    void slotDeletePreset();
    void slotRestoreSwitch(bool on);

protected:
    void showPadPosition();
    void refreshPresetRow();
    void refreshAdvanced();
    void showSnapshotNotice(const QString &text);

    struct AdvancedRow {
        QWidget *row = nullptr;
        QCheckBox *automatic = nullptr; // null when the control has no automatic mode here
        QSlider *slider = nullptr;
        quint32 id = 0;
        quint32 autoId = 0;
        int manualValue = 0; // the automatic control's value for manual
        int autoValue = 1;   // and for automatic
    };
    QVector<AdvancedRow> m_advancedRows;
    QWidget *m_advancedBox = nullptr;
    QCheckBox *m_restoreSwitch = nullptr;
    std::unique_ptr<lumora::camera::ResumeSource> m_resumeSource;
    QComboBox *m_presetBox = nullptr;
    QLineEdit *m_presetName = nullptr;
    PreviewSurface *m_previewSurface = nullptr;
    QToolButton *m_snapshotButton = nullptr;
    QLabel *m_snapshotNotice = nullptr;
    QMetaObject::Connection m_snapshotWait;
    QString m_lastSnapshot;

public:
    Ui::MainWindow *ui = nullptr;
    // The open camera; the window is a view of it.
    lumora::camera::Camera m_camera;

    QString m_currentDevicePath;
    QString m_currentDeviceName;
    QString m_currentDeviceAlias;
    QList<CameraDeviceInfo> m_listCamera;
    int m_nCurrentCameraIndex = -1;
    int m_manufacturerCode = 255;
    int m_manufacturerVid = 0;
    int m_cameraModel = 255;
    bool m_isOpened = false;
    bool m_noCamera = false;
    bool m_isUpgrading = false;
    bool m_isPreviewing = false;
    VideoStreamThread *m_pVideoWorker = nullptr;
    QThread *m_pVideoThread = nullptr;
    int m_previewWidth = 0;
    int m_previewHeight = 0;
    QIcon m_selectedIcon;
    QMovie *m_loadingMovieLight = nullptr;
    QMovie *m_loadingMovieDark = nullptr;
    bool m_isDarkTheme = false;
    QTimer *m_statusTimer = nullptr;
};
