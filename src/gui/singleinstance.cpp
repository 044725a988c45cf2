#include "gui/singleinstance.h"

#include "gui/startup.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {

constexpr int kHandOverMs = 2000;
const QByteArray kShowRequest = QByteArrayLiteral("show\n");
const QByteArray kShown = QByteArrayLiteral("ok\n");

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent), m_path(socketPath.isEmpty() ? defaultSocketPath() : std::move(socketPath))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + QLatin1Char('/') + QLatin1String(kApplicationId);
    // No runtime folder: one of our own, which nobody else can plant a socket in.
    const QString folder = QDir::tempPath() + QStringLiteral("/lumora-%1").arg(::getuid());
    QDir().mkpath(folder);
    const QFileInfo info(folder);
    if (info.isSymLink() || !info.isDir() || info.ownerId() != ::getuid()
        || !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return {};
    return folder + QLatin1Char('/') + QLatin1String(kApplicationId);
}

bool SingleInstance::handOver()
{
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(kHandOverMs))
        return false;
    socket.write(kShowRequest);
    if (!socket.waitForBytesWritten(kHandOverMs))
        return false;
    // The answer tells the first instance really took the request.
    while (socket.bytesAvailable() < kShown.size() && socket.waitForReadyRead(kHandOverMs)) {
    }
    return socket.readAll().startsWith(kShown);
}

bool SingleInstance::claim()
{
    if (m_path.isEmpty()) {
        qWarning() << "no private folder for the single instance socket; other launches are not noticed";
        return true;
    }
    if (handOver()) {
        qInfo().noquote() << "Lumora already runs; its window was brought to the front";
        return false;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path)) {
        // Another launch may have started listening meanwhile; else the socket is a dead run's.
        if (handOver()) {
            qInfo().noquote() << "Lumora already runs; its window was brought to the front";
            return false;
        }
        QLocalServer::removeServer(m_path);
        if (!m_server->listen(m_path)) {
            qWarning().noquote() << "single instance socket unavailable:" << m_path << m_server->errorString();
            return true;
        }
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (!client->canReadLine())
                    return;
                const QByteArray request = client->readLine();
                if (request == kShowRequest) {
                    Q_EMIT activationRequested();
                    client->write(kShown);
                    client->flush();
                }
                client->disconnectFromServer();
            });
        }
    });
    return true;
}
