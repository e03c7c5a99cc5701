// Fuzzes the device file loader: any content of vgdvcext must load or be refused without a crash, a hang
// or an overrun, with every stored remote row bound to an agent; what loaded must be saved and must load
// again as the same devices with the same event rows.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/core/config/MervaneApp.h"
#include "engine/core/devices/Devices.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// Every address is an agent; it answers no request.
class Agent : public IRemoteAgentEntry {
public:
    std::string GetServerAddress() override { return "127.0.0.2"; }
    uint32_t GetTableKey() override { return 1; }
    std::vector<RemoteDeviceInfo> GetDeviceInfo() override { return {}; }
    void NoteStoredDevice(uint32_t) override {}
    int GetGeneration() override { return 3; }
    bool SnmpGet(const std::vector<uint32_t>&, RemoteValue&) override { return false; }
    bool SnmpGetNext(const std::vector<uint32_t>&, std::vector<uint32_t>&, RemoteValue&) override { return false; }
};

class Agents : public IRemoteAgentManager {
public:
    IRemoteAgentEntry* FindAgentByAddress(const std::string&) override { return &agent; }
    Agent agent;
};

class Host : public IDeviceHost {
public:
    explicit Host(const std::string& root) : config(root + "/bin/vgnsa") {}
    CAgentTimer* GetTimers() override { return &timers; }
    const TimerClock& GetClock() override { return clock; }
    IConsoleManager* GetConsoles() override { return &consoles; }
    ISnmpFacade* GetSnmp() override { return &snmp; }
    IRemoteAgentManager* GetRemoteAgents() override { return &agents; }
    std::string GetFileName(int type, bool backup) override
    {
        std::string path;
        BuildFileName(config, path, type, backup);
        return path;
    }
    std::string GetSafePointFileName(int) override { return std::string(); }
    uint32_t GetReactionMask() override { return 0xFFFF; }
    bool IsShutdownRequiredAll() override { return false; }
    uint32_t GetDataFileVersion() override { return kEngineDataVersion; }
    void UpdateDataFileVersion(uint32_t) override {}
    void SetCountdownTime(int64_t) override {}
    void OnDeviceListChanged() override {}
    void OnDeviceStatus(int, int) override {}
    void BeginShutdown(const std::string&) override { std::abort(); }
    void ExecuteShutdown(const std::string&) override { std::abort(); }
    void ExecuteCommand(const std::string&) override { std::abort(); }

    AppConfig config;
    TimerClock clock = TimerClock::System();
    CAgentTimer timers{"FuzzDeviceTimers"};
    IConsoleManager consoles;
    ISnmpFacade snmp;
    Agents agents;
};

Host& TheHost()
{
    static Host* host = [] {
        vgfuzz::SilenceLog();
        char pattern[] = "/tmp/fuzz_device_file-XXXXXX";
        const char* root = ::mkdtemp(pattern);
        if (!root)
            std::abort();
        for (const char* folder : {"/bin", "/data", "/log"})
            if (::mkdir((std::string(root) + folder).c_str(), 0700) != 0)
                std::abort();
        return new Host(root);
    }();
    return *host;
}

struct Shape {
    int devices = 0;
    std::vector<int> events;
    std::vector<std::string> names;
};

Shape Load(Host& host, bool save)
{
    CDevices devices(host);
    devices.Initialize();
    Shape shape;
    shape.devices = devices.GetCount();
    for (const auto& device : devices.GetDevices()) {
        shape.events.push_back(device->GetEventCount());
        shape.names.push_back(device->GetName());
        EngineValue value;
        for (uint32_t column = 1; column <= 28; ++column)
            device->GetValue(0, column, value);
        for (int row = 0; row <= device->GetEventCount() && row < 4; ++row)
            for (uint32_t column : {1u, 3u, 4u, 6u, 7u, 8u, 9u, 18u, 19u})
                device->GetValue(0x30000u | static_cast<uint32_t>(row), column, value);
    }
    if (save && devices.Save() != 1)
        std::abort();
    devices.Destroy();
    return shape;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Host& host = TheHost();
    const std::string path = host.GetFileName(VG_FILE_EXT_DEVICE, false);
    vgfuzz::WriteFile(path, data, size);
    const Shape first = Load(host, true);
    const Shape again = Load(host, false);
    if (first.devices != again.devices || first.events != again.events || first.names != again.names)
        std::abort();
    return 0;
}
