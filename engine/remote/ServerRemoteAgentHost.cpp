// The remote-agent manager's host over the process-wide server.

#include <cstdlib>
#include <memory>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/MervaneApp.h"
#include "engine/core/server/Server.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/remote/RemoteAgentHost.h"
#include "engine/remote/RemoteSnmpClient.h"

namespace {

// Tests shorten the wait between polling rounds with this variable (milliseconds, 100 to 60000);
// anything else leaves the RemoteLoopbackDelay setting in force.
constexpr const char* kPollIntervalVariable = "VG_TEST_POLL_INTERVAL_MS";

int PollIntervalFromEnvironment()
{
    const char* text = std::getenv(kPollIntervalVariable);
    if (text == nullptr || *text == '\0')
        return 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value >= 100 && value <= 60000) ? static_cast<int>(value) : 0;
}

class ServerRemoteAgentHost : public IRemoteAgentHost {
public:
    ServerRemoteAgentHost(std::unique_ptr<IRemoteSnmpClient> client, std::function<std::string()> configuredAddress)
        : m_client(std::move(client)), m_configuredAddress(std::move(configuredAddress)),
          m_pollIntervalMs(PollIntervalFromEnvironment())
    {
    }

    bool IsServerStarted() override
    {
        CServer* s = CServer::Instance();
        return s && s->IsStarted();
    }
    uint32_t GetSetting(int word) override
    {
        CServer* s = CServer::Instance();
        return s ? s->GetEngineConfig()->GetWord(word) : CDeviceEngineTable::DefaultWord(word);
    }
    void SetSetting(int word, uint32_t value) override
    {
        if (CServer* s = CServer::Instance())
            s->GetEngineConfig()->SetWord(word, value);
    }
    void SaveUserExtension() override
    {
        if (CServer* s = CServer::Instance())
            s->SaveUserExtension();
    }
    void BeginCritical(uint32_t bits) override
    {
        if (CServer* s = CServer::Instance())
            s->GetEngineConfig()->BeginCritical(bits);
    }
    void EndCritical(uint32_t bits) override
    {
        if (CServer* s = CServer::Instance())
            s->GetEngineConfig()->EndCritical(bits);
    }
    void DisableBroadcast() override
    {
        if (CServer* s = CServer::Instance())
            s->GetEngineConfig()->DisableBroadcast();
    }
    void SetShutdownRequiredOne() override
    {
        if (CServer* s = CServer::Instance()) {
            s->GetEngineConfig()->ModifyWord(EngineWord::kOptions, kOptionShutdownRequiredAll, 0);
            s->SaveUserExtension();
        }
    }
    uint32_t GetEngineAddress() override
    {
        CServer* s = CServer::Instance();
        return s && s->GetSnmp() ? s->GetSnmp()->GetEngineIPAddress() : 0;
    }
    std::string GetConfiguredEngineAddress() override { return m_configuredAddress ? m_configuredAddress() : std::string(); }
    IDeviceManager* GetDevices() override
    {
        CServer* s = CServer::Instance();
        return s ? s->GetDevices() : nullptr;
    }
    void SendNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) override
    {
        CServer* s = CServer::Instance();
        if (!s || !s->GetConsoles())
            return;
        if (trapId == kValueChangedTrap)
            s->GetConsoles()->SendValueNotification(oid, trapId, value);
        else
            s->GetConsoles()->SendNotification(oid, trapId, value);
    }
    void LogEvent(uint32_t deviceKey, int type, const std::string& text, const std::string& address,
                  const std::string& mac) override
    {
        (void)mac;
        if (CServer* s = CServer::Instance())
            s->LogEvent(deviceKey, type, 1, text, address.empty() ? nullptr : address.c_str(), 0, 0);
    }
    void BroadcastMessage(const std::string& text) override
    {
        if (CServer* s = CServer::Instance())
            s->BroadcastMessage(text, 1, 1);
    }
    void PostSystemRequest(uint32_t type) override
    {
        CServer* s = CServer::Instance();
        if (s && s->GetSystemQueue())
            s->GetSystemQueue()->Post(type);
    }
    void SetRemoteMibRowCount(uint32_t count) override
    {
        CServer* s = CServer::Instance();
        if (s && s->GetSnmp())
            s->GetSnmp()->SnmpSetRemoteAgentRowCount(static_cast<int>(count));
    }
    RemoteStorePaths GetStorePaths() override
    {
        RemoteStorePaths paths;
        CServer* s = CServer::Instance();
        if (!s)
            return paths;
        paths.data = s->GetFilePaths().remote;
        paths.backup = s->GetFilePaths().remoteBackup;
        BuildFileName(s->GetConfig(), paths.templateFile, VG_FILE_DATA_REMOTE_TEMPLATE, false);
        BuildSafePointFileName(s->GetConfig(), paths.safePoint, VG_FILE_EXT_REMOTE);
        return paths;
    }
    IRemoteSnmpClient* GetClient() override { return m_client.get(); }
    bool LookUpMac(const std::string& address, std::string& mac) override
    {
        // ARP never answers for a loopback address: no wait for it (a SET of the address column is
        // answered on the SNMP thread).
        uint32_t ip = 0;
        if (!ParseIpv4(address.c_str(), ip) || (ip & 0xFF) == 127)
            return false;
        char buffer[20] = {};
        if (!GetRemoteMacAddress(address.c_str(), buffer, sizeof buffer))
            return false;
        mac = buffer;
        return true;
    }
    void CreateOtherSafePoints() override
    {
        CServer* s = CServer::Instance();
        if (!s)
            return;
        s->GetUserExtension()->CreateSafePoint();
        if (s->GetDevices())
            s->GetDevices()->CreateSafePoint();
        if (s->GetConsoles())
            s->GetConsoles()->CreateSafePoint();
    }

    std::string GetDiscoveryLogPath() override
    {
        CServer* s = CServer::Instance();
        if (!s || s->GetConfig().LogDirectory().empty())
            return std::string();
        return s->GetConfig().LogDirectory() + "VGNMSDiscoveryError.log";
    }

    int GetPollIntervalMs() override { return m_pollIntervalMs; }

private:
    std::unique_ptr<IRemoteSnmpClient> m_client;
    std::function<std::string()> m_configuredAddress;
    int m_pollIntervalMs = 0;
};

} // namespace

std::unique_ptr<IRemoteAgentHost> MakeServerRemoteAgentHost(std::unique_ptr<IRemoteSnmpClient> client,
                                                            std::function<std::string()> configuredAddress)
{
    return std::make_unique<ServerRemoteAgentHost>(std::move(client), std::move(configuredAddress));
}
