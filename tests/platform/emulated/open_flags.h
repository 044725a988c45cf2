#pragma once
// The open flags another process used on a file. umockdev tells an ioctl
// handler which node a client opened but not how, and the driver's answer
// depends on it (O_NONBLOCK, O_ACCMODE): /proc/<pid>/fdinfo says.

#include <QString>

namespace emulated {

struct OpenFlags {
    int flags = 0;          // O_ACCMODE and O_NONBLOCK bits
    bool found = false;     // some other process has the file open
    bool ambiguous = false; // open several times with different flags
    bool removed = false;   // open only as a file since removed: its device is gone
};

// Over every other process that has `file` open.
OpenFlags openFlagsOf(const QString &file);

} // namespace emulated
