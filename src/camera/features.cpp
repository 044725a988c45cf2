#include "camera/features.h"

#include <QStringList>

namespace lumora::camera {

const QVector<FeatureInfo> &features()
{
    const auto number = [](Feature id, const char *name, Control control) {
        return FeatureInfo{id, name, ValueKind::Number, {}, control};
    };
    static const QVector<FeatureInfo> table{
        {Feature::Hdr, "hdr", ValueKind::Choice, {{"on", 1, "On"}, {"off", 0, "Off"}}, Control::Pan},
        {Feature::Hd, "hd", ValueKind::Choice, {{"on", 1, "On"}, {"off", 0, "Off"}}, Control::Pan},
        {Feature::AntiFlicker, "anti-flicker", ValueKind::Choice, {{"50", 1, "50Hz"}, {"60", 2, "60Hz"}}, Control::Pan},
        {Feature::Mic, "mic", ValueKind::Choice, {{"on", 1, "Enable"}, {"off", 0, "Disable"}}, Control::Pan},
        {Feature::FieldOfView, "fov", ValueKind::Choice, {{"93", 0, "93"}, {"78", 1, "78"}, {"65", 2, "65"}}, Control::Pan},
        {Feature::Tracking, "tracking", ValueKind::Choice,
         {{"off", 0, "Off"}, {"auto-framing", 1, "Auto Framing"}, {"presenter", 3, "Presenter Tracking"}}, Control::Pan},
        {Feature::TrackingEffect, "tracking-effect", ValueKind::Choice,
         {{"smooth", 1, "Smooth"}, {"immediate", 0, "Immediate"}}, Control::Pan},
        {Feature::TrackingSpeed, "tracking-speed", ValueKind::Choice,
         {{"slow", 0, "Slow"}, {"normal", 1, "Normal"}, {"fast", 2, "Fast"}}, Control::Pan},
        number(Feature::Pan, "pan", Control::Pan),
        number(Feature::Tilt, "tilt", Control::Tilt),
        number(Feature::Zoom, "zoom", Control::Zoom),
        number(Feature::Focus, "focus", Control::Focus),
        number(Feature::Brightness, "brightness", Control::Brightness),
        number(Feature::Contrast, "contrast", Control::Contrast),
        number(Feature::Hue, "hue", Control::Hue),
        number(Feature::Saturation, "saturation", Control::Saturation),
        number(Feature::Sharpness, "sharpness", Control::Sharpness),
    };
    return table;
}

const FeatureInfo &featureInfo(Feature id)
{
    return features().at(int(id));
}

const FeatureInfo *featureNamed(const QString &name)
{
    for (const FeatureInfo &info : features()) {
        if (name.compare(QLatin1String(info.name), Qt::CaseInsensitive) == 0)
            return &info;
    }
    return nullptr;
}

const Choice *choiceWord(const FeatureInfo &info, const QString &word)
{
    for (const Choice &choice : info.choices) {
        if (word.compare(QLatin1String(choice.word), Qt::CaseInsensitive) == 0)
            return &choice;
    }
    return nullptr;
}

QString choiceText(const FeatureInfo &info, int value)
{
    for (const Choice &choice : info.choices) {
        if (choice.value == value)
            return QLatin1String(choice.word);
    }
    return QString::number(value);
}

QString choiceWords(const FeatureInfo &info)
{
    QStringList words;
    for (const Choice &choice : info.choices)
        words << QLatin1String(choice.word);
    return words.join(QLatin1Char('/'));
}

bool isNumber(Feature id)
{
    return featureInfo(id).kind == ValueKind::Number;
}

Control controlOf(Feature id)
{
    return featureInfo(id).control;
}

} // namespace lumora::camera
