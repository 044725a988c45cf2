#pragma once
// Values of the camera's vendor features and the texts shown for them. The
// position in a table is the combo-box index of the feature.

#include <QVector>

struct FeatureValue {
    int value;
    const char *text;
};

using FeatureTable = QVector<FeatureValue>;

const FeatureTable &antiFlickerTable();
const FeatureTable &microphoneTable();
const FeatureTable &trackModeTable();
const FeatureTable &trackEffectTable();
const FeatureTable &trackSpeedTable();

// Position of the first entry holding `value`; -1 when none does.
int featureIndexOf(const FeatureTable &table, int value);
