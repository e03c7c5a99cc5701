#include "engine/agent/DeviceTables.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/agent/DeviceItemTables.h"
#include "engine/agent/KeyedScalars.h"
#include "engine/agent/TableRows.h"
#include "engine/base/Helpers.h"
#include "engine/core/server/Server.h"
#include "platform/NetInterfaces.h"

namespace {

// Device indexes and item numbers go into 16-bit halves of the keys.
constexpr uint32_t kIndexLimit = 0xFFFF;
// Schedule and load-group rows go into 8 bits of their row keys.
constexpr uint32_t kItemRowLimit = 0xFF;
constexpr uint32_t kControlDataItems = 6;
constexpr uint32_t kRowAddFailed = 0xFFFFFFFFu;

uint32_t Limit(const void* context, const SnmpOid& prefix)
{
    const auto* table = static_cast<const DeviceTable*>(context);
    switch (prefix.size()) {
    case 0:
        return table->DeviceCount();
    case 1:
        return table->ItemCount(prefix[0]);
    default:
        return kControlDataItems;
    }
}

bool ControlDataExists(const void* context, const SnmpOid& index)
{
    const auto* table = static_cast<const DeviceTable*>(context);
    DeviceItemAccess* access = table->Access();
    return access && !access->GetText(static_cast<int>(index[0]), kItemControlData << 16 | index[1],
                                      index[2] << 16 | 4)
                           .empty();
}

IndexExists ExistsOf(const DeviceTableShape& shape)
{
    return shape.levels == 3 ? ControlDataExists : nullptr;
}

bool IsIntegerKind(char kind)
{
    return kind == 'I' || kind == 'i' || kind == 'm' || kind == 'd';
}

bool IsWritableKind(char kind)
{
    return kind == 'i' || kind == 's' || kind == 'm' || kind == 'c' || kind == 'd';
}

unsigned char SyntaxOf(char kind)
{
    return IsIntegerKind(kind) ? kSnmpInteger : kSnmpOctetString;
}

MibAccess AccessOf(char kind)
{
    return IsWritableKind(kind) ? MibAccess::ReadWrite : MibAccess::ReadOnly;
}

} // namespace

std::string FormatDecimalText(uint32_t bits, int32_t places)
{
    float single = 0;
    static_assert(sizeof single == sizeof bits, "single precision is 32 bits");
    std::memcpy(&single, &bits, sizeof single);
    const int digits = std::clamp(places, 0, 6);
    const double value = single;
    char text[64];
    int length = std::snprintf(text, sizeof text, "%.*f", digits, value);
    if (length < 0 || static_cast<size_t>(length) > kDecimalTextLimit)
        length = std::snprintf(text, sizeof text, "%.*e", digits, value);
    if (length < 0)
        return std::string();
    return std::string(text, std::min<size_t>(static_cast<size_t>(length), sizeof text - 1));
}

DeviceItems ReadDeviceItems(DeviceItemAccess& access, int device)
{
    auto count = [&](uint32_t column) { return std::max(access.GetInt(device, 0, column), 0); };
    DeviceItems items;
    items.variables = count(kColumnVariableCount);
    items.events = count(kColumnEventCount);
    items.controls = count(kColumnControlCount);
    items.loads = count(kColumnLoadCount);
    items.schedules = count(kColumnScheduleCount);
    items.loadGroups = count(kColumnLoadGroupCount);
    return items;
}

std::map<int, DeviceItems> ReadAllDeviceItems(DeviceItemAccess& access, int deviceCount)
{
    std::map<int, DeviceItems> all;
    for (int device = 1; device <= deviceCount; ++device)
        all[device] = ReadDeviceItems(access, device);
    return all;
}

bool IsStorableDelay(int32_t seconds)
{
    return seconds >= 0 && static_cast<uint32_t>(seconds) <= kMaxReactionDelay;
}

bool MayWriteCommands(const MibRequest& request)
{
    if (request.authenticated)
        return true;
    if ((request.requester & 0xFF) == 127)
        return true;
    std::vector<vgplat::InterfaceAddress> addresses;
    if (!request.requester || !vgplat::ListInterfaceAddresses(addresses))
        return false;
    for (const auto& a : addresses) {
        uint32_t local = 0;
        if (ParseIpv4(a.ipv4.c_str(), local) && local == request.requester)
            return true;
    }
    return false;
}

