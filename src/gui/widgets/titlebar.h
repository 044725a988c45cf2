#pragma once
// The window's own title bar: theme, minimize, maximize and close buttons at
// the right end of a 45-px strip. The theme button reaches the main window
// through its by-name slot connection (on_btnModeLight_clicked).

#include <QWidget>

class QPushButton;

class titleBar : public QWidget {
    Q_OBJECT

public:
    explicit titleBar(QWidget *parent = nullptr);
    ~titleBar() override;

    void updateMaximizeButton(bool maximized);
    void clickMaximize();

    QPushButton *maximizeButton() const { return m_btnMaximize; }

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private Q_SLOTS:
    void onClicked();

private:
    QPushButton *m_btnModeLight = nullptr;
    QPushButton *m_btnMinimize = nullptr;
    QPushButton *m_btnMaximize = nullptr;
    QPushButton *m_btnCloseWindow = nullptr;
};
