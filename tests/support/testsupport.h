#pragma once
// Helpers shared by the test suites.

#include <QString>

// Message boxes (FormCustomizeMessagebox) run modally. To answer one, call
// answerNextMessageBox() just before the code that shows it: once the box is
// QApplication::activeModalWidget() it is answered with "btnOK" (ok = true)
// or "btnCancel" (ok = false). When shownText is given it receives the box's
// message. Gives up silently after timeoutMs; the box then stays open, so
// the test fails on its own deadline instead of hanging here.
void answerNextMessageBox(bool ok, QString *shownText = nullptr, int timeoutMs = 5000);
