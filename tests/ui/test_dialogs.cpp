// Message box, help bubble, dimming mask and rounded dialog corners.

#include "support/testsupport.h"
#include "gui/dialogs/formcustomizemessagebox.h"
#include "gui/dialogs/formprompt.h"
#include "gui/widgets/maskwidget.h"
#include "gui/widgets/roundedcorners.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

QString countdownText(QWidget *box)
{
    return box->findChild<QLabel *>(QStringLiteral("labelCountdown"))->text();
}

QString sentence(int seconds)
{
    return QStringLiteral("The window will close automatically after %1 seconds.").arg(seconds);
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void buttonMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("cancelShown");
        QTest::newRow("0") << 0 << false;
        QTest::newRow("1") << 1 << true;
        QTest::newRow("2") << 2 << false;
        QTest::newRow("-1") << -1 << false;
    }

    void buttonMode()
    {
        QFETCH(int, mode);
        QFETCH(bool, cancelShown);
        FormCustomizeMessagebox box(QStringLiteral("<h3>Title</h3>Text"), mode, false);
        box.show();
        QCOMPARE(box.findChild<QAbstractButton *>(QStringLiteral("btnCancel"))->isVisible(), cancelShown);
        QVERIFY(box.findChild<QAbstractButton *>(QStringLiteral("btnOK"))->isVisible());
        QVERIFY(!box.findChild<QLabel *>(QStringLiteral("labelCountdown"))->isVisible());
        QCOMPARE(box.size(), QSize(450, 225));
        QVERIFY(box.windowFlags() & Qt::FramelessWindowHint);
    }

    void countdownExpiresAsOk()
    {
        FormCustomizeMessagebox box(QStringLiteral("Restarting"), 0, true);
        QStringList seen{countdownText(&box)};
        auto *timer = box.findChild<QTimer *>();
        QVERIFY(timer);
        QCOMPARE(timer->interval(), 1000);
        connect(timer, &QTimer::timeout, this, [&] { seen << countdownText(&box); });
        QTimer::singleShot(10000, &box, [&] { box.done(-1); }); // safety net only
        QCOMPARE(box.exec(), 1);
        QCOMPARE(seen, (QStringList{sentence(5), sentence(5), sentence(4), sentence(3), sentence(2), sentence(1),
                                    sentence(0)}));
    }

    // How a box with a running countdown is answered, and what the run returns.
    void answers_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("result");
        QTest::newRow("OK") << "ok" << 1;
        QTest::newRow("Cancel") << "cancel" << 0;
        QTest::newRow("Escape") << "escape" << 0;
        QTest::newRow("window closed") << "close" << 0;
    }

    void answers()
    {
        QFETCH(QString, how);
        QFETCH(int, result);
        FormCustomizeMessagebox box(QStringLiteral("Sure?"), 1, true);
        box.setAttribute(Qt::WA_ShowModal, true);
        QPointer<QTimer> timer = box.findChild<QTimer *>();
        QTimer::singleShot(0, &box, [&] {
            if (how == QLatin1String("ok") || how == QLatin1String("cancel"))
                answerNextMessageBox(how == QLatin1String("ok"));
            else if (how == QLatin1String("escape"))
                QTest::keyClick(&box, Qt::Key_Escape);
            else
                box.close();
        });
        QCOMPARE(box.exec(), result);
        // The countdown is gone at once: no tick follows the answer.
        QCOMPARE(countdownText(&box), sentence(5));
        QTRY_VERIFY_WITH_TIMEOUT(timer.isNull() || !timer->isActive(), deadlineMs(1000));
    }

    void answerHelperReadsTheMessage()
    {
        FormCustomizeMessagebox box(QStringLiteral("The setting has timed out, please try again."));
        QString shown;
        answerNextMessageBox(true, &shown);
        QCOMPARE(box.exec(), 1);
        QCOMPARE(shown, QStringLiteral("The setting has timed out, please try again."));
    }

    void roundedCorners_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("message box") << QSize(450, 180);
        QTest::newRow("prompt") << QSize(205, 109);
        QTest::newRow("larger") << QSize(640, 360);
    }

    void roundedCorners()
    {
        QFETCH(QSize, size);
        FormCustomizeMessagebox box(QStringLiteral("x"));
        FormPrompt prompt(nullptr);
        for (QWidget *widget : std::initializer_list<QWidget *>{&box, &prompt}) {
            widget->setMinimumSize(0, 0);
            widget->show();
            widget->resize(size);
            const QRegion mask = widget->mask();
            const int w = size.width(), h = size.height();
            for (const QPoint corner : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1)})
                QVERIFY2(!mask.contains(corner), qPrintable(widget->objectName()));
            for (const QPoint inside : {QPoint(w / 2, 0), QPoint(0, h / 2), QPoint(10, 10), QPoint(w - 11, h - 11)})
                QVERIFY2(mask.contains(inside), qPrintable(widget->objectName()));
        }
    }

    void maskFollowsNamedDialogs_data()
    {
        QTest::addColumn<QString>("dialogName");
        QTest::addColumn<bool>("masked");
        QTest::newRow("FormUpgrade") << "FormUpgrade" << true;
        QTest::newRow("FormAbnormal") << "FormAbnormal" << true;
        QTest::newRow("FormCustomizeMessagebox") << "FormCustomizeMessagebox" << true;
        QTest::newRow("FormPrompt") << "FormPrompt" << false;
        QTest::newRow("case differs") << "formupgrade" << false;
    }

    void maskFollowsNamedDialogs()
    {
        QFETCH(QString, dialogName);
        QFETCH(bool, masked);
        QWidget main;
        main.setObjectName(QStringLiteral("MainWindow"));
        main.setGeometry(120, 80, 800, 500);
        auto *button = new QPushButton(QStringLiteral("under the mask"), &main);
        main.show();
        MaskWidget *mask = MaskWidget::instance();
        QCOMPARE(MaskWidget::instance(), mask);
        mask->setMainWidget(&main);
        mask->setDialogNames({QStringLiteral("FormUpgrade"), QStringLiteral("FormAbnormal"),
                              QStringLiteral("FormCustomizeMessagebox")});
        // Part of the window, not a window of its own: it needs no compositor.
        QCOMPARE(mask->parentWidget(), &main);
        QVERIFY(!mask->isWindow());

        QWidget dialog;
        dialog.setObjectName(dialogName);
        dialog.show();
        QCOMPARE(mask->isVisible(), masked);
        if (masked) {
            QCOMPARE(mask->geometry(), main.rect());
            QCOMPARE(main.childAt(button->geometry().center()), mask);
            // 70 % black over whatever the window shows.
            const QImage dimmed = main.grab().toImage();
            const QColor pixel = dimmed.pixelColor(dimmed.width() - 2, dimmed.height() - 2);
            const QColor under = main.palette().color(QPalette::Window);
            QVERIFY2(qAbs(pixel.red() - qRound(under.red() * 0.3)) <= 2, qPrintable(pixel.name()));
            // A window resized under the dialog stays covered.
            main.resize(900, 600);
            QCOMPARE(mask->geometry(), main.rect());
        }
        dialog.hide();
        QVERIFY(!mask->isVisible());
    }

    // The mask goes with its window; the next window gets a new one.
    void maskGoesWithItsWindow()
    {
        QPointer<MaskWidget> mask;
        {
            QWidget main;
            mask = MaskWidget::instance();
            mask->setMainWidget(&main);
        }
        QVERIFY(mask.isNull());
        QWidget next;
        MaskWidget::instance()->setMainWidget(&next);
        QCOMPARE(MaskWidget::instance()->parentWidget(), &next);
    }
};

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
