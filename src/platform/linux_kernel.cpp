#include "platform/linux_kernel.h"

#include "platform/udev_monitor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
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

LinuxKernel::LinuxKernel(QString sysRoot) : m_sysRoot(QDir::cleanPath(std::move(sysRoot))) {}

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

CaptureInput LinuxKernel::captureInput(const QString &alias)
{
    return {QStringLiteral("video4linux2"), alias};
}

} // namespace lumora::platform
