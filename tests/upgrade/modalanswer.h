#pragma once
// Answers modal dialogs the code under test runs: each call arms a poll that
// acts once on the first active modal widget it matches, or gives up after
// its deadline so the test fails on its own wait instead of hanging.

#include "support/testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <functional>

namespace upgradetest {

inline void onNextModal(std::function<bool(QWidget *)> matches, std::function<void(QWidget *)> act,
                        int timeoutMs = 30000)
{
    auto *poll = new QTimer(qApp);
    const QDeadlineTimer deadline(deadlineMs(timeoutMs));
    QObject::connect(poll, &QTimer::timeout, poll, [poll, matches, act, deadline] {
        QWidget *modal = QApplication::activeModalWidget();
        const bool found = modal && modal->isVisible() && matches(modal);
        if (!found && !deadline.hasExpired())
            return;
        poll->stop();
        poll->deleteLater();
        if (found)
            act(modal);
    });
    poll->start(20);
}

// Picks `path` in the next file dialog, typed into its file name field as a
// user would; an empty path cancels it.
inline void answerNextFileDialog(const QString &path)
{
    onNextModal([](QWidget *w) { return qobject_cast<QFileDialog *>(w) != nullptr; },
                [path](QWidget *w) {
                    auto *dialog = static_cast<QFileDialog *>(w);
                    if (path.isEmpty()) {
                        dialog->reject();
                        return;
                    }
                    dialog->findChild<QLineEdit *>("fileNameEdit")->setText(path);
                    QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
                });
}

// Clicks `button` of the next modal dialog named `dialog`, after `inspect` has looked at it.
inline void clickInNextModal(const QString &dialog, const QString &button,
                             std::function<void(QWidget *)> inspect = {}, int timeoutMs = 30000)
{
    onNextModal([dialog](QWidget *w) { return w->objectName() == dialog; },
                [button, inspect](QWidget *w) {
                    if (inspect)
                        inspect(w);
                    QMetaObject::invokeMethod(w->findChild<QAbstractButton *>(button), "click", Qt::QueuedConnection);
                },
                timeoutMs);
}

} // namespace upgradetest
