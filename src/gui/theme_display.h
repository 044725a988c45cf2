#pragma once
// Start-up window sizing: which of the five display modes a screen calls for.

#include <QSize>

struct DisplayPlan {
    const char *name;            // logged as is, e.g. "DISPLAY_MODE_5"
    QSize minimumSize;
    QSize size;                  // invalid: keep the form's size
    bool maximize;
    bool scrollBarAlwaysOff;     // vertical scroll bar of the control page
};

// `scale` is device pixels per logical pixel; the physical sizes are in device
// pixels, `screenSize` is the logical size of the window's screen.
DisplayPlan chooseDisplayPlan(double scale, int physicalWidth, int physicalHeight, const QSize &screenSize);
