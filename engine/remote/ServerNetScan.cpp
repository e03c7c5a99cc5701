#include "engine/remote/ServerNetScan.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/base/Helpers.h"
#include "engine/core/server/Server.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/remote/RemoteAgent.h"

namespace {

constexpr int kDiscoveryTrapId = 1007;

class ServerNetScanHost : public INetScanHost {
public:
    explicit ServerNetScanHost(CRemoteAgent& manager) : m_manager(manager) {}

    bool GetDiscoveryCommunities(std::string& text) override
    {
        CServer* s = CServer::Instance();
        if (!s)
            return false;
        s->GetEngineConfig()->GetDiscoveryCommunities(text); // false: no text (empty)
        return true;
    }
    bool GetDiscoveryAddresses(std::string& text) override
    {
        CServer* s = CServer::Instance();
        if (!s)
            return false;
        s->GetEngineConfig()->GetDiscoveryAddresses(text);
        return true;
    }
    uint32_t GetEngineAddress() override
    {
        CServer* s = CServer::Instance();
        return s && s->GetSnmp() ? s->GetSnmp()->GetEngineIPAddress() : 0;
    }
    bool IsDiscoveryRequested() override { return m_manager.IsDiscoveryRequested(); }
    void SetBusy(bool busy) override { m_manager.SetBusy(busy); }
    void SetSingleAddressMode(bool single) override { m_manager.SetSingleAddressMode(single); }
    bool HasRemoteRows() override { return m_manager.GetRowCount() > 0; }
    void CreateSafePoints() override { m_manager.CreateAllSafePoints(); }
    void ReportDiscoveryResult(const std::string& address, int code) override
    {
        m_manager.ReportDiscoveryResult(address, code);
    }
    bool HasDiscoveryResult(const std::string& address) override { return m_manager.HasDiscoveryResult(address); }
    void RecordDiscoveryErrors(const std::string& text, int code) override
    {
        m_manager.RecordDiscoveryErrors(text, code);
    }
    void SendProgressTrap(const std::vector<TrapVarbind>& varbinds) override
    {
        CServer* s = CServer::Instance();
        if (!s || !s->GetConsoles())
            return;
        const std::vector<uint32_t> trapOid = {1, 3, 6, 1, 4, 1, 64950, 15, 0, kDiscoveryTrapId, 0};
        s->GetConsoles()->SendTrap(trapOid, kDiscoveryTrapId, varbinds);
    }
    IRemoteSnmpClient* GetClient() override { return m_manager.GetClient(); }
    std::string GetLocalAddress() override { return m_manager.GetSessionSettings().localAddress; }
    bool LookUpMac(const std::string& address, std::string& mac) override { return m_manager.LookUpMac(address, mac); }

private:
    CRemoteAgent& m_manager;
};

// The scan with the host it refers to.
class ServerNetScan : public INetScan {
public:
    ServerNetScan(CRemoteAgent& manager, NetScanOptions options) : m_host(manager), m_scan(m_host, std::move(options))
    {
    }
    void Start() override { m_scan.Start(); }
    void Cancel() override { m_scan.Cancel(); }

private:
    ServerNetScanHost m_host;
    CNetScan m_scan;
};

} // namespace

NetScanOptions MakeDiscoveryOptions(uint32_t retriesSetting, const char* portsText)
{
    NetScanOptions options;
    options.retries = retriesSetting < 1 ? retriesSetting : 1;
    options.timeoutMs = 1000;
    if (portsText) {
        std::vector<std::string> parts;
        SplitString(portsText, ",", parts);
        for (const std::string& part : parts) {
            char* end = nullptr;
            const unsigned long port = std::strtoul(part.c_str(), &end, 10);
            if (end && *end == '\0' && !part.empty() && part[0] != '-' && port >= 1 && port <= 65535)
                options.ports.push_back(static_cast<uint32_t>(port));
        }
    }
    if (options.ports.empty())
        options.ports = {161, 3664};
    return options;
}

std::unique_ptr<INetScan> MakeServerNetScan(CRemoteAgent& manager, NetScanOptions options)
{
    return std::make_unique<ServerNetScan>(manager, std::move(options));
}
