#pragma once
// The help bubble: a small read-only text with a close button, drawn inside
// the main window next to the pointer.

#include <QWidget>

namespace Ui {
class FormPrompt;
}

class FormPrompt : public QWidget {
    Q_OBJECT

public:
    explicit FormPrompt(QWidget *parent);
    ~FormPrompt() override;

    void setPromptText(const QString &text);
    QString promptText() const;

private Q_SLOTS:
    void on_btnClose_clicked();

private:
    void fitHeightToText();

    Ui::FormPrompt *ui;
};
