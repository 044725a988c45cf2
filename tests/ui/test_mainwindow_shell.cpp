// The main window's shell: form, navigation, sections, message boxes, help
// bubble, support panel, per-model traits and the frameless window.

#include "core/catalogue.h"
#include "support/testsupport.h"
#include "gui/dialogs/formprompt.h"
#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"
#include "gui/widgets/maskwidget.h"
#include "gui/widgets/titlebar.h"

#include <QScreen>
#include <QWindow>
#include <QtTest>

namespace {

QString pathFor(int vid, int pid)
{
    return QStringLiteral("\\\\?\\usb#vid_%1&pid_%2&mi_00#7&1a2b3c4d&0&0000#{e5323777-f976-4f5b-9b55-b94699c46e44}\\global")
        .arg(vid, 4, 16, QLatin1Char('0'))
        .arg(pid, 4, 16, QLatin1Char('0'));
}

void sendMouse(QWidget *target, QEvent::Type type, const QPoint &global, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, target->mapFromGlobal(global), global, button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class TestMainWindowShell : public QObject {
    Q_OBJECT

    MainWindow *w = nullptr;

private Q_SLOTS:
    void init()
    {
        w = new MainWindow;
        w->showNormal(); // small offscreen screens start maximized
        QVERIFY(QTest::qWaitForWindowExposed(w));
    }

    void cleanup()
    {
        delete w;
        w = nullptr;
    }

    void formObjects_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");
        const char *rows[][3] = {
            {"listWidgetCamera", "QListWidget", ""}, {"widgetTitle", "titleBar", ""},
            {"btnNavControl", "QToolButton", "Controls"}, {"btnNavSupport", "QToolButton", "Support"},
            {"labelDevice", "QLabel", ""}, {"labelState", "QLabel", ""}, {"labelIcon", "QLabel", ""},
            {"Mydevice_label", "QLabel", "MY DEVICES"}, {"labPreview", "QLabel", ""},
            {"labPreview_up", "QLabel", "Click the icon to start Preview."},
            {"labPreview_down", "QLabel", "Other apps can't access the camera while you preview it on this app."},
            {"btnVideoControl", "QToolButton", "Video"}, {"btnColorControl", "QToolButton", "Color Adjustment"},
            {"btn90", "QToolButton", "93°"}, {"btn78", "QToolButton", "78°"}, {"btn65", "QToolButton", "65°"},
            {"comboBoxTrackMode", "QComboBox", ""}, {"comboBoxTrackEffect", "QComboBox", ""},
            {"comboBoxTrackSpeend", "QComboBox", ""}, {"comboBoxAntiFlicker", "QComboBox", ""},
            {"label_2", "QLabel", "Powerline Frequency:\n(Anti Flicker)"}, {"label", "QLabel", "Mic："},
            {"label_4", "QLabel", "Auto Focus："}, {"label_5", "QLabel", "Manual Focus："},
            {"btnHDR", "QPushButton", ""}, {"btnMute", "QPushButton", ""}, {"btnHD", "QPushButton", ""},
            {"btnAutoFocus", "QPushButton", ""}, {"sliderFocus", "QSlider", ""}, {"sliderZoom", "QSlider", ""},
            {"btnCameraUp", "QPushButton", ""}, {"labelZoomValue", "QLabel", ""},
            {"sliderContract", "QSlider", ""}, {"checkBoxBrigtness", "QCheckBox", ""},
            {"btnDefaultColor", "QPushButton", "Default Settings"}, {"labelDevInfo", "QLabel", "About"},
            {"labelDevUpdate", "QLabel", "Restore"}, {"labelDevSupport", "QLabel", "Support"},
            {"labelDevModel", "QLabel", ""}, {"labelDevVer", "QLabel", ""}, {"btnUpgrade", "QPushButton", "Upgrade"},
            {"progressBarUpdate", "QProgressBar", ""},
            {"btnRestoreDefaults", "QPushButton", "Restore Factory Defaults"},
            {"label_21", "QLabel", "Software Version:"}, {"labelAppVer", "QLabel", "V1.0.4"},
        };
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QString::fromUtf8(row[0]) << QString::fromUtf8(row[1]) << QString::fromUtf8(row[2]);
    }

    void formObjects()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, text);
        QWidget *widget = w->findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        if (!text.isEmpty()) // the others are filled at run time
            QCOMPARE(widget->property("text").toString(), text);
    }

    void initialState()
    {
        Ui::MainWindow *ui = w->ui;
        QCOMPARE(ui->stackedWidgetMain->currentWidget(), ui->pageNavControl);
        QCOMPARE(ui->stackedWidgetControl->currentWidget(), ui->page);
        QVERIFY(ui->btnNavControl->isChecked() && !ui->btnNavSupport->isChecked());
        QVERIFY(ui->btnVideoControl->isChecked() && !ui->btnColorControl->isChecked());
        for (QAbstractButton *b : {ui->btn90, ui->btn78, ui->btn65})
            QVERIFY(b->isCheckable() && !b->isChecked());
        for (QAbstractButton *b : {ui->btnHDR, ui->btnHD, ui->btnAutoFocus, ui->btnMute, ui->btnDevInfoExtend})
            QVERIFY(b->isCheckable());
        for (QAbstractButton *b : {ui->btnCameraUp, ui->btnCameraDown, ui->btnCameraLeft, ui->btnCameraRight}) {
            QVERIFY(b->autoRepeat());
            QCOMPARE(b->autoRepeatDelay(), 500);
            QCOMPARE(b->autoRepeatInterval(), 200);
        }
        for (QWidget *hidden : std::initializer_list<QWidget *>{
                 ui->labelHyperlinksApp, ui->labelHyperlinksQuickStartGuide, ui->widget_14, ui->labelAuto,
                 ui->checkBoxBrigtness, ui->checkBoxSharpness, ui->widgetAngle, ui->widgetMFocus, ui->widget_11,
                 ui->widget_12, ui->progressBarUpdate})
            QVERIFY2(hidden->isHidden(), qPrintable(hidden->objectName()));
        for (QWidget *shown : std::initializer_list<QWidget *>{ui->widgetDevInfo, ui->widgetDevUpdate, ui->widgetDevSupport})
            QVERIFY(!shown->isHidden());
        QCOMPARE(ui->progressBarUpdate->maximum(), 100);
        QCOMPARE(ui->listWidgetCamera->iconSize(), QSize(66, 36));
        QCOMPARE(ui->comboBoxAntiFlicker->count() >= 0, true);
        QCOMPARE(ui->widgetTitle->height(), 45);
    }

    void pageButtons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("stack");
        QTest::addColumn<int>("page");
        QTest::newRow("Support") << "btnNavSupport" << "stackedWidgetMain" << 1;
        QTest::newRow("Controls") << "btnNavControl" << "stackedWidgetMain" << 0;
        QTest::newRow("Color Adjustment") << "btnColorControl" << "stackedWidgetControl" << 1;
        QTest::newRow("Video") << "btnVideoControl" << "stackedWidgetControl" << 0;
    }

    void pageButtons()
    {
        QFETCH(QString, button);
        QFETCH(QString, stack);
        QFETCH(int, page);
        auto *clicked = w->findChild<QAbstractButton *>(button);
        auto *pages = w->findChild<QStackedWidget *>(stack);
        for (int round = 0; round < 2; ++round) { // a second click keeps it checked
            clicked->click();
            QCOMPARE(pages->currentIndex(), page);
            QVERIFY(clicked->isChecked());
            int checked = 0;
            for (QAbstractButton *b : clicked->parentWidget()->parentWidget()->findChildren<QAbstractButton *>())
                checked += (b->isChecked() && b != clicked && (b->objectName().startsWith(QLatin1String("btnNav"))
                                                              || b->objectName().endsWith(QLatin1String("Control"))));
            QCOMPARE(checked, 0);
        }
    }

    void sectionToggles_data()
    {
        QTest::addColumn<QString>("toggle");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("body");
        QTest::newRow("About") << "btnDevInfoExtend" << "labelDevInfo" << "widgetDevInfo";
        QTest::newRow("Restore") << "btnDevUpdateExtend" << "labelDevUpdate" << "widgetDevUpdate";
        QTest::newRow("Support") << "btnDevSupportExtend" << "labelDevSupport" << "widgetDevSupport";
    }

    void sectionToggles()
    {
        QFETCH(QString, toggle);
        QFETCH(QString, title);
        QFETCH(QString, body);
        auto *button = w->findChild<QAbstractButton *>(toggle);
        auto *label = w->findChild<QLabel *>(title);
        QWidget *section = w->findChild<QWidget *>(body);
        const QList<QWidget *> others = {w->ui->widgetDevInfo, w->ui->widgetDevUpdate, w->ui->widgetDevSupport};

        button->click();
        QVERIFY(section->isHidden());
        QVERIFY(button->isChecked());
        for (QWidget *other : others)
            QCOMPARE(other->isHidden(), other == section);
        // A press on the title toggles like the button, and the label does not see it.
        QTest::mouseClick(label, Qt::LeftButton);
        QVERIFY(!section->isHidden());
        QVERIFY(!button->isChecked());
        QVERIFY(!w->findChild<QWidget *>(body + QLatin1String("Head"))->isHidden());
    }

    void showMessageBoxIsCentredAndFixed()
    {
        w->setGeometry(100, 60, 1400, 800);
        QRect boxGeometry;
        QSize minimum, maximum;
        bool modal = false;
        QTimer::singleShot(0, this, [&] {
            QWidget *box = QApplication::activeModalWidget();
            QVERIFY(box);
            boxGeometry = box->geometry();
            minimum = box->minimumSize();
            maximum = box->maximumSize();
            modal = box->isModal();
            QVERIFY(MaskWidget::instance()->isVisible());
        });
        answerNextMessageBox(true);
        w->showMessageBox(QStringLiteral("The setting has timed out, please try again."));
        QCOMPARE(boxGeometry.size(), QSize(450, 180));
        QCOMPARE(minimum, maximum);
        QVERIFY(modal);
        QCOMPARE(boxGeometry.topLeft(), QPoint(w->x() + (1400 - 450) / 2, w->y() + (800 - 180) / 2));
        QVERIFY(!MaskWidget::instance()->isVisible());
    }

    void helpPrompt()
    {
        QCursor::setPos(w->mapToGlobal(QPoint(700, 500)));
        w->on_btnHDRPrompt_clicked();
        auto prompts = w->findChildren<FormPrompt *>();
        QCOMPARE(prompts.size(), 1);
        FormPrompt *prompt = prompts.first();
        QVERIFY(prompt->isVisible());
        QCOMPARE(prompt->promptText(), QStringLiteral("When enable HDR, the max resolution is 1080P 30fps."));
        QCOMPARE(prompt->geometry().bottomLeft() + QPoint(prompt->width() / 2, 1), QPoint(700, 500));
        QVERIFY(!MaskWidget::instance()->isVisible());

        QCursor::setPos(w->mapToGlobal(QPoint(400, 300)));
        w->on_btnFlickerPrompt_clicked();
        QCOMPARE(w->findChildren<FormPrompt *>().size(), 1);
        QCOMPARE(prompt->pos(), QPoint(400 - prompt->width() / 2, 300 - prompt->height()));
        QVERIFY(prompt->promptText().startsWith(QLatin1String("To avoid video flicker")));

        QTest::mouseClick(prompt->findChild<QAbstractButton *>(QStringLiteral("btnClose")), Qt::LeftButton);
        QVERIFY(!prompt->isVisible());
    }

    void supportLinkColours()
    {
        QLabel *link = w->ui->labelHyperlinksContactSupport;
        const QString target = QStringLiteral("href=\"%1/\"").arg(supportAddress());
        QVERIFY(link->text().contains(target));
        QVERIFY(link->openExternalLinks());

        w->updateSupportLinks(QStringLiteral("#000000"));
        QVERIFY(link->text().contains(QLatin1String("color: #000000;")));
        QEvent enter(QEvent::HoverEnter);
        QHoverEvent hoverEnter(QEvent::HoverEnter, QPointF(2, 2), QPointF(-1, -1));
        QApplication::sendEvent(link, &hoverEnter);
        QVERIFY(link->text().contains(QLatin1String("color: #d12631;")));
        QHoverEvent hoverLeave(QEvent::HoverLeave, QPointF(-1, -1), QPointF(2, 2));
        QApplication::sendEvent(link, &hoverLeave);
        QVERIFY(link->text().contains(QLatin1String("color: #000000;")));

        w->updateSupportLinks(QStringLiteral("#FFFFFF"));
        QVERIFY(link->text().contains(QLatin1String("color: #FFFFFF;")));
        QApplication::sendEvent(w->ui->labelDevInfo, &hoverEnter);
        QCOMPARE(w->ui->labelDevInfo->styleSheet(), QStringLiteral("color: #FFFFFF;"));
        QApplication::sendEvent(w->ui->labelDevInfo, &hoverLeave);
        QCOMPARE(w->ui->labelDevInfo->styleSheet(), QStringLiteral("color: #F2F2F2;"));
    }

    void modelTraits_data()
    {
        QTest::addColumn<int>("profile");
        QTest::addColumn<int>("vid");
        QTest::addColumn<int>("pid");
        QTest::addColumn<QString>("picture");
        QTest::addColumn<bool>("trackingEnabled"); // locked, or the whole page disabled
        QTest::addColumn<int>("hdShown"); // -1 unchanged
        QTest::addColumn<int>("angleShown"); // -1: left to the control page
        QTest::newRow("1/9 orbit-60") << 1 << 0x5A17 << 0x0110 << "orbit-60-pic" << false << -1 << -1;
        QTest::newRow("1/11 Orbit") << 1 << 0x5A17 << 0x0103 << "Orbit-pic" << false << -1 << -1;
        QTest::newRow("1/12 locked") << 1 << 0x5A17 << 0x0305 << "Orbit-pic" << false << -1 << 1;
        QTest::newRow("1/14 orbit-160") << 1 << 0x5A17 << 0x0307 << "orbit-160-pic" << true << -1 << 1;
        QTest::newRow("0/0 HD, locked") << 0 << 0x1D6B << 0x0104 << "Orbit-pic" << false << 1 << 1;
        QTest::newRow("0/1 no HD") << 0 << 0x1D6B << 0x0101 << "Orbit-pic" << false << 0 << -1;
        QTest::newRow("0/3 no angle") << 0 << 0x1D6B << 0x0309 << "Orbit-pic" << true << 1 << 0;
        QTest::newRow("0/4 vpt") << 0 << 0x1D6B << 0x0307 << "vpt-410-b-pic" << true << 1 << 1;
        QTest::newRow("0/6 not in table") << 0 << 0x1D6B << 0xC00B << "" << true << -1 << 1;
        QTest::newRow("1/14 under profile 0") << 0 << 0x5A17 << 0x0307 << "" << true << -1 << 1;
        QTest::newRow("unknown device") << 1 << 0x1234 << 0x5678 << "" << true << -1 << 1;
    }

    void modelTraits()
    {
        QFETCH(int, profile);
        QFETCH(int, vid);
        QFETCH(int, pid);
        QFETCH(QString, picture);
        QFETCH(bool, trackingEnabled);
        QFETCH(int, hdShown);
        QFETCH(int, angleShown);
        Ui::MainWindow *ui = w->ui;
        const QString before = QStringLiteral("QLabel{background-image:url(:/qss/light/earlier.png);}");
        ui->labelIcon->setStyleSheet(before);
        ui->widgetAngle->show();
        ui->comboBoxTrackMode->setEnabled(true);
        const bool hdBefore = !ui->widgetHD->isHidden();
        w->m_manufacturerCode = profile;

        w->applyModelTraits(pathFor(vid, pid));

        if (picture.isEmpty())
            QCOMPARE(ui->labelIcon->styleSheet(), before);
        else
            QCOMPARE(ui->labelIcon->styleSheet(),
                     QStringLiteral("QLabel{background-image:url(:/qss/light/%1.png);center no-repeat;}").arg(picture));
        QCOMPARE(ui->comboBoxTrackMode->isEnabled(), trackingEnabled);
        QCOMPARE(!ui->widgetHD->isHidden(), hdShown < 0 ? hdBefore : hdShown == 1);
        if (angleShown >= 0)
            QCOMPARE(!ui->widgetAngle->isHidden(), angleShown == 1);
    }

    void upgradeKeepsUpgradeButtonsDisabled_data()
    {
        QTest::addColumn<bool>("upgrading");
        QTest::newRow("idle") << false;
        QTest::newRow("upgrading") << true;
    }

    void upgradeKeepsUpgradeButtonsDisabled()
    {
        QFETCH(bool, upgrading);
        w->ui->btnUpgrade->setEnabled(false);
        w->ui->btnRestoreDefaults->setEnabled(false);
        w->m_isUpgrading = upgrading;
        w->m_manufacturerCode = kManufacturerOrvanta;
        w->applyModelTraits(pathFor(0x5A17, 0x0110));
        QCOMPARE(w->ui->btnUpgrade->isEnabled(), !upgrading);
        QCOMPARE(w->ui->btnRestoreDefaults->isEnabled(), !upgrading);
        // The page is off but for mic, anti-flicker and the colour page.
        QVERIFY(!w->ui->sliderZoom->isEnabled());
        QVERIFY(w->ui->btnMute->isEnabled());
        QVERIFY(w->ui->comboBoxAntiFlicker->isEnabled());
        QVERIFY(w->ui->sliderBrightness->isEnabled());
        w->m_isUpgrading = false;
    }

    void maximizeByDoubleClick()
    {
        titleBar *bar = w->ui->widgetTitle;
        const QMargins base = w->contentsMargins();
        sendMouse(bar, QEvent::MouseButtonDblClick, bar->mapToGlobal(QPoint(20, 20)), Qt::LeftButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w->isMaximized(), deadlineMs(2000));
        QVERIFY(bar->maximizeButton()->styleSheet().contains(QLatin1String("icon-normal.png")));
        QCOMPARE(w->contentsMargins(), base);
        sendMouse(bar, QEvent::MouseButtonDblClick, bar->mapToGlobal(QPoint(20, 20)), Qt::LeftButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isMaximized(), deadlineMs(2000));
        QVERIFY(bar->maximizeButton()->styleSheet().contains(QLatin1String("icon-max.png")));
        QCOMPARE(w->contentsMargins(), base);
    }

    void dragMovesWindow_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("buttons");
        QTest::addColumn<bool>("moves");
        QTest::newRow("left") << int(Qt::LeftButton) << int(Qt::LeftButton) << true;
        QTest::newRow("right") << int(Qt::RightButton) << int(Qt::RightButton) << false;
        QTest::newRow("left while right held") << int(Qt::LeftButton) << int(Qt::LeftButton | Qt::RightButton) << false;
    }

    void dragMovesWindow()
    {
        QFETCH(int, button);
        QFETCH(int, buttons);
        QFETCH(bool, moves);
        w->setGeometry(200, 150, 1000, 700);
        const QPoint start = w->pos();
        const QPoint grab = w->ui->widgetTitle->mapToGlobal(QPoint(30, 20));
        sendMouse(w, QEvent::MouseButtonPress, grab, Qt::MouseButton(button), Qt::MouseButtons(buttons));
        sendMouse(w, QEvent::MouseMove, grab + QPoint(40, 25), Qt::NoButton, Qt::MouseButtons(buttons));
        sendMouse(w, QEvent::MouseButtonRelease, grab + QPoint(40, 25), Qt::MouseButton(button), Qt::NoButton);
        QCOMPARE(w->pos(), moves ? start + QPoint(40, 25) : start);
    }

    // The offscreen platform refuses startSystemResize, as a platform without
    // interactive resizing does: the window then follows the pointer itself,
    // the opposite edge stays, and the minimum size holds.
    void edgeDragResizesWhereThePlatformCannot_data()
    {
        QTest::addColumn<QString>("edge");
        QTest::addColumn<QPoint>("delta");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("right wider") << "right" << QPoint(100, 0) << QRect(200, 150, 1100, 700);
        QTest::newRow("left narrower") << "left" << QPoint(80, 0) << QRect(280, 150, 920, 700);
        QTest::newRow("left past the minimum") << "left" << QPoint(600, 0) << QRect(600, 150, 600, 700);
        QTest::newRow("top-left corner out") << "topleft" << QPoint(-50, -40) << QRect(150, 110, 1050, 740);
        QTest::newRow("bottom past the minimum") << "bottom" << QPoint(0, -500) << QRect(200, 150, 1000, 400);
    }
    void edgeDragResizesWhereThePlatformCannot()
    {
        QFETCH(QString, edge);
        QFETCH(QPoint, delta);
        QFETCH(QRect, expected);
        w->setMinimumSize(600, 400);
        w->setGeometry(200, 150, 1000, 700);
        QTRY_COMPARE_WITH_TIMEOUT(w->geometry(), QRect(200, 150, 1000, 700), deadlineMs(5000));
        const QRect frame = w->frameGeometry();
        const QPoint grab = edge == "right" ? QPoint(frame.right() - 1, frame.center().y())
                          : edge == "left" ? QPoint(frame.left() + 1, frame.center().y())
                          : edge == "bottom" ? QPoint(frame.center().x(), frame.bottom() - 1)
                                             : frame.topLeft() + QPoint(1, 1);
        QWindow *handle = w->windowHandle();
        auto send = [handle](QEvent::Type type, const QPoint &global, Qt::MouseButton button, Qt::MouseButtons buttons) {
            QMouseEvent event(type, QPointF(global - handle->position()), QPointF(global), button, buttons, Qt::NoModifier);
            QGuiApplication::sendEvent(handle, &event);
        };
        send(QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
        send(QEvent::MouseMove, grab + delta / 2, Qt::NoButton, Qt::LeftButton);
        send(QEvent::MouseMove, grab + delta, Qt::NoButton, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, grab + delta, Qt::LeftButton, Qt::NoButton);
        QTRY_COMPARE_WITH_TIMEOUT(w->geometry(), expected, deadlineMs(5000));
        // Released: a later move resizes nothing.
        send(QEvent::MouseMove, grab + delta + QPoint(30, 30), Qt::NoButton, Qt::NoButton);
        QCOMPARE(w->geometry(), expected);
    }

    void dragOutOfMaximized()
    {
        w->setGeometry(200, 150, 800, 600);
        w->ui->widgetTitle->clickMaximize();
        QTRY_VERIFY_WITH_TIMEOUT(w->isMaximized(), deadlineMs(2000));
        const QRect maximized = w->geometry();
        const int frameX = w->frameGeometry().x();
        const QPoint grab(frameX + maximized.width() * 3 / 4, maximized.y() + 20);
        sendMouse(w, QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
        sendMouse(w, QEvent::MouseMove, grab + QPoint(0, 10), Qt::NoButton, Qt::LeftButton);
        sendMouse(w, QEvent::MouseButtonRelease, grab + QPoint(0, 10), Qt::LeftButton, Qt::NoButton);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isMaximized(), deadlineMs(2000));
        QCOMPARE(w->width(), 800);
        // Grabbed at 3/4 of the maximized width, still at 3/4 of the restored one.
        const int expectedOffset = (grab.x() - frameX) * 800 / maximized.width();
        QCOMPARE(grab.x() - w->x(), expectedOffset);
        QVERIFY(w->ui->widgetTitle->maximizeButton()->styleSheet().contains(QLatin1String("icon-max.png")));
    }
};

QTEST_MAIN(TestMainWindowShell)
#include "test_mainwindow_shell.moc"
