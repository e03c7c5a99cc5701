#pragma once
// Helpers of the remote-agent tests: an SNMP thread running its loop on a thread of its own (the one
// owner of net-snmp in the test process), and the OIDs of the simulated agent's layouts.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/remote/RemoteSnmpClient.h"
#include "engine/snmp/SnmpThread.h"
#include "engine/snmp/SnmpTypes.h"
#include "tests/support/Wait.h"

namespace vgtest {

// E = 1.3.6.1.4.1.64950 followed by the tail's sub-identifiers.
inline SnmpOid EOid(std::initializer_list<uint32_t> tail)
{
    SnmpOid o = {1, 3, 6, 1, 4, 1, 64950};
    o.insert(o.end(), tail);
    return o;
}

class ClientLoop {
public:
    ClientLoop()
    {
        vgtest::Latch ready;
        m_loop = std::thread([this, &ready] {
            m_thread.PrepareClientLibrary("remote_tests");
            ready.CountDown();
            m_thread.Run(m_run);
            m_thread.Shutdown();
        });
        ready.Wait(-1);
    }
    ~ClientLoop()
    {
        m_run.store(false);
        m_thread.Wake();
        m_loop.join();
    }
    SnmpThread& Thread() { return m_thread; }
    IRemoteSnmpClient& Client() { return m_client; }

private:
    SnmpThread m_thread;
    SnmpThreadClient m_client{m_thread};
    std::atomic<bool> m_run{true};
    std::thread m_loop;
};

}  // namespace vgtest
