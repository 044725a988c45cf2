#include "gui/widgets/titlebar.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>

namespace {

const char kRestoreLook[] =
    "QPushButton{border-image:url(:/qss/light/icon-normal.png)center no-repeat;}"
    "QPushButton:hover{border-image: url(:/qss/light/icon-normal-hover.png)center no-repeat;}"
    "QPushButton:pressed{border-image: url(:/qss/light/icon-normal-hover.png)center no-repeat;}";
const char kMaximizeLook[] =
    "QPushButton{border-image:url(:/qss/light/icon-max.png)center no-repeat;}"
    "QPushButton:hover{border-image: url(:/qss/light/icon-max-hover.png)center no-repeat;}"
    "QPushButton:pressed{border-image: url(:/qss/light/icon-max-hover.png)center no-repeat;}";

QPushButton *makeButton(QWidget *parent, const char *name, int iconSide)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setFixedSize(36, 36);
    button->setIconSize(QSize(iconSide, iconSide));
    button->setFlat(true);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

titleBar::titleBar(QWidget *parent)
    : QWidget(parent)
{
    setFixedHeight(45);
    m_btnModeLight = makeButton(this, "btnModeLight", 24);
    m_btnMinimize = makeButton(this, "btnMinimize", 36);
    m_btnMaximize = makeButton(this, "btnMaximize", 36);
    m_btnCloseWindow = makeButton(this, "btnCloseWindow", 36);
    m_btnModeLight->setToolTip(tr("Switch theme"));
    m_btnMinimize->setToolTip(tr("Minimize"));
    m_btnMaximize->setToolTip(tr("Maximize"));
    m_btnCloseWindow->setToolTip(tr("Close"));

    auto *layout = new QHBoxLayout(this);
    layout->setSpacing(0);
    layout->addStretch();
    for (QPushButton *button : {m_btnModeLight, m_btnMinimize, m_btnMaximize, m_btnCloseWindow})
        layout->addWidget(button);

    for (QPushButton *button : {m_btnMinimize, m_btnMaximize, m_btnCloseWindow})
        connect(button, &QPushButton::clicked, this, &titleBar::onClicked);
}

titleBar::~titleBar() = default;

void titleBar::onClicked()
{
    auto *button = qobject_cast<QPushButton *>(sender());
    QWidget *window = this->window();
    if (!button || !window->isWindow())
        return;
    if (button == m_btnMinimize) {
        window->showMinimized();
    } else if (button == m_btnMaximize) {
        if (window->isMaximized())
            window->showNormal();
        else
            window->showMaximized();
        updateMaximizeButton(window->isMaximized());
    } else if (button == m_btnCloseWindow) {
        window->close();
    }
}

void titleBar::mouseDoubleClickEvent(QMouseEvent *event)
{
    Q_EMIT m_btnMaximize->clicked(false);
    QWidget::mouseDoubleClickEvent(event);
}

void titleBar::updateMaximizeButton(bool maximized)
{
    m_btnMaximize->setStyleSheet(QLatin1String(maximized ? kRestoreLook : kMaximizeLook));
    m_btnMaximize->setToolTip(maximized ? tr("Restore") : tr("Maximize"));
}

void titleBar::clickMaximize()
{
    m_btnMaximize->click();
}
