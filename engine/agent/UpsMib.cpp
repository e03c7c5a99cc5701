#include "engine/agent/UpsMib.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/agent/KeyedScalars.h"
#include "engine/agent/TableRows.h"
#include "engine/core/devices/WellKnownAlarms.h"
#include "engine/core/server/Server.h"

namespace {

#define U "1.3.6.1.2.1.33"
#define E "1.3.6.1.4.1.64950"

const SnmpOid kWellKnownAlarms = {1, 3, 6, 1, 2, 1, 33, 1, 6, 3};
const SnmpOid kZeroDotZero = {0, 0};

// The alarm's row from a one-number index; 0 for any other.
uint32_t RowOf(const SnmpOid& index)
{
    return index.size() == 1 ? index[0] : 0;
}

// The OID answer of a key (sub-identifiers as 32-bit words); empty when none.
SnmpOid EngineOid(uint32_t key, uint32_t requester, uint32_t length)
{
    SnmpOid oid;
    CServer* server = CServer::Instance();
    if (!server)
        return oid;
    EngineValue value;
    value.type = kValueObjectId;
    if (!server->GetValue(key, requester, value, length) || value.type != kValueObjectId)
        return oid;
    const size_t count = value.bytes.size() / 4;
    oid.resize(count);
    if (count)
        std::memcpy(oid.data(), value.bytes.data(), count * 4);
    return oid;
}

enum class AlarmCell { Row, Integer, Ticks, Text, Empty, WellKnown, KeyOid };

class UpsAlarmColumn : public MibLeaf {
public:
    UpsAlarmColumn(uint32_t column, AlarmCell kind, uint32_t key)
        : MibLeaf(SnmpOid{column}, MibAccess::ReadOnly, SyntaxOf(kind)), m_kind(kind), m_key(key)
    {
    }
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        const uint32_t row = RowOf(request.index);
        const uint32_t who = request.requester;
        switch (m_kind) {
        case AlarmCell::Row:
            out = SnmpValue::Integer(static_cast<int32_t>(row));
            break;
        case AlarmCell::Integer:
            out = SnmpValue::Integer(EngineInteger(m_key, who, row));
            break;
        case AlarmCell::Ticks:
            out = SnmpValue::TimeTicks(static_cast<uint32_t>(EngineInteger(m_key, who, row)));
            break;
        case AlarmCell::Text:
            out = SnmpValue::Octets(EngineText(m_key, who, row));
            break;
        case AlarmCell::Empty:
            out = SnmpValue::Octets(std::string());
            break;
        case AlarmCell::WellKnown:
            out = SnmpValue::ObjectId(UpsWellKnownAlarm(EngineText(m_key, who, row)));
            break;
        case AlarmCell::KeyOid: {
            SnmpOid oid = EngineOid(m_key, who, row);
            // An alarm without an identifier of its own: zeroDotZero, an OID every manager can decode.
            out = SnmpValue::ObjectId(oid.size() >= 2 ? oid : kZeroDotZero);
            break;
        }
        }
        return kSnmpErrNoError;
    }

private:
    static unsigned char SyntaxOf(AlarmCell kind)
    {
        switch (kind) {
        case AlarmCell::Ticks: return kSnmpTimeTicks;
        case AlarmCell::Text:
        case AlarmCell::Empty: return kSnmpOctetString;
        case AlarmCell::WellKnown:
        case AlarmCell::KeyOid: return kSnmpObjectId;
        default: return kSnmpInteger;
        }
    }
    AlarmCell m_kind;
    uint32_t m_key;
};

enum class LoadCell { Row, ItemInt, ItemText, Current, Power };

