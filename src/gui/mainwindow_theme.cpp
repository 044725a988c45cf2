// Light and dark themes, the window settings in "product.ini" and the
// start-up size and position of the main window.

#include "gui/mainwindow.h"
#include "core/catalogue.h"
#include "core/settingsfiles.h"
#include "gui/mainwindow_form.h"
#include "gui/theme_display.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMovie>
#include <QScreen>
#include <QSettings>

namespace {

// The sheet most recently given to the application, shared by every window.
QString &appliedStyleSheet()
{
    static QString text;
    return text;
}

// Sheets start with "QPalette{background:#RRGGBB;}": the colour sits at 20.
constexpr int kPaletteColourPosition = 20;
constexpr int kPaletteColourLength = 7;

// X11 positions and sizes are 16-bit; no screen reaches further.
constexpr int kMaxScreenCoordinate = 32767;
// How long the first start waits for the desktop portal's answer.
constexpr int kPortalTimeoutMs = 500;

bool allNonZero(const QRect &rect)
{
    return rect.x() != 0 && rect.y() != 0 && rect.width() != 0 && rect.height() != 0;
}

bool onConnectedScreen(const QRect &rect)
{
    return QGuiApplication::screenAt(rect.center()) != nullptr;
}

// The portal wraps the value in one variant more than it declares.
QVariant unwrap(QVariant value)
{
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

} // namespace

int MainWindow::desktopPrefersDark()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return 0;
    QDBusMessage read = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
    read << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    const QDBusMessage reply = bus.call(read, QDBus::Block, kPortalTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qInfo().noquote() << "desktop colour scheme unknown:" << reply.errorName();
        return 0;
    }
    // 0 no preference, 1 prefer dark, 2 prefer light.
    const uint scheme = unwrap(reply.arguments().first()).toUInt();
    qInfo() << "desktop colour scheme:" << scheme;
    return scheme == 1 ? 1 : 0;
}

void MainWindow::changeStyle(QString qssFile)
{
    if (qssFile.isEmpty())
        return;
    QFile file(qssFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "read style failed." << qssFile;
        return;
    }
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    m_qssFile = qssFile;
    m_styleSheet = text;
    if (text == appliedStyleSheet())
        return;
    appliedStyleSheet() = text;
    const QColor colour(text.mid(kPaletteColourPosition, kPaletteColourLength));
    if (colour.isValid())
        QApplication::setPalette(QPalette(colour));
    else
        qWarning().noquote() << "style without palette colour:" << qssFile;
    qApp->setStyleSheet(text);
}

void MainWindow::applyTheme(int dark)
{
    const QString theme = dark ? QStringLiteral("dark") : QStringLiteral("light");
    updateSupportLinks(dark ? QStringLiteral("#FFFFFF") : QStringLiteral("#000000"));
    ui->labelloading->setMovie(dark ? m_loadingMovieDark : m_loadingMovieLight);
    changeStyle(QStringLiteral(":/qss/%1.css").arg(theme));
    m_styleIndex = dark;

    const QIcon itemIcon(dark ? QStringLiteral(":/qss/dark/Orbit-icon-dark.png")
                              : QStringLiteral(":/qss/light/Orbit-icon-normal.png"));
    for (int i = 0; i < ui->listWidgetCamera->count(); ++i) {
        QListWidgetItem *item = ui->listWidgetCamera->item(i);
        if (item == ui->listWidgetCamera->currentItem())
            continue;
        qDebug() << "Item-i:" << i;
        item->setIcon(itemIcon);
    }

    const QString titleStyle = dark ? QStringLiteral("color: #F2F2F2;") : QStringLiteral("color: #4a4a4a;");
    for (QLabel *title : {ui->labelDevInfo, ui->labelDevSupport, ui->labelDevUpdate})
        title->setStyleSheet(titleStyle);

    if (m_bControlsEnable) {
        updatePanArrows(controls().pan);
        updateTiltArrows(controls().tilt);
    } else {
        setYuntaiDisabledStyle();
    }
}

