#pragma once
// DeviceEntry: the console's copy of one row of the engine's device table, with its events in event-index
// order. RemoteEntry: the console's copy of one row of the engine's remote-agent table (a monitored UPS
// agent).
//
// Threads: Load runs on the console's worker thread (SNMP requests); afterwards the entries are handed to
// the GUI thread by value and belong to it.

#include <cstdint>
#include <string>
#include <vector>

#include "console/EventEntry.h"

class SnmpServer;

class DeviceEntry {
public:
    static constexpr size_t kMaxModel = 63;
    static constexpr size_t kMaxLocation = 63;
    // Event rows read per device at most (the count comes from the network).
    static constexpr int32_t kMaxEvents = 256;

    DeviceEntry() = default;
    explicit DeviceEntry(int deviceIndex) : m_deviceIndex(deviceIndex) {}

    // Reads the row and its events; failed reads leave zero or empty values, an event whose name or flags
    // cannot be read is left out. Stops early, answering false, when the engine no longer answers.
    bool Load(SnmpServer& session);

    bool IsSensor() const;
    EventEntry* FindEvent(int eventIndex);

    int DeviceIndex() const { return m_deviceIndex; }
    const std::string& Model() const { return m_model; }
    const std::string& Location() const { return m_location; }
    int32_t EventCount() const { return m_eventCount; }
    int32_t RemoteIndex() const { return m_remoteIndex; }
    int32_t Status() const { return m_status; }
    std::vector<EventEntry>& Events() { return m_events; }
    const std::vector<EventEntry>& Events() const { return m_events; }

    void SetLocation(const std::string& text) { m_location = text.substr(0, kMaxLocation); }
    void SetStatus(int32_t status) { m_status = status; }
    void SetRemoteIndex(int32_t index) { m_remoteIndex = index; }
    // For building fixtures.
    void SetModel(const std::string& text) { m_model = text.substr(0, kMaxModel); }

private:
    int m_deviceIndex = 0;
    std::string m_model;
    std::string m_location;
    int32_t m_eventCount = 0;
    int32_t m_remoteIndex = 0;
    int32_t m_status = 0;
    std::vector<EventEntry> m_events;
};

class RemoteEntry {
public:
    static constexpr size_t kMaxAddress = 63;
    static constexpr size_t kMaxCommunity = 63;
    static constexpr size_t kMaxText = 19;

    RemoteEntry() = default;
    explicit RemoteEntry(int rowIndex) : m_rowIndex(rowIndex) {}

    void Load(SnmpServer& session);
    bool HasAddress(const std::string& address) const { return m_address == address; }

    int RowIndex() const { return m_rowIndex; }
    const std::string& Address() const { return m_address; }
    const std::string& Community() const { return m_community; }
    const std::string& Text() const { return m_text; }
    // Low byte: position of the device shown as UPS 1 on this agent; next byte: a second device of the
    // same agent shown as UPS 2 (0: none).
    uint32_t Positions() const { return m_positions; }
    // Set when the row does not name single devices: its status is taken from all its devices.
    bool IsAggregate() const { return m_aggregate; }

    void SetAddress(const std::string& a) { m_address = a; }
    void SetPositions(uint32_t p) { m_positions = p; }
    void SetAggregate(bool a) { m_aggregate = a; }

private:
    int m_rowIndex = 0;
    std::string m_address;
    std::string m_text;
    std::string m_community;
    uint32_t m_positions = 0;
    bool m_aggregate = false;
};
