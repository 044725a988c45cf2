#pragma once
// What a firmware package must hold, and which camera model it is for.

#include <QByteArray>
#include <QString>
#include <QVector>

namespace lumora::upgrade {

// The model file is read into a zero-filled buffer of this size.
constexpr int kModelBufferSize = 5 * 1024 * 1024;
// Patterns may start at offsets 0 .. kModelSearchEnd - 1.
constexpr int kModelSearchEnd = kModelBufferSize - 20;

// One row of the model table: the pattern, the positions compared, the model index.
struct ModelPattern {
    const char *text;
    QVector<int> positions;
    int model;
};
// The table, in search order.
const QVector<ModelPattern> &modelPatterns();

// The package check every upgrade entry point shares: logs the file, empties
// the workspace, unpacks this package verified into it, checks its layout,
// finds its model and reads its update script whole. Nothing of a refused
// package stays in the workspace.
struct PackageCheck {
    enum Verdict { Usable, BadFormat, Corrupted };
    Verdict verdict = BadFormat;
    QString reason;   // one line on what is wrong; empty when the verdict says it all
    int model = -1;
    QString version;  // the firmware version the script sets; empty when it names none
    qint64 scriptBytes = 0;
    bool usable() const { return verdict == Usable; }
};
PackageCheck checkPackage(const QString &zipPath, const QString &workspace);

// The earlier entry point: true when the package unpacked with a complete layout.
bool unpackPackage(const QString &zipPath, const QString &workspace);

// Deletes everything in the workspace (links are removed, never followed).
void clearWorkspace(const QString &workspace);
// True when the workspace holds a complete package layout.
bool checkPackageLayout(const QString &workspace);
// The model index of the package in the workspace; false when there is none.
bool readPackageModel(const QString &workspace, int *model);

// The table search over a model buffer of kModelBufferSize bytes: the first
// pattern in table order that occurs at any offset below kModelSearchEnd.
bool findModelInBuffer(const unsigned char *buffer, int *model);

} // namespace lumora::upgrade
