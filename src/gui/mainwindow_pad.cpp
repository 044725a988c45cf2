// The look of the pan/tilt pad: arrow images per theme, cursors, and whether
// the pad is usable (only while zoomed in).

#include "gui/mainwindow.h"
#include "gui/mainwindow_form.h"

#include <QDebug>

using lumora::camera::kNoZoom;
using lumora::camera::kPadLimit;

namespace {

QString arrowStyle(bool dark, const char *direction, bool disabled)
{
    const QString file = disabled ? QStringLiteral("icon-arrow-%1-disable.png")
                                  : dark ? QStringLiteral("icon-arrow-%1-dark.png") : QStringLiteral("icon-arrow-%1.png");
    return QStringLiteral("border-image:url(:/qss/%1/%2) center no-repeat;")
        .arg(dark ? QStringLiteral("dark") : QStringLiteral("light"), file.arg(QLatin1String(direction)));
}

void setArrow(QWidget *button, bool dark, const char *direction, bool disabled)
{
    button->setStyleSheet(arrowStyle(dark, direction, disabled));
    button->setCursor(disabled ? Qt::ForbiddenCursor : Qt::ArrowCursor);
}

// `low` points towards -30, `high` towards +30.
void setArrowPair(QWidget *low, const char *lowDir, QWidget *high, const char *highDir, bool dark, int value)
{
    setArrow(low, dark, lowDir, value <= -kPadLimit);
    setArrow(high, dark, highDir, value >= kPadLimit);
}

} // namespace

void MainWindow::updatePanArrows(int pan)
{
    setArrowPair(ui->btnCameraLeft, "left", ui->btnCameraRight, "right", m_isDarkTheme, pan);
}

void MainWindow::updateTiltArrows(int tilt)
{
    setArrowPair(ui->btnCameraDown, "down", ui->btnCameraUp, "up", m_isDarkTheme, tilt);
}

void MainWindow::updatePadEnabled(bool enable, int zoom)
{
    m_bControlsEnable = enable && zoom > kNoZoom;
    qDebug() << "m_bControlsEnable:" << m_bControlsEnable;
    if (m_bControlsEnable) {
        ui->widgetDirectionBg->setCursor(Qt::ArrowCursor);
        updatePanArrows(controls().pan);
        updateTiltArrows(controls().tilt);
    } else {
        setYuntaiDisabledStyle();
    }
    QWidget *const arrows[] = {ui->btnCameraUp, ui->btnCameraDown, ui->btnCameraLeft, ui->btnCameraRight};
    for (QWidget *arrow : arrows)
        arrow->setEnabled(m_bControlsEnable);
}

void MainWindow::setYuntaiDisabledStyle()
{
    ui->widgetDirectionBg->setCursor(Qt::ForbiddenCursor);
    const std::pair<QWidget *, const char *> arrows[] = {
        {ui->btnCameraUp, "up"}, {ui->btnCameraDown, "down"}, {ui->btnCameraLeft, "left"}, {ui->btnCameraRight, "right"}};
    for (const auto &[button, direction] : arrows)
        button->setStyleSheet(arrowStyle(m_isDarkTheme, direction, true));
}
