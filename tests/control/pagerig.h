#pragma once
// The real main window on one simulated camera, with the wire trace and an
// answerer for the message boxes it raises.

#include "simrig.h"

#include "core/catalogue.h"
#include "gui/startup.h"
#include "gui/mainwindow.h"

#include "support/testsupport.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QPointer>
#include <QApplication>
#include <QLabel>
#include <QSettings>
#include <QTimer>

namespace controltest {

// The page state the tests look at.
class PageWindow : public MainWindow {
public:
    using MainWindow::m_bCancelTips;
    using MainWindow::m_bTipsShowing;
};

// Answers every message box with OK and keeps their texts. A box still open
// 5 s after its answer fails the test and is closed, so the test ends.
class BoxAnswerer {
public:
    BoxAnswerer()
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            QWidget *box = QApplication::activeModalWidget();
            if (!box || box->objectName() != QLatin1String("FormCustomizeMessagebox") || !box->isVisible())
                return;
            if (box == m_answered && m_answeredAt.hasExpired(kCloseDeadlineMs)) {
                closeStuckModal(box, QStringLiteral("the message box did not close when answered"));
                return;
            }
            if (box == m_answered)
                return;
            m_answered = box;
            m_answeredAt.start();
            texts << box->findChild<QLabel *>(QStringLiteral("labeltext"))->text();
            box->findChild<QAbstractButton *>(QLatin1String(m_cancelNext ? "btnCancel" : "btnOK"))->click();
            m_cancelNext = false;
        });
        m_poll.start(10);
    }
    void cancelNext() { m_cancelNext = true; }
    QStringList texts;

private:
    static inline const int kCloseDeadlineMs = deadlineMs(5000);
    QTimer m_poll;
    bool m_cancelNext = false;
    QPointer<QWidget> m_answered;
    QElapsedTimer m_answeredAt;
};

class PageRig : public SimRig {
public:
    explicit PageRig(const QJsonObject &config)
    {
        initLumoraResources();
        QFile::remove(settingsFilePath());
        QSettings(settingsFilePath(), QSettings::IniFormat).setValue("/product_model/main", 1); // the ORBIT profile
        camera = plug(config);
        window = std::make_unique<PageWindow>();
        // The page's warnings only show while the picture is not running.
        window->stopCameraPreView();
        window->m_isPreviewing = false;
        takeXu();
        takeCtl();
    }
    // The state read of an opening camera: lists filled, then read while the
    // window does not yet count the camera as open (so no slot answers).
    void readState()
    {
        window->m_isOpened = false;
        window->fillFeatureLists();
        takeXu();
        window->readDeviceState();
        window->m_isOpened = true;
    }

    // First byte of each request written on selector 1, in order: "80", "0b", ...
    QStringList requestCodes()
    {
        QStringList codes;
        for (const QString &line : takeXu())
            if (line.startsWith(QLatin1String("set sel=1 out=")))
                codes << line.mid(14, 2);
        return codes;
    }

    ~PageRig()
    {
        window->close();
        window.reset();
    }

    std::shared_ptr<lumora::sim::SimCamera> camera;
    std::unique_ptr<PageWindow> window;
    BoxAnswerer boxes;
};

// A camera of the family, accepted by the default profile.
inline QJsonObject familyCamera(const QString &name, int productId, const QJsonObject &features,
                                const QString &firmware = "1.0.30")
{
    return QJsonObject{{"id", "cam"},      {"name", name},       {"product", name},
                       {"vendorId", 0x5a17}, {"productId", productId}, {"port", "2"},
                       {"firmware", firmware}, {"features", features}};
}

} // namespace controltest
