#include "sim/sim_faults.h"

#include <QJsonObject>

#include <cerrno>
#include <functional>

namespace lumora::sim {

int errnoFromName(const QString &name)
{
    static const struct {
        const char *name;
        int value;
    } known[] = {{"EIO", EIO},       {"ENODEV", ENODEV},   {"EPIPE", EPIPE},   {"ETIMEDOUT", ETIMEDOUT},
                 {"EINVAL", EINVAL}, {"ERANGE", ERANGE},   {"EBUSY", EBUSY},   {"EPROTO", EPROTO},
                 {"ENOENT", ENOENT}, {"EAGAIN", EAGAIN},   {"ENOMEM", ENOMEM}, {"EACCES", EACCES}};
    for (const auto &k : known)
        if (name == QLatin1String(k.name))
            return k.value;
    bool ok = false;
    const int value = name.toInt(&ok);
    return ok && value > 0 ? value : 0;
}

SimFaults::SimFaults() { m_clock.start(); }

void SimFaults::failNth(int n, int error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counted.append({m_transfers + n, {Verdict::Kind::Fail, -error}});
}

void SimFaults::failDuring(int startMs, int durationMs, int error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 from = m_clock.elapsed() + startMs;
    m_windows.append({from, from + durationMs, {Verdict::Kind::Fail, -error}});
}

void SimFaults::dropOnNth(int n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counted.append({m_transfers + n, {Verdict::Kind::Drop, -ENODEV}});
}

void SimFaults::ignoreNth(int n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counted.append({m_transfers + n, {Verdict::Kind::Ignore, 0}});
}

void SimFaults::ignoreDuring(int startMs, int durationMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 from = m_clock.elapsed() + startMs;
    m_windows.append({from, from + durationMs, {Verdict::Kind::Ignore, 0}});
}

void SimFaults::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counted.clear();
    m_windows.clear();
}

bool SimFaults::arm(const QJsonArray &faults, QString *error)
{
    // All or nothing: a scenario with one bad fault arms none of them.
    QVector<std::function<void()>> actions;
    for (const QJsonValue &value : faults) {
        const QJsonObject fault = value.toObject();
        const QString kind = fault.value("kind").toString();
        const int err = errnoFromName(fault.value("errno").toString(QStringLiteral("EIO")));
        const int n = fault.value("n").toInt(0);
        const int startMs = fault.value("startMs").toInt(0);
        const int durationMs = fault.value("durationMs").toInt(-1);
        if (kind == QLatin1String("failNth") && n > 0 && err) {
            actions.append([=] { failNth(n, err); });
        } else if (kind == QLatin1String("failDuring") && err && startMs >= 0 && durationMs >= 0) {
            actions.append([=] { failDuring(startMs, durationMs, err); });
        } else if (kind == QLatin1String("dropOnNth") && n > 0) {
            actions.append([=] { dropOnNth(n); });
        } else if (kind == QLatin1String("ignoreNth") && n > 0) {
            actions.append([=] { ignoreNth(n); });
        } else if (kind == QLatin1String("ignoreDuring") && startMs >= 0 && durationMs >= 0) {
            actions.append([=] { ignoreDuring(startMs, durationMs); });
        } else {
            if (error)
                *error = QStringLiteral("unknown or incomplete fault \"%1\"").arg(kind);
            return false;
        }
    }
    for (const auto &action : actions)
        action();
    return true;
}

SimFaults::Verdict SimFaults::next()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 transfer = ++m_transfers;
    for (int i = 0; i < m_counted.size(); ++i) {
        if (m_counted[i].transfer == transfer) {
            const Verdict verdict = m_counted[i].verdict;
            m_counted.remove(i);
            return verdict;
        }
    }
    const qint64 now = m_clock.elapsed();
    for (const Window &w : m_windows)
        if (now >= w.fromMs && now < w.toMs)
            return w.verdict;
    return {};
}

} // namespace lumora::sim
