#pragma once
// The product catalogue: which USB devices are the profile's cameras, which
// model each one is, and the constants every module shares. Pure functions
// (no widgets, no platform), safe to call from any thread.
//
//   bool ParseVidPid(const QString &pathId, int *vid, int *pid);
//   ManufacturerProfile loadManufacturerProfile(const QString &settingsPath = settingsFilePath());
//   ManufacturerProfile manufacturerProfile(int code);
//   bool acceptsCamera(const CameraDeviceInfo &info, int manufacturerCode, int manufacturerVid);
//   bool acceptsHotplugPath(const QString &path, int manufacturerCode);
//   int modelFromFriendlyName(const QString &friendlyName);   // kNoModel when unknown
//   int modelFromVidPid(const QString &pathId);               // kNoModel when unknown
//   QString modelDisplayName(int model);                      // empty when unknown
//   QString shortDeviceName(const QString &friendlyName);
//   QString cameraStateText(int state);                       // kCameraConnected / kCameraDisconnected
//   QString settingsFilePath();                               // "product.ini" beside the executable
//   QString supportAddress();

#include "core/cameradeviceinfo.h"

#include <QString>

#include <array>

struct ModelEntry {
    int vid;
    int pid;
    int model;
    const char *name;
};

struct ManufacturerEntry {
    int code;
    int vid;
    const char *name;
};

struct CameraStateEntry {
    int state;
    QString text;
};

// Model number of a device that matches no catalogue row.
constexpr int kNoModel = 255;

// Manufacturer codes read from the settings file.
constexpr int kManufacturerQX = 0;
constexpr int kManufacturerOrvanta = 1;

constexpr int kCameraConnected = 0;
constexpr int kCameraDisconnected = 1;

constexpr std::array<ModelEntry, 16> modelDisplayTable{{
    {0x1D6B, 0x0309, 3, "QX-TRN52-100"},
    {0x1D6B, 0x0101, 1, "RM QX-K-P24"},
    {0x1D6B, 0x0110, 2, "QX-VEN24-100"},
    {0x1D6B, 0x0104, 0, "QX-K52-100"},
    {0x1D6B, 0x0307, 4, "VPT410B-100"},
    {0x1D6B, 0x030A, 5, "VPT620-100"},
    {0x1D6B, 0xC00B, 6, "Loomix 60"},
    {0x1D6B, 0xFF01, 7, "NV-Optica-4K-AI"},
    {0x1D6B, 0xFF13, 8, "NV-Optica-1080-AI"},
    {0x5A17, 0x0110, 9, "ORBIT 60F"},
    {0x5A17, 0x0111, 10, "ORBIT 60A"},
    {0x5A17, 0x0103, 11, "ORBIT 300"},
    {0x5A17, 0x0305, 12, "ORBIT 400"},
    {0x5A17, 0x0306, 13, "ORBIT 410"},
    {0x5A17, 0x0307, 14, "ORBIT 160A"},
    {0x5A17, 0x0308, 15, "ORBIT 160F"},
}};

constexpr std::array<ManufacturerEntry, 2> manufacturerTable{{
    {kManufacturerQX, 0x1D6B, "QX"},
    {kManufacturerOrvanta, 0x5A17, "Orvanta"},
}};

// Connection-state texts, translated once on first use.
const std::array<CameraStateEntry, 2> &cameraStateTable();
QString cameraStateText(int state);

constexpr const char *kSettingsFileName = "product.ini";
constexpr const char *kFirmwareImageMember = "miservice.ubifs";
constexpr const char *kModelFileMember = "model.dat";
// The two further link bases of the support panel have no target yet.
constexpr const char *kLinkBaseA = "";
constexpr const char *kLinkBaseB = "";

// The manufacturer profile an installation serves.
struct ManufacturerProfile {
    int code = 255;
    int vid = 0;
};

// Absolute path of "product.ini" in the executable's directory.
QString settingsFilePath();

// Reads "/product_model/main" (missing key or file: 0), looks the code up in
// manufacturerTable and logs "credit manufacturer:" with its name.
ManufacturerProfile loadManufacturerProfile(const QString &settingsPath = settingsFilePath());
// The profile of a code given directly; vid 0 when the code has no row.
ManufacturerProfile manufacturerProfile(int code);

// Vendor and product id from a path fragment such as
// "vid_5a17&pid_0110&mi_00#7&1a2b3c4d&0&0000". True when the product id was read.
bool ParseVidPid(const QString &pathId, int *vid, int *pid);

// Whether an enumerated device is one of the profile's cameras.
bool acceptsCamera(const CameraDeviceInfo &info, int manufacturerCode, int manufacturerVid);

// Whether a device-interface path ("prefix#vid_..&pid_..&mi_..#a&b&c&0000#suffix")
// announced by a hot-plug event is the first interface of one of the profile's cameras.
bool acceptsHotplugPath(const QString &path, int manufacturerCode);

// First catalogue row whose name occurs in the friendly name (any case).
int modelFromFriendlyName(const QString &friendlyName);
// First catalogue row with the vendor and product id parsed from the path fragment.
int modelFromVidPid(const QString &pathId);
// Display name of a model number; empty when it has no row.
QString modelDisplayName(int model);

// The text shown for a camera: long names lose their first word.
QString shortDeviceName(const QString &friendlyName);

// "https://<host>/support/"; the host comes from "/support/host" in the
// settings file.
QString supportAddress(const QString &settingsPath = settingsFilePath());
