// Package rules: layout, the model table search, unpacking and hostile archives.

#include "upgrade/firmwarepackage.h"
#include "upgrade/modelsearch.h"
#include "upgrade/zip7z.h"
#include "referencesearch.h"
#include "hostilepackages.h"
#include "zipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <vector>

using namespace lumora::upgrade;
using upgradetest::ZipEntry;
using upgradetest::ZipWriter;
// The model buffer's size as the tests know it, not as the code says.
constexpr int kBuffer = upgradetest::kReferenceBufferSize;

namespace {

int referenceSearch(const std::vector<unsigned char> &buffer) { return upgradetest::referenceModelSearch(buffer.data()); }

int fastSearch(const std::vector<unsigned char> &buffer)
{
    int model = -1;
    return findModelInBuffer(buffer.data(), &model) ? model : -1;
}

const SearchLevel kLevels[] = {SearchLevel::Plain, SearchLevel::Sse2, SearchLevel::Avx2};

// Runs `check` once under each search level this CPU has; levels it lacks are
// reported and left out.
template <class Check> void underEachLevel(Check check)
{
    for (const SearchLevel level : kLevels) {
        if (forceSearchLevel(level) != level) {
            qInfo("search level %s not supported here", searchLevelName(level));
            continue;
        }
        check(level);
        if (QTest::currentTestFailed())
            qWarning("failed under search level %s", searchLevelName(level));
    }
    forceSearchLevel(supportedSearchLevel());
}

// A random pattern of the table with its uncompared positions scrambled.
QByteArray plantedPattern(QRandomGenerator &random)
{
    const auto &table = upgradetest::referencePatterns();
    const upgradetest::ReferencePattern &p = table.at(random.bounded(int(table.size())));
    QByteArray text(p.text);
    for (int i = 0; i < text.size(); ++i)
        if (std::find(p.positions.begin(), p.positions.end(), i) == p.positions.end())
            text[i] = char(random.bounded(256));
    return text;
}

// The buffer the model file becomes: blocks of the buffer's size, each read
// from the buffer's start.
std::vector<unsigned char> bufferOfFile(const QByteArray &file)
{
    std::vector<unsigned char> buffer(kBuffer, 0);
    for (int at = 0; at < file.size(); at += kBuffer)
        std::copy(file.begin() + at, file.begin() + std::min(file.size(), at + kBuffer), buffer.begin());
    return buffer;
}

void put(std::vector<unsigned char> *buffer, int offset, const QByteArray &text)
{
    std::copy(text.begin(), text.end(), buffer->begin() + offset);
}

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

QStringList filesUnder(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

ZipWriter validPackage()
{
    ZipWriter zip;
    zip.add("auto_update.txt", "estar scripts/run.txt\n");
    zip.add("scripts/run.txt", "reset\n");
    zip.add("kernel", QByteArray(1000, 'k'));
    zip.add("miservice.ubifs", QByteArray(100, 0) + "ORBIT 400" + QByteArray(100, 0));
    return zip;
}

} // namespace

using Placed = QList<QPair<int, QByteArray>>;
using Entries = QVector<ZipEntry>;
Q_DECLARE_METATYPE(Placed)
Q_DECLARE_METATYPE(Entries)

class TestPackage : public QObject {
    Q_OBJECT

private slots:
    void modelTable_data()
    {
        QTest::addColumn<Placed>("placed");
        QTest::addColumn<int>("model");
        QTest::newRow("160A early, 160F late: table order") << Placed{{10, "ORBIT 160A"}, {4000000, "ORBIT 160F"}} << 15;
        QTest::newRow("K52 before K-P24 in the file") << Placed{{0, "QX-K52-100"}, {900, "RM QX-K-P24"}} << 1;
        QTest::newRow("masked positions of row 1") << Placed{{77, "RM*QX_K+P24"}} << 1;
        QTest::newRow("dash for the blank of ORBIT") << Placed{{5, "ORBIT-60F"}} << 9;
        QTest::newRow("Loomix with a blank") << Placed{{5, "Loomix 60"}} << -1;
        QTest::newRow("Loomix with a plus") << Placed{{5, "Loomix+60"}} << 6;
        QTest::newRow("last offset searched") << Placed{{5242859, "VPT620-100"}} << 5;
        QTest::newRow("first offset not searched") << Placed{{5242860, "VPT620-100"}} << -1;
        QTest::newRow("1080 over 4K") << Placed{{50, "NV-Optica-1080-AI"}} << 8;
        QTest::newRow("nothing") << Placed{} << -1;
    }

