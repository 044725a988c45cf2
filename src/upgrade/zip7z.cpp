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
    bool timedOut = false;
    bool crashed = false;
    int exitCode = 0;
    QByteArray output;
    QByteArray errors;
};

ToolRun runTool(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    // An encrypted entry must fail at once instead of waiting for a password.
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(tool, arguments, QIODevice::ReadOnly);
    process.waitForStarted(kToolWaitMs);
    ToolRun run;
    run.timedOut = !process.waitForFinished(kToolWaitMs);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kToolWaitMs);
    }
    run.crashed = !run.timedOut && process.exitStatus() != QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.ok = !run.timedOut && !run.crashed && run.exitCode == 0;
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    return run;
}

// One line on why the tool did not unpack the package.
QString toolFailure(const ToolRun &run)
{
    if (run.timedOut)
        return Zip7z::tr("unpacking took longer than %1 s").arg(kToolWaitMs / 1000);
    if (run.crashed)
        return Zip7z::tr("7z was stopped before it finished");
    static const QRegularExpression entryError("(CRC Failed|Data Error|Wrong password|Headers Error)[^:\\n]*: ([^\\n]+)");
    const QString text = QString::fromLocal8Bit(run.errors + '\n' + run.output);
    const QRegularExpressionMatch m = entryError.match(text);
    if (m.hasMatch()) {
        const QString name = m.captured(2).trimmed();
        const QString kind = m.captured(1);
        if (kind.startsWith("Wrong password"))
            return Zip7z::tr("the file %1 is encrypted").arg(name);
        if (kind.startsWith("CRC"))
            return Zip7z::tr("the file %1 is damaged (CRC error)").arg(name);
        return Zip7z::tr("the file %1 is damaged (data error)").arg(name);
    }
    if (text.contains("Unexpected end of archive"))
        return Zip7z::tr("the package is truncated");
    return Zip7z::tr("7z could not unpack the package (exit code %1)").arg(run.exitCode);
}

struct ListedEntry {
    QString path;
    qint64 size = 0;
    bool symlink = false;
    bool folder = false;
    bool encrypted = false;
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
            entries->append({value, 0, false, false, false});
        else if (entries->isEmpty())
            continue;
        else if (key == "Size")
            entries->last().size = value.toLongLong();
        else if (key == "Attributes")
            entries->last().symlink = QRegularExpression("(^|\\s)l[rwxsStT-]{9}").match(value).hasMatch();
        else if (key == "Folder")
            entries->last().folder = value == "+";
        else if (key == "Encrypted")
            entries->last().encrypted = value == "+";
    }
    return inEntries;
}

// Why a package with this "7z l -slt" listing must not be unpacked; empty when it may.
QString listingRefusal(const QString &listing, QList<ListedEntry> &entries)
{
    QString type;
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
        if (entry.encrypted)
            return Zip7z::tr("the file %1 is encrypted").arg(entry.path);
        // Compared before adding: a listed size near the 64-bit limit must not overflow the sum.
        const qint64 size = qMax<qint64>(entry.size, 0);
        if (size > Zip7z::kMaxContentBytes - total)
            return Zip7z::tr("The package content is too large.");
        total += size;
    }
    return {};
}

// Why the package must not be unpacked; empty when it may. `entries` gets the listing.
QString refusal(const QString &tool, const QString &package, QList<ListedEntry> &entries)
{
    const ToolRun list = runTool(tool, {"l", "-slt", "-p", package});
    if (list.timedOut || list.crashed)
        return toolFailure(list);
    if (!list.ok)
        return Zip7z::tr("The package is not a readable zip archive.");
    return listingRefusal(QString::fromLocal8Bit(list.output), entries);
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
    QList<ListedEntry> entries;
    return ::listingRefusal(listing, entries);
}

bool Zip7z::extract(const QString &package, const QString &outputDir, QString *message)
{
    message->clear();
    if (!checkTool(message))
        return false;
    const QString tool = toolPath();
    QList<ListedEntry> entries;
    const QString refused = refusal(tool, package, entries);
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
    // An empty password: an encrypted entry the listing missed fails instead of asking.
    const ToolRun run = runTool(tool, {"x", "-y", "-p", package, "-o" + staging.path()});
    if (!run.ok) {
        *message = toolFailure(run);
        return false;
    }
    removeSpecialEntries(staging.path());
    for (const ListedEntry &entry : qAsConst(entries)) {
        const QFileInfo unpacked(staging.path() + '/' + entry.path);
        if (entry.folder ? !unpacked.isDir() : !unpacked.isFile() || unpacked.size() != entry.size) {
            *message = tr("the file %1 was not unpacked whole").arg(entry.path);
            return false;
        }
    }
    *message = QString::fromLocal8Bit(run.output);
    const QStringList top = QDir(staging.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : top)
        replaceEntry(staging.path() + '/' + name, outputDir + '/' + name);
    return true;
}
