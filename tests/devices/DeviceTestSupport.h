#pragma once
// Fakes for the device list's tests: a remote agent entry with its device records and a scripted SNMP
// answer table, a device host over a temporary install tree with an injected clock, a timer that the
// test drives by hand (OnTimerThread), a facade that keeps dense row counts and records its calls, and
// consoles that record every notice.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/config/MervaneApp.h"
#include "engine/core/devices/Devices.h"
#include "tests/core/ServerTestSupport.h"
#include "tests/support/Sandbox.h"

namespace devtest {

namespace fs = std::filesystem;

using servertest::OidText;

inline std::vector<uint32_t> E(std::initializer_list<uint32_t> parts)
{
    std::vector<uint32_t> oid = {1, 3, 6, 1, 4, 1, 64950};
    oid.insert(oid.end(), parts);
    return oid;
}

inline RemoteDeviceInfo Device(uint32_t number, const std::string& model = "UPS-1000", const std::string& name = "")
{
    RemoteDeviceInfo info;
    info.deviceNumber = number;
    info.model = model;
    info.port = "COM" + std::to_string(number);
    info.text8 = "serial-" + std::to_string(number);
    info.name = name;
    return info;
}

class FakeAgent : public IRemoteAgentEntry {
public:
    explicit FakeAgent(std::string address, uint32_t tableKey = 0xA8000001u)
        : m_address(std::move(address)), m_tableKey(tableKey)
    {
    }
    std::string GetServerAddress() override { return m_address; }
    uint32_t GetTableKey() override { return m_tableKey; }
    std::vector<RemoteDeviceInfo> GetDeviceInfo() override { return devices; }
    void NoteStoredDevice(uint32_t number) override { noted.push_back(number); }
    int GetGeneration() override { return generation; }
    bool SnmpGet(const std::vector<uint32_t>& oid, RemoteValue& value) override
    {
        ++requests;
        auto it = answers.find(oid);
        if (it == answers.end())
            return false;
        value = it->second;
        return true;
    }
    bool SnmpGetNext(const std::vector<uint32_t>& oid, std::vector<uint32_t>& next, RemoteValue& value) override
    {
        ++requests;
        auto it = answers.upper_bound(oid);
        if (it == answers.end())
            return false;
        next = it->first;
        value = it->second;
        return true;
    }
    // An event name answered for device n, event e, as an older agent serves it.
    void AddEventName(uint32_t n, uint32_t e, const std::string& name)
    {
        RemoteValue v;
        v.text = name;
        answers[E({10, 2, 3, 2, 1, 4, n, e})] = v;
    }
    void SetEventCount(uint32_t n, uint32_t count)
    {
        RemoteValue v;
        v.number = count;
        answers[E({10, 2, 2, 1, 18, n})] = v;
    }

    std::vector<RemoteDeviceInfo> devices;
    std::vector<uint32_t> noted;
    std::map<std::vector<uint32_t>, RemoteValue> answers;
    int generation = 3;
    int requests = 0;

private:
    std::string m_address;
    uint32_t m_tableKey;
};

class FakeRemoteManager : public IRemoteAgentManager {
public:
    IRemoteAgentEntry* FindAgentByAddress(const std::string& address) override
    {
        for (FakeAgent* agent : agents)
            if (agent->GetServerAddress() == address)
                return agent;
        return nullptr;
    }
    int GetRowCount() override { return rowCount; }
    bool ConfirmAlarm(IRemoteAgentEntry*, uint32_t, const std::string&) override { return confirms.load(); }
    std::vector<FakeAgent*> agents;
    int rowCount = 0;
    std::atomic<bool> confirms{true}; // the agent's answer to the check before a shutdown
};

class RecordingFacade : public ISnmpFacade {
public:
    int SnmpAddDevice() override
    {
        std::lock_guard<std::mutex> lock(m_guard);
        if (throwOnAddDevice > 0) {
            --throwOnAddDevice;
            throw std::bad_alloc();
        }
        if (refuseDevices)
            return -1;
        return ++deviceRows;
    }
    void SnmpRemoveDevice(int) override
    {
        std::lock_guard<std::mutex> lock(m_guard);
        --deviceRows;
        ++removedRows;
    }
    int SnmpAddAlarm(int) override
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return ++alarmRows;
    }
    void SnmpRemoveAlarm(int, int row) override
    {
        std::lock_guard<std::mutex> lock(m_guard);
        removedAlarms.push_back(row);
    }
    uint32_t SnmpGetSysUpTime() override { return 4242; }

    std::mutex m_guard;
    int deviceRows = 0;
    int removedRows = 0;
    int alarmRows = 0;
    bool refuseDevices = false;
    // The next that many row requests run out of memory.
    int throwOnAddDevice = 0;
    std::vector<int> removedAlarms;
};

struct Notice {
    std::string oid;
    uint32_t trapId;
    EngineValue value;
};

