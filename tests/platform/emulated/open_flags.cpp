#include "emulated/open_flags.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace emulated {

namespace {

// The "flags:" line of an fdinfo file, octal; -1 when it cannot be read.
int fdinfoFlags(const QString &path)
{
    QFile info(path);
    if (!info.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : info.readAll().split('\n')) {
        if (line.startsWith("flags:")) {
            bool ok = false;
            const int flags = line.mid(6).trimmed().toInt(&ok, 8);
            return ok ? flags : -1;
        }
    }
    return -1;
}

} // namespace

OpenFlags openFlagsOf(const QString &file)
{
    const QString target = QFileInfo(file).canonicalFilePath();
    const QString self = QString::number(::getpid());
    OpenFlags result;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool isPid = false;
        pid.toInt(&isPid);
        if (!isPid || pid == self)
            continue;
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
        for (const QString &fd : QDir(fdDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            const QString opened = QFile::symLinkTarget(fdDir + QLatin1Char('/') + fd);
            if (opened == file + QStringLiteral(" (deleted)")) {
                result.removed = true;
                continue;
            }
            if (opened != target)
                continue;
            const int flags = fdinfoFlags(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid, fd));
            if (flags < 0)
                continue;
            const int relevant = flags & (O_ACCMODE | O_NONBLOCK);
            if (result.found && relevant != result.flags)
                result.ambiguous = true;
            result.flags = relevant;
            result.found = true;
        }
    }
    return result;
}

} // namespace emulated
