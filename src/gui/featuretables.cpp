#include "gui/featuretables.h"

#include "camera/features.h"

namespace {

FeatureTable tableOf(lumora::camera::Feature id)
{
    FeatureTable table;
    for (const lumora::camera::Choice &choice : lumora::camera::featureInfo(id).choices)
        table.append({choice.value, choice.label});
    return table;
}

} // namespace

const FeatureTable &antiFlickerTable()
{
    static const FeatureTable table = tableOf(lumora::camera::Feature::AntiFlicker);
    return table;
}

const FeatureTable &microphoneTable()
{
    static const FeatureTable table = tableOf(lumora::camera::Feature::Mic);
    return table;
}

const FeatureTable &trackModeTable()
{
    static const FeatureTable table = tableOf(lumora::camera::Feature::Tracking);
    return table;
}

const FeatureTable &trackEffectTable()
{
    static const FeatureTable table = tableOf(lumora::camera::Feature::TrackingEffect);
    return table;
}

const FeatureTable &trackSpeedTable()
{
    static const FeatureTable table = tableOf(lumora::camera::Feature::TrackingSpeed);
    return table;
}

int featureIndexOf(const FeatureTable &table, int value)
{
    for (int i = 0; i < table.size(); ++i)
        if (table[i].value == value)
            return i;
    return -1;
}
