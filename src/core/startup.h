#pragma once
// Process set-up shared by the app, the command-line tool and the tests.

#include <QString>

// Registers the compiled-in resources of the static library; call once
// before any ":/" path is used.
void initLumoraResources();

// Toolkit-side high-DPI scaling; must run before the application object exists.
void enableHighDpiScaling();

// Application font ("Segoe UI", 12 pt, with open sans-serif stand-ins where it
// is not installed) and window icon.
void applyApplicationLook();

// Makes the executable's directory the current one, so files looked up
// relative to it are found from wherever the program was started.
bool enterExecutableDirectory();
