#pragma once
// Helpers of the remote-agent tests: an SNMP thread running its loop on a thread of its own (the one
// owner of net-snmp in the test process), and the OIDs of the simulated agent's layouts.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/remote/RemoteAgentHost.h"
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

// The server as the remote-agent manager sees it: settings in a map, the files in dir, the rest recorded
// or ignored.
class FakeHost : public IRemoteAgentHost {
public:
    FakeHost(IRemoteSnmpClient* client, std::string dir) : m_client(client), m_dir(std::move(dir)) {}
    bool IsServerStarted() override { return started.load(); }
    uint32_t GetSetting(int word) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = settings.find(word);
        const uint32_t value = it != settings.end() ? it->second : CDeviceEngineTable::DefaultWord(word);
        // The critical bits live in the flags word, as in the settings record.
        return word == EngineWord::kFlags ? (value & 0x00FFFFFFu) | critical.load() : value;
    }
    void SetSetting(int word, uint32_t value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        settings[word] = value;
    }
    void SaveUserExtension() override {}
    void BeginCritical(uint32_t bits) override
    {
        ++criticalBegun;
        critical |= bits;
    }
    void EndCritical(uint32_t bits) override { critical &= ~bits; }
    void DisableBroadcast() override {}
    void SetShutdownRequiredOne() override { ++shutdownRequiredOne; }
    uint32_t GetEngineAddress() override { return 0x0100007F; }
    std::string GetConfiguredEngineAddress() override { return std::string(); }
    IDeviceManager* GetDevices() override { return nullptr; }
    void SendNotification(const std::vector<uint32_t>&, uint32_t, const EngineValue&) override { ++notifications; }
    void LogEvent(uint32_t, int, const std::string&, const std::string&, const std::string&) override {}
    void BroadcastMessage(const std::string&) override {}
    void PostSystemRequest(uint32_t) override {}
    void SetRemoteMibRowCount(uint32_t count) override { mibRows = static_cast<int>(count); }
    RemoteStorePaths GetStorePaths() override
    {
        RemoteStorePaths p;
        p.data = m_dir + "/vgrmtext.dat";
        p.backup = m_dir + "/vgrmtext.bak";
        return p;
    }
    IRemoteSnmpClient* GetClient() override { return m_client; }
    bool LookUpMac(const std::string&, std::string&) override { return false; }
    void CreateOtherSafePoints() override {}
    std::string GetDiscoveryLogPath() override { return m_dir + "/VGNMSDiscoveryError.log"; }

    std::atomic<bool> started{false};
    std::atomic<uint32_t> critical{0};
    std::atomic<int> criticalBegun{0};
    std::atomic<int> notifications{0};
    std::atomic<int> shutdownRequiredOne{0};
    std::atomic<int> mibRows{0};
    std::map<int, uint32_t> settings;

private:
    std::mutex m_mutex;
    IRemoteSnmpClient* m_client;
    std::string m_dir;
};

}  // namespace vgtest
