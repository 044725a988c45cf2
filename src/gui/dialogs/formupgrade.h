#pragma once
// Asks the user to confirm an upgrade before it starts: OK accepts (1),
// Cancel rejects (0).

#include <QDialog>

namespace Ui {
class FormUpgrade;
}

class FormUpgrade : public QDialog {
    Q_OBJECT

public:
    explicit FormUpgrade(QWidget *parent = nullptr);
    ~FormUpgrade() override;

    // What is about to happen, below the warning: the camera and its firmware,
    // the package's model and firmware, and a warning when the package's
    // firmware is not newer. Empty texts are left out.
    void setDetails(const QString &camera, const QString &cameraVersion, const QString &packageModel,
                    const QString &packageVersion);
    // One more paragraph below the details.
    void addNote(const QString &text);
    QString prompt() const;

private Q_SLOTS:
    void on_btnCancel_clicked();
    void on_btnOK_clicked();

private:
    Ui::FormUpgrade *ui;
};
