#pragma once
// Offers the rescue upgrade of a camera that an interrupted upgrade left in an
// update state. Accepted (1) once a package has been unpacked into the
// firmware workspace, checked whole and found to be for the camera's family
// (or confirmed by the user when the camera does not tell it); a refused
// package is named in a message box and the dialog stays open. Cancel rejects (0).

#include "upgrade/updatechannel.h"

#include <QDialog>

namespace Ui {
class FormAbnormal;
}

class FormAbnormal : public QDialog {
    Q_OBJECT

public:
    explicit FormAbnormal(QWidget *parent = nullptr);
    ~FormAbnormal() override;

    // The drive the poller found; the package is checked against its family.
    // A drive this user cannot send firmware to is said so at once, with the fix.
    void setDrive(const lumora::upgrade::UpdateDriveInfo &drive);
    // After acceptance: the package's model and whether the user confirmed it
    // for a drive that does not tell its model.
    int packageModel() const { return m_packageModel; }
    bool familyConfirmed() const { return m_confirmed; }
    QString packageVersion() const { return m_packageVersion; }
    // The folder the file dialog starts in.
    void setStartFolder(const QString &folder) { m_startFolder = folder; }
    QString chosenFolder() const { return m_chosenFolder; }

private Q_SLOTS:
    void on_btnUpgrade_clicked();
    void on_btnCancel_clicked();

private:
    // Shows why a package was refused; the dialog stays open for another choice.
    void refuse(const QString &text);

    Ui::FormAbnormal *ui;
    lumora::upgrade::UpdateDriveInfo m_drive;
    int m_packageModel = -1;
    bool m_confirmed = false;
    QString m_packageVersion;
    QString m_startFolder;
    QString m_chosenFolder;
};
