// The engine variables by key: dispatch of GetValue/SetValue over the key groups, the engine scalars
// (group 0x00) with their GET answers and SET effects, the engine information (group 0x01), the row
// operations and the rewrite of the whole INI file.
//
// Key groups (bits 16-23): 0x00 engine scalars 1-95 (top byte 0x82: a writable device item), 0x01
// engine information, 0x02 console settings, 0x03 device settings, 0x0C trap destinations, 0x0D groups
// (read only), 0x10 remote agents, 0x04/0x0B/0x0E/0x0F/0x30 tables without content, any other group
// the devices.

#include <algorithm>
#include <cstring>
#include <ctime>
#include <sstream>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/server/Server.h"
#include "platform/AtomicFile.h"

namespace {

constexpr uint32_t kEnterprise[] = {1, 3, 6, 1, 4, 1, 64950};

std::vector<uint32_t> Oid(std::initializer_list<uint32_t> suffix)
{
    std::vector<uint32_t> oid(std::begin(kEnterprise), std::end(kEnterprise));
    oid.insert(oid.end(), suffix);
    return oid;
}

enum class Kind { kTruth, kText, kNumber };

// One engine scalar that lives in a word of the settings record.
struct Variable {
    uint32_t var;
    Kind kind;
    int word;
    uint32_t bit;                // kTruth: the bit
    bool settable;               // a SET stores the value (false: GET only, a SET does nothing)
    bool iniText;                // kText written to the INI file: texts it cannot hold are refused
    std::vector<uint32_t> trap;  // ValueChangedTrap varbind after a SET; empty: none
};

const std::vector<Variable>& Variables()
{
    using W = int;
    static const std::vector<Variable> kVariables = {
        {2, Kind::kTruth, EngineWord::kOptions, kOptionEnableAutoDiscovery, true, false, Oid({10, 1, 5, 1, 0})},
        {4, Kind::kTruth, EngineWord::kOptions, kOptionShutdownRequiredAll, true, false, Oid({10, 1, 2, 5, 0})},
        {7, Kind::kTruth, EngineWord::kOptions, kOptionEnableHibernation, true, false, Oid({10, 1, 4, 2, 0})},
        {8, Kind::kText, EngineWord::kSmtpServer, 0, true, true, Oid({10, 1, 6, 1, 0})},
        {9, Kind::kText, EngineWord::kSmtpFrom, 0, true, true, Oid({10, 1, 6, 2, 0})},
        {14, Kind::kNumber, EngineWord::kEventLogMaxSize, 0, true, false, Oid({10, 4, 2, 1, 0})},
        {16, Kind::kText, EngineWord::kText11, 0, true, false, Oid({10, 1, 7, 1, 0})},
        {17, Kind::kText, EngineWord::kCommunity, 0, true, false, {}},
        {21, Kind::kTruth, EngineWord::kOptions, kOptionEnableBroadcast, true, false, Oid({10, 1, 2, 7, 5, 0})},
        {25, Kind::kNumber, EngineWord::kSmtpPort, 0, true, false, Oid({10, 1, 6, 3, 0})},
        {26, Kind::kNumber, EngineWord::kRemoteLoopbackDelay, 0, true, false, {}},
        {28, Kind::kNumber, EngineWord::kRemoteThreadCount, 0, true, false, {}},
        {29, Kind::kNumber, EngineWord::kEngineIpAddress, 0, true, false, {}},
        {30, Kind::kNumber, EngineWord::kAutoUpdateTrapMinutes, 0, false, false, {}},
        {32, Kind::kTruth, EngineWord::kOptions, kOptionSmtpAuthenticationRequired, true, false,
         Oid({10, 1, 6, 4, 0})},
        {33, Kind::kText, EngineWord::kSmtpLogin, 0, true, true, Oid({10, 1, 6, 5, 0})},
        {34, Kind::kText, EngineWord::kSmtpPassword, 0, true, true, Oid({10, 1, 6, 6, 0})},
        {35, Kind::kTruth, EngineWord::kFlags, kFlagEnableLocalBroadcast, true, false, Oid({10, 1, 2, 7, 1, 0})},
        {36, Kind::kTruth, EngineWord::kFlags, kFlagEnableNetworkBroadcast, true, false, Oid({10, 1, 2, 7, 2, 0})},
        {37, Kind::kTruth, EngineWord::kFlags, 1u << 2, true, false, Oid({10, 1, 2, 7, 3, 0})},
        {38, Kind::kText, EngineWord::kText16, 0, true, false, Oid({10, 1, 2, 7, 4, 0})},
        {39, Kind::kTruth, EngineWord::kFlags, kFlagEnableShutdownTimer, true, false, Oid({10, 1, 2, 8, 0})},
        {40, Kind::kTruth, EngineWord::kFlags, kFlagDisableAutoDiscoveryAtStartup, true, false,
         Oid({10, 1, 5, 4, 0})},
        {43, Kind::kNumber, EngineWord::kDataLogInterval, 0, true, false, Oid({10, 4, 1, 2, 0})},
        {44, Kind::kNumber, EngineWord::kDataLogDuration, 0, true, false, Oid({10, 4, 1, 3, 0})},
        {45, Kind::kTruth, EngineWord::kFlags, kFlagDataLogTextFile, true, false, Oid({10, 4, 1, 4, 0})},
        {46, Kind::kTruth, EngineWord::kFlags, kFlagDataLogAppend, true, false, Oid({10, 4, 1, 5, 0})},
        {47, Kind::kTruth, EngineWord::kFlags, kFlagEventLogTextFile, true, false, Oid({10, 4, 2, 2, 0})},
        {48, Kind::kTruth, EngineWord::kFlags, kFlagEventLogAppend, true, false, Oid({10, 4, 2, 3, 0})},
        {49, Kind::kTruth, EngineWord::kFlags, kFlagWriteExtendedValues, true, false, Oid({10, 1, 2, 11, 0})},
        {51, Kind::kText, EngineWord::kDiscoveryAddresses, 0, true, false, Oid({10, 1, 11, 1, 0})},
        {52, Kind::kNumber, EngineWord::kNumber20, 0, true, false, Oid({10, 1, 11, 2, 0})},
        {53, Kind::kText, EngineWord::kDiscoveryCommunities, 0, true, false, Oid({10, 1, 11, 3, 0})},
        {58, Kind::kNumber, EngineWord::kRemoteTrapPort, 0, false, false, {}},
        {59, Kind::kText, EngineWord::kText23, 0, false, false, {}},
        {60, Kind::kNumber, EngineWord::kNumber24, 0, false, false, {}},
        {61, Kind::kText, EngineWord::kText25, 0, false, false, {}},
        {66, Kind::kNumber, EngineWord::kNumber26, 0, false, false, {}},
        {87, Kind::kNumber, W(37), 0, false, false, {}},
        {88, Kind::kNumber, W(38), 0, false, false, {}},
        {89, Kind::kNumber, W(39), 0, false, false, {}},
        {90, Kind::kNumber, W(40), 0, false, false, {}},
        {91, Kind::kNumber, W(41), 0, false, false, {}},
        {92, Kind::kTruth, EngineWord::kFlags, kFlagOldDataFile, false, false, {}},
    };
    return kVariables;
}

const Variable* FindVariable(uint32_t var)
{
    for (const auto& v : Variables())
        if (v.var == var)
            return &v;
    return nullptr;
}

constexpr uint32_t kBroadcastValueShift = 12;
constexpr uint32_t kOption18Shift = 28;
constexpr uint32_t kOption18Mask = 0xF0000000u;

bool ReadInteger(int type, const void* data, size_t length, uint32_t& value)
{
    if (type == kValueOctetString || !data || length < 4)
        return false;
    std::memcpy(&value, data, sizeof value);
    return true;
}

EngineValue MakeValue(int type, const void* data, size_t length)
{
    EngineValue value;
    value.type = type;
    if (type == kValueOctetString) {
        if (data && length)
            value.bytes.assign(static_cast<const char*>(data), length);
    } else {
        ReadInteger(kValueInteger, data, length, value.integer);
    }
    return value;
}

EngineValue Truth(bool set)
{
    return EngineValue::Integer(set ? 1 : 2);
}

} // namespace

