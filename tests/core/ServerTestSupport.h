#pragma once
// A test install tree with the recording shutdown library, and recording stand-ins of the managers, the
// facade and the event log, all writing into one call log so that tests can check the order of calls
// across them.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "engine/core/server/Server.h"
#include "engine/core/server/ServerEx.h"
#include "platform/AtomicFile.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "tests/support/Wait.h"

namespace servertest {

namespace fs = std::filesystem;

class CallLog {
public:
    void Add(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_calls.push_back(call);
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return m_calls;
    }
    // Position of the first call equal to text, -1 when none.
    int IndexOf(const std::string& text)
    {
        auto calls = Calls();
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == text)
                return static_cast<int>(i);
        return -1;
    }
    bool Has(const std::string& text) { return IndexOf(text) >= 0; }
    int Count(const std::string& text)
    {
        int n = 0;
        for (const auto& c : Calls())
            n += c == text;
        return n;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_calls.clear();
    }

private:
    std::mutex m_guard;
    std::vector<std::string> m_calls;
};

inline std::string OidText(const std::vector<uint32_t>& oid)
{
    // E = 1.3.6.1.4.1.64950 is written as "E".
    static const std::vector<uint32_t> enterprise = {1, 3, 6, 1, 4, 1, 64950};
    std::string text;
    size_t start = 0;
    if (oid.size() >= enterprise.size() && std::equal(enterprise.begin(), enterprise.end(), oid.begin())) {
        text = "E";
        start = enterprise.size();
    }
    for (size_t i = start; i < oid.size(); ++i)
        text += (text.empty() ? "" : ".") + std::to_string(oid[i]);
    return text;
}

inline std::string ValueText(const EngineValue& value)
{
    if (value.type == kValueOctetString)
        return "\"" + value.bytes + "\"";
    return std::to_string(static_cast<int32_t>(value.integer));
}

class RecordingConsoles : public IConsoleManager {
public:
    explicit RecordingConsoles(CallLog& log) : m_log(log) {}
    int Initialize() override { return m_log.Add("consoles.Initialize"), 1; }
    void DestroyAll() override { m_log.Add("consoles.DestroyAll"); }
    int Backup() override { return m_log.Add("consoles.Backup"), 1; }
    int Restore() override { return m_log.Add("consoles.Restore"), 1; }
    int Save() override { return m_log.Add("consoles.Save"), 1; }
    void Activate(uint32_t requester) override { m_log.Add("consoles.Activate " + std::to_string(requester)); }
    void SendValueNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) override
    {
        m_log.Add("trap " + std::to_string(trapId) + " " + OidText(oid) + "=" + ValueText(value));
    }
    void SendNotification(const std::vector<uint32_t>& oid, uint32_t trapId, const EngineValue& value) override
    {
        m_log.Add("trap " + std::to_string(trapId) + " " + OidText(oid) + "=" + ValueText(value));
    }

private:
    CallLog& m_log;
};

class RecordingDevices : public IDeviceManager {
public:
    explicit RecordingDevices(CallLog& log) : m_log(log) {}
    int Initialize() override { return m_log.Add("devices.Initialize"), 1; }
    void Destroy() override { m_log.Add("devices.Destroy"); }
    void BeginStop() override { m_log.Add("devices.BeginStop"); }
    int Backup() override { return m_log.Add("devices.Backup"), 1; }
    int Restore() override { return m_log.Add("devices.Restore"), 1; }
    int Save() override { return m_log.Add("devices.Save"), 1; }
    void SetBusy(bool busy) override { m_log.Add(std::string("devices.SetBusy ") + (busy ? "1" : "0")); }
    void SetReactionsSuspended(bool on) override
    {
        m_log.Add(std::string("devices.SetReactionsSuspended ") + (on ? "1" : "0"));
    }
    bool GetDeviceName(uint32_t key, std::string& name) override
    {
        if (key != 0x10001)
            return false;
        name = "UPS-A";
        return true;
    }
    int GetValue(uint32_t key, int index, EngineValue& value, uint32_t length) override
    {
        m_log.Add("devices.GetValue " + std::to_string(key) + " " + std::to_string(index) + " " +
                  std::to_string(length));
        value = EngineValue::Integer(77);
        return 1;
    }
    bool SetValue(uint32_t key, int index, int, const void*, size_t) override
    {
        m_log.Add("devices.SetValue " + std::to_string(key) + " " + std::to_string(index));
        return true;
    }
    int GetAlarmValue(uint32_t key, uint32_t row, EngineValue& value) override
    {
        m_log.Add("devices.GetAlarmValue " + std::to_string(key) + " " + std::to_string(row));
        value = EngineValue::Integer(5);
        return 1;
    }
    int DeleteByIndex(int index) override { return m_log.Add("devices.DeleteByIndex " + std::to_string(index)), 1; }

private:
    CallLog& m_log;
};

