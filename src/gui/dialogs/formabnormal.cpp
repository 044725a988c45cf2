#include "gui/dialogs/formabnormal.h"
#include "ui_formabnormal.h"

#include "core/catalogue.h"
#include "gui/dialogs/formcustomizemessagebox.h"
#include "gui/widgets/roundedcorners.h"
#include "upgrade/firmwarepackage.h"
#include "upgrade/firmwareworkspace.h"
#include "upgrade/upgradetarget.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>

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

void FormAbnormal::setDrive(const UpdateDriveInfo &drive)
{
    m_drive = drive;
    if (drive.accessProblem.isEmpty())
        return;
    ui->labelPrompt->setText(tr("<h3>Unknown Exception Detected</h3>\r\n") + "<p style='white-space:pre-wrap'>"
                             + drive.accessProblem.toHtmlEscaped() + "</p>");
    ui->labelPrompt->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ui->labelPrompt->adjustSize();
}

void FormAbnormal::refuse(const QString &text)
{
    FormCustomizeMessagebox box(text);
    box.setFixedSize(450, 180);
    box.move(x() + (width() - box.width()) / 2, y() + (height() - box.height()) / 2);
    box.exec();
}

void FormAbnormal::on_btnUpgrade_clicked()
{
    qInfo().noquote() << "app dir:" << QCoreApplication::applicationDirPath();
    const QString path = QFileDialog::getOpenFileName(this, tr("Open File"), m_startFolder, tr("Upgrade File(*.zip)"));
    if (path.isEmpty())
        return;
    m_chosenFolder = QFileInfo(path).absolutePath();
    const QString workspace = firmwareWorkspace();
    const PackageCheck check = checkPackage(path, workspace);
    const QString reason = check.reason.isEmpty() ? QString() : "<br>" + check.reason.toHtmlEscaped();
    if (check.verdict == PackageCheck::BadFormat) {
        refuse(tr("<h3>Unable to Upgrade</h3>\r\nThe format of firmware file is not correct.") + reason);
        return;
    }
    if (check.verdict == PackageCheck::Corrupted) {
        refuse(tr("<h3>Unable to Upgrade</h3>\r\nThe firmware file is corrupted.") + reason);
        return;
    }
    qDebug() << "firmware file model:" << check.model;
    QString family;
    const FamilyMatch match = matchRescueFamily(m_drive, check.model, &family);
    const QString packageModel = modelDisplayName(check.model);
    if (match == FamilyMatch::Other) {
        clearWorkspace(workspace);
        refuse(tr("<h3>Unable to Upgrade</h3>\r\nThe upgrade version does not match this device.") + "<br>"
               + tr("The camera is a %1; the package is for the %2.").arg(family.toHtmlEscaped(), packageModel.toHtmlEscaped()));
        return;
    }
    m_confirmed = false;
    if (match == FamilyMatch::Unknown) {
        FormCustomizeMessagebox confirm(tr("<h3>Unknown Camera Model</h3>\r\nThe camera in its update state does not "
                                           "tell its model. Flash it with the package for the <b>%1</b> only if it "
                                           "is one.").arg(packageModel.toHtmlEscaped()),
                                        1);
        confirm.setFixedSize(450, 180);
        confirm.move(x() + (width() - confirm.width()) / 2, y() + (height() - confirm.height()) / 2);
        if (confirm.exec() != QDialog::Accepted) {
            clearWorkspace(workspace);
            return;
        }
        m_confirmed = true;
    }
    m_packageModel = check.model;
    m_packageVersion = check.version;
    accept();
}

void FormAbnormal::on_btnCancel_clicked() { reject(); }
