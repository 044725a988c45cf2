#include "control/cameraparameters.h"

int g_pan = 0, g_tilt = 0, g_zoom = 0, g_focus = 0;
int g_brightness = 0, g_contrast = 0, g_hue = 0, g_saturation = 0, g_sharpness = 0;
int g_focusFlags = 0;

ParameterRange g_panRange, g_tiltRange, g_zoomRange, g_focusRange;
ParameterRange g_brightnessRange, g_contrastRange, g_hueRange, g_saturationRange, g_sharpnessRange;