void CServer::Announce(const std::vector<uint32_t>& oid, int type, const void* data, size_t length)
{
    m_consoles->SendValueNotification(oid, kValueChangedTrap, MakeValue(type, data, length));
}

int CServer::GetValue(uint32_t key, uint32_t requester, EngineValue& value, uint32_t length)
{
    value = EngineValue();
    const uint32_t group = (key >> 16) & 0xFF;
    const uint32_t top = key >> 24;
    switch (group) {
    case 0x00:
        if (top == 0x82)
            break; // a device item
        return GetEngineScalar(key, requester, value);
    case 0x01:
        return GetEngineInformation(key, value, length);
    case 0x02:
        return m_consoles->GetValue(key, requester, value);
    case 0x0C:
        value = GetSnmpIpTable()->GetValue(key, requester);
        return 1;
    case 0x0D: {
        const uint32_t column = (key >> 8) & 0xFF;
        if (column == 1)
            value = EngineValue::Integer(key & 0xFF);
        else if (column == 2)
            value = EngineValue::Text(std::string());
        return 1;
    }
    case 0x04:
    case 0x0B:
    case 0x0E:
    case 0x0F:
    case 0x30:
        return 1;
    case 0x10:
        return m_remoteAgent->GetValue(key, requester, value);
    default:
        break;
    }
    return m_devices->GetValue(key, m_consoles->GetSelectedDevice(requester), value, length);
}

