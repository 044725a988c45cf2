#pragma once
// Helpers shared by the test suites.

#include <QString>

class QWidget;

// A test's deadline: `ms` is a generous multiple of the worst case on a quiet
// machine, stretched by LUMORA_TEST_TIME_FACTOR, which a stage sets for what
// runs slower there (sanitizers, a loaded machine). Every rig's wait goes through it.
int deadlineMs(int ms);

// Message boxes (FormCustomizeMessagebox) run modally. To answer one, call
// answerNextMessageBox() just before the code that shows it: once the box is
// QApplication::activeModalWidget() it is answered with "btnOK" (ok = true)
// or "btnCancel" (ok = false). When shownText is given it receives the box's
// message. A modal still open after timeoutMs (the answered box, or another
// one while none came to answer) fails the test and is closed, so its exec()
// returns and the test ends at once instead of hanging until CTest's limit.
void answerNextMessageBox(bool ok, QString *shownText = nullptr, int timeoutMs = 5000);
// Fails the running test, saying why, and closes the modal.
void closeStuckModal(QWidget *modal, const QString &why);
