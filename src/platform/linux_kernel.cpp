#include "platform/linux_kernel.h"

#include "platform/udev_monitor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumora::platform {

namespace {

const QString kSys = QStringLiteral("/sys");

template <class Call> int retryOnInterrupt(Call call)
{
    int rc;
    do {
        rc = call();
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? -errno : rc;
}

} // namespace

LinuxKernel::LinuxKernel(QString sysRoot, QString procRoot)
    : m_sysRoot(QDir::cleanPath(std::move(sysRoot))), m_procRoot(QDir::cleanPath(std::move(procRoot)))
{
}

QString LinuxKernel::hostPath(const QString &path) const
{
    const QString clean = QDir::cleanPath(path);
    if (clean == kSys)
        return m_sysRoot;
    if (!clean.startsWith(kSys + QLatin1Char('/')))
        return {};
    return m_sysRoot + clean.mid(kSys.size());
}

int LinuxKernel::open(const QString &node, int flags)
{
    const QByteArray name = QFile::encodeName(node);
    return retryOnInterrupt([&] { return ::open(name.constData(), flags | O_CLOEXEC); });
}

int LinuxKernel::close(int fd)
{
    // After EINTR the descriptor is already gone on Linux: never close it twice.
    if (::close(fd) < 0 && errno != EINTR)
        return -errno;
    return 0;
}

int LinuxKernel::ioctl(int fd, unsigned long request, void *arg)
{
    return retryOnInterrupt([&] { return ::ioctl(fd, request, arg); });
}

int LinuxKernel::readAttribute(const QString &path, QByteArray *contents)
{
    const QString file = hostPath(path);
    if (file.isEmpty())
        return -ENOENT;
    const int fd = open(file, O_RDONLY);
    if (fd < 0)
        return fd;
    // sysfs files report a size of 4096 whatever they hold: read to the end.
    QByteArray data;
    char buffer[4096];
    int rc = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            rc = -errno;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<int>(n));
    }
    ::close(fd);
    if (rc == 0)
        *contents = data;
    return rc;
}

QStringList LinuxKernel::listDirectory(const QString &path)
{
    const QString dir = hostPath(path);
    if (dir.isEmpty())
        return {};
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QString LinuxKernel::canonicalPath(const QString &path)
{
    const QString file = hostPath(path);
    if (file.isEmpty())
        return {};
    const QString resolved = QFileInfo(file).canonicalFilePath();
    const QString root = QFileInfo(m_sysRoot).canonicalFilePath();
    if (resolved.isEmpty() || root.isEmpty())
        return {};
    if (resolved == root)
        return kSys;
    if (!resolved.startsWith(root + QLatin1Char('/')))
        return {};
    return kSys + resolved.mid(root.size());
}

std::unique_ptr<DeviceMonitor> LinuxKernel::createMonitor()
{
    return std::make_unique<UdevMonitor>();
}

int LinuxKernel::poll(int fd, short events, int timeoutMs)
{
    pollfd watched{fd, events, 0};
    const int rc = ::poll(&watched, 1, timeoutMs);
    if (rc < 0)
        return errno == EINTR ? 0 : -errno;
    return rc == 0 ? 0 : watched.revents;
}

} // namespace lumora::platform

namespace lumora::platform {

namespace {

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Entry names of a folder, read without a stat per entry (a /proc walk
// touches thousands); empty when it cannot be read.
QVector<QByteArray> entryNames(const QByteArray &folder)
{
    QVector<QByteArray> names;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.append(QByteArray(entry->d_name));
    }
    ::closedir(dir);
    return names;
}

} // namespace

QVector<NodeHolder> LinuxKernel::holders(const QString &node)
{
    // Compared by inode, so a link such as /dev/v4l/by-id/... finds the same node.
    struct stat target {};
    if (::stat(QFile::encodeName(node).constData(), &target) != 0)
        return {};
    const QByteArray proc = QFile::encodeName(m_procRoot);
    QVector<NodeHolder> found;
    for (const QByteArray &entry : entryNames(proc)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid <= 0)
            continue;
        // Another user's descriptors are unreadable: the listing comes back empty.
        const QByteArray fdFolder = proc + '/' + entry + "/fd/";
        const QVector<QByteArray> fds = entryNames(fdFolder);
        const bool holds = std::any_of(fds.begin(), fds.end(), [&](const QByteArray &fd) {
            struct stat opened {};
            return ::stat((fdFolder + fd).constData(), &opened) == 0 && sameFile(opened, target);
        });
        if (!holds)
            continue;
        QFile comm(QFile::decodeName(proc + '/' + entry + "/comm"));
        const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll()).trimmed() : QString();
        found.append({pid, name});
    }
    std::sort(found.begin(), found.end(), [](const NodeHolder &a, const NodeHolder &b) { return a.pid < b.pid; });
    return found;
}

bool LinuxKernel::rawScsiAllowed()
{
    // CapEff in /proc/self/status is a hex mask; CAP_SYS_RAWIO is bit 17.
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("CapEff:")) {
            bool ok = false;
            const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask >> 17) & 1;
        }
    }
    return false;
}

QString LinuxKernel::installedUdevRule(const QString &name)
{
    // The folders udev reads, in its order of precedence.
    for (const char *dir : {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                            "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        const QString path = QString::fromLatin1(dir) + QLatin1Char('/') + name;
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

} // namespace lumora::platform
