#include "upgrade/zip7z.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

constexpr int kToolWaitMs = 30000;

struct ToolRun {
    bool ok = false;
    QByteArray output;
};

ToolRun runTool(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    process.start(tool, arguments, QIODevice::ReadWrite);
    process.waitForStarted(kToolWaitMs);
    const bool finished = process.waitForFinished(kToolWaitMs);
    ToolRun run;
    run.ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    run.output = process.readAllStandardOutput();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kToolWaitMs);
    }
    return run;
}

struct ListedEntry {
    QString path;
    qint64 size = 0;
    bool symlink = false;
};

bool escapesTarget(const QString &path)
{
    if (path.isEmpty() || path.startsWith('/') || path.startsWith('\\')
        || QRegularExpression("^[A-Za-z]:").match(path).hasMatch())
        return true;
    const QStringList parts = path.split(QRegularExpression("[/\\\\]"));
    return parts.contains("..");
}

// Parses "7z l -slt": the archive's own block, a "----------" line, then one
// block per entry, each "Key = Value" lines.
bool parseListing(const QString &listing, QString *type, QList<ListedEntry> *entries)
{
    bool inEntries = false;
    const QStringList lines = listing.split('\n');
    for (QString line : lines) {
        line.remove('\r');
        if (line.startsWith("----------")) {
            inEntries = true;
            continue;
        }
        const int eq = line.indexOf(" = ");
        const QString key = eq < 0 ? line.trimmed() : line.left(eq);
        const QString value = eq < 0 ? QString() : line.mid(eq + 3);
        if (!inEntries) {
            if (key == "Type")
                *type = value;
            continue;
        }
        if (key == "Path")
            entries->append({value, 0, false});
        else if (entries->isEmpty())
            continue;
        else if (key == "Size")
            entries->last().size = value.toLongLong();
        else if (key == "Attributes")
            entries->last().symlink = QRegularExpression("(^|\\s)l[rwxsStT-]{9}").match(value).hasMatch();
    }
    return inEntries;
}

// Why the package must not be unpacked; empty when it may.
QString refusal(const QString &tool, const QString &package)
{
    const ToolRun list = runTool(tool, {"l", "-slt", package});
    if (!list.ok)
        return Zip7z::tr("The package is not a readable zip archive.");
    return Zip7z::listingRefusal(QString::fromLocal8Bit(list.output));
}

// Anything but plain files and folders that the tool still produced goes.
void removeSpecialEntries(const QString &dir)
{
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    QStringList doomed;
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink() || !(info.isFile() || info.isDir()))
            doomed.append(info.filePath());
    }
    for (const QString &path : doomed)
        QFile::remove(path);
}

void replaceEntry(const QString &from, const QString &to)
{
    const QFileInfo existing(to);
    if (existing.isDir() && !existing.isSymLink())
        QDir(to).removeRecursively();
    else if (existing.exists() || existing.isSymLink())
        QFile::remove(to);
    QDir().rename(from, to);
}

} // namespace

QString Zip7z::toolPath()
{
    const QString beside = QCoreApplication::applicationDirPath() + "/7z";
    if (QFileInfo(beside).isExecutable() && QFileInfo(beside).isFile())
        return beside;
    return QStandardPaths::findExecutable("7z");
}

bool Zip7z::checkTool(QString *message)
{
    if (toolPath().isEmpty()) {
        *message = tr("The archive tool 7z was not found. Install the p7zip-full package.");
        return false;
    }
    *message = tr("The file check is complete and normal.");
    return true;
}

QString Zip7z::listingRefusal(const QString &listing)
{
    QString type;
    QList<ListedEntry> entries;
    if (!parseListing(listing, &type, &entries) || type != "zip")
        return Zip7z::tr("The package is not a readable zip archive.");
    if (entries.isEmpty())
        return Zip7z::tr("The package is empty.");
    qint64 total = 0;
    for (const ListedEntry &entry : entries) {
        if (escapesTarget(entry.path))
            return Zip7z::tr("The package has an entry outside its folder: %1").arg(entry.path);
        if (entry.symlink)
            return Zip7z::tr("The package has a symbolic link: %1").arg(entry.path);
        // Compared before adding: a listed size near the 64-bit limit must not overflow the sum.
        const qint64 size = qMax<qint64>(entry.size, 0);
        if (size > Zip7z::kMaxContentBytes - total)
            return Zip7z::tr("The package content is too large.");
        total += size;
    }
    return {};
}

bool Zip7z::extract(const QString &package, const QString &outputDir, QString *message)
{
    message->clear();
    if (!checkTool(message))
        return false;
    const QString tool = toolPath();
    const QString refused = refusal(tool, package);
    if (!refused.isEmpty()) {
        *message = refused;
        return false;
    }
    // Unpack into a private folder first so nothing the tool writes lands in
    // the workspace before it has been checked.
    QTemporaryDir staging(outputDir + "/.unpack-XXXXXX");
    if (!staging.isValid()) {
        *message = tr("Cannot create a folder in %1.").arg(outputDir);
        return false;
    }
    const ToolRun run = runTool(tool, {"x", "-y", package, "-o" + staging.path()});
    *message = QString::fromLocal8Bit(run.output);
    removeSpecialEntries(staging.path());
    const QStringList top = QDir(staging.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : top)
        replaceEntry(staging.path() + '/' + name, outputDir + '/' + name);
    return true;
}
