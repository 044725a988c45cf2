#include "upgrade/updatescript.h"

#include "upgrade/firmwareworkspace.h"
#include "upgrade/runflag.h"
#include "upgrade/updatechannel.h"

#include <QByteArrayList>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

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

const char *const kClosingCommands[] = {"setenv ota_upgrade_status 0", "saveenv", "reset"};
const QByteArray kVersionSetting = "setenv fw_version ";

// One walk over a script, either sending it or only checking it: both take
// the very same lines, so a check cannot pass a script the run would read
// differently.
struct Walk {
    QString workspace;
    ScriptPlan *plan = nullptr; // null: run against the camera
    bool resetAtTop = false;
    int executable = 0;

    bool checking() const { return plan != nullptr; }
    void refuse(const QString &problem)
    {
        if (plan && plan->problem.isEmpty())
            plan->problem = problem;
    }

    // 0 to go on with the next line, 1 to end the script with success, -1 to fail it.
    int level(const QByteArray &name, int depth);
    int line(const QByteArray &line, int depth);
};

int Walk::level(const QByteArray &name, int depth)
{
    if (depth > kMaxScriptNesting) {
        qDebug("script nesting deeper than %d levels: %s\n", kMaxScriptNesting, name.constData());
        refuse(QStringLiteral("the scripts run each other deeper than %1 levels").arg(kMaxScriptNesting));
        return -1;
    }
    QFile file(workspaceFile(workspace, QString::fromLocal8Bit(name)));
    if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly)) {
        qDebug("open script fail: %s\n", name.constData());
        refuse(QStringLiteral("the script %1 is not in the package").arg(QString::fromLocal8Bit(name)));
        return -1;
    }
    const QByteArray text = file.readAll();
    // Only lines ended by a line feed are run.
    for (int start = 0, end; (end = text.indexOf('\n', start)) >= 0; start = end + 1) {
        QByteArray raw = text.mid(start, end - start);
        if (raw.endsWith('\r'))
            raw.chop(1);
        const QByteArray normalised = normaliseScriptLine(raw);
        if (normalised.isEmpty() || normalised.startsWith('#') || normalised.startsWith('%'))
            continue;
        if (!checking() && stopRequested()) {
            qDebug("script stopped before: %s\n", normalised.constData());
            return -1;
        }
        if (!checking())
            qDebug("%s\n", normalised.constData());
        ++executable;
        const int outcome = line(normalised, depth);
        if (outcome != 0) {
            if (outcome > 0 && depth == 0)
                resetAtTop = true;
            return outcome < 0 ? -1 : 0;
        }
    }
    return 0;
}

int Walk::line(const QByteArray &line, int depth)
{
    const QByteArrayList words = line.split(' ');
    const QByteArray &keyword = words.at(0);
    const QByteArray first = words.value(1);
    if (keyword == "estar") {
        if (level(first, depth + 1) != 0) {
            if (!checking())
                qDebug("parse script fail: %s\n", first.constData());
            return -1;
        }
        return 0;
    }
    if (keyword == "tftp") {
        std::uint32_t address = 0;
        if (!parseAddress(first, &address)) {
            qDebug("invalid tftp address: %s\n", first.constData());
            refuse(QStringLiteral("the tftp address \"%1\" is not a hexadecimal number").arg(QString::fromLocal8Bit(first)));
            return -1;
        }
        const QByteArray name = words.value(2);
        const QString path = workspaceFile(workspace, QString::fromLocal8Bit(name));
        if (checking()) {
            const QFileInfo info(path);
            if (path.isEmpty() || !info.isFile() || !info.isReadable()) {
                refuse(QStringLiteral("the file %1 named by the script is not in the package").arg(QString::fromLocal8Bit(name)));
                return -1;
            }
            plan->bytes += info.size();
            return 0;
        }
        if (loadFile(path, address) != 0) {
            qDebug("load file fail: %s\n", name.constData());
            return -1;
        }
        return 0;
    }
    if (keyword == "reset") {
        for (const char *closing : kClosingCommands) {
            if (checking())
                plan->bytes += qstrlen(closing);
            else
                sendCommandText(closing);
        }
        return 1;
    }
    if (line.size() > kMaxCommandLength) {
        qDebug("command is too long to support. cmd: %s\n", line.constData());
        refuse(QStringLiteral("a command is longer than %1 characters").arg(kMaxCommandLength));
        return -1;
    }
    if (checking()) {
        plan->bytes += line.size();
        if (line.startsWith(kVersionSetting))
            plan->version = QString::fromLatin1(line.mid(kVersionSetting.size())).trimmed();
        return 0;
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

int runScript(const QString &workspace, const QString &script)
{
    Walk walk{workspace};
    return walk.level(script.toLocal8Bit(), 0);
}

ScriptPlan checkScript(const QString &workspace, const QString &script)
{
    ScriptPlan plan;
    Walk walk{workspace, &plan};
    const int result = walk.level(script.toLocal8Bit(), 0);
    if (result != 0) {
        plan.bytes = 0;
        return plan;
    }
    if (walk.executable == 0)
        plan.problem = QStringLiteral("the script %1 has no command to run (every line must end with a line feed)").arg(script);
    else if (!walk.resetAtTop)
        plan.problem = QStringLiteral("the script %1 never reaches \"reset\" (a last line without a line feed is not run)").arg(script);
    plan.usable = plan.problem.isEmpty();
    if (!plan.usable)
        plan.bytes = 0;
    return plan;
}

} // namespace lumora::upgrade
