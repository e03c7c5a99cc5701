#pragma once
// The console's SNMP thread: a thread that prepares net-snmp for a client (no agent) and runs the
// SnmpThread loop until Stop. Everything that touches net-snmp goes through Thread().
//
// Threads: Start and Stop from the owner's thread; Thread() is safe from any thread.

#include <atomic>
#include <thread>

#include "engine/snmp/SnmpThread.h"

class SnmpThreadRunner {
public:
    SnmpThreadRunner() = default;
    ~SnmpThreadRunner() { Stop(); }
    SnmpThreadRunner(const SnmpThreadRunner&) = delete;
    SnmpThreadRunner& operator=(const SnmpThreadRunner&) = delete;

    // Starts the thread and waits until the library is ready.
    void Start();
    // Ends the loop; requests still waiting end as Stopped. Close trap sessions first.
    void Stop();
    SnmpThread& Thread() { return m_thread; }

private:
    SnmpThread m_thread;
    std::atomic<bool> m_run{false};
    std::thread m_loop;
};
