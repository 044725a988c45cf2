#include "upgrade/sleepinhibitor.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDebug>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int kCallTimeoutMs = 2000;
}

SleepInhibitor::SleepInhibitor(const QString &why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qInfo().noquote() << "no system bus: the machine is not kept from sleeping during the upgrade";
        return;
    }
    QDBusInterface login("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", bus);
    login.setTimeout(kCallTimeoutMs);
    const QDBusReply<QDBusUnixFileDescriptor> reply =
        login.call("Inhibit", QStringLiteral("sleep:shutdown"), QStringLiteral("Lumora"), why, QStringLiteral("block"));
    if (!reply.isValid() || !reply.value().isValid()) {
        qInfo().noquote() << "sleep inhibitor not taken:" << reply.error().message();
        return;
    }
    // The lock lasts as long as a descriptor of it stays open.
    m_fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

SleepInhibitor::~SleepInhibitor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
