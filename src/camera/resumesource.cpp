#include "camera/resumesource.h"

#include <QDBusConnection>
#include <QDebug>

namespace lumora::camera {

namespace {

class LogindResumeSource : public ResumeSource {
    Q_OBJECT
public:
    LogindResumeSource()
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            qDebug().noquote() << "no system bus: a resume from suspend is not noticed";
            return;
        }
        if (!bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                         QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                         SLOT(onPrepareForSleep(bool))))
            qDebug().noquote() << "logind's sleep signal cannot be watched: a resume from suspend is not noticed";
    }

private slots:
    void onPrepareForSleep(bool goingToSleep)
    {
        if (!goingToSleep)
            emit resumed();
    }
};

} // namespace

std::unique_ptr<ResumeSource> systemResumeSource() { return std::make_unique<LogindResumeSource>(); }

} // namespace lumora::camera

#include "resumesource.moc"
