#include "engine/core/settings/DeviceEngineTable.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/core/data/BlockWords.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/data/DataArchive.h"
#include "engine/core/interfaces/EngineHooks.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/data/StringTable.h"
#include "engine/core/settings/UserExtension.h"

namespace {

// Engine variable that holds the 4-bit broadcast value (DisableBroadcast sets it to 2).
constexpr uint32_t kBroadcastVariable = 5;

struct FlagKey {
    const char* name;
    int word;
    uint32_t bit;
};

constexpr FlagKey kFlagKeys[] = {
    {"EnableAutoDiscovery", EngineWord::kOptions, kOptionEnableAutoDiscovery},
    {"DisableAutoDiscoveryAtStartup", EngineWord::kFlags, kFlagDisableAutoDiscoveryAtStartup},
    {"EnableBroadcast", EngineWord::kOptions, kOptionEnableBroadcast},
    {"EnableLocalBroadcast", EngineWord::kFlags, kFlagEnableLocalBroadcast},
    {"EnableNetworkBroadcast", EngineWord::kFlags, kFlagEnableNetworkBroadcast},
    {"EnableShutdownTimer", EngineWord::kFlags, kFlagEnableShutdownTimer},
    {"EnableHibernation", EngineWord::kOptions, kOptionEnableHibernation},
    {"SMTPAuthenticationRequired", EngineWord::kOptions, kOptionSmtpAuthenticationRequired},
    {"DataLogTextFile", EngineWord::kFlags, kFlagDataLogTextFile},
    {"DataLogAppend", EngineWord::kFlags, kFlagDataLogAppend},
    {"EventLogTextFile", EngineWord::kFlags, kFlagEventLogTextFile},
    {"EventLogAppend", EngineWord::kFlags, kFlagEventLogAppend},
    {"WriteExtendedValues", EngineWord::kFlags, kFlagWriteExtendedValues},
};

struct WordKey {
    const char* name;
    int word;
};

constexpr WordKey kNumberKeys[] = {
    {"RemoteTrapPort", EngineWord::kRemoteTrapPort},
    {"RemoteLoopbackDelay", EngineWord::kRemoteLoopbackDelay},
    {"RemoteThreadCount", EngineWord::kRemoteThreadCount},
    {"RemoteSnmpRetries", EngineWord::kRemoteSnmpRetries},
    {"RemoteSnmpTimeout", EngineWord::kRemoteSnmpTimeout},
    {"RemoteOfflinePollCycles", EngineWord::kRemoteOfflinePollCycles},
    {"SMTPPort", EngineWord::kSmtpPort},
    {"DataLogInterval", EngineWord::kDataLogInterval},
    {"DataLogDuration", EngineWord::kDataLogDuration},
    {"EventLogMaxSize", EngineWord::kEventLogMaxSize},
    {"AutoUpdateTrapMinutes", EngineWord::kAutoUpdateTrapMinutes},
};

constexpr WordKey kTextKeys[] = {
    {"SMTPServer", EngineWord::kSmtpServer},
    {"SMTPFrom", EngineWord::kSmtpFrom},
    {"SMTPLogin", EngineWord::kSmtpLogin},
    {"SMTPPassword", EngineWord::kSmtpPassword},
};

// The leading decimal integer of a text (0 when there is none), kept inside 32 bits.
uint32_t LeadingInteger(const std::string& text)
{
    errno = 0;
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT_MAX)
        value = INT_MAX;
    if (value < INT_MIN)
        value = INT_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

size_t WordOffset(int index)
{
    return static_cast<size_t>(index) * 4;
}

} // namespace

CDeviceEngineTable::CDeviceEngineTable(EngineHooks* hooks, CStringTable* strings)
    : m_hooks(hooks), m_strings(strings), m_criticalMutex("EngineConfigCriticalMutex#")
{
}

CDeviceEngineTable::~CDeviceEngineTable() = default;

uint32_t CDeviceEngineTable::DefaultWord(int index)
{
    switch (index) {
    case EngineWord::kHeadSize: return kEngineConfigRecordSize;
    case EngineWord::kBlockKey: return kEngineConfigBlockKey;
    case EngineWord::kOptions: return 0x04400000u;
    case EngineWord::kActionMask: return 0xFFFFu;
    case EngineWord::kSmtpPort: return 25;
    case EngineWord::kFlags: return 0x21;
    case EngineWord::kDataLogInterval: return 300;
    case EngineWord::kDataLogDuration: return 7;
    case EngineWord::kRemoteLoopbackDelay: return 2;
    case EngineWord::kRemoteThreadCount: return 25;
    case EngineWord::kEventLogMaxSize: return 1000;
    case EngineWord::kRemoteMaxNodes: return 2;
    case EngineWord::kRemoteSnmpRetries: return 1;
    case EngineWord::kRemoteSnmpTimeout: return 15;
    case EngineWord::kRemoteOfflinePollCycles: return 10;
    default: return 0;
    }
}

