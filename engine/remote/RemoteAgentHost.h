#pragma once
// IRemoteAgentHost: what the remote-agent manager needs of the rest of the engine (the server's
// settings record, the device list, the consoles, the event log, the system queue, the SNMP facade and
// the client path to the network). ServerRemoteAgentHost implements it over the process-wide server;
// tests hand in their own.
//
// Threads: every method may be called from any engine thread; none is called with a lock of the
// manager held except the plain settings reads and the notification hand-offs (which never wait for
// another thread).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/interfaces/EngineValue.h"
#include "engine/remote/RemoteAgentStore.h"

class IDeviceManager;
class IRemoteSnmpClient;

class IRemoteAgentHost {
public:
    virtual ~IRemoteAgentHost() = default;
    virtual bool IsServerStarted() = 0;
    // Words of the engine settings record (EngineWord); SetSetting stores without saving.
    virtual uint32_t GetSetting(int word) = 0;
    virtual void SetSetting(int word, uint32_t value) = 0;
    virtual void SaveUserExtension() = 0;
    virtual void BeginCritical(uint32_t bits) = 0;
    virtual void EndCritical(uint32_t bits) = 0;
    virtual void DisableBroadcast() = 0;
    // ShutdownRequired := "One" (a shutdown no longer waits for every remote agent).
    virtual void SetShutdownRequiredOne() = 0;
    // The engine's IPv4 address (first octet lowest) and the configured address text ("" when none).
    virtual uint32_t GetEngineAddress() = 0;
    virtual std::string GetConfiguredEngineAddress() = 0;
    // The device list; null before the server has one.
    virtual IDeviceManager* GetDevices() = 0;
    // ValueChangedTrap (1001) or ListChangedTrap (1002) to the consoles.
    virtual void SendNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) = 0;
    virtual void LogEvent(uint32_t deviceKey, int type, const std::string& text, const std::string& address,
                          const std::string& mac) = 0;
    virtual void BroadcastMessage(const std::string& text) = 0;
    virtual void PostSystemRequest(uint32_t type) = 0;
    // The remote-engine MIB table gets rows 1..count.
    virtual void SetRemoteMibRowCount(uint32_t count) = 0;
    // The remote extension file's names and the INI file's path.
    virtual RemoteStorePaths GetStorePaths() = 0;
    virtual IRemoteSnmpClient* GetClient() = 0;
    virtual bool LookUpMac(const std::string& address, std::string& mac) = 0;
    // Safe points of the user, device and console files (after a discovery's adds).
    virtual void CreateOtherSafePoints() = 0;
    // The discovery log's path; "" when it cannot be formed.
    virtual std::string GetDiscoveryLogPath() { return std::string(); }
    // The wait between polling rounds in milliseconds when it is not the RemoteLoopbackDelay setting's
    // (tests shorten it); 0: the setting's.
    virtual int GetPollIntervalMs() { return 0; }
};

// The host over CServer::Instance(). The client reaches the network through the engine's SNMP thread;
// configuredAddress answers the configured engine address text.
std::unique_ptr<IRemoteAgentHost> MakeServerRemoteAgentHost(std::unique_ptr<IRemoteSnmpClient> client,
                                                            std::function<std::string()> configuredAddress);