int CServer::GetEngineInformation(uint32_t key, EngineValue& value, uint32_t length)
{
    switch (key) {
    case 0x85010003:
        value = EngineValue::Text(kEngineVersionText);
        return 1;
    case 0x85010005:
        value = EngineValue::Integer(static_cast<uint32_t>(m_devices->GetCount()));
        return 1;
    case 0x85010006:
        value = EngineValue::Integer(static_cast<uint32_t>(m_consoles->GetCount()));
        return 1;
    case 0x85010007:
        value = EngineValue::Integer(m_snmp->GetEngineIPAddress(), kValueIpAddress);
        return 1;
    default:
        if (key >= 0x8301000B && key <= 0x83010011)
            return m_devices->GetAlarmValue(key, length, value);
        return 1;
    }
}

int CServer::GetEngineScalar(uint32_t var, uint32_t requester, EngineValue& value)
{
    CDeviceEngineTable* config = GetEngineConfig();
    // Table A: answered by the server itself.
    switch (var) {
    case 1:
    case 3:
    case 67:
        return 1;
    case 6:
        value = Truth(IsHibernateAllowed() != 0);
        return 1;
    case 19: {
        const int64_t countdown = GetCountdownTime();
        const int64_t left = countdown == 0 ? 0 : std::max<int64_t>(countdown - std::time(nullptr), 0);
        value = EngineValue::Integer(static_cast<uint32_t>(std::min<int64_t>(left, INT32_MAX)));
        return 1;
    }
    case 20:
        value = EngineValue::Text(GetEngineMac());
        return 1;
    case 41:
        value = EngineValue::Integer(static_cast<uint32_t>(m_remoteAgent->GetRowCount()));
        return 1;
    case 42:
        value = EngineValue::Text("00.00.0000.00");
        return 1;
    case 57: {
        const int cap = m_remoteAgent->GetMaxNodes();
        value = EngineValue::Integer(cap >= 0 ? static_cast<uint32_t>(cap) : config->GetWord(EngineWord::kRemoteMaxNodes));
        return 1;
    }
    case 78:
    case 79:
    case 80:
    case 81:
    case 82:
        value = EngineValue::Text(timeStampConfigFileInterface::GetText(
            static_cast<timeStampConfigFileInterface::Field>(var - 78)));
        return 1;
    default:
        break;
    }

    // Table B: the settings record.
    if (!config->HasBlock())
        return 1;
    switch (var) {
    case 5: {
        const uint32_t v = (config->GetWord(EngineWord::kOptions) & kOptionBroadcastValueMask) >> kBroadcastValueShift;
        value = EngineValue::Integer(v == 0 ? 3 : v);
        return 1;
    }
    case 7:
        value = Truth(IsHibernateAllowed() && (config->GetWord(EngineWord::kOptions) & kOptionEnableHibernation));
        return 1;
    case 10:
        m_consoles->Activate(requester);
        value = EngineValue::Integer(1);
        return 1;
    case 18:
        value = EngineValue::Integer((config->GetWord(EngineWord::kOptions) & kOption18Mask) >> kOption18Shift);
        return 1;
    case 27:
        value = EngineValue::Integer(config->GetWord(EngineWord::kFlags) >> 24);
        return 1;
    case 29: {
        uint32_t address = config->GetWord(EngineWord::kEngineIpAddress);
        if (address == 0)
            address = m_snmp->GetEngineIPAddress();
        value = EngineValue::Integer(address, kValueIpAddress);
        return 1;
    }
    case 11:
        value = EngineValue::Integer(1);
        return 1;
    case 12:
        value = EngineValue::Integer(13);
        return 1;
    case 13:
        value = EngineValue::Integer(1000);
        return 1;
    case 15:
        value = EngineValue::Integer(65535);
        return 1;
    case 23:
    case 75:
    case 95:
        value = EngineValue::Text(std::string());
        return 1;
    case 54:
    case 55:
    case 64:
    case 65:
    case 93:
        value = EngineValue::Integer(2);
        return 1;
    case 94:
        value = EngineValue::Text("INADDR_ANY:162");
        return 1;
    default:
        break;
    }
    const Variable* v = FindVariable(var);
    if (!v)
        return 1; // every other number answers 0
    switch (v->kind) {
    case Kind::kTruth:
        value = Truth((config->GetWord(v->word) & v->bit) != 0);
        break;
    case Kind::kText:
        value = EngineValue::Text(config->GetText(v->word));
        break;
    case Kind::kNumber:
        value = EngineValue::Integer(config->GetWord(v->word));
        break;
    }
    return 1;
}