bool CDeviceEngineTable::IsExportedTextWord(int index)
{
    for (const WordKey& text : kTextKeys)
        if (text.word == index)
            return true;
    return false;
}

uint64_t CDeviceEngineTable::StoredWordMask(uint32_t version)
{
    auto range = [](int first, int last) {
        uint64_t mask = 0;
        for (int i = first; i <= last; ++i)
            mask |= uint64_t {1} << i;
        return mask;
    };
    uint64_t mask = range(0, 16);
    if (IsDataVersionNewer(version, 0x17))
        mask |= range(17, 18);
    if (IsDataVersionNewer(version, 0x28))
        mask |= range(19, 31);
    if (IsDataVersionNewer(version, 0x29))
        mask |= range(32, 41);
    if (IsDataVersionNewer(version, 0x31))
        mask |= range(42, 42);
    if (IsDataVersionNewer(version, 0x38))
        mask |= range(43, 46);
    return mask;
}

bool CDeviceEngineTable::CheckBlock() const
{
    // A record needs at least its four head words; longer or shorter records are fitted to 188 bytes
    // by FixRecordSize.
    return GetBlock() && GetSize() >= 16;
}

void CDeviceEngineTable::Serialize(CDataArchive& ar)
{
    if (ar.IsStoring()) {
        CDataHeader::Serialize(ar);
        return;
    }
    uint8_t* block = GetBlock();
    const size_t size = static_cast<size_t>(GetSize());
    if (!block || size < 16) {
        uint32_t skipped[4];
        SerializeHeader(ar, skipped);
        return;
    }
    uint32_t head[4];
    if (!SerializeHeader(ar, head))
        return;
    // Words 2 and 3 are reserved in a one-record block: kept at 0, so nothing walks the record as a
    // table.
    head[2] = 0;
    head[3] = 0;
    for (int i = 0; i < 4; ++i)
        StoreWord(block + WordOffset(i), head[i]);

    const uint32_t version = GetVersion();
    const uint64_t stored = StoredWordMask(version);
    // Words are read in order from the block's bytes, each into its own slot; a record shorter than its
    // version claims stops where the block ends.
    size_t consumed = 16;
    uint64_t loaded = 0xF;
    for (int i = 4; i < EngineWord::kCount; ++i) {
        if (!(stored & (uint64_t {1} << i)))
            continue;
        if (consumed + 4 > size || WordOffset(i) + 4 > size)
            break;
        uint32_t value = 0;
        if (!ar.ReadU32(value))
            return;
        consumed += 4;
        StoreWord(block + WordOffset(i), value);
        loaded |= uint64_t {1} << i;
    }
    for (int i = 4; i < EngineWord::kCount && WordOffset(i) + 4 <= size; ++i)
        if (!(loaded & (uint64_t {1} << i)))
            StoreWord(block + WordOffset(i), DefaultWord(i));

    if (size >= WordOffset(EngineWord::kFlags) + 4) {
        uint32_t flags = LoadWord(block + WordOffset(EngineWord::kFlags));
        if (stored & (uint64_t {1} << 32)) {
            uint32_t major = version >> 24, minor = (version >> 16) & 0xFF, build = (version >> 8) & 0xFF;
            if (major < 12 || minor < 4 || build < 0x30)
                flags |= kFlagDisableAutoDiscoveryAtStartup;
        } else {
            flags |= kFlagOldDataFile;
        }
        StoreWord(block + WordOffset(EngineWord::kFlags), flags);
    }
    // The head tells the real size of what was loaded, so a record shorter than 188 bytes is grown.
    StoreWord(block + WordOffset(EngineWord::kHeadSize), static_cast<uint32_t>(size));
}

