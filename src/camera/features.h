#pragma once
// The one table of a camera's features that the window and lumora-cli both
// iterate: the name people type, the values it takes (named choices or a
// range read from the camera), and whether it has an automatic mode.

#include "device/controlcache.h"

#include <QMetaType>
#include <QString>
#include <QVector>

namespace lumora::camera {

enum class Feature {
    Hdr, Hd, AntiFlicker, Mic, FieldOfView, Tracking, TrackingEffect, TrackingSpeed,
    Pan, Tilt, Zoom, Focus, Brightness, Contrast, Hue, Saturation, Sharpness,
};

struct Choice {
    const char *word;  // what people type: "on", "auto-framing"
    int value;         // what the camera takes
    const char *label; // what the window's list shows
};

enum class ValueKind { Choice, Number };

struct FeatureInfo {
    Feature id;
    const char *name;  // "tracking", "anti-flicker", "brightness"
    ValueKind kind;
    QVector<Choice> choices; // choice features, in the window's list order
    Control control;         // number features: the standard control with its range
};

// Every feature, vendor features first, in the order `info` shows them.
const QVector<FeatureInfo> &features();
const FeatureInfo &featureInfo(Feature id);
// Case-insensitive; null when no feature has the name.
const FeatureInfo *featureNamed(const QString &name);
// The choice whose word matches (any case); null when none.
const Choice *choiceWord(const FeatureInfo &info, const QString &word);
// The word shown for a value; the number itself when no choice has it.
QString choiceText(const FeatureInfo &info, int value);
// "on/off", "off/auto-framing/presenter".
QString choiceWords(const FeatureInfo &info);
bool isNumber(Feature id);
Control controlOf(Feature id);

} // namespace lumora::camera

Q_DECLARE_METATYPE(lumora::camera::Feature)
