#pragma once
// Where a device-list entry keeps its camera's identity record.

#include <Qt>

enum CameraItemRole {
    kRoleIndex = Qt::UserRole, // 256, int
    kRoleFriendlyName,         // 257
    kRolePathId,               // 258
    kRoleAlias,                // 259
};
