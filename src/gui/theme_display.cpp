#include "gui/theme_display.h"

DisplayPlan chooseDisplayPlan(double scale, int physicalWidth, int physicalHeight, const QSize &screenSize)
{
    if (scale > 1.25) {
        const bool fitsScaled = (scale == 1.5 && physicalWidth >= 2048 && physicalWidth < 3840)
            || (physicalWidth >= 3840 && scale >= 2.0);
        if (fitsScaled)
            return {"DISPLAY_MODE_1", QSize(1280, 720), QSize(), false, false};
        return {"DISPLAY_MODE_2", screenSize, screenSize, true, false};
    }
    if (physicalWidth >= 1440)
        return {"DISPLAY_MODE_5", QSize(1330, 777), QSize(1440, 772), false, true};
    if (physicalHeight >= 772) {
        const QSize strip(screenSize.width(), 772);
        return {"DISPLAY_MODE_3", strip, strip, false, true};
    }
    return {"DISPLAY_MODE_4", screenSize, screenSize, true, false};
}
