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

// The package check both upgrade entry points share: logs the file, clears
// the previous package, unpacks this one and checks its layout.
bool unpackPackage(const QString &zipPath, const QString &workspace);

// Deletes the previous package's entries from the workspace.
void removePackageFiles(const QString &workspace);
// True when the workspace holds a complete package layout.
bool checkPackageLayout(const QString &workspace);
// The model index of the package in the workspace; false when there is none.
bool readPackageModel(const QString &workspace, int *model);

// The table search over a model buffer of kModelBufferSize bytes: the first
// pattern in table order that occurs at any offset below kModelSearchEnd.
bool findModelInBuffer(const unsigned char *buffer, int *model);

} // namespace lumora::upgrade
