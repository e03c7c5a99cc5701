#pragma once
// How the console's sessions reach an engine: one blocking client request at a time per caller.
// The program's transport hands each request to the SNMP thread and waits; tests put a scripted engine
// in its place.
//
// Threads: Request may be called from any thread except the SNMP thread, and never from the GUI thread
// (an engine that does not answer blocks the caller for the request's whole time-out).

#include "engine/snmp/SnmpTypes.h"

class SnmpThread;

class IEngineTransport {
public:
    virtual ~IEngineTransport() = default;
    virtual SnmpClientResult Request(const SnmpClientRequest& request) = 0;
};

// Requests through the process's SNMP thread.
class SnmpThreadTransport : public IEngineTransport {
public:
    explicit SnmpThreadTransport(SnmpThread& thread) : m_thread(thread) {}
    SnmpClientResult Request(const SnmpClientRequest& request) override;

private:
    SnmpThread& m_thread;
};
