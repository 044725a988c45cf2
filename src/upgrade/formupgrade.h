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

private Q_SLOTS:
    void on_btnCancel_clicked();
    void on_btnOK_clicked();

private:
    Ui::FormUpgrade *ui;
};
