#include "upgrade/firmwareworkspace.h"

#include <QDir>
#include <QStandardPaths>

namespace lumora::upgrade {

QString firmwareWorkspace()
{
    const QString path = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + "/firmware";
    QDir().mkpath(path);
    return path;
}

QString workspaceFile(const QString &workspace, const QString &name)
{
    if (QDir::isAbsolutePath(name))
        return {};
    const QString root = QDir::cleanPath(workspace);
    const QString path = QDir::cleanPath(root + '/' + name);
    if (path != root && !path.startsWith(root + '/'))
        return {};
    return path;
}

} // namespace lumora::upgrade
