// The demo packages of tools/make-demo-package pass the package check and name
// the model of each simulated camera.

#include "upgrade/firmwarepackage.h"
#include "support/testsupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace lumora::upgrade;

class TestDemoPackage : public QObject {
    Q_OBJECT

private slots:
    void everyDefaultCameraGetsItsPackage()
    {
        QTemporaryDir out;
        QProcess tool;
        tool.start(qEnvironmentVariable("LUMORA_SOURCE_DIR") + "/tools/make-demo-package",
                   {"-v", "3.1.4", "-s", "64", "-o", out.path()});
        QVERIFY(tool.waitForFinished(deadlineMs(60000)));
        QCOMPARE(tool.exitCode(), 0);
        const QStringList packages = QString::fromLocal8Bit(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        const QVector<int> models = {7, 8, 14, 12}; // 4K, 1080, ORBIT 160A, ORBIT 400
        QCOMPARE(packages.size(), models.size());
        for (int i = 0; i < packages.size(); ++i) {
            QTemporaryDir workspace;
            QVERIFY2(unpackPackage(packages[i], workspace.path()), qPrintable(packages[i]));
            int model = -1;
            QVERIFY(readPackageModel(workspace.path(), &model));
            QCOMPARE(model, models[i]);
            QFile script(workspace.filePath("auto_update.txt"));
            QVERIFY(script.open(QIODevice::ReadOnly));
            QVERIFY(script.readAll().contains("\nsetenv fw_version 3.1.4\n"));
            QVERIFY(QFileInfo(workspace.filePath("u-boot.bin")).isFile());
            QVERIFY(QFileInfo(workspace.filePath("usb_updater.bin")).isFile());
        }
    }
};

QTEST_GUILESS_MAIN(TestDemoPackage)
#include "test_demo_package.moc"
