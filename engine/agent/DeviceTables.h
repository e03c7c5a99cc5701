#pragma once
// The device tables of the group "mvnDevTable" (E.10.2, E = 1.3.6.1.4.1.64950): the device count, the
// device table (E.10.2.2.1, one row per device), the main-load table (E.10.2.4.1, one row per device)
// and the item tables of DeviceItemTables.h. They store no values: every cell asks the device with the
// row's device index (DeviceAccess.h) at the moment of the request.
//
// Rows: the device table and the main-load table have rows 1..device count; an item table of one item
// class has the rows device.1..device.n, n that device's count as it registered it (MibRowCounts). The
// facade changes the counts as devices come and go, and rebuilds the item counts from the devices when
// one is deleted and the others move down.
//
// Device-table RowStatus (column 2): reads the device's status (1 enabled and online, 2 suspended,
// 3 otherwise); active/notInService go to the device; creation is refused (the engine creates devices
// itself), values outside 1..6 get wrongValue in the check step; destroy deletes the device through
// the server (CServer::DeleteRow) and then takes the engine's own removal path, under the facade
// mutex: the last device row goes, the main-load row with it, and the item tables are rebuilt for the
// devices' new numbering. Nothing is written to the destroyed index afterwards (it names the next
// device now).
//
// Threads: built at the agent's set-up; served on the SNMP thread. The row counts and the device access
// are safe from any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "engine/agent/DeviceAccess.h"
#include "engine/agent/MibRowCounts.h"
#include "engine/agent/mib/Mib.h"
#include "engine/agent/mib/MibGroup.h"
#include "engine/agent/mib/MibTable.h"

// What the device tables are given by the composition root.
struct DeviceMibHost {
    DeviceItemAccess* access = nullptr;
    // The facade's removal of the last device row (CMervaneSnmp::SnmpRemoveDevice); runs with no lock
    // of ours held.
    std::function<void()> removeLastDevice;
};

// The shape of one device table. Columns are given as one letter each, for columns 1, 2, ...:
//   I integer read-only   i integer read-write   S text read-only   s text read-write
//   F decimal text of a single-precision value (read-only)   R RowStatus (read-create)
//   m integer read-write whose value is masked to its low 16 bits
//   c text read-write that the engine runs as a command: written only by a manager on this host or
//     over SNMPv3 with authentication (others get noAccess)
//   d integer read-write holding a reaction delay in seconds: a value the device cannot store (below 0
//     or above the longest delay, IsStorableDelay) gets wrongValue in the check step
struct DeviceTableShape {
    const char* entryOid;
    size_t levels;         // 1 device, 2 device.item, 3 device.control.data
    uint32_t item;         // levels 1: the item key (0 the device, 0x40000 the main load); else the class
    int DeviceItems::*count; // levels 2 and 3: the device's count of these items
    const char* columns;
};

class DeviceTable : public MibTable, public MibTableVoter {
public:
    DeviceTable(const DeviceTableShape& shape, MibRowCounts& rows, const DeviceMibHost& host);
    ~DeviceTable() override;

    const DeviceTableShape& Shape() const { return m_shape; }
    MibRowCounts& Rows() const { return m_rows; }
    const DeviceMibHost& Host() const { return m_host; }
    DeviceItemAccess* Access() const { return m_host.access; }
    uint32_t DeviceCount() const;
    // The items of one class that a device registered.
    uint32_t ItemCount(uint32_t device) const;

    // The device, item key and column argument of a cell.
    struct Cell {
        int device = 0;
        uint32_t item = 0;
        uint32_t column = 0;
    };
    Cell CellOf(const SnmpOid& index, uint32_t column) const;

    bool has_row(const SnmpOid& index) const override;
    bool next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const override;
    int is_creation_ok(MibTable& table, MibLeaf& column, const SnmpOid& index, const SnmpValue& value) override;

private:
    DeviceTableShape m_shape;
    MibRowCounts& m_rows;
    DeviceMibHost m_host;
};

// A cell column of a DeviceTable.
class DeviceTableCell : public MibLeaf {
public:
    DeviceTableCell(DeviceTable& table, uint32_t column, char kind);
    ~DeviceTableCell() override;
    int get_value(const MibRequest& request, SnmpValue& out) override;
    int prepare_set_request(const MibRequest& request, const SnmpValue& value) override;
    int set(const MibRequest& request, const SnmpValue& value) override;

private:
    DeviceTable& m_table;
    uint32_t m_column;
    char m_kind;
};

// The RowStatus column of the device table and of the schedule and load-group tables.
class DeviceRowStatus : public MibLeaf {
public:
    explicit DeviceRowStatus(DeviceTable& table);
    ~DeviceRowStatus() override;
    int get_value(const MibRequest& request, SnmpValue& out) override;
    int prepare_set_request(const MibRequest& request, const SnmpValue& value) override;
    int set(const MibRequest& request, const SnmpValue& value) override;
    // A row created by a request that failed elsewhere goes again (destroy).
    int undo_creation(const MibRequest& request) override;
    // A destroy waits for the commit of its request (the later rows move down, which no undo could
    // take back): a request that fails elsewhere keeps the row.
    bool defers_to_commit(const MibRequest& request, const SnmpValue& value) const override;
    int check_deferred(const MibRequest& request, const SnmpValue& value) override;

private:
    // What a write of value at the request's index comes to, with the row it is about.
    struct Decision;
    Decision Decide(const MibRequest& request, const SnmpValue& value) const;

    DeviceTable& m_table;
};

// Whether a reaction delay (seconds) can be stored: 0 up to the longest delay a row holds.
bool IsStorableDelay(int32_t seconds);

// Whether a manager may write a column whose text the engine runs as a command: one on this host
// (127.0.0.0/8 or an address of the host's interfaces) or one that authenticated over SNMPv3.
bool MayWriteCommands(const MibRequest& request);

using mvn_devtable_intcol = DeviceTableCell;
using mvn_devtable_strcol = DeviceTableCell;
using mvn_devtable_rowstatus = DeviceRowStatus;
using mvn_devmainloadtable_intcol = DeviceTableCell;

class mvn_devtable_entry : public DeviceTable {
public:
    mvn_devtable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devtable_entry() override;
};
class mvn_devmainloadtable_entry : public DeviceTable {
public:
    mvn_devmainloadtable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devmainloadtable_entry() override;
};

// "mvnDevTable" E.10.2: engineDeviceCount (E.10.2.1.0, key 0x85010005), the device table, the main-load
// table and the seven item tables.
class mervane_devtable_mib : public MibGroup {
public:
    mervane_devtable_mib(MibRowCounts& rows, const DeviceMibHost& host);
    ~mervane_devtable_mib() override;
};

// The item counts of every device 1..the device count, read from the devices (for the facade's rebuild
// after a deletion).
std::map<int, DeviceItems> ReadAllDeviceItems(DeviceItemAccess& access, int deviceCount);

// The decimal text of a 32-bit IEEE-754 single-precision value with that many decimal places (clamped
// to 0..6, the digits a single-precision value carries): "%.*f", or, when that is longer than 15
// characters, the same value as "%.*e" (never longer than 15).
constexpr size_t kDecimalTextLimit = 15;
std::string FormatDecimalText(uint32_t bits, int32_t places);
