#pragma once
// An in-memory sysfs: directories, attribute files and symbolic links,
// resolved the way the kernel resolves them. Not thread-safe by itself.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

namespace lumora::sim {

class SimSysfs {
public:
    void clear() { m_entries.clear(); }
    // Parents are created as needed. Paths are absolute ("/sys/...").
    void addDirectory(const QString &path);
    void addFile(const QString &path, const QByteArray &contents);
    // `target` is relative to the link's directory, as sysfs writes them.
    void addLink(const QString &path, const QString &target);

    // -ENOENT when missing, -EISDIR for a directory.
    int read(const QString &path, QByteArray *contents) const;
    QStringList list(const QString &path) const;
    // Every link resolved; empty when some component does not exist.
    QString canonical(const QString &path) const;

private:
    struct Entry {
        enum class Kind { Directory, File, Link };
        Kind kind = Kind::Directory;
        QByteArray contents;
        QString target;
    };
    const Entry *entry(const QString &canonicalPath) const;

    QMap<QString, Entry> m_entries;
};

} // namespace lumora::sim
