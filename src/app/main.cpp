// Lumora's entry point. Command-line arguments are accepted and ignored.

#include "core/log.h"
#include "platform/kernel.h"
#include "sim/kernel_from_environment.h"
#include "gui/startup.h"
#include "gui/mainwindow.h"
#include "gui/singleinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    paintWithoutOpenGL();
    QApplication app(argc, argv);
    lumora::platform::installKernel(lumora::sim::kernelFromEnvironment());
    // Caught from here on; acted upon once the window runs.
    SignalRelay relay;
    initLumoraResources();
    applyApplicationLook();
    enterExecutableDirectory();

    // A second launch hands over to the first before it writes a banner into
    // the log the first one is writing.
    SingleInstance instance;
    if (!instance.claim())
        return 0;
    startLogging();

    MainWindow window;
    QObject::connect(&relay, &SignalRelay::received, &window, &MainWindow::closeForSignal);
    QObject::connect(&instance, &SingleInstance::activationRequested, &window, &MainWindow::raiseFromAnotherLaunch);
    window.show();
    return app.exec();
}
