#include "ui/formprompt.h"
#include "ui/roundedcorners.h"
#include "ui_formprompt.h"

FormPrompt::FormPrompt(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::FormPrompt)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setStyleSheet(QStringLiteral("QWidget{background-color: #DCDCDC;}"));
    installRoundedCorners(this);
}

FormPrompt::~FormPrompt()
{
    delete ui;
}

void FormPrompt::setPromptText(const QString &text)
{
    ui->textEditContent->setText(text);
}

QString FormPrompt::promptText() const
{
    return ui->textEditContent->toPlainText();
}

void FormPrompt::on_btnClose_clicked()
{
    if (isVisible())
        hide();
}