    void modelTable()
    {
        QFETCH(Placed, placed);
        QFETCH(int, model);
        std::vector<unsigned char> buffer(kBuffer, 0);
        for (const auto &p : placed)
            put(&buffer, p.first, p.second);
        QCOMPARE(referenceSearch(buffer), model);
        underEachLevel([&](SearchLevel) { QCOMPARE(fastSearch(buffer), model); });
    }

    // Buffers dense in pattern characters and near-misses, some with planted
    // patterns with scrambled masked positions.
    void searchAgreesWithReference()
    {
        QRandomGenerator random(20261210);
        const QByteArray alphabet = "ORBIT 0146AFQX-KNVPENLomix+2583AI\0";
        for (int round = 0; round < 6; ++round) {
            std::vector<unsigned char> buffer(kBuffer);
            for (auto &b : buffer)
                b = static_cast<unsigned char>(alphabet.at(int(random.bounded(alphabet.size()))));
            for (int planted = int(random.bounded(3)); planted > 0; --planted)
                put(&buffer, int(random.bounded(kBuffer - 20)), plantedPattern(random));
            const int expected = referenceSearch(buffer);
            underEachLevel([&](SearchLevel) { QCOMPARE(fastSearch(buffer), expected); });
        }
    }

    // The file is read and searched piece by piece: patterns across piece
    // borders, at the ends of short files, and in files longer than the buffer.
    void fileSearchAgreesWithReference_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("offsets");
        const int piece = 256 * 1024;
        QTest::newRow("empty file") << 0 << QList<int>{};
        QTest::newRow("pattern is the whole file") << -1 << QList<int>{0};
        QTest::newRow("across the first piece border") << 3 * piece << QList<int>{piece - 5, 2 * piece - 12};
        QTest::newRow("cut off by the file's end") << 1000 << QList<int>{995};
        QTest::newRow("at the file's end") << 1000 << QList<int>{983};
        QTest::newRow("buffer-sized file, last offsets") << 5242880 << QList<int>{5242859, 5242860};
        QTest::newRow("longer file, in both blocks") << kBuffer + 777 << QList<int>{100, 700, kBuffer + 3, kBuffer + 770};
        QTest::newRow("more than two blocks") << 2 * kBuffer + 5 << QList<int>{2, 2 * kBuffer - 9, kBuffer + 40};
        QTest::newRow("random places") << kBuffer - 3 << QList<int>{-1, -1, -1};
    }

