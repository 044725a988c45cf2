#include "cli/cli_features.h"
#include "cli/cli_output.h"
#include "control/cameraparameters.h"

#include <QJsonValue>
#include <QVector>

namespace {

struct Choice {
    const char *text;
    int value;
};

struct VendorFeature {
    const char *name;
    QVector<Choice> choices;
    bool (UVCExtensionUnit::*get)(int &);
    bool (UVCExtensionUnit::*set)(int);
};

struct StandardControl {
    const char *name;
    bool camera;            // camera control (else image control)
    int propertyId;
    int *value;
    ParameterRange *range;
    bool takesAuto;
};

const QVector<VendorFeature> &vendorFeatures()
{
    static const QVector<VendorFeature> table{
        {"hdr", {{"on", 1}, {"off", 0}}, &UVCExtensionUnit::GetHDR, &UVCExtensionUnit::SetHDR},
        {"hd", {{"on", 1}, {"off", 0}}, &UVCExtensionUnit::GetHD, &UVCExtensionUnit::SetHD},
        {"anti-flicker", {{"50", 1}, {"60", 2}}, &UVCExtensionUnit::GetAntiFlicker, &UVCExtensionUnit::SetAntiFlicker},
        {"mic", {{"on", 1}, {"off", 0}}, &UVCExtensionUnit::GetMicEnable, &UVCExtensionUnit::SetMicEnable},
        {"fov", {{"93", 0}, {"78", 1}, {"65", 2}}, &UVCExtensionUnit::GetViewAngle, &UVCExtensionUnit::SetViewAngle},
        {"tracking", {{"off", 0}, {"auto-framing", 1}, {"presenter", 3}}, &UVCExtensionUnit::GetTrackMode, &UVCExtensionUnit::SetTrackMode},
        {"tracking-effect", {{"smooth", 1}, {"immediate", 0}}, &UVCExtensionUnit::GetTrackEffect, &UVCExtensionUnit::SetTrackEffect},
        {"tracking-speed", {{"slow", 0}, {"normal", 1}, {"fast", 2}}, &UVCExtensionUnit::GetTrackSpeed, &UVCExtensionUnit::SetTrackSpeed},
    };
    return table;
}

const QVector<StandardControl> &standardControls()
{
    static const QVector<StandardControl> table{
        {"pan", true, kCameraPan, &g_pan, &g_panRange, false},
        {"tilt", true, kCameraTilt, &g_tilt, &g_tiltRange, false},
        {"zoom", true, kCameraZoom, &g_zoom, &g_zoomRange, false},
        {"focus", true, kCameraFocus, &g_focus, &g_focusRange, true},
        {"brightness", false, kImageBrightness, &g_brightness, &g_brightnessRange, false},
        {"contrast", false, kImageContrast, &g_contrast, &g_contrastRange, false},
        {"hue", false, kImageHue, &g_hue, &g_hueRange, false},
        {"saturation", false, kImageSaturation, &g_saturation, &g_saturationRange, false},
        {"sharpness", false, kImageSharpness, &g_sharpness, &g_sharpnessRange, true},
    };
    return table;
}

const VendorFeature *vendorFeature(const QString &name)
{
    for (const VendorFeature &feature : vendorFeatures()) {
        if (name == QLatin1String(feature.name))
            return &feature;
    }
    return nullptr;
}

const StandardControl *standardControl(const QString &name)
{
    for (const StandardControl &control : standardControls()) {
        if (name == QLatin1String(control.name))
            return &control;
    }
    return nullptr;
}

QString choiceText(const VendorFeature &feature, int value)
{
    for (const Choice &choice : feature.choices) {
        if (choice.value == value)
            return QLatin1String(choice.text);
    }
    return QString::number(value);
}

bool readControl(CameraSession &session, const StandardControl &control)
{
    return control.camera ? session.wrapper.GetCameraProperty(control.propertyId, *control.value)
                          : session.wrapper.GetImageProperty(control.propertyId, *control.value);
}

void report(const QString &name, const QString &value, bool json)
{
    if (json)
        printJson({{QStringLiteral("feature"), name}, {QStringLiteral("value"), value}});
    else
        printLine(QStringLiteral("%1: %2").arg(name, value));
}

int writeVendor(CameraSession &session, const VendorFeature &feature, const QString &text, bool json)
{
    const Choice *wanted = nullptr;
    for (const Choice &choice : feature.choices) {
        if (text == QLatin1String(choice.text))
            wanted = &choice;
    }
    if (!wanted)
        return fail(ExitOutOfRange, QStringLiteral("%1 takes %2, not \"%3\"").arg(feature.name, featureValues(feature.name), text));
    const bool sent = (session.unit.*feature.set)(wanted->value);
    int taken = -1;
    const bool read = (session.unit.*feature.get)(taken);
    if (sent && read && taken == wanted->value) {
        report(QLatin1String(feature.name), choiceText(feature, taken), json);
        return ExitOk;
    }
    if (!session.present())
        return fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    if (!sent || !read)
        return fail(ExitFailure, QStringLiteral("the camera did not take %1 %2").arg(feature.name, text));
    report(QLatin1String(feature.name), choiceText(feature, taken), json);
    return fail(ExitFailure, QStringLiteral("the camera kept %1 at %2").arg(feature.name, choiceText(feature, taken)));
}

int writeControl(CameraSession &session, const StandardControl &control, const QString &text, bool json)
{
    const QString name = QLatin1String(control.name);
    if (text == QLatin1String("auto")) {
        if (!control.takesAuto)
            return fail(ExitOutOfRange, QStringLiteral("%1 takes %2, not \"auto\"").arg(name, featureValues(name)));
        const bool done = control.propertyId == kCameraFocus && control.camera ? session.unit.EnableAutoFocus()
                                                                               : session.wrapper.SetImagePropertyAuto(control.propertyId);
        if (!done)
            return fail(ExitFailure, QStringLiteral("the camera did not take %1 auto").arg(name));
        report(name, QStringLiteral("auto"), json);
        return ExitOk;
    }
    bool isNumber = false;
    const int value = text.toInt(&isNumber);
    const ParameterRange &range = *control.range;
    if (!isNumber || value < range.minimum || value > range.maximum)
        return fail(ExitOutOfRange, QStringLiteral("%1 takes %2 to %3, not \"%4\"").arg(name).arg(range.minimum).arg(range.maximum).arg(text));
    const bool sent = control.camera ? session.wrapper.SetCameraProperty(control.propertyId, value)
                                     : session.wrapper.SetImageProperty(control.propertyId, value);
    const bool read = sent && readControl(session, control);
    if (read && *control.value == value) {
        report(name, QString::number(value), json);
        return ExitOk;
    }
    if (!session.present())
        return fail(ExitNoCamera, QStringLiteral("the camera was unplugged"));
    if (!read)
        return fail(ExitFailure, QStringLiteral("the camera did not take %1 %2").arg(name, text));
    report(name, QString::number(*control.value), json);
    return fail(ExitFailure, QStringLiteral("the camera kept %1 at %2").arg(name).arg(*control.value));
}

} // namespace

