#include "support/testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <utility>

namespace {

QString runningTest()
{
    return QStringLiteral("%1/%2").arg(QLatin1String(QTest::currentTestFunction()), QLatin1String(QTest::currentDataTag()));
}

} // namespace

int deadlineMs(int ms)
{
    static const double factor = [] {
        bool ok = false;
        const double value = qEnvironmentVariable("LUMORA_TEST_TIME_FACTOR").toDouble(&ok);
        return ok && value >= 1 ? value : 1.0;
    }();
    return int(ms * factor);
}

void closeStuckModal(QWidget *modal, const QString &why)
{
    const QLabel *text = modal->findChild<QLabel *>(QStringLiteral("labeltext"));
    const QString message = QStringLiteral("%1: modal %2 \"%3\" is still open; closed so the test ends")
                                .arg(why, modal->objectName(), text ? text->text() : QString());
    QTest::qFail(qPrintable(message), __FILE__, __LINE__);
    if (auto *dialog = qobject_cast<QDialog *>(modal))
        dialog->QDialog::done(QDialog::Rejected);
    modal->hide(); // ends the dialog's exec() even when its own done() is broken
}

void answerNextMessageBox(bool ok, QString *shownText, int timeoutMs)
{
    auto *poll = new QTimer(qApp);
    const QDeadlineTimer deadline(deadlineMs(timeoutMs));
    // The box answered (gone once it is destroyed), and whether one was.
    auto answered = std::make_shared<std::pair<QPointer<QWidget>, bool>>();
    // A poll outliving the test that armed it leaves later tests' dialogs alone.
    const QString armedIn = runningTest();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, ok, shownText, deadline, answered, timeoutMs, armedIn] {
        QWidget *box = QApplication::activeModalWidget();
        const bool isBox = box && box->objectName() == QLatin1String("FormCustomizeMessagebox") && box->isVisible();
        if (!answered->second && isBox) {
            if (shownText)
                *shownText = box->findChild<QLabel *>(QStringLiteral("labeltext"))->text();
            *answered = {box, true};
            const char *name = ok ? "btnOK" : "btnCancel";
            box->findChild<QAbstractButton *>(QLatin1String(name))->click();
        }
        // Answered: watch it close. Unanswered: wait for it. Either until the deadline.
        QWidget *stuck = answered->first;
        const bool done = answered->second && (!stuck || !stuck->isVisible());
        if (!done && !deadline.hasExpired())
            return;
        poll->stop();
        poll->deleteLater();
        if (done || runningTest() != armedIn)
            return;
        if (answered->second)
            closeStuckModal(stuck, QStringLiteral("the message box did not close when answered"));
        else if (box && box->isVisible())
            closeStuckModal(box, QStringLiteral("no message box to answer within %1 ms").arg(timeoutMs));
    });
    poll->start(10);
}
