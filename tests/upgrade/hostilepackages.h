#pragma once
// Damaged and hostile firmware packages, each with the one-line reason it is
// refused for; shared by the CLI, worker and window tests. Each is a package
// for `model` that would be usable but for its fault.

#include "zipwriter.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QVector>
#include <QtTest>

namespace upgradetest {

struct HostilePackage {
    const char *name;
    QByteArray bytes;
    QString reason;        // part of the refusal's reason
    bool killTool = false; // 7z is killed once it has unpacked everything
};

inline QVector<HostilePackage> hostilePackages(const QByteArray &model)
{
    PackageParts damaged, encrypted;
    damaged.damagedKernel = true;
    encrypted.encryptedKernel = true;
    const QByteArray whole = testPackage(model).bytes();
    return {
        {"CRC error", testPackage(model, damaged).bytes(), "the file kernel is damaged (CRC error)"},
        {"encrypted entry", testPackage(model, encrypted).bytes(), "the file kernel is encrypted"},
        {"truncated", whole.left(whole.size() * 2 / 3), "not a readable zip archive"},
        {"7z killed", whole, "7z was stopped before it finished", true},
    };
}

// Writes `bytes` as the next numbered package "fwN.zip" in `folder`.
inline QString writeNumberedPackage(const QString &folder, int *counter, const QByteArray &bytes)
{
    const QString path = QStringLiteral("%1/fw%2.zip").arg(folder).arg(++*counter);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

// Whether a wire trace shows EnterUpgradeMode or any vendor SCSI command.
inline bool touchesCamera(const QStringList &trace)
{
    for (const QString &line : trace)
        if ((line.contains(" xu ") && line.contains(" sel=4 ")) || line.contains("cdb=e8"))
            return true;
    return false;
}

// The table of a test's `_data` function: bytes, reason, killTool.
inline void addHostilePackageRows()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("killTool");
    for (const HostilePackage &p : hostilePackages("ORBIT 400"))
        QTest::newRow(p.name) << p.bytes << p.reason << p.killTool;
}

// A folder holding a "7z" that runs the real one and then kills itself after
// unpacking; put first on the PATH of whatever should use it.
inline QString writeKilledTool(const QString &folder)
{
    const QString real = QStandardPaths::findExecutable("7z");
    const QString path = folder + "/7z";
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return {};
    script.write("#!/bin/sh\n\"" + real.toUtf8() + "\" \"$@\"\nrc=$?\n[ \"$1\" = x ] && kill -KILL $$\nexit $rc\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return folder;
}

} // namespace upgradetest
