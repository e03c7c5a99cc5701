#pragma once
// SnmpListener: the console's trap ports. Each subscribed port is one SnmpTrapSession on the SNMP thread
// whose notifications become TrapRecords pushed into the trap queue; informs are answered by the session.
// A notification with an error status is answered (when an inform) but not queued.
//
// Threads: the owner's thread (the GUI thread) calls every method; the notification handler runs on the
// SNMP thread and only pushes into the queue.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/snmp/SnmpTrapSession.h"

class SnmpThread;
class TrapQueue;

class SnmpListener {
public:
    SnmpListener(SnmpThread& thread, TrapQueue& queue) : m_thread(thread), m_queue(queue) {}
    ~SnmpListener();
    SnmpListener(const SnmpListener&) = delete;
    SnmpListener& operator=(const SnmpListener&) = delete;

    // Listens on address:port (port 0: any free port) or adds a use to the port's listener. Answers the
    // bound port, 0 on failure with the reason in error.
    uint16_t Subscribe(const std::string& address, uint16_t port, std::string* error = nullptr);
    // Removes a use; the last use closes the port.
    void Unsubscribe(uint16_t port);
    void StopAll();
    size_t Count() const { return m_entries.size(); }
    // Notifications received on every port so far.
    uint64_t Received() const;

private:
    struct Entry {
        std::unique_ptr<SnmpTrapSession> session;
        int uses = 0;
    };
    SnmpThread& m_thread;
    TrapQueue& m_queue;
    std::map<uint16_t, Entry> m_entries;
};
