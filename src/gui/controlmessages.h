#pragma once
// Texts the control pages show when the camera does not take a change.

namespace controlmessages {

inline constexpr char kSettingTimeout[] = "The setting has timed out, please try again.";
inline constexpr char kOperationTimeout[] = "The operation has timed out, please try again.";

} // namespace controlmessages
