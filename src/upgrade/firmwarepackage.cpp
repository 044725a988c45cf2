#include "upgrade/firmwarepackage.h"

#include "upgrade/updatescript.h"
#include "upgrade/zip7z.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <cstdio>
#include <vector>

namespace lumora::upgrade {

namespace {

QVector<int> range(int from, int to)
{
    QVector<int> r;
    for (int i = from; i <= to; ++i)
        r.append(i);
    return r;
}

QVector<int> orbitPositions(int last) { return range(0, 4) + range(6, last); }

bool entryExists(const QString &path) { return !path.isEmpty() && (QFileInfo(path).isFile() || QFileInfo(path).isDir()); }

// Every pattern is at least this long: the search slides a window of this
// length and skips ahead by the last two bytes of the window (Wu-Manber).
constexpr int kWindow = 9;
constexpr int kMaxShift = kWindow - 1;

struct SkipTable {
    std::array<unsigned char, 65536> shift;

    SkipTable()
    {
        shift.fill(kMaxShift);
        for (const ModelPattern &p : modelPatterns()) {
            std::array<bool, kWindow> compared{};
            for (int pos : p.positions)
                if (pos < kWindow)
                    compared[pos] = true;
            for (int q = 1; q < kWindow; ++q) {
                const int distance = kMaxShift - q;
                for (int a = 0; a < 256; ++a) {
                    if (compared[q - 1] && a != static_cast<unsigned char>(p.text[q - 1]))
                        continue;
                    for (int b = 0; b < 256; ++b) {
                        if (compared[q] && b != static_cast<unsigned char>(p.text[q]))
                            continue;
                        unsigned char &s = shift[(a << 8) | b];
                        s = static_cast<unsigned char>(qMin<int>(s, distance));
                    }
                }
            }
        }
    }
};

bool matchesAt(const ModelPattern &p, const unsigned char *at)
{
    for (int pos : p.positions)
        if (at[pos] != static_cast<unsigned char>(p.text[pos]))
            return false;
    return true;
}

} // namespace

const QVector<ModelPattern> &modelPatterns()
{
    static const QVector<ModelPattern> table = {
        {"RM QX-K-P24", {0, 1, 3, 4, 6, 8, 9, 10}, 1},
        {"QX-VEN24-100", {0, 1, 3, 4, 5, 6, 7, 9, 10, 11}, 2},
        {"QX-TRN52-100", {0, 1, 3, 4, 5, 6, 7, 9, 10, 11}, 3},
        {"QX-K52-100", range(0, 9), 0},
        {"VPT410B-100", range(0, 10), 4},
        {"VPT620-100", range(0, 9), 5},
        {"Loomix+60", range(0, 8), 6},
        {"NV-Optica-4K-AI", range(0, 14), 7},
        {"NV-Optica-1080-AI", range(0, 16), 8},
        {"ORBIT 60F", orbitPositions(8), 9},
        {"ORBIT 60A", orbitPositions(8), 10},
        {"ORBIT 300", orbitPositions(8), 11},
        {"ORBIT 400", orbitPositions(8), 12},
        {"ORBIT 410", orbitPositions(8), 13},
        {"ORBIT 160F", orbitPositions(9), 15},
        {"ORBIT 160A", orbitPositions(9), 14},
    };
    return table;
}

bool findModelInBuffer(const unsigned char *buffer, int *model)
{
    static const SkipTable table;
    const QVector<ModelPattern> &patterns = modelPatterns();
    // Table order decides, so one pass notes the best row seen so far.
    int best = patterns.size();
    for (int s = 0; s < kModelSearchEnd && best > 0;) {
        const int shift = table.shift[(buffer[s + kWindow - 2] << 8) | buffer[s + kWindow - 1]];
        if (shift) {
            s += shift;
            continue;
        }
        for (int row = 0; row < best; ++row) {
            if (matchesAt(patterns[row], buffer + s)) {
                best = row;
                break;
            }
        }
        ++s;
    }
    if (best == patterns.size())
        return false;
    *model = patterns[best].model;
    return true;
}

PackageCheck checkPackage(const QString &zipPath, const QString &workspace)
{
    qInfo().noquote() << "upgrade file:" << QFileInfo(zipPath).fileName();
    PackageCheck check;
    // Nothing of an earlier package may stand in for a file this one lacks.
    clearWorkspace(workspace);
    QString message;
    if (!Zip7z::extract(zipPath, workspace, &message)) {
        qWarning().noquote() << "package not unpacked:" << message;
        check.reason = message;
        clearWorkspace(workspace);
        return check;
    }
    if (!checkPackageLayout(workspace)) {
        clearWorkspace(workspace);
        return check;
    }
    if (!readPackageModel(workspace, &check.model)) {
        check.verdict = PackageCheck::Corrupted;
        clearWorkspace(workspace);
        return check;
    }
    const ScriptPlan plan = checkScript(workspace, QStringLiteral("auto_update.txt"));
    if (!plan.usable) {
        qWarning().noquote() << "update script refused:" << plan.problem;
        check.reason = plan.problem;
        clearWorkspace(workspace);
        return check;
    }
    check.verdict = PackageCheck::Usable;
    check.version = plan.version;
    check.scriptBytes = plan.bytes;
    return check;
}

bool unpackPackage(const QString &zipPath, const QString &workspace)
{
    return checkPackage(zipPath, workspace).verdict != PackageCheck::BadFormat;
}

void clearWorkspace(const QString &workspace)
{
    const QDir dir(workspace);
    for (const QFileInfo &info : dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (info.isDir() && !info.isSymLink())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}

bool checkPackageLayout(const QString &workspace)
{
    for (const char *name : {"auto_update.txt", "scripts", "kernel"})
        if (!entryExists(workspace + '/' + name))
            return false;
    return entryExists(workspace + "/miservice.ubifs") || entryExists(workspace + "/model.dat");
}

bool readPackageModel(const QString &workspace, int *model)
{
    QString path = workspace + "/miservice.ubifs";
    qDebug().noquote() << "model file:" << path;
    if (!QFileInfo::exists(path)) {
        qWarning().noquote() << "model file:" << path << "does not exist.";
        path = workspace + "/model.dat";
        if (!QFileInfo::exists(path)) {
            qWarning().noquote() << "model file:" << path << "does not exist.";
            return false;
        }
    }
    std::vector<unsigned char> buffer(kModelBufferSize, 0);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::printf("can't open file\n");
        return false;
    }
    // Each block overwrites the buffer from its start: a longer file leaves its
    // last block followed by the tail of the one before.
    while (file.read(reinterpret_cast<char *>(buffer.data()), kModelBufferSize) > 0) {
    }
    return findModelInBuffer(buffer.data(), model);
}

} // namespace lumora::upgrade
