#pragma once
// Channel to the camera's vendor extension unit: 8-byte transfers on its selectors.

#include <QObject>

class UVCExtensionUnit : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

Q_SIGNALS:
    void reInitUvc();
};
