#include "upgrade/updatescript.h"

#include "upgrade/firmwareworkspace.h"
#include "upgrade/runflag.h"
#include "upgrade/updatechannel.h"

#include <QByteArrayList>
#include <QDebug>
#include <QFile>

#include <cctype>
#include <cstdint>

namespace lumora::upgrade {

namespace {

bool parseAddress(QByteArray word, std::uint32_t *address)
{
    if (word.startsWith("0x") || word.startsWith("0X"))
        word = word.mid(2);
    if (word.isEmpty() || word.size() > 16)
        return false;
    for (char c : word)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    bool ok = false;
    const qulonglong value = word.toULongLong(&ok, 16);
    if (!ok || value > 0xFFFFFFFFull)
        return false;
    *address = static_cast<std::uint32_t>(value);
    return true;
}

int plainCommand(const QByteArray &line)
{
    if (line.size() > kMaxCommandLength) {
        qDebug("command is too long to support. cmd: %s\n", line.constData());
        return -1;
    }
    for (int attempt = 1; attempt <= 2; ++attempt) {
        sendCommandText(line);
        std::uint8_t status[4];
        readStatus(status, 4, 10);
        if (isStatusSuccess(status))
            return 0;
        qDebug("%s [retry %d]\n", line.constData(), attempt);
    }
    return 1;
}

// 0 to go on with the next line, 1 to end the script with success, -1 to fail it.
int runLine(const QString &workspace, const QByteArray &line, int depth);

int runLevel(const QString &workspace, const QByteArray &name, int depth)
{
    if (depth > kMaxScriptNesting) {
        qDebug("script nesting deeper than %d levels: %s\n", kMaxScriptNesting, name.constData());
        return -1;
    }
    QFile file(workspaceFile(workspace, QString::fromLocal8Bit(name)));
    if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly)) {
        qDebug("open script fail: %s\n", name.constData());
        return -1;
    }
    const QByteArray text = file.readAll();
    // Only lines ended by a line feed are run.
    for (int start = 0, end; (end = text.indexOf('\n', start)) >= 0; start = end + 1) {
        QByteArray raw = text.mid(start, end - start);
        if (raw.endsWith('\r'))
            raw.chop(1);
        const QByteArray line = normaliseScriptLine(raw);
        if (line.isEmpty() || line.startsWith('#') || line.startsWith('%'))
            continue;
        if (stopRequested()) {
            qDebug("script stopped before: %s\n", line.constData());
            return -1;
        }
        qDebug("%s\n", line.constData());
        const int outcome = runLine(workspace, line, depth);
        if (outcome != 0)
            return outcome < 0 ? -1 : 0;
    }
    return 0;
}

int runLine(const QString &workspace, const QByteArray &line, int depth)
{
    const QByteArrayList words = line.split(' ');
    const QByteArray &keyword = words.at(0);
    const QByteArray first = words.value(1);
    if (keyword == "estar") {
        if (runLevel(workspace, first, depth + 1) != 0) {
            qDebug("parse script fail: %s\n", first.constData());
            return -1;
        }
        return 0;
    }
    if (keyword == "tftp") {
        std::uint32_t address = 0;
        if (!parseAddress(first, &address)) {
            qDebug("invalid tftp address: %s\n", first.constData());
            return -1;
        }
        const QByteArray file = words.value(2);
        if (loadFile(workspaceFile(workspace, QString::fromLocal8Bit(file)), address) != 0) {
            qDebug("load file fail: %s\n", file.constData());
            return -1;
        }
        return 0;
    }
    if (keyword == "reset") {
        for (const char *closing : {"setenv ota_upgrade_status 0", "saveenv", "reset"})
            sendCommandText(closing);
        return 1;
    }
    if (plainCommand(line) == 0)
        return 0;
    // A camera may restart before acknowledging its own save.
    if (line == "saveenv") {
        qDebug("Think ok.\n");
        return 1;
    }
    qDebug("USB scsi run cmd timeout.\n");
    return -1;
}

} // namespace

QByteArray normaliseScriptLine(const QByteArray &line)
{
    QByteArray out;
    out.reserve(line.size());
    bool blank = false;
    for (char c : line) {
        if (c == ' ' || c == '\t') {
            blank = !out.isEmpty();
            continue;
        }
        if (blank)
            out.append(' ');
        blank = false;
        out.append(c);
    }
    return out;
}

namespace {

void collectLoadFiles(const QString &workspace, const QByteArray &name, int depth, QStringList *files)
{
    QFile file(workspaceFile(workspace, QString::fromLocal8Bit(name)));
    if (depth > kMaxScriptNesting || file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QByteArrayList words = normaliseScriptLine(raw.trimmed()).split(' ');
        if (words.at(0) == "estar")
            collectLoadFiles(workspace, words.value(1), depth + 1, files);
        else if (words.at(0) == "tftp" && words.size() > 2)
            files->append(workspaceFile(workspace, QString::fromLocal8Bit(words.at(2))));
    }
}

} // namespace

QStringList scriptLoadFiles(const QString &workspace, const QString &script)
{
    QStringList files;
    collectLoadFiles(workspace, script.toLocal8Bit(), 0, &files);
    files.removeAll(QString());
    files.removeDuplicates();
    return files;
}

int runScript(const QString &workspace, const QString &script)
{
    return runLevel(workspace, script.toLocal8Bit(), 0);
}

} // namespace lumora::upgrade
