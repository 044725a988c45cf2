// The application for the soak run: the real window on the simulated kernel
// named by LUMORA_SIM_SCENARIO, with the preview on, upgrading the selected
// camera with the package given on the command line once a minute, for the
// given number of minutes. Dialogs are answered as a user would.
//   lumora_soak PACKAGE MINUTES

#include "modalanswer.h"

#include "core/catalogue.h"
#include "core/log.h"
#include "gui/startup.h"
#include "gui/mainwindow.h"
#include "platform/kernel.h"
#include "sim/kernel_from_environment.h"

#include <QApplication>
#include <QLabel>
#include <QSettings>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: lumora_soak PACKAGE MINUTES\n");
        return 2;
    }
    qputenv("LUMORA_PLATFORM", "sim");
    QApplication app(argc, argv);
    lumora::platform::installKernel(lumora::sim::kernelFromEnvironment());
    initLumoraResources();
    startLogging(false);
    const QString package = QString::fromLocal8Bit(argv[1]);
    const int minutes = QByteArray(argv[2]).toInt();

    // The package is for the Orvanta camera of the soak scenario.
    {
        QSettings settings(settingsFilePath(), QSettings::IniFormat);
        settings.setValue("/product_model/main", 1);
    }
    MainWindow window;
    window.show();

    int upgrades = 0, skipped = 0;
    QTimer upgrade;
    QObject::connect(&upgrade, &QTimer::timeout, &window, [&] {
        // A camera away for a restart or an unplug waits for the next minute.
        if (window.m_isUpgrading || !window.m_isOpened || QApplication::activeModalWidget()) {
            ++skipped;
            return;
        }
        ++upgrades;
        upgradetest::answerNextFileDialog(package);
        upgradetest::clickInNextModal("FormUpgrade", "btnOK");
        window.on_btnUpgrade_clicked();
    });
    upgrade.start(60000);

    // Result boxes are confirmed; a camera left in an update state is not
    // rescued here (the timeline brings the camera back).
    int done = 0, otherBoxes = 0;
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, &window, [&done, &otherBoxes] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        if (modal->objectName() == "FormCustomizeMessagebox") {
            bool success = false;
            for (const QLabel *label : modal->findChildren<QLabel *>())
                success = success || label->text().contains("Upgrade is done");
            ++(success ? done : otherBoxes);
        }
        const char *button = modal->objectName() == "FormCustomizeMessagebox" ? "btnOK"
            : modal->objectName() == "FormAbnormal"                        ? "btnCancel"
                                                                            : nullptr;
        if (auto *b = button ? modal->findChild<QAbstractButton *>(button) : nullptr)
            QMetaObject::invokeMethod(b, "click", Qt::QueuedConnection);
    });
    boxes.start(2000);

    QTimer::singleShot(minutes * 60000, &app, [&] {
        upgrade.stop();
        std::printf("soak: %d upgrades started, %d reported done, %d other message boxes, %d minutes skipped "
                    "(camera away or busy)\n",
                    upgrades, done, otherBoxes, skipped);
        std::fflush(stdout);
        // A run still upgrading refuses the close; wait for its result.
        auto *close = new QTimer(&app);
        QObject::connect(close, &QTimer::timeout, &app, [&window] {
            if (!window.m_isUpgrading && !QApplication::activeModalWidget() && window.close())
                QApplication::quit();
        });
        close->start(500);
    });
    return app.exec();
}
