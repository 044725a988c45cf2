#include "gui/startup.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kRelayedSignals[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<int> g_signalPipe{-1};

// Async-signal-safe: one byte per signal into the pipe.
void relaySignal(int signo)
{
    const int saved = errno;
    const int fd = g_signalPipe.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signo);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

void initLumoraResources()
{
    Q_INIT_RESOURCE(resources);
}

void enableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
}

void paintWithoutOpenGL()
{
    // Every widget paints with the raster engine. The X platform would still
    // open its GL integration, which loads the display driver: over 40 MB
    // resident and a good part of the start with a software one.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
}

void applyApplicationLook()
{
    const QString family = QStringLiteral("Segoe UI");
    // fontconfig would otherwise pick whatever its default is; these two come with Debian's font packages.
    QFont::insertSubstitutions(family, {QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")});
    QApplication::setFont(QFont(family, 12));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/main.ico")));
    // Ties the windows to org.lumora.Lumora.desktop: its icon and grouping.
    QGuiApplication::setDesktopFileName(QLatin1String(kApplicationId));
}

bool enterExecutableDirectory()
{
    return QDir::setCurrent(QCoreApplication::applicationDirPath());
}

SignalRelay::SignalRelay(QObject *parent) : QObject(parent)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning() << "signals stay with their default actions: no pipe:" << strerror(errno);
        return;
    }
    g_signalPipe.store(m_pipe[1]);
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalRelay::drain);
    struct sigaction action {};
    action.sa_handler = relaySignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : kRelayedSignals)
        ::sigaction(signo, &action, nullptr);
}

SignalRelay::~SignalRelay()
{
    for (int signo : kRelayedSignals)
        ::signal(signo, SIG_DFL);
    g_signalPipe.store(-1);
    delete m_notifier;
    for (int fd : m_pipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

void SignalRelay::drain()
{
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(m_pipe[0], bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < n; ++i)
            Q_EMIT received(bytes[i]);
    }
}