class RecordingRemote : public IRemoteAgentManager {
public:
    explicit RecordingRemote(CallLog& log) : m_log(log) {}
    int Initialize() override { return m_log.Add("remote.Initialize"), 1; }
    void Shutdown() override { m_log.Add("remote.Shutdown"); }
    int BackupDataFile() override { return m_log.Add("remote.Backup"), 1; }
    int RestoreDataFile() override { return m_log.Add("remote.Restore"), 1; }
    int SaveDataFile() override { return m_log.Add("remote.Save"), 1; }
    void SetConfigurationValues() override { m_log.Add("remote.SetConfigurationValues"); }
    void SetBusy(bool busy) override { m_log.Add(std::string("remote.SetBusy ") + (busy ? "1" : "0")); }
    void SetDiscoveryRequested(bool on) override
    {
        m_log.Add(std::string("remote.SetDiscoveryRequested ") + (on ? "1" : "0"));
    }
    void RecordDiscoveryErrors(const std::string& text, const std::string&) override
    {
        m_log.Add("remote.RecordDiscoveryErrors " + text);
    }
    void Relocate(const std::string& address, const std::string& mac) override
    {
        m_log.Add("remote.Relocate " + address + " " + mac);
    }
    int QueueForRemoval(int row) override { return m_log.Add("remote.QueueForRemoval " + std::to_string(row)), 1; }

private:
    CallLog& m_log;
};

class RecordingFacade : public ISnmpFacade {
public:
    explicit RecordingFacade(CallLog& log, uint32_t address = 0) : m_log(log), m_address(address) {}
    uint32_t GetEngineIPAddress() override { return m_address; }
    void SnmpStopAgent() override { m_log.Add("snmp.StopAgent"); }
    void SnmpSetCommunity(const std::string& community) override { m_log.Add("snmp.SetCommunity " + community); }

private:
    CallLog& m_log;
    uint32_t m_address;
};

// The system event log, its events in the call log as "event <source> <type> <id> <text>".
class RecordingEventWriter : public vgtest::EventRecorder {
public:
    explicit RecordingEventWriter(CallLog& log)
        : EventRecorder([&log](const std::string& event) { log.Add("event " + event); })
    {
    }
};

// A temporary install tree: bin/ with the recording libvgdown.so, data/, log/, and a power-state file.
class TestInstall {
public:
    TestInstall()
    {
        m_box.MakeDirs({"bin", "data", "log"});
        fs::copy_file(std::string(VG_RECORDING_VGDOWN_DIR) + "libvgdown.so", Path("bin/libvgdown.so"));
        SetPowerStates("freeze mem");
        ::setenv("VG_SHUTDOWN_RECORD", Path("shutdown-calls").c_str(), 1);
    }
    ~TestInstall()
    {
        ::unsetenv("VG_SHUTDOWN_RECORD");
    }
    std::string Path(const std::string& name) const { return m_box.Path(name); }
    void SetPowerStates(const std::string& states)
    {
        vgplat::WriteFileAtomically(Path("power-state"), states.data(), states.size(), 0644);
    }
    std::string ShutdownCalls() const
    {
        std::string out;
        vgplat::ReadWholeFile(Path("shutdown-calls"), out, 1 << 16);
        return out;
    }

    // Options with the recording stand-ins and no pauses.
    ServerOptions Options(CallLog& log, uint32_t engineAddress = 0) const
    {
        ServerOptions options;
        options.config = AppConfig(Path("bin/vgnsa"));
        options.powerStatePath = Path("power-state");
        options.stopPauseMs = 0;
        options.startPauseMs = 0;
        options.eventWriter = std::make_unique<RecordingEventWriter>(log);
        options.consoles = std::make_unique<RecordingConsoles>(log);
        options.devices = std::make_unique<RecordingDevices>(log);
        options.remoteAgents = std::make_unique<RecordingRemote>(log);
        options.snmp = std::make_unique<RecordingFacade>(log, engineAddress);
        return options;
    }

private:
    vgtest::Sandbox m_box{"vgserver"};
};

using vgtest::WaitUntil;

inline ino_t Inode(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace servertest
