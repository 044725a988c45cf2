#pragma once
// Keeps the machine from sleeping or shutting down while it lives, through a
// logind "sleep:shutdown" block inhibitor on the system bus. Without a bus it
// logs one line and holds nothing.

#include <QString>

class SleepInhibitor {
public:
    explicit SleepInhibitor(const QString &why);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor &) = delete;
    SleepInhibitor &operator=(const SleepInhibitor &) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
