#include "engine/agent/DeviceItemTables.h"

namespace {

#define E "1.3.6.1.4.1.64950"

const DeviceTableShape kVariableShape{E ".10.2.3.1.1", 2, kItemVariables, &DeviceItems::variables,
                                      "IIISIsSIIFFFFFF"};
const DeviceTableShape kEventShape{E ".10.2.3.2.1", 2, kItemEvents, &DeviceItems::events,
                                   "IIISSImccssiiiiiiddiiiSsiissiiiiiiiiisi"};
const DeviceTableShape kControlShape{E ".10.2.3.3.1", 2, kItemControls, &DeviceItems::controls, "ISiIiI"};
const DeviceTableShape kControlDataShape{E ".10.2.3.4.1", 3, kItemControlData, &DeviceItems::controls, "IIiSII"};
const DeviceTableShape kLoadShape{E ".10.2.3.5.1", 2, kItemLoads, &DeviceItems::loads, "IIIisiiiiiii"};
const DeviceTableShape kScheduleShape{E ".10.2.3.6.1", 2, kItemSchedules, &DeviceItems::schedules, "IRisiiiI"};
const DeviceTableShape kLoadGroupShape{E ".10.2.3.7.1", 2, kItemLoadGroups, &DeviceItems::loadGroups, "IRssIi"};

} // namespace

mvn_devvartable_entry::mvn_devvartable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kVariableShape, rows, host)
{
}
mvn_devvartable_entry::~mvn_devvartable_entry() = default;

mvn_devevttable_entry::mvn_devevttable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kEventShape, rows, host)
{
}
mvn_devevttable_entry::~mvn_devevttable_entry() = default;

mvn_devctltable_entry::mvn_devctltable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kControlShape, rows, host)
{
}
mvn_devctltable_entry::~mvn_devctltable_entry() = default;

mvn_devctldtatable_entry::mvn_devctldtatable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kControlDataShape, rows, host)
{
}
mvn_devctldtatable_entry::~mvn_devctldtatable_entry() = default;

mvn_devlodtable_entry::mvn_devlodtable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kLoadShape, rows, host)
{
}
mvn_devlodtable_entry::~mvn_devlodtable_entry() = default;

mvn_devschedtable_entry::mvn_devschedtable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kScheduleShape, rows, host)
{
}
mvn_devschedtable_entry::~mvn_devschedtable_entry() = default;

mvn_devlodgrptable_entry::mvn_devlodgrptable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kLoadGroupShape, rows, host)
{
}
mvn_devlodgrptable_entry::~mvn_devlodgrptable_entry() = default;

void AddDeviceItemTables(MibGroup& group, MibRowCounts& rows, const DeviceMibHost& host)
{
    group.add(new mvn_devvartable_entry(rows, host));
    group.add(new mvn_devevttable_entry(rows, host));
    group.add(new mvn_devctltable_entry(rows, host));
    group.add(new mvn_devctldtatable_entry(rows, host));
    group.add(new mvn_devlodtable_entry(rows, host));
    group.add(new mvn_devlodgrptable_entry(rows, host));
    group.add(new mvn_devschedtable_entry(rows, host));
}