DeviceTable::DeviceTable(const DeviceTableShape& shape, MibRowCounts& rows, const DeviceMibHost& host)
    : MibTable(shape.entryOid), m_shape(shape), m_rows(rows), m_host(host)
{
    add_voter(this);
    const size_t n = std::strlen(shape.columns);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t column = static_cast<uint32_t>(i + 1);
        if (shape.columns[i] == 'R')
            add_col(new DeviceRowStatus(*this));
        else
            add_col(new DeviceTableCell(*this, column, shape.columns[i]));
    }
}

DeviceTable::~DeviceTable() = default;

uint32_t DeviceTable::DeviceCount() const
{
    return std::min(m_rows.devices.Count(), kIndexLimit);
}

uint32_t DeviceTable::ItemCount(uint32_t device) const
{
    if (!m_shape.count || device == 0 || device > DeviceCount())
        return 0;
    const int count = m_rows.deviceItems.Get(static_cast<int>(device)).*m_shape.count;
    return std::min(static_cast<uint32_t>(std::max(count, 0)), kIndexLimit);
}

DeviceTable::Cell DeviceTable::CellOf(const SnmpOid& index, uint32_t column) const
{
    Cell cell;
    cell.device = index.empty() ? 0 : static_cast<int>(std::min(index[0], kIndexLimit + 1));
    cell.column = column;
    if (m_shape.levels == 1) {
        cell.item = m_shape.item;
    } else if (index.size() >= 2) {
        cell.item = m_shape.item << 16 | (index[1] & kIndexLimit);
        if (m_shape.levels == 3 && index.size() >= 3)
            cell.column = index[2] << 16 | column;
    }
    return cell;
}

bool DeviceTable::has_row(const SnmpOid& index) const
{
    return HasNestedIndex(m_shape.levels, index, this, Limit, ExistsOf(m_shape));
}

bool DeviceTable::next_row(const SnmpOid& after, bool inclusive, SnmpOid& index) const
{
    return NextNestedIndex(m_shape.levels, after, inclusive, this, Limit, ExistsOf(m_shape), index);
}

int DeviceTable::is_creation_ok(MibTable&, MibLeaf&, const SnmpOid& index, const SnmpValue&)
{
    if (index.size() != m_shape.levels)
        return kSnmpErrNoCreation;
    const uint32_t limit = m_shape.levels == 1 ? kIndexLimit : kItemRowLimit;
    for (uint32_t part : index)
        if (part == 0 || part > limit)
            return kSnmpErrNoCreation;
    return kSnmpErrNoError;
}

DeviceTableCell::DeviceTableCell(DeviceTable& table, uint32_t column, char kind)
    : MibLeaf(SnmpOid{column}, AccessOf(kind), SyntaxOf(kind)), m_table(table), m_column(column), m_kind(kind)
{
}

DeviceTableCell::~DeviceTableCell() = default;

int DeviceTableCell::get_value(const MibRequest& request, SnmpValue& out)
{
    DeviceItemAccess* access = m_table.Access();
    const bool present = access && m_table.has_row(request.index);
    const DeviceTable::Cell cell = m_table.CellOf(request.index, m_column);
    if (IsIntegerKind(m_kind)) {
        out = SnmpValue::Integer(present ? access->GetInt(cell.device, cell.item, cell.column) : 0);
    } else if (m_kind == 'F') {
        std::string text;
        if (present) {
            const int32_t places = access->GetInt(cell.device, cell.item, 9);
            const auto bits = static_cast<uint32_t>(access->GetInt(cell.device, cell.item, cell.column));
            text = FormatDecimalText(bits, places);
        }
        out = SnmpValue::Octets(std::move(text));
    } else {
        out = SnmpValue::Octets(present ? access->GetText(cell.device, cell.item, cell.column) : std::string());
    }
    return kSnmpErrNoError;
}