bool CServer::SetValue(uint32_t key, uint32_t requester, const EngineValue& value)
{
    if (value.type == kValueOctetString)
        return SetValue(key, requester, value.type, value.bytes.data(), value.bytes.size());
    return SetValue(key, requester, value.type, &value.integer, sizeof value.integer);
}

bool CServer::SetValue(uint32_t key, uint32_t requester, int type, const void* data, size_t length, bool* saved)
{
    const uint32_t group = (key >> 16) & 0xFF;
    if ((key >> 24) == 0x82 || group == 0x03)
        return m_devices->SetValue(key, m_consoles->GetSelectedDevice(requester), type, data, length);
    switch (group) {
    case 0x00:
        return SetEngineScalar(key, requester, type, data, length);
    case 0x02:
        return m_consoles->SetValue(key, requester, type, data, length, saved);
    case 0x0C:
        return GetSnmpIpTable()->SetValue(key, requester, type, data, length);
    case 0x10:
        return m_remoteAgent->SetValue(key, requester, type, data, length);
    default:
        return true; // nothing to set
    }
}

namespace {

// The keys whose texts are communities: the engine's own (17) and the discovery's (53), a console's,
// a trap destination's (column 5) and a remote agent's (column 5).
bool IsCommunityKey(uint32_t key)
{
    if (key == 17 || key == 53 || key == 0x85020014u)
        return true;
    if ((key & 0xFFFF0000u) == 0xA40C0000u)
        return ((key >> 8) & 0xFF) == 5;
    if ((key & 0xFFFF0000u) == 0xA8100000u)
        return ((key >> 12) & 0xF) == 5;
    return false;
}

} // namespace

CServer::Storable CServer::CheckStorable(uint32_t key, int type, const void* data, size_t length)
{
    if (type != kValueOctetString || (length && !data))
        return Storable::kYes; // wrong types are the MIB's to refuse
    const char* bytes = static_cast<const char*>(data);
    // A text ends at its first NUL, as the tables store it.
    const std::string text(bytes ? bytes : "", bytes ? strnlen(bytes, length) : 0);
    const uint32_t group = (key >> 16) & 0xFF;
    // A community with a NUL in it would be stored as its first part only: a secret other than the one
    // the manager set. Refused whole.
    if (text.size() != length && IsCommunityKey(key))
        return Storable::kWrongValue;
    if ((key >> 24) == 0x82 || group == 0x03)
        return Storable::kYes;
    switch (group) {
    case 0x00: {
        const uint32_t var = key;
        if (var == 82)
            return length > timeStampConfigFileInterface::MaxLength(timeStampConfigFileInterface::kFileVersionName)
                       ? Storable::kWrongLength
                       : Storable::kYes;
        const Variable* v = FindVariable(var);
        if (!v || !v->settable || v->kind != Kind::kText)
            return Storable::kYes;
        if (var == 17 && text.size() > kMaxCommunityLength)
            return Storable::kWrongLength;
        if (v->iniText && !IsIniValueSafe(text))
            return Storable::kWrongValue;
        return Storable::kYes;
    }
    case 0x02:
        return key == 0x85020014u && length >= CConsoles::kMaxConsoleCommunityBytes ? Storable::kWrongLength
                                                                                     : Storable::kYes;
    case 0x0C: {
        const uint32_t column = (key >> 8) & 0xFF;
        if ((column == 4 && !CSnmpIpTable::IsAcceptableName(text.data(), text.size())) ||
            (column == 5 && !CSnmpIpTable::IsAcceptableCommunity(text.data(), text.size())))
            return Storable::kWrongValue;
        return Storable::kYes;
    }
    default:
        return Storable::kYes;
    }
}

