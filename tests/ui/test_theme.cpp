#include "gui/startup.h"
#include "gui/mainwindow.h"
#include "gui/theme_display.h"

#include <QLabel>
#include <QListWidget>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray kBom("\xEF\xBB\xBF");

QString writeSheet(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(kBom + text);
    return path;
}

} // namespace

class TestTheme : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { initLumoraResources(); }

    void displayPlan_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<QSize>("physical");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QSize>("minimum");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("maximize");
        QTest::addColumn<bool>("scrollBarOff");
        const QSize keep;
        QTest::newRow("1.5 at 2560") << 1.5 << QSize(2560, 1440) << QSize(1707, 960) << "DISPLAY_MODE_1" << QSize(1280, 720) << keep << false << false;
        QTest::newRow("1.75 at 2560") << 1.75 << QSize(2560, 1440) << QSize(1463, 823) << "DISPLAY_MODE_2" << QSize(1463, 823) << QSize(1463, 823) << true << false;
        QTest::newRow("2.0 at 3840") << 2.0 << QSize(3840, 2160) << QSize(1920, 1080) << "DISPLAY_MODE_1" << QSize(1280, 720) << keep << false << false;
        QTest::newRow("1.5 at 3840") << 1.5 << QSize(3840, 2160) << QSize(2560, 1440) << "DISPLAY_MODE_2" << QSize(2560, 1440) << QSize(2560, 1440) << true << false;
        QTest::newRow("1.25 at 1920") << 1.25 << QSize(1920, 1080) << QSize(1536, 864) << "DISPLAY_MODE_5" << QSize(1330, 777) << QSize(1440, 772) << false << true;
        QTest::newRow("1.0 at 1440") << 1.0 << QSize(1440, 900) << QSize(1440, 900) << "DISPLAY_MODE_5" << QSize(1330, 777) << QSize(1440, 772) << false << true;
        QTest::newRow("1.0 at 1280x1024") << 1.0 << QSize(1280, 1024) << QSize(1280, 1024) << "DISPLAY_MODE_3" << QSize(1280, 772) << QSize(1280, 772) << false << true;
        QTest::newRow("1.0 at 1366x768") << 1.0 << QSize(1366, 768) << QSize(1366, 768) << "DISPLAY_MODE_4" << QSize(1366, 768) << QSize(1366, 768) << true << false;
    }
    void displayPlan()
    {
        QFETCH(double, scale);
        QFETCH(QSize, physical);
        QFETCH(QSize, screen);
        QFETCH(QString, mode);
        QFETCH(QSize, minimum);
        QFETCH(QSize, size);
        QFETCH(bool, maximize);
        QFETCH(bool, scrollBarOff);
        const DisplayPlan plan = chooseDisplayPlan(scale, physical.width(), physical.height(), screen);
        QCOMPARE(QString::fromLatin1(plan.name), mode);
        QCOMPARE(plan.minimumSize, minimum);
        QCOMPARE(plan.size, size);
        QCOMPARE(plan.maximize, maximize);
        QCOMPARE(plan.scrollBarAlwaysOff, scrollBarOff);
    }

    // On a 1920 x 1080 screen the minimum height wins over the asked 772.
    void fullHdScreenOpensAt1440x777()
    {
        MainWindow window;
        window.showNormal();
        window.applyDisplayPlan(chooseDisplayPlan(1.0, 1920, 1080, QSize(1920, 1080)));
        QCOMPARE(window.size(), QSize(1440, 777));
        QCOMPARE(window.findChild<QScrollArea *>("scrollArea")->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    }

    void changeStyleAppliesOnlyNewText()
    {
        QTemporaryDir dir;
        const QByteArray lightText("QPalette{background:#F5F5F5;}*{outline:0px;color:#D7E2E9;}");
        const QByteArray darkText("QPalette{background:#1e1e1f;}*{outline:0px;color:#D7E2E9;}");
        const QString light = writeSheet(dir, "light.css", lightText);
        const QString dark = writeSheet(dir, "dark.css", darkText);
        MainWindow window;

        window.changeStyle(light);
        QCOMPARE(qApp->styleSheet(), QString::fromLatin1(lightText));
        QCOMPARE(qApp->palette().color(QPalette::Button), QColor("#F5F5F5"));

        // The same text again is not re-applied.
        qApp->setStyleSheet(QStringLiteral("QLabel{}"));
        window.changeStyle(light);
        QCOMPARE(qApp->styleSheet(), QStringLiteral("QLabel{}"));

        window.changeStyle(dark);
        QCOMPARE(qApp->palette().color(QPalette::Button), QColor("#1e1e1f"));
        window.changeStyle(light);
        QCOMPARE(qApp->styleSheet(), QString::fromLatin1(lightText));
        QCOMPARE(qApp->palette().color(QPalette::Button), QColor("#F5F5F5"));

        const QString missing = dir.filePath("missing.css");
        QTest::ignoreMessage(QtWarningMsg, qPrintable("read style failed. " + missing));
        window.changeStyle(missing);
        QCOMPARE(qApp->styleSheet(), QString::fromLatin1(lightText));
    }

    void themeButtonSwitchesTheWindow()
    {
        MainWindow window;
        auto *list = window.findChild<QListWidget *>("listWidgetCamera");
        auto *loading = window.findChild<QLabel *>("labelloading");
        list->addItems({"first", "second"});
        list->setCurrentRow(0);
        const qint64 selectedIcon = list->item(0)->icon().cacheKey();
        const bool wasDark = window.m_isDarkTheme;

        window.on_btnModeLight_clicked();
        QCOMPARE(window.m_isDarkTheme, !wasDark);
        QVERIFY(qApp->styleSheet().startsWith("QPalette{background:#1e1e1f;}"));
        QCOMPARE(loading->movie(), window.m_loadingMovieDark);
        QCOMPARE(window.findChild<QLabel *>("labelDevInfo")->styleSheet(), QStringLiteral("color: #F2F2F2;"));
        QCOMPARE(list->item(0)->icon().cacheKey(), selectedIcon);
        QVERIFY(!list->item(1)->icon().isNull());
        // No camera open: the pad shows its disabled look of the new theme.
        QCOMPARE(window.findChild<QWidget *>("btnCameraUp")->styleSheet(),
                 QStringLiteral("border-image:url(:/qss/dark/icon-arrow-up-disable.png) center no-repeat;"));

        window.on_btnModeLight_clicked();
        QVERIFY(qApp->styleSheet().startsWith("QPalette{background:#F5F5F5;}"));
        QCOMPARE(loading->movie(), window.m_loadingMovieLight);
        QCOMPARE(window.findChild<QLabel *>("labelDevUpdate")->styleSheet(), QStringLiteral("color: #4a4a4a;"));
    }
};

QTEST_MAIN(TestTheme)
#include "test_theme.moc"