void MainWindow::on_btnModeLight_clicked()
{
    qInfo() << "Switch Style";
    m_isDarkTheme = !m_isDarkTheme;
    applyTheme(m_isDarkTheme);
}

void MainWindow::loadWindowSettings()
{
    const SettingsFiles files = settingsFiles();
    logSettingsFiles(files);
    const QString path = files.file;
    const ManufacturerProfile profile = loadManufacturerProfile(path);
    m_manufacturerCode = profile.code;
    m_manufacturerVid = profile.vid;

    // No screen holds more than this: larger values would overflow the rectangle's arithmetic.
    const auto coordinate = [&path](const char *key, int low) {
        return qBound(low, readSetting(path, QLatin1String(key), 0).toInt(), kMaxScreenCoordinate);
    };
    m_savedGeometry = QRect(coordinate("/window/left", -kMaxScreenCoordinate),
                            coordinate("/window/top", -kMaxScreenCoordinate),
                            coordinate("/window/width", 0), coordinate("/window/height", 0));
    qInfo().noquote() << "pre main window pos:"
                      << QStringLiteral("%1 %2 %3 %4").arg(m_savedGeometry.x()).arg(m_savedGeometry.y())
                             .arg(m_savedGeometry.width()).arg(m_savedGeometry.height());
    const QVariant style = readSetting(path, QStringLiteral("/style/index"));
    m_styleIndex = style.isValid() ? style.toInt() : desktopPrefersDark();
    qInfo() << "pre ui style:" << m_styleIndex;
}

void MainWindow::saveWindowSettings()
{
    const QRect frame = frameGeometry();
    const QString path = settingsFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (holdsSerializedValues(path))
        return;
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(QStringLiteral("/window/left"), frame.x());
    settings.setValue(QStringLiteral("/window/top"), frame.y());
    settings.setValue(QStringLiteral("/window/width"), frame.width());
    settings.setValue(QStringLiteral("/window/height"), frame.height());
    settings.setValue(QStringLiteral("/style/index"), m_styleIndex);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qWarning().noquote() << "save window settings failed:" << settings.fileName();
}

void MainWindow::adaptToScreen()
{
    const QScreen *display = screen();
    const QSize logical = display->geometry().size();
    const double scale = display->devicePixelRatio();
    qInfo() << "scale:" << scale;
    const DisplayPlan plan = chooseDisplayPlan(scale, qRound(logical.width() * scale),
                                               qRound(logical.height() * scale), logical);
    qInfo() << plan.name;
    applyDisplayPlan(plan);
}

void MainWindow::applyDisplayPlan(const DisplayPlan &plan)
{
    setMinimumSize(plan.minimumSize);
    if (plan.size.isValid())
        resize(plan.size);
    if (plan.maximize)
        ui->widgetTitle->clickMaximize();
    ui->scrollArea->setVerticalScrollBarPolicy(plan.scrollBarAlwaysOff ? Qt::ScrollBarAlwaysOff
                                                                       : Qt::ScrollBarAsNeeded);
}

void MainWindow::restoreWindowPlacement()
{
    const bool saved = allNonZero(m_savedGeometry);
    qInfo() << (saved ? "Set the last display position of the window." : "Set the default display position of the window.");
    // The flag first: the pad images that applyTheme refreshes follow it.
    m_isDarkTheme = m_styleIndex != 0;
    applyTheme(m_styleIndex);

    // Back where the user left it, unless that place is gone (a screen unplugged since).
    if (saved && !isMaximized() && onConnectedScreen(m_savedGeometry)) {
        // The saved values are the frame's: the frame goes back to them exactly.
        resize(m_savedGeometry.size() - (frameGeometry().size() - size()));
        move(m_savedGeometry.topLeft());
        return;
    }
    QScreen *target = QGuiApplication::screenAt(QCursor::pos());
    if (!target)
        target = QGuiApplication::primaryScreen();
    const QRect area = target->geometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}