bool CServer::SetEngineScalar(uint32_t var, uint32_t requester, int type, const void* data, size_t length)
{
    switch (var) {
    case 3:
        return true;
    case 67:
        m_systemQueue->Post(kSystemRequestWriteConfig);
        return true;
    case 82: {
        if (type != kValueOctetString || length > timeStampConfigFileInterface::MaxLength(
                                                      timeStampConfigFileInterface::kFileVersionName))
            return false; // longer than the 127 characters the version name holds: refused, not cut
        std::string text(static_cast<const char*>(data ? data : ""), data ? length : 0);
        timeStampConfigFileInterface::SetText(timeStampConfigFileInterface::kFileVersionName, text);
        return true;
    }
    default:
        break;
    }

    CDeviceEngineTable* config = GetEngineConfig();
    if (!config->HasBlock())
        return true;

    // Refusals first: a refused SET stores, saves and announces nothing.
    const Variable* v = FindVariable(var);
    const bool special = var == 5 || var == 18 || var == 54 || var == 55 || var == 75;
    if (!special && (!v || !v->settable))
        return true; // not listed, or listed with no effect
    uint32_t number = 0;
    std::string text;
    const bool textVariable = var == 75 || (v && v->kind == Kind::kText);
    if (textVariable) {
        if (type != kValueOctetString || (length && !data))
            return false;
        text.assign(static_cast<const char*>(data ? data : ""), data ? length : 0);
        text.resize(std::strlen(text.c_str())); // a text ends at its first NUL, as the record stores it
        if ((var == 17 || var == 53) && text.size() != length)
            return false; // a community is refused, not cut
        if (var == 17 && text.size() > kMaxCommunityLength)
            return false; // the agent would refuse it: never store it
        if (v && v->iniText && !IsIniValueSafe(text))
            return false; // the INI file could not hold it
    } else if (!ReadInteger(type, data, length, number)) {
        return false;
    }

    std::vector<uint32_t> trap = v ? v->trap : std::vector<uint32_t>();
    switch (var) {
    case 5:
        trap = Oid({10, 1, 3, 1, 0});
        if (number == 3)
            config->ModifyWord(EngineWord::kOptions, kOptionBroadcastValueMask, 3u << kBroadcastValueShift);
        {
            uint32_t old = 0;
            config->ModifyWord(EngineWord::kOptions, kOptionEnableBroadcast, 0, &old);
            if (old & kOptionEnableBroadcast) {
                const uint32_t two = 2;
                Announce(Oid({10, 1, 2, 7, 5, 0}), kValueInteger, &two, sizeof two);
            }
        }
        break;
    case 18:
        trap = Oid({10, 1, 3, 2, 1, 0});
        if (number <= 3)
            config->ModifyWord(EngineWord::kOptions, kOption18Mask, number << kOption18Shift);
        break;
    case 54:
        trap = Oid({10, 1, 11, 4, 0});
        if (number == 1) {
            AppLog::Instance()->Printf(kLogInfo, "Adding Remote Discovery Task to System Queue");
            m_remoteAgent->SetDiscoveryRequested(true);
            // A request that never reaches the queue must not hold off polling for good.
            if (m_systemQueue->Post(kSystemRequestDiscovery) != 1)
                m_remoteAgent->SetDiscoveryRequested(false);
        }
        break;
    case 55:
        trap = Oid({10, 1, 11, 5, 0});
        if (number == 1) {
            m_remoteAgent->SetDiscoveryRequested(false);
            AppLog::Instance()->Printf(kLogInfo, "Received Request to Cancel Autodiscover");
        }
        break;
    case 75: {
        m_remoteAgent->Relocate(IpAddressToString(requester), text);
        break;
    }
    case 14:
        config->SetWord(v->word, std::clamp<uint32_t>(number, 100, 20000));
        break;
    case 26:
        config->SetWord(v->word, number == 0 ? 1 : number);
        break;
    case 29: {
        uint32_t old = 0;
        config->ModifyWord(v->word, 0xFFFFFFFFu, number, &old);
        if (old != number) // the old address check does not hold for the new address
            config->ModifyWord(EngineWord::kFlags, kFlagEngineAddressChecked, 0);
        break;
    }
    case 44:
        if (number == 1 || number == 7 || number == 30 || number == 90 || number == 180)
            config->SetWord(v->word, number);
        break;
    default:
        switch (v->kind) {
        case Kind::kTruth:
            if (number == 1)
                config->ModifyWord(v->word, 0, v->bit);
            else if (number == 2)
                config->ModifyWord(v->word, v->bit, 0);
            break;
        case Kind::kNumber:
            config->SetWord(v->word, number);
            break;
        case Kind::kText:
            if (!config->SetText(v->word, text.data(), text.size()))
                return false;
            if (var == 17) {
                SetCommunity(text);
                m_snmp->SnmpSetCommunity(text);
            }
            break;
        }
        break;
    }

    SaveUserExtension();
    if (!trap.empty())
        Announce(trap, type, data, length);
    return true;
}

