#include "upgrade/formupgrade.h"
#include "ui_formupgrade.h"

#include "ui/roundedcorners.h"

FormUpgrade::FormUpgrade(QWidget *parent) : QDialog(parent), ui(new Ui::FormUpgrade)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    installRoundedCorners(this);
    ui->textEditPrompt->setText(
        tr("<h3>Get Ready to Upgrade</h3>Make sure your device is not being used by another application before "
           "upgrading. <br><br>This process may take several minutes. <br><br><b>Do not disconnect your device</b> "
           "during the upgrade process."));
    ui->btnOK->setFocus();
}

FormUpgrade::~FormUpgrade() { delete ui; }

void FormUpgrade::on_btnCancel_clicked() { reject(); }

void FormUpgrade::on_btnOK_clicked() { accept(); }
