#pragma once
// The row counts of the engine's dense MIB tables, as the SNMP facade keeps them. The tables' handlers
// read them at request time; the facade "adds and removes rows" by changing them (under its own lock).
//
//   DenseRows: rows 1..count (device table, remote-agent table, trap-destination table, the UPS group's
//     load tables).
//   AlarmRows: the alarm tables' rows. A new row takes last index + 1; a removal takes the given row
//     away and keeps the last index, so an index is never reused while the engine runs.
//   DeviceItemCounts: what a device registered of its item tables (controls, variables, events, loads,
//     schedules, load groups), by device index.
//
// Threads: every method is safe from any thread. Each object guards itself with a leaf mutex: nothing
// else is taken while it is held.

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <utility>

class DenseRows {
public:
    uint32_t Count() const;
    void SetCount(uint32_t count);
    // The new last row.
    uint32_t Append();
    // Removes the last row; false when there was none.
    bool RemoveLast();
    bool HasRow(uint32_t row) const;

private:
    mutable std::mutex m_mutex;
    uint32_t m_count = 0;
};

class AlarmRows {
public:
    // The new row's index: last index + 1.
    uint32_t Add();
    // false when the row is not there (nothing changes).
    bool Remove(uint32_t row);
    uint32_t Count() const;
    uint32_t LastIndex() const;
    bool HasRow(uint32_t row) const;
    // The first row after `after` (at it when inclusive); 0 when none.
    uint32_t NextRow(uint32_t after, bool inclusive) const;

private:
    mutable std::mutex m_mutex;
    uint32_t m_lastIndex = 0;
    std::set<uint32_t> m_rows;
};

struct DeviceItems {
    int controls = 0;
    int variables = 0;
    int events = 0;
    int loads = 0;
    int schedules = 0;
    int loadGroups = 0;
};

class DeviceItemCounts {
public:
    void Set(int deviceIndex, const DeviceItems& items);
    // Zero counts for a device that registered nothing.
    DeviceItems Get(int deviceIndex) const;
    // Drops the registrations of the devices above count.
    void Truncate(int count);
    // All devices' counts at once (a rebuild after the devices were renumbered).
    void Replace(std::map<int, DeviceItems> items);

private:
    mutable std::mutex m_mutex;
    std::map<int, DeviceItems> m_items;
};

// Everything the facade keeps for the tables, owned by the composition root and shared with the
// table groups.
struct MibRowCounts {
    DenseRows devices;            // device table, rows 1..device count
    DeviceItemCounts deviceItems; // each device's item tables
    AlarmRows upsAlarms;          // UPS-MIB alarm table
    AlarmRows engineAlarms;       // enterprise alarm table
    DenseRows upsLoads;           // UPS group: load, load-current and load-power tables (device 1)
    DenseRows upsLoadGroups;      // UPS group: load-group table (device 1)
    DenseRows remoteAgents;       // remote-agent table
    DenseRows trapDestinations;   // trap-destination table
};
