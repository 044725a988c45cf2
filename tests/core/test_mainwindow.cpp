#include "core/catalogue.h"
#include "gui/startup.h"
#include "support/testsupport.h"
#include "gui/mainwindow.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QtTest>

#include <csignal>

namespace {

QStringList g_messages;
QStringList g_warnings;

void collectMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    g_messages << message;
    if (type == QtWarningMsg || type == QtCriticalMsg)
        g_warnings << message;
}

struct MessageCapture {
    MessageCapture() : previous(qInstallMessageHandler(collectMessage))
    {
        g_messages.clear();
        g_warnings.clear();
    }
    ~MessageCapture() { qInstallMessageHandler(previous); }
    QtMessageHandler previous;
};

// Exposes the saved geometry that the placement reads.
class Window : public MainWindow {
public:
    using MainWindow::m_savedGeometry;
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

    QString m_settings;

private Q_SLOTS:
    void initTestCase() { initLumoraResources(); }
    void init()
    {
        m_settings = settingsFilePath();
        QFile::remove(m_settings);
    }
    void cleanup() { QFile::remove(m_settings); }

    void settingsRoundTrip_data()
    {
        QTest::addColumn<QVariant>("storedStyle");
        QTest::addColumn<QRect>("storedGeometry");
        QTest::addColumn<bool>("switchTheme");
        QTest::addColumn<bool>("startsDark");
        QTest::addColumn<int>("writtenStyle");
        QTest::addColumn<QString>("positionLine");
        const QString last = QStringLiteral("Set the last display position of the window.");
        const QString fallback = QStringLiteral("Set the default display position of the window.");
        QTest::newRow("no file") << QVariant() << QRect() << false << false << 0 << fallback;
        QTest::newRow("dark index 2 kept") << QVariant(2) << QRect(10, 20, 900, 700) << false << true << 2 << last;
        QTest::newRow("dark index 2 switched") << QVariant(2) << QRect(10, 20, 900, 700) << true << true << 0 << last;
        QTest::newRow("light switched") << QVariant(0) << QRect(0, 20, 900, 700) << true << false << 1 << fallback;
    }
    void settingsRoundTrip()
    {
        QFETCH(QVariant, storedStyle);
        QFETCH(QRect, storedGeometry);
        QFETCH(bool, switchTheme);
        QFETCH(bool, startsDark);
        QFETCH(int, writtenStyle);
        QFETCH(QString, positionLine);
        if (storedStyle.isValid()) {
            QSettings settings(m_settings, QSettings::IniFormat);
            settings.setValue("/product_model/main", 1);
            settings.setValue("/style/index", storedStyle);
            settings.setValue("/window/left", storedGeometry.x());
            settings.setValue("/window/top", storedGeometry.y());
            settings.setValue("/window/width", storedGeometry.width());
            settings.setValue("/window/height", storedGeometry.height());
        }

        g_messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collectMessage);
        MainWindow window;
        qInstallMessageHandler(previous);
        QVERIFY(g_messages.contains(positionLine));
        QCOMPARE(window.m_manufacturerCode, storedStyle.isValid() ? 1 : 0);
        QCOMPARE(window.m_manufacturerVid, storedStyle.isValid() ? 0x5A17 : 0x1D6B);
        QCOMPARE(window.m_isDarkTheme, startsDark);
        QCOMPARE(qApp->styleSheet().startsWith("QPalette{background:#1e1e1f;}"), window.m_isDarkTheme);

        if (switchTheme) {
            window.findChild<QPushButton *>("btnModeLight")->click();
            QCOMPARE(window.m_isDarkTheme, !startsDark);
        }
        window.show();
        QVERIFY(window.close());

