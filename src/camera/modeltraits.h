#pragma once
// What each catalogue model has, as data: the page row the window applies
// when the model is selected, the standard controls read for it, and its
// quirks. Pure functions, safe on any thread.

#include <QString>

namespace lumora::camera {

enum class Picture { None, Orbit, Orbit60, Orbit160, Vpt410b };

// What a model changes on the control page when it is selected.
enum PageTrait {
    TrackingOff = 1 << 0,     // select the "Off" tracking item
    TrackingLocked = 1 << 1,  // and disable the tracking combo box
    BasicControls = 1 << 2,   // page disabled except mic, anti-flicker, colour, restore, upgrade
    ShowHD = 1 << 3,
    HideHD = 1 << 4,
    HideFieldOfView = 1 << 5,
};

struct ModelTraits {
    int profile = -1;   // the manufacturer profile whose cameras these are; -1 for none
    int model = 255;    // catalogue model number, 255 when unknown
    bool hasPageRow = false;
    Picture picture = Picture::None;
    int page = 0;       // PageTrait flags

    bool cameraControls = true; // pan, tilt and zoom are read
    bool focus = false;         // focus is read and offered, with its automatic mode
    bool fieldOfView = false;
    bool statusPoll = false;    // the window polls tracking and field of view

    // The firmware that reports a tracking mode it does not run; empty when none.
    QString trackingQuirkFirmware;
    bool trackingHeldOff(const QString &firmware) const
    {
        return !trackingQuirkFirmware.isEmpty() && firmware == trackingQuirkFirmware;
    }
};

// Traits of a model within a profile (the profile decides the page row).
ModelTraits modelTraits(int profile, int model);
// The profile a camera's vendor id belongs to; -1 when none.
int profileOfVendor(int vid);

} // namespace lumora::camera
