#include "control/featuretables.h"

const FeatureTable &antiFlickerTable()
{
    static const FeatureTable table{{1, "50Hz"}, {2, "60Hz"}};
    return table;
}

const FeatureTable &microphoneTable()
{
    static const FeatureTable table{{1, "Enable"}, {0, "Disable"}};
    return table;
}

const FeatureTable &trackModeTable()
{
    static const FeatureTable table{{0, "Off"}, {1, "Auto Framing"}, {3, "Presenter Tracking"}};
    return table;
}

const FeatureTable &trackEffectTable()
{
    static const FeatureTable table{{1, "Smooth"}, {0, "Immediate"}};
    return table;
}

const FeatureTable &trackSpeedTable()
{
    static const FeatureTable table{{0, "Slow"}, {1, "Normal"}, {2, "Fast"}};
    return table;
}

int featureIndexOf(const FeatureTable &table, int value)
{
    for (int i = 0; i < table.size(); ++i)
        if (table[i].value == value)
            return i;
    return -1;
}