int DeviceTableCell::prepare_set_request(const MibRequest& request, const SnmpValue& value)
{
    const int status = MibLeaf::prepare_set_request(request, value);
    if (status != kSnmpErrNoError)
        return status;
    if (value.type == kSnmpOctetString && value.bytes.size() > kKeyedTextLimit)
        return kSnmpErrWrongLength;
    if (m_kind == 'c' && !MayWriteCommands(request))
        return kSnmpErrNoAccess;
    if (m_kind == 'd' && !IsStorableDelay(static_cast<int32_t>(value.integer)))
        return kSnmpErrWrongValue;
    return kSnmpErrNoError;
}

int DeviceTableCell::set(const MibRequest& request, const SnmpValue& value)
{
    DeviceItemAccess* access = m_table.Access();
    if (!access || !m_table.has_row(request.index))
        return kSnmpErrNoCreation;
    const DeviceTable::Cell cell = m_table.CellOf(request.index, m_column);
    bool saved = true;
    if (IsIntegerKind(m_kind)) {
        int32_t number = static_cast<int32_t>(value.integer);
        if (m_kind == 'm')
            number &= 0xFFFF;
        saved = access->SetInt(cell.device, cell.item, cell.column, number);
    } else {
        saved = access->SetText(cell.device, cell.item, cell.column, value.bytes);
    }
    // A change the device file does not hold fails (the framework writes the old value back).
    return saved ? kSnmpErrNoError : kSnmpErrCommitFailed;
}

DeviceRowStatus::DeviceRowStatus(DeviceTable& table)
    : MibLeaf(SnmpOid{2}, MibAccess::ReadCreate, kSnmpInteger), m_table(table)
{
}

DeviceRowStatus::~DeviceRowStatus() = default;

int DeviceRowStatus::get_value(const MibRequest& request, SnmpValue& out)
{
    DeviceItemAccess* access = m_table.Access();
    const DeviceTable::Cell cell = m_table.CellOf(request.index, 2);
    out = SnmpValue::Integer(access && m_table.has_row(request.index) ? access->GetInt(cell.device, cell.item, 2)
                                                                       : 0);
    return kSnmpErrNoError;
}

int DeviceRowStatus::prepare_set_request(const MibRequest& request, const SnmpValue& value)
{
    const int status = MibLeaf::prepare_set_request(request, value);
    if (status != kSnmpErrNoError)
        return status;
    const bool deviceRow = m_table.Shape().levels == 1;
    const uint32_t row = request.index.empty() ? 0 : request.index.back();
    return RowStatusCheck({row, value.integer, 0, deviceRow ? kIndexLimit : kItemRowLimit, false});
}

// The row a row-status write is about: the device and, in the schedule and load-group tables, the item
// (0 in the device table).
struct DeviceRowStatus::Decision {
    RowStatusDecision decision;
    uint32_t device = 0;
    uint32_t item = 0;
};

// Called with a non-empty index.
DeviceRowStatus::Decision DeviceRowStatus::Decide(const MibRequest& request, const SnmpValue& value) const
{
    Decision d;
    if (m_table.Shape().levels == 1) {
        d.device = request.index[0];
        d.decision = DecideRowStatus({d.device, value.integer, m_table.DeviceCount(), kIndexLimit, false});
        return d;
    }
    // Schedules and load groups: device.item.
    if (request.index.size() != 2) {
        d.decision = {kSnmpErrGenErr, RowStatusAction::None};
        return d;
    }
    d.device = request.index[0];
    d.item = request.index[1];
    if (d.item == 0) {
        d.decision = {kSnmpErrReadOnly, RowStatusAction::None};
        return d;
    }
    if (d.device == 0 || d.device > m_table.DeviceCount()) {
        d.decision = {kSnmpErrNoSuchName, RowStatusAction::None};
        return d;
    }
    const bool schedules = m_table.Shape().item == kItemSchedules;
    const uint32_t count = m_table.ItemCount(d.device);
    d.decision = DecideRowStatus({d.item, value.integer, count, kItemRowLimit, schedules && count >= kMaxSchedules});
    return d;
}

