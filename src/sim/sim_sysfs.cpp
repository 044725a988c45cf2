#include "sim/sim_sysfs.h"

#include <cerrno>

namespace lumora::sim {

namespace {
// Links followed while resolving one path before giving up (ELOOP in the kernel).
constexpr int kMaxLinks = 40;
}

void SimSysfs::addDirectory(const QString &path)
{
    QString at;
    for (const QString &part : path.split('/', Qt::SkipEmptyParts)) {
        at += '/' + part;
        if (!m_entries.contains(at))
            m_entries.insert(at, Entry{});
    }
}

void SimSysfs::addFile(const QString &path, const QByteArray &contents)
{
    addDirectory(path.left(path.lastIndexOf('/')));
    m_entries.insert(path, Entry{Entry::Kind::File, contents, {}});
}

void SimSysfs::addLink(const QString &path, const QString &target)
{
    addDirectory(path.left(path.lastIndexOf('/')));
    m_entries.insert(path, Entry{Entry::Kind::Link, {}, target});
}

const SimSysfs::Entry *SimSysfs::entry(const QString &canonicalPath) const
{
    const auto it = m_entries.constFind(canonicalPath);
    return it == m_entries.constEnd() ? nullptr : &it.value();
}

QString SimSysfs::canonical(const QString &path) const
{
    if (!path.startsWith('/'))
        return {};
    QStringList pending = path.split('/', Qt::SkipEmptyParts);
    QStringList done;
    int links = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!done.isEmpty())
                done.removeLast();
            continue;
        }
        done.append(part);
        const Entry *e = entry('/' + done.join('/'));
        if (!e)
            return {};
        if (e->kind == Entry::Kind::Link) {
            if (++links > kMaxLinks)
                return {};
            done.removeLast();
            if (e->target.startsWith('/'))
                done.clear();
            pending = e->target.split('/', Qt::SkipEmptyParts) + pending;
        } else if (e->kind == Entry::Kind::File && !pending.isEmpty()) {
            return {};
        }
    }
    return '/' + done.join('/');
}

int SimSysfs::read(const QString &path, QByteArray *contents) const
{
    const Entry *e = entry(canonical(path));
    if (!e)
        return -ENOENT;
    if (e->kind == Entry::Kind::Directory)
        return -EISDIR;
    if (contents)
        *contents = e->contents;
    return 0;
}

QStringList SimSysfs::list(const QString &path) const
{
    const QString dir = canonical(path);
    const Entry *e = entry(dir);
    if (!e || e->kind != Entry::Kind::Directory)
        return {};
    const QString prefix = dir + '/';
    QStringList names;
    for (auto it = m_entries.lowerBound(prefix); it != m_entries.constEnd() && it.key().startsWith(prefix); ++it) {
        const QString rest = it.key().mid(prefix.size());
        if (!rest.contains('/'))
            names.append(rest);
    }
    return names;
}

} // namespace lumora::sim
