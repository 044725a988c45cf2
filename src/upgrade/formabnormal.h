#pragma once
// Offers the rescue upgrade of a camera that an interrupted upgrade left in an
// update state. Accepted (1) once a package with a complete layout has been
// unpacked into the firmware workspace; Cancel rejects (0).

#include <QDialog>

namespace Ui {
class FormAbnormal;
}

class FormAbnormal : public QDialog {
    Q_OBJECT

public:
    explicit FormAbnormal(QWidget *parent = nullptr);
    ~FormAbnormal() override;

private Q_SLOTS:
    void on_btnUpgrade_clicked();
    void on_btnCancel_clicked();

private:
    Ui::FormAbnormal *ui;
};
