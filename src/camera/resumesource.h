#pragma once
// Tells when the machine wakes from suspend. A camera that stays connected over
// a suspend can come back with its power-on values, and no device event says so.

#include <QObject>

#include <memory>

namespace lumora::camera {

class ResumeSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void resumed();
};

// logind's PrepareForSleep(false) on the system bus. Without a bus or logind it
// never fires (one debug line says why).
std::unique_ptr<ResumeSource> systemResumeSource();

} // namespace lumora::camera
