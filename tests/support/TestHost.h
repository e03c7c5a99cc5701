#pragma once
// TestHost: a host of the test's own on a network of its own, for tests that need a peer which is not
// on loopback (a UPS card on the LAN). A network namespace joined to this one by a veth pair on a /30
// of 198.18.77.0/24 (a benchmarking range no real network uses); nothing is routed beyond the pair.
// The constructor makes it, the destructor removes the namespace and the link, so a failed assertion
// leaves nothing behind; the test hosts of test programs that were killed are removed by the next one. Needs root and `ip netns`; without them Available() is false and SkipReason()
// says why. It belongs to the test's thread.

#include <string>
#include <vector>

namespace vgtest {

class TestHost {
public:
    TestHost();
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // Made and usable.
    bool Available() const { return m_made; }
    // Why the tests that need it must skip ("" when they need not: then a failure is in Error()).
    const std::string& SkipReason() const { return m_skipReason; }
    const std::string& Error() const { return m_error; }

    const std::string& Namespace() const { return m_namespace; }
    // This side's end of the pair and the test host's address.
    const std::string& LocalAddress() const { return m_localAddress; }
    const std::string& PeerAddress() const { return m_peerAddress; }
    // The command prefix that runs a program inside the test host: ip netns exec <name>.
    std::vector<std::string> Launcher() const { return {"ip", "netns", "exec", m_namespace}; }

private:
    bool Run(const std::vector<std::string>& argv);
    void Remove();

    bool m_made = false;
    std::string m_skipReason;
    std::string m_error;
    std::string m_namespace;
    std::string m_localLink;
    std::string m_peerLink;
    std::string m_localAddress;
    std::string m_peerAddress;
};

} // namespace vgtest