        const QSettings written(m_settings, QSettings::IniFormat);
        QCOMPARE(written.value("/style/index").toInt(), writtenStyle);
        const QRect frame = window.frameGeometry();
        QCOMPARE(QRect(written.value("/window/left").toInt(), written.value("/window/top").toInt(),
                       written.value("/window/width").toInt(), written.value("/window/height").toInt()),
                 frame);
    }

    void closeRefusedDuringUpgrade()
    {
        MainWindow window;
        window.show();
        window.m_isUpgrading = true;
        QString shown;
        answerNextMessageBox(true, &shown);
        QVERIFY(!window.close());
        QCOMPARE(shown, QStringLiteral("Cannot exit during the upgrade process!"));
        QVERIFY(window.isVisible());
        QVERIFY(!QFile::exists(m_settings));

        window.m_isUpgrading = false;
        QVERIFY(window.close());
        QVERIFY(QFile::exists(m_settings));
    }

    // Values no screen can hold are cut to what one can before any rectangle
    // is built from them (UBSan guards the arithmetic), and then fail the
    // on-screen test like any other place that is gone.
    void hugeSavedGeometry_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("width");
        QTest::newRow("int max") << "2147483647" << "2147483647";
        QTest::newRow("int min") << "-2147483648" << "2147483647";
        QTest::newRow("beyond int") << "99999999999999" << "-99999999999999";
    }
    void hugeSavedGeometry()
    {
        QFETCH(QString, left);
        QFETCH(QString, width);
        {
            QSettings settings(m_settings, QSettings::IniFormat);
            for (const char *key : {"/window/left", "/window/top"})
                settings.setValue(key, left);
            for (const char *key : {"/window/width", "/window/height"})
                settings.setValue(key, width);
        }
        Window window;
        const QRect saved = window.m_savedGeometry;
        for (int value : {saved.x(), saved.y(), saved.width(), saved.height()})
            QVERIFY2(qAbs(value) <= 32767, qPrintable(QString::number(value)));
        const QPoint centre = QGuiApplication::primaryScreen()->geometry().center();
        QVERIFY((window.frameGeometry().center() - centre).manhattanLength() <= 4);
    }

    // A clean start says nothing alarming between the banner and the first
    // camera list: no warning, and the settings file it uses named.
    void cleanStartHasNoWarning()
    {
        MessageCapture capture;
        MainWindow window;
        QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join('\n')));
        QVERIFY(g_messages.contains("settings file: " + settingsFilePath()));
    }

    void signalClosesAsTheCloseButtonDoes_data()
    {
        QTest::addColumn<int>("signo");
        QTest::addColumn<bool>("upgrading");
        QTest::newRow("SIGTERM") << SIGTERM << false;
        QTest::newRow("SIGINT") << SIGINT << false;
        QTest::newRow("SIGHUP") << SIGHUP << false;
        QTest::newRow("SIGTERM during an upgrade") << SIGTERM << true;
    }
    void signalClosesAsTheCloseButtonDoes()
    {
        QFETCH(int, signo);
        QFETCH(bool, upgrading);
        SignalRelay relay;
        QVERIFY(relay.isActive());
        MainWindow window;
        QObject::connect(&relay, &SignalRelay::received, &window, &MainWindow::closeForSignal);
        window.show();
        window.m_isUpgrading = upgrading;
        QString shown;
        if (upgrading)
            answerNextMessageBox(true, &shown);
        MessageCapture capture;
        ::raise(signo);
        if (!upgrading) {
            QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), deadlineMs(5000));
            QVERIFY(QFile::exists(m_settings));
            QVERIFY(!window.m_isOpened);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(shown, QStringLiteral("Cannot exit during the upgrade process!"), deadlineMs(5000));
        QVERIFY(window.isVisible());
        QVERIFY(!QFile::exists(m_settings));
        QCOMPARE(g_warnings.filter("SIGTERM"), QStringList{"SIGTERM received: cannot exit during the upgrade process"});
        window.m_isUpgrading = false;
    }

    void anotherLaunchBringsTheWindowBack()
    {
        MainWindow window;
        window.showMinimized();
        window.raiseFromAnotherLaunch();
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
    }

    void placement_data()
    {
        QTest::addColumn<QRect>("saved");
        QTest::addColumn<bool>("restored");
        QTest::newRow("on screen") << QRect(30, 40, 1000, 700) << true;
        QTest::newRow("on a screen gone since") << QRect(5000, 4000, 1000, 700) << false;
        QTest::newRow("a zero value") << QRect(0, 40, 1000, 700) << false;
    }
    void placement()
    {
        QFETCH(QRect, saved);
        QFETCH(bool, restored);
        Window window;
        window.showNormal();
        window.setMinimumSize(0, 0);
        window.resize(600, 300);
        window.m_savedGeometry = saved;
        window.restoreWindowPlacement();
        if (restored) {
            QTRY_COMPARE_WITH_TIMEOUT(window.frameGeometry(), saved, deadlineMs(5000));
        } else {
            // Centred up to the frame margins, which the offscreen platform reports unevenly.
            const QPoint centre = QGuiApplication::primaryScreen()->geometry().center();
            QTRY_VERIFY_WITH_TIMEOUT((window.frameGeometry().center() - centre).manhattanLength() <= 4, deadlineMs(5000));
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
