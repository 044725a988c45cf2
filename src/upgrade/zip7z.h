#pragma once
// Unpacks firmware packages with the external 7z tool, refusing archives that
// would write outside the target folder or that are implausibly large.

#include <QObject>
#include <QString>

class Zip7z : public QObject {
    Q_OBJECT
public:
    // Largest total listed content a package may have.
    static constexpr qint64 kMaxContentBytes = qint64(1) << 30;

    // The tool beside the executable, else the one on the PATH; empty when none.
    static QString toolPath();
    // True when a tool was found; the message says what was found.
    static bool checkTool(QString *message);
    // Why a package with this "7z l -slt" listing must not be unpacked; empty
    // when it may.
    static QString listingRefusal(const QString &listing);
    // Unpacks `package` into `outputDir`, existing entries overwritten. False
    // (with nothing written) when no tool is there or the package is refused;
    // the message then says why, otherwise it holds the tool's output.
    static bool extract(const QString &package, const QString &outputDir, QString *message);
};