class UpsDeviceColumn : public MibLeaf {
public:
    UpsDeviceColumn(UpsDeviceTable& table, uint32_t column, LoadCell kind, bool writable, uint32_t base)
        : MibLeaf(SnmpOid{column}, writable ? MibAccess::ReadWrite : MibAccess::ReadOnly,
                  kind == LoadCell::ItemText ? kSnmpOctetString : kSnmpInteger),
          m_table(table), m_column(column), m_kind(kind), m_base(base)
    {
    }
    int get_value(const MibRequest& request, SnmpValue& out) override
    {
        const uint32_t row = RowOf(request.index);
        DeviceItemAccess* access = m_table.Access();
        const bool present = access && m_table.has_row(request.index);
        switch (m_kind) {
        case LoadCell::Row:
            out = SnmpValue::Integer(static_cast<int32_t>(row));
            break;
        case LoadCell::ItemInt:
            out = SnmpValue::Integer(present ? access->GetInt(1, m_base + row, m_column) : 0);
            break;
        case LoadCell::ItemText:
            out = SnmpValue::Octets(present ? access->GetText(1, m_base + row, m_column) : std::string());
            break;
        case LoadCell::Current:
        case LoadCell::Power: {
            EngineValue value;
            value.type = m_kind == LoadCell::Current ? kValueOctetString : kValueInteger;
            int32_t number = 0;
            if (present && access->GetKeyValue(m_base + row, 1, value)) {
                if (m_kind == LoadCell::Current)
                    number = value.type == kValueOctetString ? LoadCurrentTenths(value.bytes) : 0;
                else
                    number = value.type == kValueOctetString ? 0 : static_cast<int32_t>(value.integer);
            }
            out = SnmpValue::Integer(number);
            break;
        }
        }
        return kSnmpErrNoError;
    }
    int prepare_set_request(const MibRequest& request, const SnmpValue& value) override
    {
        const int status = MibLeaf::prepare_set_request(request, value);
        if (status != kSnmpErrNoError)
            return status;
        return value.bytes.size() > kKeyedTextLimit ? kSnmpErrWrongLength : kSnmpErrNoError;
    }
    int set(const MibRequest& request, const SnmpValue& value) override
    {
        DeviceItemAccess* access = m_table.Access();
        if (!access || !m_table.has_row(request.index))
            return kSnmpErrNoCreation;
        const uint32_t item = m_base + RowOf(request.index);
        const bool saved = m_kind == LoadCell::ItemText
                               ? access->SetText(1, item, m_column, value.bytes)
                               : access->SetInt(1, item, m_column, static_cast<int32_t>(value.integer));
        return saved ? kSnmpErrNoError : kSnmpErrCommitFailed;
    }

private:
    UpsDeviceTable& m_table;
    uint32_t m_column;
    LoadCell m_kind;
    uint32_t m_base;
};

// Columns of a table that never has rows.
void AddEmptyColumns(MibTable& table, uint32_t count)
{
    for (uint32_t c = 1; c <= count; ++c)
        table.add_col(new MibLeaf(SnmpOid{c}, MibAccess::ReadOnly, kSnmpInteger));
}

} // namespace

SnmpOid UpsWellKnownAlarm(const std::string& description)
{
    SnmpOid oid = kWellKnownAlarms;
    oid.push_back(WellKnownAlarmNumber(description));
    return oid;
}

