#pragma once
// The item tables of "mvnDevTable" under E.10.2.3 (E = 1.3.6.1.4.1.64950), one row per item of a device,
// each cell read from and written to the device by device index, item key and column (DeviceTables.h):
//
//   table                     entry          index                 item key              count column
//   mvn_devvartable_entry     E.10.2.3.1.1   device.variable       0x20000 | variable    17
//   mvn_devevttable_entry     E.10.2.3.2.1   device.event          0x30000 | event       18
//   mvn_devctltable_entry     E.10.2.3.3.1   device.control        0x10000 | control     19
//   mvn_devctldtatable_entry  E.10.2.3.4.1   device.control.data   0x50000 | control     (probed)
//   mvn_devlodtable_entry     E.10.2.3.5.1   device.load           0x40000 | load        20
//   mvn_devschedtable_entry   E.10.2.3.6.1   device.schedule       0xB0000 | schedule    26
//   mvn_devlodgrptable_entry  E.10.2.3.7.1   device.group          0xE0000 | group       27
//
// In the control-data table the data item (1..6) goes into the column argument: data << 16 | column;
// a row device.control.data exists while the device answers a non-empty text in column 4 of that data
// item. Variable columns 10-15 show a single-precision value as decimal text with the places of
// column 9 (FormatDecimalText). Event column 7 (the action flags) takes the low 16 bits of a value;
// event columns 8 and 9 are commands the engine runs: only a manager on this host or an SNMPv3 manager
// with authentication may write them. The schedule and load-group tables have a RowStatus column
// whose creations and destructions the engine refuses; schedules stop at 64 per device.
//
// Threads: as DeviceTables.h.

#include "engine/agent/DeviceTables.h"

class mvn_devvartable_entry : public DeviceTable {
public:
    mvn_devvartable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devvartable_entry() override;
};
class mvn_devevttable_entry : public DeviceTable {
public:
    mvn_devevttable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devevttable_entry() override;
};
class mvn_devctltable_entry : public DeviceTable {
public:
    mvn_devctltable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devctltable_entry() override;
};
class mvn_devctldtatable_entry : public DeviceTable {
public:
    mvn_devctldtatable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devctldtatable_entry() override;
};
class mvn_devlodtable_entry : public DeviceTable {
public:
    mvn_devlodtable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devlodtable_entry() override;
};
class mvn_devschedtable_entry : public DeviceTable {
public:
    mvn_devschedtable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devschedtable_entry() override;
};
class mvn_devlodgrptable_entry : public DeviceTable {
public:
    mvn_devlodgrptable_entry(MibRowCounts& rows, const DeviceMibHost& host);
    ~mvn_devlodgrptable_entry() override;
};

using mvn_devvartable_intcol = DeviceTableCell;
using mvn_devvartable_strcol = DeviceTableCell;
using mvn_devvartable_fltcol = DeviceTableCell;
using mvn_devevttable_intcol = DeviceTableCell;
using mvn_devevttable_strcol = DeviceTableCell;
using mvn_devctltable_intcol = DeviceTableCell;
using mvn_devctltable_strcol = DeviceTableCell;
using mvn_devctldtatable_intcol = DeviceTableCell;
using mvn_devctldtatable_strcol = DeviceTableCell;
using mvn_devlodtable_intcol = DeviceTableCell;
using mvn_devlodtable_strcol = DeviceTableCell;
using mvn_devschedtable_intcol = DeviceTableCell;
using mvn_devschedtable_strcol = DeviceTableCell;
using mvn_devschedtable_rowstatus = DeviceRowStatus;
using mvn_devlodgrptable_intcol = DeviceTableCell;
using mvn_devlodgrptable_strcol = DeviceTableCell;
using mvn_devlodgrptable_rowstatus = DeviceRowStatus;

// Schedules a device may have at most.
constexpr uint32_t kMaxSchedules = 64;

// Adds the seven item tables to the group, in their order.
void AddDeviceItemTables(MibGroup& group, MibRowCounts& rows, const DeviceMibHost& host);