class RecordingConsoles : public IConsoleManager {
public:
    void SendValueNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) override
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_notices.push_back({OidText(oid), trapId, value});
    }
    void SendNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) override
    {
        SendValueNotification(oid, trapId, value);
    }
    std::vector<Notice> Notices()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return m_notices;
    }
    // The integer values of the notices of that OID text, in order.
    std::vector<uint32_t> Values(const std::string& oid)
    {
        std::vector<uint32_t> out;
        for (const Notice& n : Notices())
            if (n.oid == oid)
                out.push_back(n.value.integer);
        return out;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_notices.clear();
    }

private:
    std::mutex m_guard;
    std::vector<Notice> m_notices;
};

// A clock the test moves by hand.
struct FakeClock {
    std::shared_ptr<std::atomic<int64_t>> steadyMs = std::make_shared<std::atomic<int64_t>>(5'000'000);
    std::shared_ptr<std::atomic<int64_t>> wallSeconds = std::make_shared<std::atomic<int64_t>>(1'800'000'000);
    TimerClock Clock() const
    {
        TimerClock clock;
        auto steady = steadyMs;
        auto wall = wallSeconds;
        clock.steadyMilliseconds = [steady] { return steady->load(); };
        clock.wallSeconds = [wall] { return wall->load(); };
        return clock;
    }
    void Advance(int64_t ms)
    {
        *steadyMs += ms;
        *wallSeconds += ms / 1000;
    }
};

// A temporary install tree: bin/, data/, log/.
class Sandbox : public vgtest::Sandbox {
public:
    Sandbox() : vgtest::Sandbox("vgdevices") { MakeDirs({"bin", "data", "log"}); }
    AppConfig Config() const { return AppConfig(Path("bin/vgnsa")); }
};

class TestHost : public IDeviceHost {
public:
    explicit TestHost(const Sandbox& sandbox) : config(sandbox.Config()), timers("DeviceTestTimers", clock.Clock())
    {
        timers.SetCallbackPause(0);
        std::string ini;
        BuildFileName(config, ini, VG_FILE_CONFIG, false);
        genericConfigFileInterface::SetEngineIniPath(ini);
    }
    CAgentTimer* GetTimers() override { return &timers; }
    const TimerClock& GetClock() override { return m_clock; }
    IConsoleManager* GetConsoles() override { return &consoles; }
    ISnmpFacade* GetSnmp() override { return &facade; }
    IRemoteAgentManager* GetRemoteAgents() override { return &remote; }
    std::string GetFileName(int type, bool backup) override
    {
        std::string path;
        BuildFileName(config, path, type, backup);
        return path;
    }
    std::string GetSafePointFileName(int type) override
    {
        std::string path;
        BuildSafePointFileName(config, path, type);
        return path;
    }
    uint32_t GetReactionMask() override { return mask; }
    bool IsShutdownRequiredAll() override { return all; }
    uint32_t GetDataFileVersion() override { return kEngineDataVersion; }
    void UpdateDataFileVersion(uint32_t) override {}
    void SetCountdownTime(int64_t seconds) override { countdown = seconds; }
    void OnDeviceListChanged() override { ++listChanged; }
    void OnDeviceStatus(int, int) override {}
    void BeginShutdown(const std::string& cause) override
    {
        Record("BeginShutdown");
        lastCause = cause;
    }
    void ExecuteShutdown(const std::string&) override
    {
        Record("ExecuteShutdown");
        if (onShutdown)
            onShutdown();
    }
    void ExecuteCommand(const std::string& command) override { Record("command " + command); }

    void Record(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(m_guard);
        calls.push_back(call);
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return calls;
    }
    // Moves the clock and runs the timers that are due, on the calling thread.
    void Advance(int64_t ms)
    {
        clock.Advance(ms);
        timers.OnTimerThread();
    }
    std::string DevicePath() { return GetFileName(VG_FILE_EXT_DEVICE, false); }
    std::string TemplatePath() { return GetFileName(VG_FILE_DATA_DEVICE_TEMPLATE, false); }
    std::string IniPath() { return GetFileName(VG_FILE_CONFIG, false); }

    AppConfig config;
    FakeClock clock;
    TimerClock m_clock = clock.Clock();
    CAgentTimer timers;
    RecordingConsoles consoles;
    RecordingFacade facade;
    FakeRemoteManager remote;
    std::function<void()> onShutdown;
    std::string lastCause; // of the last BeginShutdown
    uint32_t mask = 0xFFFF;
    bool all = false;
    std::atomic<int64_t> countdown{0};
    std::atomic<int> listChanged{0};
    std::mutex m_guard;
    std::vector<std::string> calls;
};

// An event-row column write through the device's MIB item (event row n of the device at index).
inline bool SetEventColumn(CDevices& devices, int index, int row, uint32_t column, uint32_t value)
{
    return devices.SetDeviceValue(index, 0x30000u | static_cast<uint32_t>(row), column, kValueInteger, &value, 4);
}
inline bool SetEventText(CDevices& devices, int index, int row, uint32_t column, const std::string& text)
{
    return devices.SetDeviceValue(index, 0x30000u | static_cast<uint32_t>(row), column, kValueOctetString, text.data(),
                                  text.size());
}
inline uint32_t EventColumn(CDevices& devices, int index, int row, uint32_t column)
{
    return devices.GetDeviceInt(index, 0x30000u | static_cast<uint32_t>(row), column);
}

} // namespace devtest
