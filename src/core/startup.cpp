#include "core/startup.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QIcon>

void initLumoraResources()
{
    Q_INIT_RESOURCE(resources);
}

void enableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
}

void applyApplicationLook()
{
    const QString family = QStringLiteral("Segoe UI");
    // fontconfig would otherwise pick whatever its default is; these two come with Debian's font packages.
    QFont::insertSubstitutions(family, {QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")});
    QApplication::setFont(QFont(family, 12));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/main.ico")));
}

bool enterExecutableDirectory()
{
    return QDir::setCurrent(QCoreApplication::applicationDirPath());
}