QStringList featureNames()
{
    QStringList names;
    for (const VendorFeature &feature : vendorFeatures())
        names << QLatin1String(feature.name);
    for (const StandardControl &control : standardControls())
        names << QLatin1String(control.name);
    return names;
}

QString featureValues(const QString &name)
{
    if (const VendorFeature *feature = vendorFeature(name)) {
        QStringList texts;
        for (const Choice &choice : feature->choices)
            texts << QLatin1String(choice.text);
        return texts.join(QLatin1Char('/'));
    }
    if (const StandardControl *control = standardControl(name))
        return control->takesAuto ? QStringLiteral("a number or auto") : QStringLiteral("a number");
    return {};
}

bool isFeature(const QString &name)
{
    return vendorFeature(name) || standardControl(name);
}

bool readFeature(CameraSession &session, const QString &name, QString *value)
{
    if (const VendorFeature *feature = vendorFeature(name)) {
        int raw = 0;
        if (!(session.unit.*feature->get)(raw))
            return false;
        *value = choiceText(*feature, raw);
        return true;
    }
    const StandardControl *control = standardControl(name);
    if (!control || !readControl(session, *control))
        return false;
    *value = control->propertyId == kCameraFocus && control->camera && g_focusFlags == kControlFlagsAuto
        ? QStringLiteral("auto")
        : QString::number(*control->value);
    return true;
}

QJsonObject describeControl(CameraSession &session, const QString &name)
{
    const StandardControl *control = standardControl(name);
    QString value;
    if (!control || !readFeature(session, name, &value))
        return {};
    return {{QStringLiteral("value"), value},
            {QStringLiteral("min"), control->range->minimum},
            {QStringLiteral("max"), control->range->maximum},
            {QStringLiteral("default"), control->range->defaultValue}};
}

int writeFeature(CameraSession &session, const QString &name, const QString &value, bool json)
{
    if (const VendorFeature *feature = vendorFeature(name))
        return writeVendor(session, *feature, value, json);
    if (const StandardControl *control = standardControl(name))
        return writeControl(session, *control, value, json);
    return fail(ExitUsage, QStringLiteral("unknown feature \"%1\"").arg(name));
}
