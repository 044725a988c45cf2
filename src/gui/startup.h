#pragma once
// Process set-up shared by the app, the command-line tool and the tests.

#include <QObject>
#include <QString>

// Registers the compiled-in resources of the static library; call once
// before any ":/" path is used.
void initLumoraResources();

// Toolkit-side high-DPI scaling; must run before the application object exists.
void enableHighDpiScaling();
// Before the application object: no GL integration for a window that does not use it.
void paintWithoutOpenGL();

// Application font ("Segoe UI", 12 pt, with open sans-serif stand-ins where it
// is not installed), window icon, and the desktop entry the windows belong to.
void applyApplicationLook();

// Makes the executable's directory the current one, so files looked up
// relative to it are found from wherever the program was started.
bool enterExecutableDirectory();

// The application's id: the desktop entry the window belongs to, and the
// name of its single-instance socket.
constexpr const char *kApplicationId = "org.lumora.Lumora";

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP, turned into a Qt signal on the thread that
// created the relay (through a pipe the handler writes to), so they are dealt
// with by the event loop and not in the middle of whatever was running. One
// relay per process; the default actions come back when it goes.
class SignalRelay : public QObject {
    Q_OBJECT

public:
    explicit SignalRelay(QObject *parent = nullptr);
    ~SignalRelay() override;
    // False when the pipe or the handlers could not be set up.
    bool isActive() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void received(int signo);

private:
    void drain();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