int DeviceRowStatus::set(const MibRequest& request, const SnmpValue& value)
{
    DeviceItemAccess* access = m_table.Access();
    CServer* server = CServer::Instance();
    if (!access || !server || request.index.empty())
        return kSnmpErrGenErr;
    const int32_t v = static_cast<int32_t>(value.integer);
    const DeviceTable::Cell cell = m_table.CellOf(request.index, 2);
    const Decision d = Decide(request, value);

    if (m_table.Shape().levels == 1) {
        switch (d.decision.action) {
        case RowStatusAction::SetStatus:
            return access->SetInt(cell.device, 0, 2, v) ? kSnmpErrNoError : kSnmpErrCommitFailed;
        case RowStatusAction::Create:
            // The engine makes its devices itself: it refuses every index.
            return server->AddRow(d.device) == kRowAddFailed ? kSnmpErrGenErr : kSnmpErrNoError;
        case RowStatusAction::Destroy:
            if (server->DeleteRow(d.device) != 1)
                return kSnmpErrGenErr;
            // The same removal as the engine's own: the last row, the main-load row, the item tables.
            if (m_table.Host().removeLastDevice)
                m_table.Host().removeLastDevice();
            return kSnmpErrNoError;
        case RowStatusAction::None:
            break;
        }
        return d.decision.status;
    }

    const uint32_t itemClass = m_table.Shape().item;
    const uint32_t key = itemClass << 16 | d.device << 8 | d.item;
    switch (d.decision.action) {
    case RowStatusAction::SetStatus:
        return access->SetInt(cell.device, cell.item, 2, v) ? kSnmpErrNoError : kSnmpErrCommitFailed;
    case RowStatusAction::Create:
        return server->AddRow(key) == kRowAddFailed ? kSnmpErrGenErr : kSnmpErrNoError;
    case RowStatusAction::Destroy: {
        const int removed = server->DeleteRow(key);
        return (itemClass == kItemSchedules ? removed == 1 : removed != 0) ? kSnmpErrNoError : kSnmpErrGenErr;
    }
    case RowStatusAction::None:
        break;
    }
    return d.decision.status;
}

int DeviceRowStatus::undo_creation(const MibRequest& request)
{
    return set(request, SnmpValue::Integer(kRowDestroy));
}

bool DeviceRowStatus::defers_to_commit(const MibRequest&, const SnmpValue& value) const
{
    return value.type == kSnmpInteger && value.integer == kRowDestroy;
}

int DeviceRowStatus::check_deferred(const MibRequest& request, const SnmpValue& value)
{
    if (!m_table.Access() || !CServer::Instance() || request.index.empty())
        return kSnmpErrGenErr;
    const Decision d = Decide(request, value);
    if (d.decision.status != kSnmpErrNoError)
        return d.decision.status;
    return d.decision.action == RowStatusAction::Destroy ? kSnmpErrNoError : kSnmpErrGenErr;
}

namespace {

#define E "1.3.6.1.4.1.64950"

const DeviceTableShape kDeviceShape{E ".10.2.2.1", 1, 0, nullptr, "IRIISIISSssssISsIIIIIIIIIIII"};
const DeviceTableShape kMainLoadShape{E ".10.2.4.1", 1, kItemLoads << 16, nullptr, "IIiI"};

} // namespace

mvn_devtable_entry::mvn_devtable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kDeviceShape, rows, host)
{
}
mvn_devtable_entry::~mvn_devtable_entry() = default;

mvn_devmainloadtable_entry::mvn_devmainloadtable_entry(MibRowCounts& rows, const DeviceMibHost& host)
    : DeviceTable(kMainLoadShape, rows, host)
{
}
mvn_devmainloadtable_entry::~mvn_devmainloadtable_entry() = default;

mervane_devtable_mib::mervane_devtable_mib(MibRowCounts& rows, const DeviceMibHost& host)
    : MibGroup(E ".10.2", "mvnDevTable")
{
    add(new mervane_keyed_intoid(E ".10.2.1.0", MibAccess::ReadOnly, 0x85010005)); // engineDeviceCount
    add(new mvn_devtable_entry(rows, host));
    add(new mvn_devmainloadtable_entry(rows, host));
    AddDeviceItemTables(*this, rows, host);
}
mervane_devtable_mib::~mervane_devtable_mib() = default;
