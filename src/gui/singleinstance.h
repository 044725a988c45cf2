#pragma once
// One Lumora per user session. The first launch listens on a local socket in
// $XDG_RUNTIME_DIR; a later launch connects, asks it to show its window and
// exits. A socket left behind by a killed run answers no one and is replaced.

#include <QObject>
#include <QString>

class QLocalServer;

class SingleInstance : public QObject {
    Q_OBJECT

public:
    // `socketPath` empty: the session's socket (see defaultSocketPath()).
    explicit SingleInstance(QString socketPath = QString(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the instance (it now listens); false when
    // another one answered and was asked to show itself.
    bool claim();

    QString socketPath() const { return m_path; }
    // $XDG_RUNTIME_DIR/org.lumora.Lumora, or a private folder under the
    // temporary folder when the session has no runtime folder; empty when
    // that folder is someone else's.
    static QString defaultSocketPath();

Q_SIGNALS:
    // A later launch asked for the window.
    void activationRequested();

private:
    bool handOver();

    QString m_path;
    QLocalServer *m_server = nullptr;
};
