#pragma once
// Rounded corners for the frameless dialogs: every resize re-cuts the window
// mask to the full rectangle with its four corners rounded. One helper serves
// every dialog class (message box, prompt, upgrade and abnormal dialogs).

#include <QBitmap>
#include <QSize>

class QWidget;

constexpr int kDialogCornerRadius = 10;

// One-bit mask of the given size, set (visible) inside the rounded rectangle.
QBitmap roundedWindowMask(const QSize &size, int radius = kDialogCornerRadius);

// Applies the mask now and again after every resize of the widget.
void installRoundedCorners(QWidget *widget, int radius = kDialogCornerRadius);
