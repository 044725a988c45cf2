#pragma once
// Faults injected into a simulated device's transfers. Armed from a scenario
// ("faults" of a device config) or by tests; consulted once per transfer.
// Thread-safe.

#include <QElapsedTimer>
#include <QJsonArray>
#include <QString>
#include <QVector>

#include <mutex>

namespace lumora::sim {

class SimFaults {
public:
    struct Verdict {
        // Ignore: the transfer succeeds and changes nothing (a set the camera acknowledged and did not apply).
        enum class Kind { Pass, Fail, Drop, Ignore };
        Kind kind = Kind::Pass;
        int error = 0; // negative errno for Fail and Drop
    };

    SimFaults();

    // The nth transfer from now (1 = the next one) fails with -error.
    void failNth(int n, int error);
    // Every transfer from startMs to startMs + durationMs after now fails with -error.
    void failDuring(int startMs, int durationMs, int error);
    // The nth transfer from now answers -ENODEV and the device leaves.
    void dropOnNth(int n);
    // The nth transfer from now succeeds without effect; every one from
    // startMs to startMs + durationMs likewise.
    void ignoreNth(int n);
    void ignoreDuring(int startMs, int durationMs);
    void clear();

    // Arms the faults of a scenario's "faults" array; false with a message on the first bad entry.
    bool arm(const QJsonArray &faults, QString *error);

    // Called by the device once per transfer.
    Verdict next();

private:
    struct Counted {
        qint64 transfer; // absolute transfer number
        Verdict verdict;
    };
    struct Window {
        qint64 fromMs, toMs;
        Verdict verdict;
    };

    std::mutex m_mutex;
    QElapsedTimer m_clock;
    qint64 m_transfers = 0;
    QVector<Counted> m_counted;
    QVector<Window> m_windows;
};

// "EIO", "ENODEV", ... or a plain number; 0 when the name is unknown.
int errnoFromName(const QString &name);

} // namespace lumora::sim