uint32_t CServer::GetIntValue(uint32_t key, uint32_t requester, uint32_t length)
{
    EngineValue value;
    value.type = kValueInteger;
    if (!GetValue(key, requester, value, length))
        return 0;
    return value.integer;
}

std::string CServer::GetStringValue(uint32_t key, uint32_t requester, uint32_t length)
{
    EngineValue value;
    value.type = kValueOctetString;
    if (!GetValue(key, requester, value, length))
        return {};
    return value.bytes;
}

bool CServer::SetIntValue(uint32_t key, uint32_t requester, uint32_t value, bool* saved)
{
    return SetValue(key, requester, kValueInteger, &value, sizeof value, saved);
}

uint32_t CServer::AddRow(uint32_t rowClassKey)
{
    if (rowClassKey >= 0x70000 && rowClassKey <= 0x7FFFF) {
        const uint32_t key = GetSnmpIpTable()->AddEmptyRow();
        return key == kDataKeyFailed ? 0xFFFFFFFFu : key;
    }
    if (rowClassKey >= 0x90000 && rowClassKey <= 0x9FFFF)
        return m_remoteAgent->AddTableRow();
    return 0xFFFFFFFFu;
}

int CServer::DeleteRow(uint32_t rowClassKey)
{
    if (rowClassKey < 0x10000)
        return m_devices->DeleteByIndex(static_cast<int>(rowClassKey));
    if (rowClassKey >= 0x70000 && rowClassKey <= 0x7FFFF)
        return GetSnmpIpTable()->RemoveByIndex(rowClassKey & 0xFFFF) ? 1 : 0;
    if (rowClassKey >= 0x90000 && rowClassKey <= 0x9FFFF)
        return m_remoteAgent->QueueForRemoval(static_cast<int>(rowClassKey & 0xFFFF));
    return 0;
}

void CServer::WriteConfigFile()
{
    std::ostringstream out;
    m_remoteAgent->WriteConfigSections(out);
    m_devices->WriteConfig(out);
    GetEngineConfig()->WriteConfigurationValues(out);
    GetSnmpIpTable()->WriteConfigurationValues(out);
    {
        timeStampConfigFileInterface versions(&out);
        versions.Process();
    }
    if (!out) {
        AppLog::Instance()->Printf(kLogError, "[CServer::WriteConfigFile]: the INI text could not be built");
        return;
    }
    const std::string content = out.str();
    std::string error;
    // Whole or not at all, and private: the file holds SMTP passwords and trap communities.
    if (!vgplat::WriteFileAtomically(m_paths.config, content.data(), content.size(), 0600, &error))
        AppLog::Instance()->Printf(kLogError, "[CServer::WriteConfigFile]: %s was not written: %s",
                                   m_paths.config.c_str(), error.c_str());
}