int32_t LoadCurrentTenths(const std::string& text)
{
    // A decimal number with a point, whatever the process locale.
    size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t'))
        ++start;
    const char* begin = text.c_str() + start;
    char* end = nullptr;
    errno = 0;
    locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    double value = 0;
    if (c) {
        locale_t old = uselocale(c);
        value = std::strtod(begin, &end);
        uselocale(old);
        freelocale(c);
    } else {
        value = std::strtod(begin, &end);
    }
    if (end == begin || errno == ERANGE || !std::isfinite(value))
        return 0;
    const double tenths = std::trunc(value * 10);
    if (tenths >= 2147483647.0)
        return INT32_MAX;
    if (tenths <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(tenths);
}

ups_keyed_scalar::ups_keyed_scalar(const char* oidText, uint32_t k, unsigned char syntax, int64_t low, int64_t high,
                                   int32_t unknown)
    : MibLeaf(oidText, MibAccess::ReadOnly, syntax), key(k), m_low(low), m_high(high), m_unknown(unknown)
{
}

ups_keyed_scalar::~ups_keyed_scalar() = default;

int ups_keyed_scalar::get_request(const MibRequest& request, SnmpValue& out)
{
    if (get_syntax() == kSnmpOctetString) {
        std::string text = EngineText(key, request.requester);
        if (text.size() > static_cast<size_t>(m_high))
            text.resize(static_cast<size_t>(m_high));
        out = SnmpValue::Octets(std::move(text));
        return kSnmpErrNoError;
    }
    uint32_t value = 0;
    const bool answered = EngineIntegerAnswered(key, request.requester, value);
    const int64_t number = get_syntax() == kSnmpCounter32 ? static_cast<int64_t>(value)
                                                           : static_cast<int64_t>(static_cast<int32_t>(value));
    if (!answered || number < m_low || number > m_high) {
        if (m_unknown == 0)
            return kMibNoInstance;
        out = SnmpValue::Integer(m_unknown);
        return kSnmpErrNoError;
    }
    out = get_syntax() == kSnmpCounter32 ? SnmpValue::Counter(static_cast<uint32_t>(number))
                                         : SnmpValue::Integer(static_cast<int32_t>(number));
    return kSnmpErrNoError;
}

UpsAlarmTable::UpsAlarmTable(const char* entryOid, const AlarmRows& rows) : MibTable(entryOid), m_rows(rows) {}
UpsAlarmTable::~UpsAlarmTable() = default;

bool UpsAlarmTable::has_row(const SnmpOid& index) const
{
    const uint32_t row = RowOf(index);
    return row != 0 && m_rows.HasRow(row);
}

bool UpsAlarmTable::next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const
{
    uint32_t row = 0;
    if (after.empty())
        row = m_rows.NextRow(0, false);
    else
        row = m_rows.NextRow(after[0], inclusive && after.size() == 1);
    if (row == 0)
        return false;
    index = SnmpOid{row};
    return true;
}

ups_alarm_entry::ups_alarm_entry(const AlarmRows& rows) : UpsAlarmTable(U ".1.6.2.1", rows)
{
    add_col(new UpsAlarmColumn(1, AlarmCell::Row, 0));               // upsAlarmId
    add_col(new UpsAlarmColumn(2, AlarmCell::WellKnown, 0x8301000C)); // upsAlarmDescr
    add_col(new UpsAlarmColumn(3, AlarmCell::Ticks, 0x8301000D));     // upsAlarmTime
}
ups_alarm_entry::~ups_alarm_entry() = default;

mvnups_alarm_entry::mvnups_alarm_entry(const AlarmRows& rows) : UpsAlarmTable(E ".100.1.6.2.1", rows)
{
    add_col(new UpsAlarmColumn(1, AlarmCell::Row, 0));
    add_col(new UpsAlarmColumn(2, AlarmCell::KeyOid, 0x8301000B));
    add_col(new UpsAlarmColumn(3, AlarmCell::Integer, 0x8301000D));
    add_col(new UpsAlarmColumn(4, AlarmCell::Text, 0x8301000C));
    add_col(new UpsAlarmColumn(5, AlarmCell::Integer, 0x8301000E));
    add_col(new UpsAlarmColumn(6, AlarmCell::Text, 0x8301000F));
    add_col(new UpsAlarmColumn(7, AlarmCell::Text, 0x83010010));
    add_col(new UpsAlarmColumn(8, AlarmCell::Integer, 0x83010011));
    add_col(new UpsAlarmColumn(9, AlarmCell::Empty, 0));
    add_col(new UpsAlarmColumn(10, AlarmCell::Empty, 0));
}
mvnups_alarm_entry::~mvnups_alarm_entry() = default;

UpsDeviceTable::UpsDeviceTable(const char* entryOid, const DenseRows& rows, DeviceItemAccess* access)
    : MibTable(entryOid), m_rows(rows), m_access(access)
{
}
UpsDeviceTable::~UpsDeviceTable() = default;

bool UpsDeviceTable::has_row(const SnmpOid& index) const
{
    const uint32_t row = RowOf(index);
    return row >= 1 && row <= std::min<uint32_t>(m_rows.Count(), 0xFFFF);
}

bool UpsDeviceTable::next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const
{
    const uint32_t row = NextDenseRow(std::min<uint32_t>(m_rows.Count(), 0xFFFF), after, inclusive);
    if (row == 0)
        return false;
    index = SnmpOid{row};
    return true;
}

mvnups_lodtable_entry::mvnups_lodtable_entry(const DenseRows& rows, DeviceItemAccess* access)
    : UpsDeviceTable(E ".100.1.10.2.1", rows, access)
{
    for (uint32_t c = 1; c <= 11; ++c) {
        const bool writable = c == 4 || c >= 5;
        add_col(new UpsDeviceColumn(*this, c, c == 5 ? LoadCell::ItemText : LoadCell::ItemInt, writable,
                                    kItemLoads << 16));
    }
}
mvnups_lodtable_entry::~mvnups_lodtable_entry() = default;

mvnups_lodcurrenttable_entry::mvnups_lodcurrenttable_entry(const DenseRows& rows, DeviceItemAccess* access)
    : UpsDeviceTable(E ".100.1.10.3.1", rows, access)
{
    add_col(new UpsDeviceColumn(*this, 1, LoadCell::Row, false, 0));
    add_col(new UpsDeviceColumn(*this, 2, LoadCell::Current, false, 0x8506001F));
}
mvnups_lodcurrenttable_entry::~mvnups_lodcurrenttable_entry() = default;

mvnups_lodpowertable_entry::mvnups_lodpowertable_entry(const DenseRows& rows, DeviceItemAccess* access)
    : UpsDeviceTable(E ".100.1.10.4.1", rows, access)
{
    add_col(new UpsDeviceColumn(*this, 1, LoadCell::Row, false, 0));
    add_col(new UpsDeviceColumn(*this, 2, LoadCell::Power, false, 0x8506005F));
}
mvnups_lodpowertable_entry::~mvnups_lodpowertable_entry() = default;

mvnups_lodgrptable_entry::mvnups_lodgrptable_entry(const DenseRows& rows, DeviceItemAccess* access)
    : UpsDeviceTable(E ".100.1.11.2.1", rows, access)
{
    for (uint32_t c = 1; c <= 6; ++c)
        add_col(new UpsDeviceColumn(*this, c, c == 3 || c == 4 ? LoadCell::ItemText : LoadCell::ItemInt,
                                    c == 3 || c == 4 || c == 6, kItemLoadGroups << 16));
}
mvnups_lodgrptable_entry::~mvnups_lodgrptable_entry() = default;

ups_mib::ups_mib(MibRowCounts& rows) : MibGroup(U, "upsmib")
{
    // upsIdent: texts of their RFC 1628 sizes.
    add(new ups_keyed_scalar(U ".1.1.1.0", 0x85030009, kSnmpOctetString, 0, 31)); // upsIdentManufacturer
    add(new ups_keyed_scalar(U ".1.1.2.0", 0x8503000A, kSnmpOctetString, 0, 63)); // upsIdentModel
    add(new ups_keyed_scalar(U ".1.1.3.0", 0x8503000B, kSnmpOctetString, 0, 63)); // upsIdentUPSSoftwareVersion
    add(new ups_keyed_scalar(U ".1.1.4.0", 0x85010003, kSnmpOctetString, 0, 63)); // upsIdentAgentSoftwareVersion
    add(new ups_keyed_scalar(U ".1.1.5.0", 0x8503000E, kSnmpOctetString, 0, 63)); // upsIdentName
    add(new ups_keyed_scalar(U ".1.1.6.0", 0x85090019, kSnmpOctetString, 0, 63)); // upsIdentAttachedDevices
    // upsBattery: the status from the device's alarms, unknown(1) without a device; the readings
    // only when the device answers them.
    constexpr int64_t kMax = INT32_MAX;
    add(new ups_keyed_scalar(U ".1.2.1.0", kUpsBatteryStatusKey, kSnmpInteger, 1, 4, 1));   // upsBatteryStatus
    add(new ups_keyed_scalar(U ".1.2.2.0", kUpsSecondsOnBatteryKey, kSnmpInteger, 0, kMax)); // upsSecondsOnBattery
    add(new ups_keyed_scalar(U ".1.2.3.0", 0x85070003, kSnmpInteger, 1, kMax));         // upsEstimatedMinutesRemaining
    add(new ups_keyed_scalar(U ".1.2.4.0", 0x85070004, kSnmpInteger, 0, 100));          // upsEstimatedChargeRemaining
    add(new ups_keyed_scalar(U ".1.2.5.0", 0x85070005, kSnmpInteger, 0, kMax));         // upsBatteryVoltage
    add(new ups_keyed_scalar(U ".1.2.6.0", 0x85070006, kSnmpInteger, INT32_MIN, kMax)); // upsBatteryCurrent
    add(new ups_keyed_scalar(U ".1.2.7.0", 0x85070007, kSnmpInteger, INT32_MIN, kMax)); // upsBatteryTemperature
    // upsInput.
    add(new ups_keyed_scalar(U ".1.3.1.0", 0x85080001, kSnmpCounter32, 0, UINT32_MAX)); // upsInputLineBads
    add(new mervane_keyed_intoid(U ".1.3.2.0", MibAccess::ReadOnly, 0x85080002));     // upsInputNumLines
    auto* input = new MibTable(U ".1.3.3.1"); // ups_input_entry
    AddEmptyColumns(*input, 5);
    add(input);
    // upsOutput: the source from the device's alarms, other(1) without a device.
    add(new ups_keyed_scalar(U ".1.4.1.0", kUpsOutputSourceKey, kSnmpInteger, 1, 7, 1)); // upsOutputSource
    add(new ups_keyed_scalar(U ".1.4.2.0", 0x85090002, kSnmpInteger, 0, kMax));          // upsOutputFrequency
    add(new mervane_keyed_intoid(U ".1.4.3.0", MibAccess::ReadOnly, 0x85090003));      // upsOutputNumLines
    auto* output = new MibTable(U ".1.4.4.1"); // ups_output_entry
    AddEmptyColumns(*output, 5);
    add(output);
    // upsBypass.
    add(new ups_keyed_scalar(U ".1.5.1.0", 0x85090081, kSnmpInteger, 0, kMax));     // upsBypassFrequency
    add(new mervane_keyed_intoid(U ".1.5.2.0", MibAccess::ReadOnly, 0x8509009C)); // upsBypassNumLines
    auto* bypass = new MibTable(U ".1.5.3.1"); // ups_bypass_entry
    AddEmptyColumns(*bypass, 4);
    add(bypass);
    // upsAlarm.
    add(new mervane_keyed_gaugeoid(U ".1.6.1.0", MibAccess::ReadOnly, kUpsAlarmCountKey, &rows.upsAlarms));
    add(new ups_alarm_entry(rows.upsAlarms));
}
ups_mib::~ups_mib() = default;

mervane_ups_mib::mervane_ups_mib(MibRowCounts& rows, DeviceItemAccess* access) : MibGroup(E ".100.1", "mvnUps")
{
    struct Scalar {
        const char* oid;
        bool text;
        bool writable;
        uint32_t key;
    } scalars[] = {
        {E ".100.1.1.1.0", false, false, 0},          {E ".100.1.1.2.0", true, false, 0x8503000C},
        {E ".100.1.1.3.0", false, false, 0x8503000D}, {E ".100.1.2.1.0", false, false, 0x8507003A},
        {E ".100.1.2.2.0", false, false, 0x85070008}, {E ".100.1.7.1.0", true, false, 0x85030016},
        {E ".100.1.7.2.0", true, false, 0x8503001A},  {E ".100.1.8.1.0", false, false, 0x85050001},
        {E ".100.1.8.2.0", false, false, 0x85050003}, {E ".100.1.8.3.1.0", false, true, 0x82030001},
        {E ".100.1.8.3.2.0", false, true, 0x82000080}, {E ".100.1.8.3.3.0", false, true, 0x82000081},
        {E ".100.1.8.3.4.0", false, true, 0x82060004}, {E ".100.1.8.3.5.0", false, true, 0x82060005},
        {E ".100.1.9.1.0", true, true, 0x85030014},   {E ".100.1.10.1.0", false, false, 0x85090015},
        {E ".100.1.11.1.0", false, false, 0x87060001}, {E ".100.1.6.100.0", false, false, 0x83010002},
        {E ".100.1.6.101.0", false, false, 0x83010003}, {E ".100.1.6.102.0", false, false, 0x83010009},
        {E ".100.1.6.103.0", false, false, 0x85010041},
    };
    for (const Scalar& s : scalars) {
        const MibAccess a = s.writable ? MibAccess::ReadWrite : MibAccess::ReadOnly;
        if (s.text)
            add(new mervane_keyed_stroid(s.oid, a, s.key));
        else
            add(new mervane_keyed_intoid(s.oid, a, s.key));
    }
    add(new mervane_keyed_gaugeoid(E ".100.1.6.1.0", MibAccess::ReadOnly, kUpsAlarmCountKey, &rows.upsAlarms));
    add(new mvnups_alarm_entry(rows.engineAlarms));
    add(new mvnups_lodtable_entry(rows.upsLoads, access));
    add(new mvnups_lodcurrenttable_entry(rows.upsLoads, access));
    add(new mvnups_lodpowertable_entry(rows.upsLoads, access));
    add(new mvnups_lodgrptable_entry(rows.upsLoadGroups, access));
}
mervane_ups_mib::~mervane_ups_mib() = default;

void AddDeviceAndUpsGroups(Mib& mib, MibRowCounts& rows)
{
    DeviceMibHost host;
    host.access = &EngineDeviceAccess();
    host.removeLastDevice = [] {
        if (CServer* server = CServer::Instance())
            if (ISnmpFacade* facade = server->GetSnmp())
                facade->SnmpRemoveDevice();
    };
    mib.add(new mervane_devtable_mib(rows, host));
    mib.add(new ups_mib(rows));
    mib.add(new mervane_ups_mib(rows, host.access));
}
