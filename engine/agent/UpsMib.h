#pragma once
// The UPS the engine watches, twice: the standard UPS-MIB of RFC 1628 (group "upsmib" at U =
// 1.3.6.1.2.1.33) and the enterprise group "mvnUps" at E.100.1 (E = 1.3.6.1.4.1.64950). Nothing is
// stored: the scalars are bound to device and engine-information keys, answered for the device the
// requesting console selected (device 1 for any other manager); the alarm tables hold the alarms of
// all devices, the load tables the loads and load groups of device 1.
//
// RFC 1628 syntax is kept object by object: texts are cut to their sizes (upsIdentManufacturer 31,
// the other identity texts 63), upsInputLineBads is a Counter32, upsAlarmsPresent a Gauge32,
// upsAlarmTime a TimeStamp (TimeTicks), upsAlarmDescr an OBJECT IDENTIFIER naming a well-known alarm
// (U.1.6.3.n: the one the description names, such as upsAlarmOnBattery for "On Battery" and
// upsAlarmCommunicationsLost for the engine's "Offline"; upsAlarmGeneralFault for any other), and no
// object reads a value outside its range. The device's standing alarms give upsBatteryStatus
// (batteryLow(3) while "Low Battery" stands, else batteryNormal(2)), upsOutputSource (battery(5)
// while "On Battery" stands, else normal(3)) and upsSecondsOnBattery (from the "On Battery" alarm; 0
// on mains); without a device the first two read unknown(1) and other(1), the third is left out. The
// readings the engine does not know (upsEstimatedMinutesRemaining, the charge, battery voltage,
// current and temperature, upsInputLineBads, the output and bypass frequencies) are left out of the
// walk: the RFC has no "unknown" for them. The line counts read 0, the rows of their tables. The upsTest,
// upsControl and upsConfig groups and the traps are not served; the input, output and bypass tables
// have no rows.
//
// Alarm rows: one per standing alarm, numbered as the facade adds them (MibRowCounts::upsAlarms and
// engineAlarms); a number is never reused while the engine runs, so a row keeps its number while its
// alarm stands. A cell asks the engine for the alarm item with the row as its length word.
//
// Threads: built at the agent's set-up; served on the SNMP thread. Row counts and the device access are
// safe from any thread.

#include <cstdint>
#include <string>

#include "engine/agent/DeviceTables.h"
#include "engine/agent/MibRowCounts.h"
#include "engine/agent/mib/Mib.h"
#include "engine/agent/mib/MibGroup.h"

// A keyed scalar of the UPS-MIB with its RFC 1628 syntax, read for the device the requester selected:
// a text cut to `high` bytes; an enumeration of 1..`high` that reads `unknown` when the device does
// not answer it (or answers a value outside); a reading (INTEGER or Counter32) that must lie in
// low..high and is left out (kMibNoInstance: noSuchInstance, skipped by a walk) when the device does
// not answer it, since RFC 1628 gives those objects no value for "not known".
class ups_keyed_scalar : public MibLeaf {
public:
    ups_keyed_scalar(const char* oidText, uint32_t key, unsigned char syntax, int64_t low, int64_t high,
                     int32_t unknown = 0);
    ~ups_keyed_scalar() override;
    int get_request(const MibRequest& request, SnmpValue& out) override;
    const uint32_t key;

private:
    int64_t m_low;
    int64_t m_high;
    int32_t m_unknown;
};

// The rows of an alarm table: the alarm row numbers that stand.
class UpsAlarmTable : public MibTable {
public:
    UpsAlarmTable(const char* entryOid, const AlarmRows& rows);
    ~UpsAlarmTable() override;
    bool has_row(const SnmpOid& index) const override;
    bool next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const override;

private:
    const AlarmRows& m_rows;
};

class ups_alarm_entry : public UpsAlarmTable {
public:
    explicit ups_alarm_entry(const AlarmRows& rows);
    ~ups_alarm_entry() override;
};
class mvnups_alarm_entry : public UpsAlarmTable {
public:
    explicit mvnups_alarm_entry(const AlarmRows& rows);
    ~mvnups_alarm_entry() override;
};

// A table of device 1's items (loads, load groups), rows 1..count.
class UpsDeviceTable : public MibTable {
public:
    UpsDeviceTable(const char* entryOid, const DenseRows& rows, DeviceItemAccess* access);
    ~UpsDeviceTable() override;
    bool has_row(const SnmpOid& index) const override;
    bool next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const override;
    DeviceItemAccess* Access() const { return m_access; }

private:
    const DenseRows& m_rows;
    DeviceItemAccess* m_access;
};

class mvnups_lodtable_entry : public UpsDeviceTable {
public:
    mvnups_lodtable_entry(const DenseRows& rows, DeviceItemAccess* access);
    ~mvnups_lodtable_entry() override;
};
class mvnups_lodcurrenttable_entry : public UpsDeviceTable {
public:
    mvnups_lodcurrenttable_entry(const DenseRows& rows, DeviceItemAccess* access);
    ~mvnups_lodcurrenttable_entry() override;
};
class mvnups_lodpowertable_entry : public UpsDeviceTable {
public:
    mvnups_lodpowertable_entry(const DenseRows& rows, DeviceItemAccess* access);
    ~mvnups_lodpowertable_entry() override;
};
class mvnups_lodgrptable_entry : public UpsDeviceTable {
public:
    mvnups_lodgrptable_entry(const DenseRows& rows, DeviceItemAccess* access);
    ~mvnups_lodgrptable_entry() override;
};

class ups_mib : public MibGroup {
public:
    explicit ups_mib(MibRowCounts& rows);
    ~ups_mib() override;
};
class mervane_ups_mib : public MibGroup {
public:
    mervane_ups_mib(MibRowCounts& rows, DeviceItemAccess* access);
    ~mervane_ups_mib() override;
};

// U.1.6.3 and the number of the well-known alarm that an alarm description names
// (WellKnownAlarmNumber, engine/core/devices/WellKnownAlarms.h).
SnmpOid UpsWellKnownAlarm(const std::string& description);
// A load current text (amperes, "4.27") in tenths of an ampere, the fraction cut off: 42; 0 for a text
// that is not a number.
int32_t LoadCurrentTenths(const std::string& text);

// Adds "mvnDevTable", "upsmib" and "mvnUps" to the MIB over the engine's device list and facade.
void AddDeviceAndUpsGroups(Mib& mib, MibRowCounts& rows);
