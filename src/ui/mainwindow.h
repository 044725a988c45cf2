#pragma once
// The single main window. Its methods are implemented in the folder of the
// subsystem that owns them (mainwindow_*.cpp files under src/<subsystem>/);
// each section below belongs to one subsystem.

#include "control/uvcextensionunit.h"
#include "devices/dshowcamerawrapper.h"
#include "core/cameradeviceinfo.h"

#include <QIcon>
#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QString>

class FormCustomizeMessagebox;
class FormPrompt;
class FramelessWindow;
class QAbstractButton;
class QListWidgetItem;
class QMovie;
class QThread;
class QTimer;
class VideoStreamThread;

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

public Q_SLOTS:
    void changeStyle(QString qssFile);
    void on_btnModeLight_clicked();

protected:
    int m_styleIndex = 0;
    QString m_qssFile;
    QString m_styleSheet;
    QRect m_savedGeometry; // "/window/left", "/window/top", "/window/width", "/window/height"

    // ---- devices (src/devices) ----

    // ---- control (src/control) ----

    // ---- preview (src/preview) ----
public:
    // The one stop sequence (restart, stop icon, camera closed): stops the
    // worker and ends its thread, waiting at most kPreviewStopWaitMs.
    void stopVideoWorker();
    // Hover and press handling of the preview labels; true when consumed.
    bool previewLabelEvent(QObject *watched, QEvent *event);
    static constexpr int kPreviewStopWaitMs = 2000;

public Q_SLOTS:
    void slotStartPreview();
    void stopCameraPreView();
    void slotOnReader(QImage image);

protected:
    void startPreviewAfterDelay();
    void stopPreviewByIcon();
    void showPreviewHints();

    // Ends a running preview when the window goes, however it was closed.
    struct PreviewShutdown {
        MainWindow *window;
        ~PreviewShutdown();
    } m_previewShutdown{this};


    // ---- upgrade (src/upgrade) ----

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

public:
    Ui::MainWindow *ui = nullptr;
    DShowCameraWrapper m_cameraWrapper;
    UVCExtensionUnit m_extensionUnit;

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
