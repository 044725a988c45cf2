#include "camera/modeltraits.h"

#include "core/catalogue.h"

#include <algorithm>
#include <initializer_list>

namespace lumora::camera {

namespace {

struct PageRow {
    int profile;
    std::initializer_list<int> models;
    Picture picture;
    int traits;
};

const PageRow kPageRows[] = {
    {kManufacturerOrvanta, {9, 10}, Picture::Orbit60, TrackingOff | BasicControls},
    {kManufacturerOrvanta, {11}, Picture::Orbit, TrackingOff | BasicControls},
    {kManufacturerOrvanta, {12}, Picture::Orbit, TrackingOff | TrackingLocked},
    {kManufacturerOrvanta, {13}, Picture::Orbit, 0},
    {kManufacturerOrvanta, {14, 15}, Picture::Orbit160, 0},
    {kManufacturerQX, {0}, Picture::Orbit, TrackingOff | TrackingLocked | ShowHD},
    {kManufacturerQX, {1, 2, 8}, Picture::Orbit, TrackingOff | BasicControls | HideHD},
    {kManufacturerQX, {3, 5, 7}, Picture::Orbit, ShowHD | HideFieldOfView},
    {kManufacturerQX, {4}, Picture::Vpt410b, ShowHD},
};

bool contains(std::initializer_list<int> list, int value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

ModelTraits modelTraits(int profile, int model)
{
    ModelTraits traits;
    traits.profile = profile;
    traits.model = model;
    for (const PageRow &row : kPageRows) {
        if (row.profile == profile && contains(row.models, model)) {
            traits.hasPageRow = true;
            traits.picture = row.picture;
            traits.page = row.traits;
        }
    }
    traits.cameraControls = !contains({9, 10, 11}, model);
    traits.focus = contains({4, 14}, model);
    traits.fieldOfView = contains({4, 14}, model);
    traits.statusPoll = model == 4;
    if (model == 12)
        traits.trackingQuirkFirmware = QStringLiteral("1.0.22");
    return traits;
}

int profileOfVendor(int vid)
{
    for (const ManufacturerEntry &entry : manufacturerTable) {
        if (entry.vid == vid)
            return entry.code;
    }
    return -1;
}

} // namespace lumora::camera