bool CDeviceEngineTable::CreateRecord(uint32_t blockKey)
{
    std::unique_ptr<uint8_t[]> block = AllocateBlock(kEngineConfigRecordSize);
    if (!block) {
        AppLog::Instance()->Log(kLogError, "[CDeviceEngineTable::ReadFileBlock]: Memory was not allocated for new block");
        ReplaceBlock(nullptr, 0);
        return false;
    }
    for (int i = 0; i < EngineWord::kCount; ++i)
        StoreWord(block.get() + WordOffset(i), DefaultWord(i));
    StoreWord(block.get() + WordOffset(EngineWord::kBlockKey), blockKey);
    {
        DataHeaderLock lock(*this);
        ReplaceBlock(std::move(block), kEngineConfigRecordSize);
    }
    if (m_hooks && m_hooks->IsHibernateAllowed())
        ModifyWord(EngineWord::kOptions, 0, kOptionEnableHibernation);
    SetWord(EngineWord::kEventLogMaxSize, 1000);
    SetLastKey(blockKey);
    SetVersion(kEngineDataVersion);
    return true;
}

bool CDeviceEngineTable::ReadFileBlock(const std::string& path, uint32_t blockKey)
{
    bool read = CDataHeader::ReadFileBlock(path, blockKey);
    m_loadedFromFile = read;
    if (!read && !HasBlock()) {
        if (!CreateRecord(blockKey))
            return false;
        SetConfigurationValues();
        // Without a server there is no facade to ask: the address stays unchecked (bit 12 clear).
        if (m_hooks)
            CheckEngineIpAddress();
    }
    if (m_hooks) {
        uint32_t key = GetWord(EngineWord::kCommunity);
        std::string community;
        if (key && CopyText(key, community))
            m_hooks->SetCommunity(community.data(), community.size());
    }
    return true;
}

int CDeviceEngineTable::FixRecordSize()
{
    if (!HasBlock())
        return 1;
    const size_t oldSize = static_cast<size_t>(GetSize());
    if (!Resize(kEngineConfigRecordSize))
        return 0;
    for (int i = 0; i < EngineWord::kCount; ++i)
        if (WordOffset(i) + 4 > oldSize)
            SetWord(i, DefaultWord(i));
    SetWord(EngineWord::kHeadSize, kEngineConfigRecordSize);
    if (GetWord(EngineWord::kEventLogMaxSize) == 0)
        SetWord(EngineWord::kEventLogMaxSize, 1000);
    return 1;
}

uint32_t CDeviceEngineTable::GetWord(int index) const
{
    if (index < 0)
        return 0;
    DataHeaderLock lock(*const_cast<CDeviceEngineTable*>(this), DataHeaderLock::kRead);
    const uint8_t* block = GetBlock();
    if (block && WordOffset(index) + 4 <= static_cast<size_t>(GetSize()))
        return blockwords::Load(block + WordOffset(index));
    return 0;
}

bool CDeviceEngineTable::SetWord(int index, uint32_t value)
{
    if (index < 0)
        return false;
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    uint8_t* block = GetBlock();
    bool done = block && WordOffset(index) + 4 <= static_cast<size_t>(GetSize());
    if (done)
        blockwords::Store(block + WordOffset(index), value);
    return done;
}

bool CDeviceEngineTable::ModifyWord(int index, uint32_t clear, uint32_t set, uint32_t* old)
{
    if (index < 0)
        return false;
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    uint8_t* block = GetBlock();
    bool done = block && WordOffset(index) + 4 <= static_cast<size_t>(GetSize());
    if (done) {
        uint32_t previous = blockwords::Modify(block + WordOffset(index), clear, set);
        if (old)
            *old = previous;
    }
    return done;
}

bool CDeviceEngineTable::CopyText(uint32_t key, std::string& out)
{
    out.clear();
    if (!m_strings || !key)
        return false;
    DataHeaderLock lock(*m_strings, DataHeaderLock::kRead);
    const char* text = nullptr;
    uint32_t length = 0;
    bool found = m_strings->GetStringPtr(key, text, length);
    if (found && text)
        out.assign(text, strnlen(text, length));
    return found;
}

std::string CDeviceEngineTable::GetText(int index)
{
    std::string text;
    CopyText(GetWord(index), text);
    return text;
}

bool CDeviceEngineTable::SetText(int index, const char* data, size_t length)
{
    if (!HasBlock() || index < 4 || index >= EngineWord::kCount)
        return false;
    // A text ends at its first NUL; an empty text is no text.
    if (data)
        length = strnlen(data, length);
    if (IsExportedTextWord(index) && !IsIniValueSafe(data, length)) {
        AppLog::Instance()->PrintfLimited(kLogWarning, "refused text",
                                   "[CDeviceEngineTable::SetText]: text for word %d refused: it would not read "
                                   "back from the INI file",
                                   index);
        return false;
    }
    uint32_t key = 0;
    if (!length)
        return SetWord(index, 0);
    if (!m_strings || length >= UINT32_MAX)
        return false;
    // Held until the key is in the word: the user extension's save drops texts no word refers to.
    MutexLock keys(m_strings->KeyMutex());
    key = m_strings->AddString(data, static_cast<uint32_t>(length), kDataKeyNew);
    if (key == kDataKeyFailed || key == 0)
        return false;
    return SetWord(index, key);
}

