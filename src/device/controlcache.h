#pragma once
// The open camera's standard controls as the app last read them: current
// values, ranges and defaults in the app's units (pan and tilt in degrees).
// One cache per open camera, owned by its wrapper; GUI thread only.

struct ParameterRange {
    int minimum = 0;
    int maximum = 0;
    int defaultValue = 0;
};

// Property ids of the camera controls and of the image controls.
enum CameraPropertyId { kCameraPan = 0, kCameraTilt = 1, kCameraZoom = 3, kCameraFocus = 6 };
enum ImagePropertyId { kImageBrightness = 0, kImageContrast = 1, kImageHue = 2, kImageSaturation = 3, kImageSharpness = 4 };

// Control flags of a property value.
constexpr int kControlFlagsAuto = 1;
constexpr int kControlFlagsManual = 2;

// The standard controls, in the order the feature table lists them.
enum class Control { Pan, Tilt, Zoom, Focus, Brightness, Contrast, Hue, Saturation, Sharpness };
constexpr int kControlCount = 9;

struct ControlCache {
    int pan = 0, tilt = 0, zoom = 0, focus = 0;
    int brightness = 0, contrast = 0, hue = 0, saturation = 0, sharpness = 0;
    // Flags read with the focus value: 1 = automatic, 2 = manual.
    int focusFlags = 0;
    ParameterRange panRange, tiltRange, zoomRange, focusRange;
    ParameterRange brightnessRange, contrastRange, hueRange, saturationRange, sharpnessRange;

    int &value(Control control)
    {
        int *const values[] = {&pan, &tilt, &zoom, &focus, &brightness, &contrast, &hue, &saturation, &sharpness};
        return *values[int(control)];
    }
    ParameterRange &range(Control control)
    {
        ParameterRange *const ranges[] = {&panRange,        &tiltRange,     &zoomRange,
                                          &focusRange,      &brightnessRange, &contrastRange,
                                          &hueRange,        &saturationRange, &sharpnessRange};
        return *ranges[int(control)];
    }
};

// Whether a control is a camera control (pan, tilt, zoom, focus) and its property id.
inline bool isCameraControl(Control control) { return int(control) <= int(Control::Focus); }
inline int propertyIdOf(Control control)
{
    const int ids[] = {kCameraPan,       kCameraTilt,    kCameraZoom,      kCameraFocus,    kImageBrightness,
                       kImageContrast,   kImageHue,      kImageSaturation, kImageSharpness};
    return ids[int(control)];
}
