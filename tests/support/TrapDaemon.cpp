#include "tests/support/TrapDaemon.h"

#include "tests/support/Wait.h"

namespace vgtest {

bool TrapDaemon::Start(int port, const std::string& format)
{
    const std::string conf = m_dir.Write("trapd.conf", "disableAuthorization yes\n");
    if (!m_child.Start({"snmptrapd", "-f", "-Lf", m_dir.Path("traps.log"), "-C", "-c", conf, "-n", "-On", "-F",
                        format, "udp:127.0.0.1:" + std::to_string(port)},
                       m_dir.Path("trapd.out"), {{"SNMP_PERSISTENT_DIR", m_dir.Path()}, {"MIBS", ""}}))
        return false;
    // snmptrapd logs its version line once it listens.
    return WaitFor("NET-SNMP version");
}

std::string TrapDaemon::Log() const
{
    return ReadAll(m_dir.Path("traps.log"));
}

bool TrapDaemon::WaitFor(const std::string& text, int timeoutMs) const
{
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs, 20);
}

}  // namespace vgtest
