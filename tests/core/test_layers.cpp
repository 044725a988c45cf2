// Each folder of src/ is a layer that includes only the layers below it. The
// link lines catch a call that runs upward; this catches an include of a
// header-only type, which links without complaint.

#include <QDirIterator>
#include <QRegularExpression>
#include <QtTest>

namespace {

// What each layer may include besides itself.
const QHash<QString, QStringList> &allowed()
{
    static const QHash<QString, QStringList> table{
        {"platform", {}},
        {"sim", {"platform"}},
        {"core", {}},
        {"device", {"core", "platform"}},
        {"camera", {"device", "core", "platform"}},
        {"upgrade", {"device", "core", "platform"}},
        {"preview", {"core", "platform"}},
        {"gui", {"camera", "upgrade", "preview", "device", "core", "platform"}},
        {"cli", {"camera", "upgrade", "preview", "device", "core", "platform", "sim"}},
        {"app", {"gui", "core", "platform", "sim"}},
    };
    return table;
}

} // namespace

class TestLayers : public QObject {
    Q_OBJECT

private slots:
    void includesRunDownward_data()
    {
        QTest::addColumn<QString>("layer");
        QDir src(qEnvironmentVariable("LUMORA_SOURCE_DIR") + "/src");
        const QStringList folders = src.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(!folders.isEmpty());
        for (const QString &folder : folders)
            QTest::newRow(qPrintable(folder)) << folder;
    }

    void includesRunDownward()
    {
        QFETCH(QString, layer);
        QVERIFY2(allowed().contains(layer), qPrintable("a folder that is no layer: src/" + layer));
        static const QRegularExpression include(QStringLiteral("^#include \"([a-z_]+)/"),
                                                QRegularExpression::MultilineOption);
        QStringList upward;
        QDirIterator it(qEnvironmentVariable("LUMORA_SOURCE_DIR") + "/src/" + layer, {"*.h", "*.cpp"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            auto matches = include.globalMatch(QString::fromUtf8(file.readAll()));
            while (matches.hasNext()) {
                const QString target = matches.next().captured(1);
                if (target != layer && !allowed().value(layer).contains(target))
                    upward << QStringLiteral("%1 includes %2/").arg(it.filePath(), target);
            }
        }
        QVERIFY2(upward.isEmpty(), qPrintable(upward.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestLayers)
#include "test_layers.moc"
