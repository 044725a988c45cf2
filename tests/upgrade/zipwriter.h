#pragma once
// Writes stored (uncompressed) zip archives with whatever names, modes and
// declared sizes a test needs, hostile ones included.

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>
#include <QVector>

namespace upgradetest {

struct ZipEntry {
    QByteArray name;
    QByteArray data;
    quint32 unixMode = 0100644;     // 0120777 makes a symbolic link whose target is `data`
    qint64 declaredSize = -1;       // the size the directory claims; -1 for the real one
    bool encrypted = false;         // marked as encrypted (the data is not: no password opens it)
    bool damaged = false;           // one stored byte flipped after the checksum was taken
};

class ZipWriter {
public:
    void add(const QByteArray &name, const QByteArray &data) { m_entries.append({name, data}); }
    void add(const ZipEntry &entry) { m_entries.append(entry); }

    QByteArray bytes() const
    {
        QByteArray out, directory;
        for (ZipEntry e : m_entries) {
            const quint32 crc = crc32(e.data);
            const quint16 flags = e.encrypted ? 1 : 0;
            if (e.damaged && !e.data.isEmpty())
                e.data[e.data.size() / 2] = char(e.data.at(e.data.size() / 2) ^ 0x5A);
            const quint32 size = quint32(e.declaredSize < 0 ? e.data.size() : qMin<qint64>(e.declaredSize, 0xFFFFFFFF));
            const quint32 offset = quint32(out.size());
            out += u32(0x04034b50) + u16(10) + u16(flags) + u16(0) + u16(0) + u16(0x21) + u32(crc)
                + u32(quint32(e.data.size())) + u32(size) + u16(quint16(e.name.size())) + u16(0) + e.name + e.data;
            directory += u32(0x02014b50) + u16(0x031e) + u16(10) + u16(flags) + u16(0) + u16(0) + u16(0x21) + u32(crc)
                + u32(quint32(e.data.size())) + u32(size) + u16(quint16(e.name.size())) + u16(0) + u16(0) + u16(0)
                + u16(0) + u32(e.unixMode << 16) + u32(offset) + e.name;
        }
        const quint32 directoryOffset = quint32(out.size());
        out += directory;
        out += u32(0x06054b50) + u16(0) + u16(0) + u16(quint16(m_entries.size())) + u16(quint16(m_entries.size()))
            + u32(quint32(directory.size())) + u32(directoryOffset) + u16(0);
        return out;
    }

    bool write(const QString &path) const
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes()) >= 0;
    }

private:
    static quint32 crc32(const QByteArray &data)
    {
        quint32 crc = 0xFFFFFFFFu;
        for (char c : data) {
            crc ^= quint8(c);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    }
    static QByteArray u16(quint16 v)
    {
        const char bytes[2] = {char(v), char(v >> 8)};
        return QByteArray(bytes, 2);
    }
    static QByteArray u32(quint32 v) { return u16(quint16(v)) + u16(quint16(v >> 16)); }

    QVector<ZipEntry> m_entries;
};

// What a test package holds beyond its model.
struct PackageParts {
    bool kernel = true;
    bool updater = true;             // usb_updater.bin
    QByteArray extraEntry;           // one more file, when given
    QByteArray script = "setenv fw_version 2.0.0\nestar scripts/load.txt\nreset\n";
    QMap<QByteArray, QByteArray> files; // further files (scripts the script runs)
    bool damagedKernel = false;
    bool encryptedKernel = false;
    int kernelSize = 50000;
    QString version = "2.0.0";       // replaces 2.0.0 in the script
};

// A package like a real one: an update script that sets firmware 2.0.0, its
// sub-script, the images, and a model file naming `model` (none when null).
inline ZipWriter testPackage(const QByteArray &model, const PackageParts &parts = PackageParts())
{
    ZipWriter zip;
    QByteArray script = parts.script;
    script.replace("2.0.0", parts.version.toLatin1());
    zip.add("auto_update.txt", script);
    zip.add("scripts/load.txt", "tftp 0x21000000 kernel\n");
    for (auto it = parts.files.begin(); it != parts.files.end(); ++it)
        zip.add(it.key(), it.value());
    if (parts.kernel) {
        ZipEntry kernel{"kernel", QByteArray(parts.kernelSize, 'k')};
        kernel.damaged = parts.damagedKernel;
        kernel.encrypted = parts.encryptedKernel;
        zip.add(kernel);
    }
    if (!model.isNull())
        zip.add("miservice.ubifs", QByteArray(64, '\0') + model + QByteArray(64, '\0'));
    if (parts.updater)
        zip.add("usb_updater.bin", QByteArray(3000, 'u'));
    zip.add("u-boot.bin", QByteArray(20000, 'b'));
    if (!parts.extraEntry.isEmpty())
        zip.add(parts.extraEntry, "x");
    return zip;
}

// `extraEntry`, when given, adds one more file.
inline void writeTestPackage(const QString &path, const QByteArray &model, bool kernel = true,
                             const QByteArray &extraEntry = QByteArray())
{
    PackageParts parts;
    parts.kernel = kernel;
    parts.extraEntry = extraEntry;
    testPackage(model, parts).write(path);
}

} // namespace upgradetest
