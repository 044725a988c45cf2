#pragma once
// The process-wide cache of the open camera's standard controls: current
// values, ranges and defaults in the app's units (pan and tilt in degrees).
// GUI thread only.

struct ParameterRange {
    int minimum = 0;
    int maximum = 0;
    int defaultValue = 0;
};

extern int g_pan, g_tilt, g_zoom, g_focus;
extern int g_brightness, g_contrast, g_hue, g_saturation, g_sharpness;
// Control flags read with the focus value: 1 = automatic, 2 = manual.
extern int g_focusFlags;

extern ParameterRange g_panRange, g_tiltRange, g_zoomRange, g_focusRange;
extern ParameterRange g_brightnessRange, g_contrastRange, g_hueRange, g_saturationRange, g_sharpnessRange;

// Property ids of the camera controls and of the image controls.
enum CameraPropertyId { kCameraPan = 0, kCameraTilt = 1, kCameraZoom = 3, kCameraFocus = 6 };
enum ImagePropertyId { kImageBrightness = 0, kImageContrast = 1, kImageHue = 2, kImageSaturation = 3, kImageSharpness = 4 };

// Control flags of a property value.
constexpr int kControlFlagsAuto = 1;
constexpr int kControlFlagsManual = 2;
