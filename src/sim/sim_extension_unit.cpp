#include "sim/sim_extension_unit.h"

#include <cerrno>

namespace lumora::sim {

SimExtensionUnit::SimExtensionUnit(const QJsonObject &) {}
bool SimExtensionUnit::present() const { return m_present; }
QByteArray SimExtensionUnit::descriptors() const { return {}; }
int SimExtensionUnit::query(void *, Outcome *outcome)
{
    *outcome = Outcome::None;
    return -ENOENT;
}
void SimExtensionUnit::saveTo(QJsonObject *) const {}

} // namespace lumora::sim
