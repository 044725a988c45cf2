#include "gui/dialogs/formcustomizemessagebox.h"
#include "gui/widgets/roundedcorners.h"
#include "ui_formcustomizemessagebox.h"

#include <QTimer>

FormCustomizeMessagebox::FormCustomizeMessagebox(const QString &text, qint32 buttonMode,
                                                 bool countdown, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::FormCustomizeMessagebox)
    , text(text)
    , buttonMode(buttonMode)
    , countdown(countdown)
{
    ui->setupUi(this);
    // A window of its own even when given a parent: as a child widget it
    // would be drawn inside the main window, under the mask.
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    installRoundedCorners(this);

    ui->labeltext->setText(text);
    ui->labeltext->adjustSize();
    ui->labeltext->setWordWrap(true);

    ui->btnCancel->setVisible(buttonMode == 1);

    if (countdown) {
        ui->labelCountdown->show();
        remainingSeconds = 5;
        updateCountdownText(remainingSeconds);
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &FormCustomizeMessagebox::slotOnTimeout);
        timer->start(1000);
    } else {
        ui->labelCountdown->hide();
    }
    ui->btnOK->setFocus(Qt::OtherFocusReason);
}

FormCustomizeMessagebox::~FormCustomizeMessagebox()
{
    delete ui;
}

void FormCustomizeMessagebox::updateCountdownText(int seconds)
{
    ui->labelCountdown->setText(tr("The window will close automatically after %1 seconds.").arg(seconds));
}

void FormCustomizeMessagebox::stopCountdown()
{
    if (!timer)
        return;
    timer->stop();
    // The timer may be mid-emission (the last tick accepts the box).
    timer->deleteLater();
    timer = nullptr;
}

void FormCustomizeMessagebox::done(int result)
{
    stopCountdown();
    QDialog::done(result);
}

void FormCustomizeMessagebox::on_btnCancel_clicked()
{
    stopCountdown();
    close();
}

void FormCustomizeMessagebox::on_btnOK_clicked()
{
    stopCountdown();
    accept();
}

void FormCustomizeMessagebox::slotOnTimeout()
{
    updateCountdownText(remainingSeconds);
    if (remainingSeconds-- != 0)
        return;
    on_btnOK_clicked();
}