    void fileSearchAgreesWithReference()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, offsets);
        QRandomGenerator random(uint(size) + uint(offsets.size()));
        const QByteArray alphabet = "ORBIT 0146AFQX-KNVPENLomix+2583AI\0";
        QByteArray file;
        for (int i = 0; i < std::max(size, 0); ++i)
            file.append(alphabet.at(int(random.bounded(alphabet.size()))));
        for (int offset : offsets) {
            const QByteArray text = plantedPattern(random);
            if (size < 0)
                file = text;
            const int at = offset >= 0 ? offset : int(random.bounded(std::max(1, file.size() - text.size())));
            file.replace(at, std::min<int>(text.size(), file.size() - at), text.left(file.size() - at));
        }
        QTemporaryDir ws;
        writeFile(ws.filePath("model.dat"), file);
        const std::vector<unsigned char> buffer = bufferOfFile(file);
        const int expected = referenceSearch(buffer);
        underEachLevel([&](SearchLevel) {
            int model = -1;
            QCOMPARE(readPackageModel(ws.path(), &model), expected >= 0);
            QCOMPARE(model, expected);
            QCOMPARE(fastSearch(buffer), expected);
        });
    }

    // Each block overwrites the buffer from its start.
    void largerFileKeepsLastBlockOverTheFirst()
    {
        QTemporaryDir ws;
        QByteArray file(kBuffer + 100, '\0');
        file.replace(50, 10, "VPT620-100");            // overwritten by the last block
        file.replace(kBuffer + 20, 9, "ORBIT 300"); // lands at offset 20
        writeFile(ws.filePath("miservice.ubifs"), file);
        int model = -1;
        QVERIFY(readPackageModel(ws.path(), &model));
        QCOMPARE(model, 11);
    }

    void modelFileChoice_data()
    {
        QTest::addColumn<QByteArray>("ubifs");
        QTest::addColumn<QByteArray>("dat");
        QTest::addColumn<int>("model");
        QTest::newRow("ubifs without pattern wins over a matching dat") << QByteArray("nothing") << QByteArray("ORBIT 400") << -1;
        QTest::newRow("dat only when ubifs is absent") << QByteArray() << QByteArray("ORBIT 400") << 12;
        QTest::newRow("neither file") << QByteArray() << QByteArray() << -1;
    }

    void modelFileChoice()
    {
        QFETCH(QByteArray, ubifs);
        QFETCH(QByteArray, dat);
        QFETCH(int, model);
        QTemporaryDir ws;
        if (!ubifs.isEmpty())
            writeFile(ws.filePath("miservice.ubifs"), ubifs);
        if (!dat.isEmpty())
            writeFile(ws.filePath("model.dat"), dat);
        int found = -1;
        QCOMPARE(readPackageModel(ws.path(), &found), model >= 0);
        QCOMPARE(found, model);
    }

    void layout_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<bool>("complete");
        QTest::newRow("minimal with ubifs") << QStringList{"auto_update.txt", "scripts/", "kernel", "miservice.ubifs"} << true;
        QTest::newRow("files for scripts and kernel, model.dat") << QStringList{"auto_update.txt", "scripts", "kernel/", "model.dat"} << true;
        QTest::newRow("no scripts") << QStringList{"auto_update.txt", "kernel", "miservice.ubifs", "boot", "cis.bin", "u-boot.bin", "usb_updater.bin"} << false;
        QTest::newRow("no kernel") << QStringList{"auto_update.txt", "scripts", "model.dat", "boot", "cis.bin", "u-boot.bin"} << false;
        QTest::newRow("no model file") << QStringList{"auto_update.txt", "scripts", "kernel"} << false;
        QTest::newRow("no script") << QStringList{"scripts", "kernel", "model.dat"} << false;
    }

    void layout()
    {
        QFETCH(QStringList, entries);
        QFETCH(bool, complete);
        QTemporaryDir ws;
        for (const QString &e : entries) {
            if (e.endsWith('/'))
                QDir().mkpath(ws.filePath(e));
            else
                writeFile(ws.filePath(e), "x");
        }
        QCOMPARE(checkPackageLayout(ws.path()), complete);
    }

    // Nothing of an earlier package survives, and a link is removed, not followed.
    void clearEmptiesTheWorkspace()
    {
        QTemporaryDir ws, outside;
        writeFile(outside.filePath("precious"), "keep");
        for (const char *name : {"auto_update.txt", "cis.bin", "u-boot.bin", "miservice.ubifs", "model.dat", "usb_updater.bin", ".hidden"})
            writeFile(ws.filePath(name), "x");
        writeFile(ws.filePath("scripts/deep/a.txt"), "x");
        QVERIFY(QFile::link(outside.path(), ws.filePath("kernel")));
        clearWorkspace(ws.path());
        QCOMPARE(QDir(ws.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
                 QStringList());
        QVERIFY(QFile::exists(outside.filePath("precious")));
    }

    void validPackageUnpacksOverOldFiles()
    {
        QTemporaryDir ws, pkg;
        writeFile(ws.filePath("kernel"), "old");
        QVERIFY(validPackage().write(pkg.filePath("fw.zip")));
        QString message;
        QVERIFY(Zip7z::extract(pkg.filePath("fw.zip"), ws.path(), &message));
        QVERIFY(checkPackageLayout(ws.path()));
        QCOMPARE(QFileInfo(ws.filePath("kernel")).size(), 1000);
        int model = -1;
        QVERIFY(readPackageModel(ws.path(), &model));
        QCOMPARE(model, 12);
        QCOMPARE(QDir(ws.path()).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot).size(), 4);
    }

    void hostile_data()
    {
        QTest::addColumn<Entries>("extra"); // added to a valid package; "OUTSIDE" names the outside folder
        QTest::addColumn<QByteArray>("raw"); // the whole file instead, when not empty
        QTest::addColumn<QString>("why");
        QTest::newRow("absolute path") << Entries{{"OUTSIDE/evil", "x"}} << QByteArray() << "outside its folder";
        QTest::newRow("dot-dot") << Entries{{"../evil", "x"}} << QByteArray() << "outside its folder";
        QTest::newRow("dot-dot inside a folder") << Entries{{"scripts/../../evil", "x"}} << QByteArray()
                                                 << "outside its folder";
        QTest::newRow("symlink out, then written through")
            << Entries{{"link", "OUTSIDE", 0120777}, {"link/evil", "x"}} << QByteArray() << "symbolic link";
        QTest::newRow("over 1 GiB listed") << Entries{{"huge.bin", "x", 0100644, qint64(1) << 31}} << QByteArray()
                                           << "too large";
        QTest::newRow("not a zip") << Entries() << QByteArray("this is not an archive at all") << "not a readable zip";
        QTest::newRow("truncated") << Entries() << validPackage().bytes().left(150) << "not a readable zip";
        QTest::newRow("zip without entries") << Entries() << ZipWriter().bytes() << "empty";
    }

    void hostile()
    {
        QFETCH(Entries, extra);
        QFETCH(QByteArray, raw);
        QFETCH(QString, why);
        QTemporaryDir root;
        const QString ws = root.filePath("firmware"), outside = root.filePath("outside");
        QDir().mkpath(ws);
        QDir().mkpath(outside);
        ZipWriter zip = validPackage();
        for (ZipEntry entry : extra) {
            entry.name.replace("OUTSIDE", outside.toUtf8());
            entry.data.replace("OUTSIDE", outside.toUtf8());
            zip.add(entry);
        }
        writeFile(root.filePath("package.zip"), raw.isEmpty() ? zip.bytes() : raw);
        QString message;
        QVERIFY(!Zip7z::extract(root.filePath("package.zip"), ws, &message));
        QVERIFY2(message.contains(why), qPrintable(message));
        QCOMPARE(filesUnder(outside), QStringList());
        QCOMPARE(filesUnder(ws), QStringList());
        QVERIFY(!checkPackageLayout(ws));
    }

    // The whole check: a refused package leaves the workspace empty, whatever was there before.
    void checkPackageRefusals_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("reason");
        for (const upgradetest::HostilePackage &p : upgradetest::hostilePackages("ORBIT 400"))
            if (!p.killTool)
                QTest::newRow(p.name) << p.bytes << int(PackageCheck::BadFormat) << p.reason;
        upgradetest::PackageParts noReset;
        noReset.script = "tftp 0x21000000 kernel\nreset";
        QTest::newRow("reset never run") << upgradetest::testPackage("ORBIT 400", noReset).bytes() << int(PackageCheck::BadFormat)
                                         << "never reaches \"reset\"";
        QTest::newRow("no model") << upgradetest::testPackage("nothing").bytes() << int(PackageCheck::Corrupted) << QString();
    }

    void checkPackageRefusals()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, verdict);
        QFETCH(QString, reason);
        QTemporaryDir root;
        const QString ws = root.filePath("firmware");
        writeFile(ws + "/usb_updater.bin", "from an earlier package");
        writeFile(root.filePath("package.zip"), bytes);
        const PackageCheck check = checkPackage(root.filePath("package.zip"), ws);
        QCOMPARE(int(check.verdict), verdict);
        QVERIFY2(check.reason.contains(reason), qPrintable(check.reason));
        QCOMPARE(filesUnder(ws), QStringList());
    }

    void checkPackageReadsTheScript()
    {
        QTemporaryDir root;
        const QString ws = root.filePath("firmware");
        QDir().mkpath(ws);
        writeFile(ws + "/usb_updater.bin", "from an earlier package");
        QVERIFY(upgradetest::testPackage("ORBIT 160F").write(root.filePath("package.zip")));
        const PackageCheck check = checkPackage(root.filePath("package.zip"), ws);
        QVERIFY(check.usable());
        QCOMPARE(check.model, 15);
        QCOMPARE(check.version, QString("2.0.0"));
        // "setenv fw_version 2.0.0", the kernel, and the three closing commands.
        QCOMPARE(check.scriptBytes, qint64(23 + 50000 + 27 + 7 + 5));
        // The earlier package's updater is gone; this one's is there.
        QCOMPARE(QFileInfo(ws + "/usb_updater.bin").size(), 3000);
    }

    void emptyFileIsNoPackage()
    {
        QTemporaryDir root;
        writeFile(root.filePath("package.zip"), QByteArray());
        QString message;
        QVERIFY(!Zip7z::extract(root.filePath("package.zip"), root.path(), &message));
        QVERIFY2(message.contains("not a readable zip"), qPrintable(message));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "test_package.moc"
