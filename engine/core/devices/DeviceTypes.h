#pragma once
// The records shared by the device list, the device entries, their event tables and the remote-agent
// code: one alarm of a device, the action ids of the event reactions, the device records a remote agent
// reads at its first contact, and what a device asks of the remote agent that serves it.
//
// Threads: the structs are plain values. IRemoteAgentEntry is implemented by the remote-agent entry;
// see its comment for who calls what.

#include <cstdint>
#include <string>
#include <vector>

// Alarm ids the engine raises itself on every device of an agent.
enum DeviceAlarmId : uint32_t {
    kAlarmOffline = 65000,       // "Offline", value 5, while the agent does not answer
    kAlarmConfiguration = 65001, // "Configuration", value 7, while this engine is not its trap receiver
};
constexpr const char* kAlarmOfflineText = "Offline";
constexpr uint32_t kAlarmOfflineValue = 5;
constexpr const char* kAlarmConfigurationText = "Configuration";
constexpr uint32_t kAlarmConfigurationValue = 7;

// One alarm of a device. The smaller the value, the worse the alarm.
struct DeviceAlarm {
    static constexpr size_t kMaxDescription = 63;

    uint32_t id = 0;
    std::string description; // at most kMaxDescription characters
    uint32_t value = 0;
    uint32_t mibRow = 0;    // row in the UPS alarm tables (0xFFFFFFFF: the MIB gave none)
    uint32_t timeRaised = 0; // the agent's sysUpTime, hundredths of a second
    int64_t raisedSteadyMs = 0; // when the engine raised it, on the device context's monotonic clock
    uint32_t wellKnown = 0;     // WellKnownAlarmNumber of the description, worked out once when raised
    uint32_t mark = 0;       // used while the alarms are re-read from the agent
};

// The actions of an event row; also the event ids of their timers.
enum RemoteEventAction : uint32_t {
    kActionExecuteCommand = 4,
    kActionShutdown = 8,
    kActionShutdownCountdown = 256,
};

// One device as a remote agent reports it at first contact. Texts are at most 127 characters.
struct RemoteDeviceInfo {
    std::string text8;    // device column 8
    std::string model;    // device column 9
    std::string port;     // device column 5
    std::string column13; // device column 13
    std::string location; // device column 12
    uint32_t column4 = 0; // device column 4 (only its low 4 bits are kept)
    uint32_t familyCode = 0;
    uint32_t deviceNumber = 0;
    std::string name;     // device column 10
};

// One variable read from an agent: an INTEGER/unsigned as number, an OCTET STRING as text, an OBJECT
// IDENTIFIER as oid.
struct RemoteValue {
    uint32_t number = 0;
    std::string text;
    std::vector<uint32_t> oid;
};

// The remote agent a device belongs to, as the device list and the device entries see it. The agent
// outlives its devices: the remote-agent code removes them (CDevices::RemoveAgentDevices) before it
// frees the agent.
//
// Threads: called from the thread that adds, initialises or refreshes the agent's devices (a remote-agent
// worker, or the server's start for CDevices::Initialize), with no device-list or device lock held
// (GetServerAddress and GetTableKey excepted: they may be called under a device's lock and must only
// read). An implementation must not call back into the device list from these methods.
class IRemoteAgentEntry {
public:
    virtual ~IRemoteAgentEntry() = default;
    // The agent's server address text (the key that binds stored devices to it).
    virtual std::string GetServerAddress() = 0;
    // The key of its remote-agent table row (printed in the device log lines).
    virtual uint32_t GetTableKey() = 0;
    // The device records of its first contact (CDevices::Add reads them).
    virtual std::vector<RemoteDeviceInfo> GetDeviceInfo() = 0;
    // A device bound to this agent from the stored file: its count rises by one and the number is
    // appended to its device numbers.
    virtual void NoteStoredDevice(uint32_t deviceNumber) = 0;
    // The agent's MIB generation 0-4 (the event-list walk chooses its objects by it).
    virtual int GetGeneration() = 0;
    // Client requests to the agent through its session (they wait for the answer; never called on the
    // SNMP thread). false when the request failed. GetNext answers the next OID and its value.
    virtual bool SnmpGet(const std::vector<uint32_t>& oid, RemoteValue& value) = 0;
    virtual bool SnmpGetNext(const std::vector<uint32_t>& oid, std::vector<uint32_t>& next, RemoteValue& value) = 0;
};
