#include "gui/dialogs/formprompt.h"
#include "gui/widgets/roundedcorners.h"
#include "ui_formprompt.h"

#include <QTextDocument>
#include <QtMath>

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
    fitHeightToText();
}

void FormPrompt::fitHeightToText()
{
    // The help texts run to several lines: grow rather than scroll.
    layout()->activate();
    QTextEdit *edit = ui->textEditContent;
    QTextDocument *document = edit->document();
    document->setTextWidth(edit->viewport()->width());
    const int chrome = edit->height() - edit->viewport()->height();
    const int editHeight = qCeil(document->size().height()) + chrome;
    resize(width(), height() - edit->height() + editHeight);
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