void CDeviceEngineTable::SetConfigurationValues()
{
    if (!HasBlock())
        return;
    CIniFile ini;
    std::string path = genericConfigFileInterface::GetEngineIniPath();
    if (path.empty() || !ini.Open(path.c_str(), std::ios_base::in))
        return;
    if (ini.SeekSection("[VG_Engine]")) {
        while (ini.ReadNextKey()) {
            const std::string& value = ini.GetValue();
            bool matched = false;
            for (const FlagKey& flag : kFlagKeys)
                if (ini.IsKey(flag.name)) {
                    ModifyWord(flag.word, flag.bit, value == "1" ? flag.bit : 0);
                    matched = true;
                    break;
                }
            if (matched)
                continue;
            if (ini.IsKey("ShutdownRequired")) {
                ModifyWord(EngineWord::kOptions, kOptionShutdownRequiredAll,
                           value == "All" ? kOptionShutdownRequiredAll : 0);
                continue;
            }
            for (const WordKey& number : kNumberKeys)
                if (ini.IsKey(number.name)) {
                    SetWord(number.word, LeadingInteger(value));
                    matched = true;
                    break;
                }
            if (matched)
                continue;
            if (ini.IsKey("RemoteMaxNodes")) {
                uint32_t cap = LeadingInteger(value);
                SetWord(EngineWord::kRemoteMaxNodes, cap);
                if (m_hooks)
                    m_hooks->SetMaxNodes(cap);
                continue;
            }
            for (const WordKey& text : kTextKeys)
                if (ini.IsKey(text.name)) {
                    SetText(text.word, value.data(), value.size());
                    matched = true;
                    break;
                }
            if (matched)
                continue;
            if (ini.IsKey("EngineIPAddress") && IsValidIpAddress(value.c_str())) {
                uint32_t address = 0;
                if (ParseIpv4(value.c_str(), address))
                    SetWord(EngineWord::kEngineIpAddress, address);
            }
        }
    }
    ini.Close();
}

void CDeviceEngineTable::CheckEngineIpAddress()
{
    if (!HasBlock())
        return;
    uint32_t current = m_hooks ? m_hooks->GetEngineIPAddress() : 0;
    if (GetWord(EngineWord::kEngineIpAddress) == current) {
        ModifyWord(EngineWord::kFlags, 0, kFlagEngineAddressChecked);
    } else {
        SetWord(EngineWord::kEngineIpAddress, current);
        ModifyWord(EngineWord::kFlags, kFlagEngineAddressChecked, 0);
    }
}

