#pragma once
// IRemoteSnmpClient: how the remote-agent code reaches the network. Every client request is performed
// by the SNMP thread (the one owner of net-snmp); an implementation hands it over and waits for the
// answer, so the calling engine thread blocks while the agent's own answers go on.
//
// SnmpThreadClient wraps an SnmpThread (tests, programs without the engine's agent); the engine hands
// in a FunctionSnmpClient over its running agent's thread (composition root).
//
// Threads: Request from any thread but the SNMP thread itself; implementations are stateless.

#include <functional>
#include <utility>

#include "engine/snmp/SnmpThread.h"
#include "engine/snmp/SnmpTypes.h"

class IRemoteSnmpClient {
public:
    virtual ~IRemoteSnmpClient() = default;
    // Performs the request and waits for its end (its time-out times its attempts at most); cancel,
    // when given, ends the wait at once from another thread (Stopped).
    virtual SnmpClientResult Request(const SnmpClientRequest& request, SnmpRequestCancel* cancel) = 0;
};

class SnmpThreadClient : public IRemoteSnmpClient {
public:
    explicit SnmpThreadClient(SnmpThread& thread) : m_thread(thread) {}
    SnmpClientResult Request(const SnmpClientRequest& request, SnmpRequestCancel* cancel) override
    {
        return m_thread.Request(request, -1, cancel);
    }

private:
    SnmpThread& m_thread;
};

class FunctionSnmpClient : public IRemoteSnmpClient {
public:
    using Function = std::function<SnmpClientResult(const SnmpClientRequest&, SnmpRequestCancel*)>;
    explicit FunctionSnmpClient(Function function) : m_function(std::move(function)) {}
    SnmpClientResult Request(const SnmpClientRequest& request, SnmpRequestCancel* cancel) override
    {
        if (!m_function) {
            SnmpClientResult stopped;
            stopped.status = SnmpClientStatus::Stopped;
            return stopped;
        }
        return m_function(request, cancel);
    }

private:
    Function m_function;
};
