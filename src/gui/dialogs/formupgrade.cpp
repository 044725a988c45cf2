#include "gui/dialogs/formupgrade.h"
#include "ui_formupgrade.h"

#include "gui/widgets/roundedcorners.h"
#include "upgrade/upgradetarget.h"

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

void FormUpgrade::setDetails(const QString &camera, const QString &cameraVersion, const QString &packageModel,
                             const QString &packageVersion)
{
    QStringList lines;
    if (!camera.isEmpty())
        lines << tr("Camera: %1, firmware V%2").arg(camera.toHtmlEscaped(),
                                                    cameraVersion.isEmpty() ? tr("unknown") : cameraVersion.toHtmlEscaped());
    lines << (packageVersion.isEmpty() ? tr("Package: %1").arg(packageModel.toHtmlEscaped())
                                       : tr("Package: %1, firmware V%2").arg(packageModel.toHtmlEscaped(), packageVersion.toHtmlEscaped()));
    const int order = lumora::upgrade::compareVersions(packageVersion, cameraVersion);
    if (!packageVersion.isEmpty() && !cameraVersion.isEmpty() && order == 0)
        lines << tr("<b>The camera already has this firmware version.</b>");
    else if (order < 0)
        lines << tr("<b>The package's firmware is older than the camera's.</b>");
    ui->textEditPrompt->append(lines.join("<br>"));
}

void FormUpgrade::addNote(const QString &text) { ui->textEditPrompt->append(text.toHtmlEscaped()); }

QString FormUpgrade::prompt() const { return ui->textEditPrompt->toPlainText(); }

void FormUpgrade::on_btnCancel_clicked() { reject(); }

void FormUpgrade::on_btnOK_clicked() { accept(); }
