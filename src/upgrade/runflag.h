#pragma once
// A worker's running flag whose sleeps end as soon as the flag is cleared, so
// stop() ends a worker promptly even in the middle of a long wait.

#include <condition_variable>
#include <mutex>

namespace lumora::upgrade {

class RunFlag {
public:
    // Sets the flag, unless stop() came first: a worker stopped before its
    // thread got to start it must not run.
    void begin();
    void stop();
    bool isRunning() const;
    // Sleeps up to ms; false (at once) when the flag is or becomes cleared.
    bool sleep(int ms);

    // Makes `flag` the one that channel and script sleeps on this thread obey.
    class Scope {
    public:
        explicit Scope(RunFlag *flag);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        RunFlag *m_previous;
    };

private:
    // Standard primitives, which ThreadSanitizer sees through.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_running = false;
    bool m_stopped = false;
};

// Sleeps on the current thread's flag (plain sleep without one); false when stopped.
bool pauseMs(int ms);
// True when the current thread's worker has been asked to stop.
bool stopRequested();

} // namespace lumora::upgrade
