// Lumora's entry point. Command-line arguments are accepted and ignored.

#include "core/log.h"
#include "core/startup.h"
#include "ui/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication app(argc, argv);
    initLumoraResources();
    applyApplicationLook();
    enterExecutableDirectory();
    startLogging();

    MainWindow window;
    window.show();
    return app.exec();
}
