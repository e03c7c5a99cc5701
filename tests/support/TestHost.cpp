#include "tests/support/TestHost.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "tests/support/Process.h"

namespace vgtest {

namespace {

// The process id in a name made by this class ("vgtest123", "vgh123"), 0 for any other name.
pid_t OwnerOf(const std::string& name, const std::string& prefix)
{
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size())
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    return *end ? 0 : static_cast<pid_t>(pid);
}

bool Gone(pid_t pid)
{
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Test hosts of test programs that were killed before they could remove them.
void RemoveAbandoned()
{
    std::string output;
    if (RunTool({"ip", "-o", "link", "show"}, output, 10) == 0) {
        std::istringstream lines(output);
        std::string index, name;
        while (lines >> index >> name) {
            name = name.substr(0, name.find_first_of("@:"));
            if (Gone(OwnerOf(name, "vgh"))) {
                std::string ignored;
                RunTool({"ip", "link", "del", name}, ignored, 10);
            }
            std::getline(lines, index);
        }
    }
    if (RunTool({"ip", "netns", "list"}, output, 10) == 0) {
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) {
            const std::string name = line.substr(0, line.find(' '));
            if (Gone(OwnerOf(name, "vgtest"))) {
                std::string ignored;
                RunTool({"ip", "netns", "del", name}, ignored, 10);
            }
        }
    }
}

} // namespace

TestHost::TestHost()
{
    if (::geteuid() != 0) {
        m_skipReason = "a test host needs root (network namespaces)";
        return;
    }
    std::string output;
    if (RunTool({"ip", "netns", "list"}, output, 10) != 0) {
        m_skipReason = "`ip netns list` did not run: " + output;
        return;
    }
    RemoveAbandoned();
    // One /30 per process, so test programs running side by side do not share addresses.
    const unsigned slot = static_cast<unsigned>(::getpid()) % 64;
    const std::string tag = std::to_string(::getpid());
    m_namespace = "vgtest" + tag;
    m_localLink = "vgh" + tag;
    m_peerLink = "vgp" + tag;
    const std::string net = "198.18.77.";
    m_localAddress = net + std::to_string(4 * slot + 1);
    m_peerAddress = net + std::to_string(4 * slot + 2);
    // Left behind by a killed run under the same process id.
    Remove();
    const std::vector<std::string> exec = Launcher();
    auto inside = [&exec](std::vector<std::string> argv) {
        argv.insert(argv.begin(), exec.begin(), exec.end());
        return argv;
    };
    m_made = Run({"ip", "netns", "add", m_namespace}) &&
             Run({"ip", "link", "add", m_localLink, "type", "veth", "peer", "name", m_peerLink}) &&
             Run({"ip", "link", "set", m_peerLink, "netns", m_namespace}) &&
             Run({"ip", "addr", "add", m_localAddress + "/30", "dev", m_localLink}) &&
             Run({"ip", "link", "set", m_localLink, "up"}) &&
             Run(inside({"ip", "addr", "add", m_peerAddress + "/30", "dev", m_peerLink})) &&
             Run(inside({"ip", "link", "set", m_peerLink, "up"})) && Run(inside({"ip", "link", "set", "lo", "up"}));
    if (!m_made)
        Remove();
}

TestHost::~TestHost()
{
    if (!m_namespace.empty())
        Remove();
}

bool TestHost::Run(const std::vector<std::string>& argv)
{
    std::string output;
    if (RunTool(argv, output, 10) == 0)
        return true;
    std::string command;
    for (const std::string& a : argv)
        command += (command.empty() ? "" : " ") + a;
    m_error += command + ": " + output;
    return false;
}

void TestHost::Remove()
{
    std::string output;
    // Deleting one end of the pair deletes both; the namespace goes with its last process.
    RunTool({"ip", "link", "del", m_localLink}, output, 10);
    RunTool({"ip", "netns", "del", m_namespace}, output, 10);
    m_made = false;
}

} // namespace vgtest
