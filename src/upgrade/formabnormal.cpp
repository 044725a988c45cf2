#include "upgrade/formabnormal.h"
#include "ui_formabnormal.h"

#include "ui/roundedcorners.h"
#include "upgrade/firmwarepackage.h"
#include "upgrade/firmwareworkspace.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileDialog>

using namespace lumora::upgrade;

FormAbnormal::FormAbnormal(QWidget *parent) : QDialog(parent), ui(new Ui::FormAbnormal)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    installRoundedCorners(this);
    ui->labelPrompt->setOpenExternalLinks(true);
    ui->labelPrompt->setText(tr("<h3>Unknown Exception Detected</h3>\r\nUpgrade was interrupted by an unknown "
                                "exception, please try again."));
    ui->labelPrompt->adjustSize();
    ui->labelPrompt->setWordWrap(true);
    ui->btnUpgrade->setFocus();
}

FormAbnormal::~FormAbnormal() { delete ui; }

void FormAbnormal::on_btnUpgrade_clicked()
{
    qInfo().noquote() << "app dir:" << QCoreApplication::applicationDirPath();
    const QString path = QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Upgrade File(*.zip)"));
    if (path.isEmpty())
        return;
    const QString workspace = firmwareWorkspace();
    // A package with a wrong layout is passed over: the user may pick another.
    if (!unpackPackage(path, workspace))
        return;
    int model = -1;
    if (readPackageModel(workspace, &model))
        qDebug() << "firmware file model:" << model;
    accept();
}

void FormAbnormal::on_btnCancel_clicked() { reject(); }
