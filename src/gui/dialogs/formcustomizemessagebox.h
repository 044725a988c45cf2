#pragma once
// The application's message box: frameless, rich-text message, "OK" and an
// optional "Cancel", optional five-second auto-close countdown. A modal run
// returns 1 for OK or an expired countdown, 0 for Cancel, Escape or a close.
//
// Tests find an open box through QApplication::activeModalWidget() (object
// name "FormCustomizeMessagebox") and answer it with its buttons "btnOK" and
// "btnCancel"; tests/support has answerNextMessageBox() for that.

#include <QDialog>

class QTimer;

namespace Ui {
class FormCustomizeMessagebox;
}

class FormCustomizeMessagebox : public QDialog {
    Q_OBJECT

public:
    explicit FormCustomizeMessagebox(const QString &text, qint32 buttonMode = 0,
                                     bool countdown = false, QWidget *parent = nullptr);
    ~FormCustomizeMessagebox() override;

    void updateCountdownText(int seconds);

    // Every way of closing (OK, Cancel, Escape, the window manager) ends the
    // countdown, so a closed box never ticks on.
    void done(int result) override;

private Q_SLOTS:
    void on_btnCancel_clicked();
    void on_btnOK_clicked();
    void slotOnTimeout();

private:
    void stopCountdown();

    Ui::FormCustomizeMessagebox *ui;
    QString text;
    qint32 buttonMode;
    bool countdown;
    QTimer *timer = nullptr;
    qint32 remainingSeconds = 5;
};
