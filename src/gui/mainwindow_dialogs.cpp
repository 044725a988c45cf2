// Message boxes and help bubbles shown by the main window.

#include "gui/dialogs/formcustomizemessagebox.h"
#include "gui/dialogs/formprompt.h"
#include "gui/mainwindow.h"

#include <QCursor>

void MainWindow::showMessageBox(const QString &text, bool countdown)
{
    FormCustomizeMessagebox box(text, 0, countdown);
    box.setFixedSize(450, 180);
    runMessageBox(box);
}

int MainWindow::runMessageBox(FormCustomizeMessagebox &box)
{
    box.move(x() + (width() - box.width()) / 2, y() + (height() - box.height()) / 2);
    box.setAttribute(Qt::WA_ShowModal, true);
    return box.exec();
}

void MainWindow::showPromptAtCursor(const QString &text)
{
    if (!m_prompt)
        m_prompt = new FormPrompt(this);
    if (!m_prompt->isVisible())
        m_prompt->show();
    if (!text.isEmpty())
        m_prompt->setPromptText(text);
    const QPoint pointer = mapFromGlobal(QCursor::pos());
    m_prompt->move(pointer.x() - m_prompt->width() / 2, pointer.y() - m_prompt->height());
    m_prompt->raise();
}

void MainWindow::on_btnAutoFramingPrompt_clicked()
{
    // A bubble without text would be empty on first use: this button has one.
    showPromptAtCursor(tr("Auto Framing keeps everyone in the picture; Presenter Tracking follows the person who is speaking."));
}

void MainWindow::on_btnFlickerPrompt_clicked()
{
    showPromptAtCursor(tr("To avoid video flicker, you can select the appropriate powerline frequency according to your region."));
}

void MainWindow::on_btnHDRPrompt_clicked()
{
    showPromptAtCursor(tr("When enable HDR, the max resolution is 1080P 30fps."));
}

void MainWindow::on_btnMicEnablePrompt_clicked()
{
    showPromptAtCursor(tr("When disabled, you will not find this device\u2019s microphone on your computer\u2019s audio input device list."));
}