void CDeviceEngineTable::WriteConfigurationValues(std::ostream& out)
{
    const uint32_t options = GetWord(EngineWord::kOptions);
    const uint32_t flags = GetWord(EngineWord::kFlags);
    auto flag = [&](const char* name, uint32_t word, uint32_t bit) {
        out << name << "=" << ((word & bit) ? 1 : 0) << "\n";
    };
    auto number = [&](const char* name, int index) { out << name << "=" << GetWord(index) << "\n"; };
    auto text = [&](const char* name, int index) {
        uint32_t key = GetWord(index);
        if (!key)
            return;
        std::string value;
        CopyText(key, value);
        if (!IsIniValueSafe(value)) {
            AppLog::Instance()->Printf(kLogWarning,
                                       "[CDeviceEngineTable::WriteConfigurationValues]: %s left out: its text "
                                       "would not read back from the INI file",
                                       name);
            return;
        }
        out << name << "=" << value << "\n";
    };

    out << "[VG_Engine]\n";
    flag("DataLogAppend", flags, kFlagDataLogAppend);
    number("DataLogDuration", EngineWord::kDataLogDuration);
    number("DataLogInterval", EngineWord::kDataLogInterval);
    flag("DataLogTextFile", flags, kFlagDataLogTextFile);
    flag("EnableAutoDiscovery", options, kOptionEnableAutoDiscovery);
    flag("DisableAutoDiscoveryAtStartup", flags, kFlagDisableAutoDiscoveryAtStartup);
    flag("EnableBroadcast", options, kOptionEnableBroadcast);
    flag("EnableHibernation", options, kOptionEnableHibernation);
    flag("EnableLocalBroadcast", flags, kFlagEnableLocalBroadcast);
    flag("EnableNetworkBroadcast", flags, kFlagEnableNetworkBroadcast);
    flag("EnableShutdownTimer", flags, kFlagEnableShutdownTimer);
    flag("EventLogAppend", flags, kFlagEventLogAppend);
    flag("EventLogTextFile", flags, kFlagEventLogTextFile);
    number("AutoUpdateTrapMinutes", EngineWord::kAutoUpdateTrapMinutes);
    number("RemoteLoopbackDelay", EngineWord::kRemoteLoopbackDelay);
    number("RemoteThreadCount", EngineWord::kRemoteThreadCount);
    number("RemoteTrapPort", EngineWord::kRemoteTrapPort);
    if (GetWord(EngineWord::kRemoteMaxNodes) != kRemoteMaxNodesUnlisted)
        number("RemoteMaxNodes", EngineWord::kRemoteMaxNodes);
    number("RemoteSnmpRetries", EngineWord::kRemoteSnmpRetries);
    number("RemoteSnmpTimeout", EngineWord::kRemoteSnmpTimeout);
    number("RemoteOfflinePollCycles", EngineWord::kRemoteOfflinePollCycles);
    out << "ShutdownRequired=" << ((options & kOptionShutdownRequiredAll) ? "All" : "One") << "\n";
    flag("SMTPAuthenticationRequired", options, kOptionSmtpAuthenticationRequired);
    text("SMTPFrom", EngineWord::kSmtpFrom);
    text("SMTPLogin", EngineWord::kSmtpLogin);
    text("SMTPPassword", EngineWord::kSmtpPassword);
    number("SMTPPort", EngineWord::kSmtpPort);
    text("SMTPServer", EngineWord::kSmtpServer);
    flag("WriteExtendedValues", flags, kFlagWriteExtendedValues);
    out << "\n";
}

void CDeviceEngineTable::Save()
{
    if (m_hooks)
        m_hooks->SaveUserExtension();
}

void CDeviceEngineTable::BeginCritical(uint32_t bits)
{
    bits &= kCriticalStateMask;
    if (!bits || !HasBlock())
        return;
    MutexLock lock(m_criticalMutex);
    uint32_t flags = GetWord(EngineWord::kFlags);
    if (flags & bits)
        return;
    if (!(flags & kCriticalStateMask) && m_hooks)
        m_hooks->Backup();
    ModifyWord(EngineWord::kFlags, 0, bits);
    CUserExtension::WriteThrough now;
    Save();
}

void CDeviceEngineTable::EndCritical(uint32_t bits)
{
    bits &= kCriticalStateMask;
    if (!HasBlock())
        return;
    MutexLock lock(m_criticalMutex);
    uint32_t old = 0;
    ModifyWord(EngineWord::kFlags, bits, 0, &old);
    if (!(old & kCriticalStateMask & ~bits)) {
        CUserExtension::WriteThrough now;
        Save();
    }
}

bool CDeviceEngineTable::GetDiscoveryText(int index, std::string& out)
{
    out.clear();
    if (!m_strings)
        return false;
    // Record block, then string table; when the second cannot be had, back off and start again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        DataHeaderLock record(*this, DataHeaderLock::kRead);
        if (!record)
            return false;
        DataHeaderLock strings(*m_strings, DataHeaderLock::kRead);
        if (!strings) {
            record.unlock();
            SleepMs(100);
            continue;
        }
        uint32_t key = 0;
        const uint8_t* block = GetBlock();
        if (block && WordOffset(index) + 4 <= static_cast<size_t>(GetSize()))
            key = blockwords::Load(block + WordOffset(index));
        bool found = false;
        if (key) {
            const char* text = nullptr;
            uint32_t length = 0;
            found = m_strings->GetStringPtr(key, text, length);
            if (found && text)
                out.assign(text, strnlen(text, length));
        }
        return found;
    }
    return false;
}

bool CDeviceEngineTable::GetDiscoveryAddresses(std::string& out)
{
    return GetDiscoveryText(EngineWord::kDiscoveryAddresses, out);
}

bool CDeviceEngineTable::GetDiscoveryCommunities(std::string& out)
{
    return GetDiscoveryText(EngineWord::kDiscoveryCommunities, out);
}

void CDeviceEngineTable::DisableBroadcast()
{
    if (!HasBlock() || (GetWord(EngineWord::kOptions) & kOptionBroadcastLocked))
        return;
    if (m_hooks) {
        int32_t value = 2;
        m_hooks->SetEngineValue(kBroadcastVariable, 0, 2, &value, sizeof value);
    }
}
