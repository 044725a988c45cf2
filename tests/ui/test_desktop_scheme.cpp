// LABELS: worker
// The first start follows the desktop's colour scheme, read from the desktop
// portal on a private session bus; a saved theme wins.
#include "core/catalogue.h"
#include "gui/startup.h"
#include "sim/sim_kernel.h"
#include "gui/mainwindow.h"
#include "support/testsupport.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

// The portal's settings interface, answering color-scheme as the real one
// does: a variant inside a variant.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    std::atomic<uint> scheme{0};
    std::atomic<int> reads{0};

public Q_SLOTS:
    QDBusVariant Read(const QString &nameSpace, const QString &key)
    {
        ++reads;
        if (nameSpace != QLatin1String("org.freedesktop.appearance") || key != QLatin1String("color-scheme"))
            return QDBusVariant(QVariant());
        return QDBusVariant(QVariant::fromValue(QDBusVariant(uint(scheme))));
    }
};

} // namespace

class TestDesktopScheme : public QObject {
    Q_OBJECT

    QProcess m_bus;
    QThread m_portalThread;
    FakePortal *m_portal = nullptr;

    bool startsDark()
    {
        MainWindow window;
        return window.m_isDarkTheme;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            QSKIP("dbus-daemon is not installed (scripts/deps.sh installs it)");
        initLumoraResources();
        lumora::platform::installKernel(std::make_unique<lumora::sim::SimKernel>());
        m_bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        QVERIFY(m_bus.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), deadlineMs(10000));
        const QByteArray address = m_bus.readLine().trimmed();
        // Before the first use of the session bus, which is kept for the process.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);

        // The portal answers on a thread of its own while the window's call blocks.
        m_portal = new FakePortal;
        m_portal->moveToThread(&m_portalThread);
        m_portalThread.start();
        QDBusConnection portalBus = QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("portal"));
        QVERIFY(portalBus.isConnected());
        QVERIFY(portalBus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), m_portal,
                                         QDBusConnection::ExportAllSlots));
        QVERIFY(portalBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
        m_portalThread.quit();
        m_portalThread.wait();
        delete m_portal;
        m_bus.kill();
        m_bus.waitForFinished();
        lumora::platform::installKernel(std::make_unique<lumora::sim::SimKernel>());
    }

    void init() { QFile::remove(settingsFilePath()); }
    void cleanup() { QFile::remove(settingsFilePath()); }

    void firstStartFollowsTheDesktop_data()
    {
        QTest::addColumn<uint>("scheme");
        QTest::addColumn<bool>("dark");
        QTest::newRow("prefers dark") << 1u << true;
        QTest::newRow("prefers light") << 2u << false;
        QTest::newRow("no preference") << 0u << false;
    }
    void firstStartFollowsTheDesktop()
    {
        QFETCH(uint, scheme);
        QFETCH(bool, dark);
        m_portal->scheme = scheme;
        QCOMPARE(startsDark(), dark);
    }

    // Once the user's choice is saved the portal is not even asked.
    void savedThemeWins_data()
    {
        QTest::addColumn<int>("saved");
        QTest::newRow("light saved, desktop dark") << 0;
        QTest::newRow("dark saved, desktop dark") << 1;
    }
    void savedThemeWins()
    {
        QFETCH(int, saved);
        m_portal->scheme = 1;
        QSettings(settingsFilePath(), QSettings::IniFormat).setValue(QStringLiteral("/style/index"), saved);
        const int readsBefore = m_portal->reads;
        QCOMPARE(startsDark(), saved == 1);
        QCOMPARE(m_portal->reads.load(), readsBefore);
    }
};

QTEST_MAIN(TestDesktopScheme)
#include "test_desktop_scheme.moc"
