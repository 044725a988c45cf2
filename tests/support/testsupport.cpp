#include "support/testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPointer>
#include <QTimer>

void answerNextMessageBox(bool ok, QString *shownText, int timeoutMs)
{
    auto *poll = new QTimer(qApp);
    const QDeadlineTimer deadline(timeoutMs);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, ok, shownText, deadline] {
        QWidget *box = QApplication::activeModalWidget();
        if (box && box->objectName() == QLatin1String("FormCustomizeMessagebox") && box->isVisible()) {
            if (shownText)
                *shownText = box->findChild<QLabel *>(QStringLiteral("labeltext"))->text();
            const char *name = ok ? "btnOK" : "btnCancel";
            box->findChild<QAbstractButton *>(QLatin1String(name))->click();
        } else if (!deadline.hasExpired()) {
            return;
        }
        poll->stop();
        poll->deleteLater();
    });
    poll->start(10);
}
