#include "engine/core/devices/DeviceDataRemoteEvt.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/data/DataArchive.h"
#include "engine/core/devices/DeviceEntryRemote.h"
#include "engine/core/data/StringTable.h"
#include "engine/core/devices/DeviceContext.h"
#include "engine/core/interfaces/ServerManagers.h"

namespace {

// Rows hold at least the head, the name and words 20-22.
constexpr uint32_t kMinEventRowSize = 4 * (EventWord::kShutdownDelay + 1);
constexpr size_t kMaxIniCommand = 511;
constexpr size_t kMaxIniSection = 127;

constexpr uint32_t kEnterprise[] = {1, 3, 6, 1, 4, 1, 64950};

// A decimal delay that is not negative and not above the limit.
bool ParseDelay(const std::string& text, uint32_t& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || value < 0 || value > kMaxReactionDelay)
        return false;
    out = static_cast<uint32_t>(value);
    return true;
}

bool ReadInteger(int type, const void* data, size_t length, uint32_t& out)
{
    if (type != kValueInteger || !data || length != 4)
        return false;
    std::memcpy(&out, data, 4);
    return true;
}

} // namespace

int CDeviceDataRemoteEvt::GetCount()
{
    DataHeaderLock lock(*this, DataHeaderLock::kRead);
    if (!lock)
        return 0;
    return HasBlock() ? static_cast<int>(GetWord(4)) : 0;
}

bool CDeviceDataRemoteEvt::ReadFileBlock(const std::string& path, uint32_t rowKey)
{
    if (CDeviceDataEntry::ReadFileBlock(path, rowKey, kEventTableTag))
        return true;
    if (HasBlock())
        return true;
    if (!CreateEmptyTable(kEventTableTag)) {
        AppLog::Instance()->Printf(kLogError,
                                   "[CDeviceDataRemoteEvt::ReadFileBlock]: Memory was not allocated for event table");
        return false;
    }
    SetLastKey(kEventTableTag);
    return true;
}

void CDeviceDataRemoteEvt::Serialize(CDataArchive& ar)
{
    AppLog::Instance()->Printf(kLogDebug, ar.IsLoading()
                                              ? "CDeviceDataRemoteEvt::Serialize: Beginning load serialization."
                                              : "CDeviceDataRemoteEvt::Serialize() Beginning write serialization.");
    CDataHeader::Serialize(ar);
    if (!ar.IsLoading() || ar.IsFailed())
        return;
    const uint32_t version = GetVersion();
    int firstUnread = EventWord::kCount;
    if (!IsDataVersionNewer(version, 0x30))
        firstUnread = EventWord::kCommandDelay;
    else if (!IsDataVersionNewer(version, 0x38))
        firstUnread = EventWord::kEventIndex;
    for (size_t at = FirstEntryOffset(); at; at = NextEntryOffset(at)) {
        uint8_t* row = GetBlock() + at;
        const uint32_t size = LoadWord(row);
        for (int word = firstUnread; word < EventWord::kCount && 4u * word + 4 <= size; ++word)
            SetRowWord(row, word, 0);
        if (size >= kMinEventRowSize) {
            // The alarms of the last run are raised again by their agents.
            SetRowWord(row, EventWord::kState, Word(row, EventWord::kState) & ~(kEventStateActive | kEventStatePending));
            SetRowWord(row, EventWord::kFlags, Word(row, EventWord::kFlags) & kEventFlagsSettable);
        }
    }
}

bool CDeviceDataRemoteEvt::CheckEntry(const uint8_t* entry, size_t) const
{
    return EntryWord(entry, 0) >= kMinEventRowSize && EntryWord(entry, 0) % 4 == 0 && EntryWord(entry, 3) == 0;
}

bool CDeviceDataRemoteEvt::CheckBlock() const
{
    if (!CheckEntries(kMinEventRowSize) || GetWord(0) < kTableHeadSize)
        return false;
    const size_t first = FirstEntryOffset();
    for (size_t at = first; at; at = NextEntryOffset(at))
        if (LoadWord(GetBlock() + at) != LoadWord(GetBlock() + first))
            return false;
    return true;
}

void CDeviceDataRemoteEvt::SetOwner(CDeviceEntry* owner)
{
    CDeviceDataEntry::SetOwner(owner);
    m_remoteOwner = dynamic_cast<CDeviceEntryRemote*>(owner);
}

uint32_t CDeviceDataRemoteEvt::Word(const uint8_t* row, int index)
{
    return 4u * index + 4 <= LoadWord(row) ? LoadWord(row + 4 * index) : 0;
}

void CDeviceDataRemoteEvt::SetRowWord(uint8_t* row, int index, uint32_t value)
{
    if (4u * index + 4 <= LoadWord(row))
        StoreWord(row + 4 * index, value);
}

std::string CDeviceDataRemoteEvt::RowName(const uint8_t* row)
{
    const char* name = reinterpret_cast<const char*>(row + 4 * EventWord::kName);
    return std::string(name, strnlen(name, kEventNameBytes - 1));
}

uint8_t* CDeviceDataRemoteEvt::Row(int number)
{
    if (number < 1 || number > (HasBlock() ? static_cast<int>(GetWord(4)) : 0))
        return nullptr;
    uint8_t* row = GetAt(number - 1);
    return row && LoadWord(row) >= kMinEventRowSize ? row : nullptr;
}

uint8_t* CDeviceDataRemoteEvt::RowByKey(uint32_t key)
{
    uint8_t* row = Find(key);
    return row && LoadWord(row) >= kMinEventRowSize ? row : nullptr;
}

bool CDeviceDataRemoteEvt::AddEventRow(const std::string& name, uint32_t eventIndex)
{
    uint8_t row[kEventRowSize] = {};
    StoreWord(row, kEventRowSize);
    std::memcpy(row + 4 * EventWord::kName, name.data(), std::min<size_t>(name.size(), kEventNameBytes - 1));
    StoreWord(row + 4 * EventWord::kShutdownDelay, kDefaultShutdownDelay);
    StoreWord(row + 4 * EventWord::kEventIndex, eventIndex);
    if (!HasBlock() && !CreateEmptyTable(kEventTableTag))
        return false;
    DataHeaderLock lock(*this);
    bool replaced = false;
    const uint32_t key = Add(row, kDataKeyNew, &replaced);
    const bool ok = key != 0 && key != kDataKeyFailed;
    if (ok && !replaced)
        SetWord(4, GetWord(4) + 1);
    return ok;
}

bool CDeviceDataRemoteEvt::FixRowSize()
{
    if (!IsLayoutDifferent(kTableHeadSize, kEventRowSize))
        return true;
    return Resize(kTableHeadSize, kEventRowSize, GetCount());
}

std::string CDeviceDataRemoteEvt::GetText(uint32_t key)
{
    if (key == 0 || !Attached())
        return std::string();
    return m_context->GetStringTable().GetText(key);
}

void CDeviceDataRemoteEvt::FillTimer(AgentTimerData& data, const uint8_t* row, uint32_t action, uint32_t state,
                                     uint32_t repeat)
{
    data.eventId = action;
    data.ownerKey = m_remoteOwner ? m_remoteOwner->GetRowKey() : 0;
    data.itemKey = Word(row, EventWord::kKey);
    data.state = state;
    // The context (the list), never the row: a timer finds its row again by owner and item key.
    data.object = m_context;
    data.repeatSeconds = repeat;
    data.cancelled = 0;
    data.callback = EventTimerExpired;
}

ReactionSnapshot CDeviceDataRemoteEvt::Snapshot(const uint8_t* row, bool on)
{
    ReactionSnapshot s;
    IDeviceContext& context = *m_context;
    s.alarmOn = on;
    s.reactionMask = context.GetReactionMask();
    s.shutdownRequiredAll = context.IsShutdownRequiredAll();
    s.flags = Word(row, EventWord::kFlags);
    s.rowPending = (Word(row, EventWord::kState) & kEventStatePending) != 0;
    s.shutdownDelay = Word(row, EventWord::kShutdownDelay);
    s.commandDelay = Word(row, EventWord::kCommandDelay);
    s.agent = reinterpret_cast<uintptr_t>(m_remoteOwner->GetAgent());
    s.agentsPending = context.GetAgentsPending(m_remoteOwner->GetAgent(), s.rowPending);
    s.agentCount = context.GetAgentCount();
    return s;
}

void CDeviceDataRemoteEvt::SetRowPending(uint8_t* row, bool pending)
{
    const uint32_t state = Word(row, EventWord::kState);
    if (((state & kEventStatePending) != 0) == pending)
        return;
    SetRowWord(row, EventWord::kState, pending ? state | kEventStatePending : state & ~kEventStatePending);
    m_context->NotePendingReaction(m_remoteOwner->GetAgent(), pending);
}

void CDeviceDataRemoteEvt::KillRowTimers(const uint8_t* row, const std::vector<uint32_t>& actions)
{
    IDeviceContext& context = *m_context;
    CAgentTimer* timers = context.GetTimers();
    for (uint32_t action : actions) {
        AgentTimerData data;
        FillTimer(data, row, action, 1, action == kActionShutdownCountdown ? kCountdownRepeatSeconds : 0);
        if (timers)
            timers->KillTimer(&data);
        if (action == kActionShutdown)
            context.NoteShutdownKilled(data.ownerKey, data.itemKey);
    }
}

int CDeviceDataRemoteEvt::SetAlarmState(const std::string& description, bool on, DeviceWork& work, bool react)
{
    if (!Attached())
        return 0;
    int result = 0;
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n) {
        uint8_t* row = Row(n);
        if (!row || RowName(row) != description)
            continue;
        const uint32_t state = Word(row, EventWord::kState);
        if (((state & kEventStateActive) != 0) == on) {
            result = 0;
            continue;
        }
        SetRowWord(row, EventWord::kState, on ? state | kEventStateActive : state & ~kEventStateActive);
        m_remoteOwner->NotifyAlarmStatusLocked(work);
        if (react && !m_context->AreReactionsSuspended()) {
            if (on)
                OnAlarmSet(row, work);
            else
                OnAlarmCleared(row, work);
        }
        result = 1;
    }
    return result;
}

void CDeviceDataRemoteEvt::LogBanner(const uint8_t* row)
{
    const uint32_t key = m_remoteOwner->GetRowKey();
    AppLog* log = AppLog::Instance();
    log->Printf(kLogDebug, "[%X] ----------------------------", key);
    log->Printf(kLogDebug, "[%X] %s", key, RowName(row).c_str());
    log->Printf(kLogDebug, "[%X] ----------------------------", key);
}

void CDeviceDataRemoteEvt::OnAlarmSet(uint8_t* row, DeviceWork& work)
{
    LogBanner(row);
    SetRowWord(row, EventWord::kFlags, Word(row, EventWord::kFlags) & kEventFlagsSettable);

    const ReactionPlan plan = DecideReactions(Snapshot(row, true));
    SetRowPending(row, plan.rowPending);
    ArmTimers(row, plan.arm);
    if (plan.updateCountdown)
        work.updateCountdown = true;
}

void CDeviceDataRemoteEvt::ArmTimers(const uint8_t* row, const std::vector<ReactionTimer>& arm)
{
    IDeviceContext& context = *m_context;
    CAgentTimer* timers = context.GetTimers();
    if (!timers)
        return;
    for (const ReactionTimer& timer : arm) {
        AgentTimerData data;
        FillTimer(data, row, timer.action, 1, timer.repeatSeconds);
        const int64_t nowMs = context.GetClock().steadyMilliseconds();
        if (!timers->SetTimer(timer.delayMs, &data))
            continue;
        if (timer.action == kActionShutdown) {
            // The due second as the timer counts it.
            const int64_t seconds = static_cast<int64_t>(std::max<uint64_t>(timer.delayMs / 1000, 1));
            context.NoteShutdownArmed(data.ownerKey, data.itemKey, (nowMs / 1000 + seconds) * 1000);
        }
    }
}

bool CDeviceDataRemoteEvt::ReactsNow(const uint8_t* row) const
{
    return (Word(row, EventWord::kState) & kEventStateActive) != 0 &&
           !m_context->AreReactionsSuspended();
}

void CDeviceDataRemoteEvt::ArmAddedActions(uint8_t* row, uint32_t oldFlags, DeviceWork& work)
{
    if (!ReactsNow(row))
        return;
    const ReactionPlan plan = DecideFlagsOnStandingAlarm(Snapshot(row, true), oldFlags);
    SetRowPending(row, plan.rowPending);
    if (!plan.arm.empty())
        AppLog::Instance()->Printf(kLogDebug, "[%X] %s: reactions enabled while the alarm stands are armed",
                                   m_remoteOwner->GetRowKey(), RowName(row).c_str());
    ArmTimers(row, plan.arm);
    if (plan.updateCountdown)
        work.updateCountdown = true;
}

void CDeviceDataRemoteEvt::RearmWithDelay(const uint8_t* row, uint32_t action, uint32_t delaySeconds,
                                          DeviceWork& work)
{
    if (!ReactsNow(row) || !RearmsOnDelayWrite(Snapshot(row, true), action))
        return;
    CAgentTimer* timers = m_context->GetTimers();
    AgentTimerData data;
    FillTimer(data, row, action, 1, 0);
    // Only a timer still pending moves; an action that is not armed (mask, "All") stays so.
    if (!timers || !timers->KillTimer(&data))
        return;
    AppLog::Instance()->Printf(kLogDebug, "[%X] %s: action %u re-armed with %u s", m_remoteOwner->GetRowKey(),
                               RowName(row).c_str(), action, delaySeconds);
    ArmTimers(row, {{action, uint64_t{delaySeconds} * 1000, 0}});
    if (action == kActionShutdown)
        work.updateCountdown = true;
}

void CDeviceDataRemoteEvt::OnAlarmCleared(uint8_t* row, DeviceWork& work)
{
    IDeviceContext& context = *m_context;
    LogBanner(row);

    const ReactionPlan plan = DecideReactions(Snapshot(row, false));
    if (plan.killRowTimers)
        KillRowTimers(row, {kActionShutdownCountdown, kActionShutdown, kActionExecuteCommand});
    if (CAgentTimer* timers = context.GetTimers()) {
        for (uint32_t action : plan.killEverywhere) {
            timers->KillAllTimersById(action);
            if (action == kActionShutdown)
                context.NoteAllShutdownsKilled();
            // Other devices' countdowns may be what the consoles show, whatever this row announced.
            if (action == kActionShutdownCountdown)
                work.closeCountdownIfShown = true;
        }
    }
    SetRowPending(row, plan.rowPending);
    const uint32_t flags = Word(row, EventWord::kFlags);
    for (uint32_t action : plan.runClear) {
        ClearReaction clear;
        FillTimer(clear.record, row, action, 0, action == kActionShutdownCountdown ? kCountdownRepeatSeconds : 0);
        clear.record.cancelled = 1;
        clear.eventName = RowName(row);
        clear.commandKey = Word(row, EventWord::kCommandOnClear);
        clear.commandEnabled = (flags & kEventFlagCommand) != 0;
        work.clearReactions.push_back(std::move(clear));
    }
    // The fired marks of this row go with the clear (the list clears them on every device in "All").
    SetRowWord(row, EventWord::kFlags, flags & kEventFlagsSettable);
    if (plan.updateCountdown)
        work.updateCountdown = true;
}

bool CDeviceDataRemoteEvt::ForgetAllReactions()
{
    if (!Attached())
        return false;
    bool announced = false;
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n) {
        if (uint8_t* row = Row(n)) {
            KillRowTimers(row, {kActionShutdownCountdown, kActionShutdown, kActionExecuteCommand});
            SetRowPending(row, false);
            announced = ForgetCountdownMark(row) || announced;
        }
    }
    return announced;
}

void CDeviceDataRemoteEvt::ForgetCountdownMarks()
{
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n)
        if (uint8_t* row = Row(n))
            ForgetCountdownMark(row);
}

bool CDeviceDataRemoteEvt::ForgetCountdownMark(uint8_t* row)
{
    const uint32_t flags = Word(row, EventWord::kFlags);
    if (!(flags & FiredMark(kActionShutdownCountdown)))
        return false;
    SetRowWord(row, EventWord::kFlags, flags & ~FiredMark(kActionShutdownCountdown));
    return true;
}

bool CDeviceDataRemoteEvt::SetEventFlagsByName(const std::string& name, uint32_t bits)
{
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n) {
        uint8_t* row = Row(n);
        if (row && RowName(row) == name) {
            SetRowWord(row, EventWord::kFlags, Word(row, EventWord::kFlags) | bits);
            return true;
        }
    }
    return false;
}

bool CDeviceDataRemoteEvt::ClearEventFlagsByName(const std::string& name, uint32_t bits)
{
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n) {
        uint8_t* row = Row(n);
        if (row && RowName(row) == name) {
            SetRowWord(row, EventWord::kFlags, Word(row, EventWord::kFlags) & ~bits);
            return true;
        }
    }
    return false;
}

bool CDeviceDataRemoteEvt::HasPendingReactions()
{
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n) {
        const uint8_t* row = Row(n);
        if (row && (Word(row, EventWord::kState) & kEventStatePending))
            return true;
    }
    return false;
}

int CDeviceDataRemoteEvt::GetValue(int number, uint32_t column, EngineValue& value)
{
    value = EngineValue::Integer(0);
    const uint8_t* row = Row(number);
    if (!row)
        return 1;
    switch (column) {
    case 1: value = EngineValue::Integer(static_cast<uint32_t>(number)); return 1;
    case 3: value = EngineValue::Integer((Word(row, EventWord::kState) >> 4) & 0xF); return 1;
    case 4: value = EngineValue::Text(RowName(row)); return 1;
    case 6: value = EngineValue::Integer((Word(row, EventWord::kState) & kEventStateActive) ? 1 : 2); return 1;
    case 7: value = EngineValue::Integer(Word(row, EventWord::kFlags) & kEventFlagsSettable); return 1;
    case 8: value = EngineValue::Text(GetText(Word(row, EventWord::kCommandOnSet))); return 1;
    case 9: value = EngineValue::Text(GetText(Word(row, EventWord::kCommandOnClear))); return 1;
    case 18: value = EngineValue::Integer(Word(row, EventWord::kCommandDelay)); return 1;
    case 19: value = EngineValue::Integer(Word(row, EventWord::kShutdownDelay)); return 1;
    default: return 0;
    }
}

bool CDeviceDataRemoteEvt::SetValue(int number, uint32_t column, int type, const void* data, size_t length,
                                    DeviceWork& work)
{
    uint8_t* row = Row(number);
    if (!row || !Attached())
        return false;
    IDeviceContext& context = *m_context;
    uint32_t announced = 0;
    switch (column) {
    case 7: {
        uint32_t value = 0;
        if (!ReadInteger(type, data, length, value))
            return false;
        const uint32_t oldFlags = Word(row, EventWord::kFlags);
        uint32_t flags = (oldFlags & ~kEventFlagsSettable) | (value & kEventFlagsSettable);
        if (flags & kEventFlagShutdown)
            flags |= kEventFlagCountdown;
        const FlagsChangePlan plan = DecideFlagsChange(oldFlags, flags, context.GetReactionMask(),
                                                       (Word(row, EventWord::kState) & kEventStatePending) != 0);
        SetRowWord(row, EventWord::kFlags, flags);
        KillRowTimers(row, plan.killActions);
        // A countdown the consoles were shown stops here without a clear: they get its closing notice
        // now, and the clear to come sends none again.
        if (std::find(plan.killActions.begin(), plan.killActions.end(), kActionShutdownCountdown) !=
                plan.killActions.end() &&
            ForgetCountdownMark(row)) {
            work.closeCountdown = true;
        }
        SetRowPending(row, plan.rowPending);
        if (plan.updateCountdown)
            work.updateCountdown = true;
        ArmAddedActions(row, oldFlags, work);
        // The notice carries what a read of the column answers: the fired marks stay inside.
        announced = flags & kEventFlagsSettable;
        break;
    }
    case 8:
    case 9: {
        if (type != kValueOctetString || (length && !data) || length > kMaxIniCommand)
            return false;
        const std::string text(static_cast<const char*>(data), length);
        // The command goes into the INI file as a value: one that would not read back is refused.
        if (!text.empty() && !IsIniValueSafe(text))
            return false;
        uint32_t key = 0;
        if (!text.empty()) {
            key = context.GetStringTable().AddString(text);
            if (key == 0 || key == kDataKeyFailed)
                return false;
        }
        SetRowWord(row, column == 8 ? EventWord::kCommandOnSet : EventWord::kCommandOnClear, key);
        work.save = true;
        return true;
    }
    case 18:
    case 19: {
        uint32_t value = 0;
        if (!ReadInteger(type, data, length, value) || value > kMaxReactionDelay)
            return false;
        SetRowWord(row, column == 18 ? EventWord::kCommandDelay : EventWord::kShutdownDelay, value);
        RearmWithDelay(row, column == 18 ? kActionExecuteCommand : kActionShutdown, value, work);
        announced = value;
        break;
    }
    default:
        return false;
    }
    work.save = true;
    DeviceNotice notice;
    notice.oid.assign(std::begin(kEnterprise), std::end(kEnterprise));
    for (uint32_t part : {10u, 2u, 3u, 2u, 1u})
        notice.oid.push_back(part);
    notice.oid.push_back(column);
    notice.oid.push_back(static_cast<uint32_t>(m_remoteOwner->GetDeviceIndex()));
    notice.oid.push_back(Word(row, EventWord::kEventIndex));
    notice.trapId = kValueChangedTrap;
    notice.value = EngineValue::Integer(announced);
    work.notices.push_back(std::move(notice));
    return true;
}

void CDeviceDataRemoteEvt::WriteConfig(std::string& text)
{
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n) {
        const uint8_t* row = Row(n);
        if (!row)
            continue;
        const std::string name = RowName(row);
        const std::string section = "RemoteEvent:" + name;
        if (!IsIniSectionNameSafe(section)) {
            AppLog::Instance()->Printf(kLogWarning,
                                       "[CDeviceDataRemoteEvt::WriteConfig]: event name that the INI file "
                                       "cannot hold is not written");
            continue;
        }
        const std::string header = "[" + section + "]\n";
        if (text.compare(0, header.size(), header) == 0 || text.find("\n" + header) != std::string::npos)
            continue;
        const uint32_t flags = Word(row, EventWord::kFlags);
        auto command = [&](int word) {
            std::string value = GetText(Word(row, word));
            return value.size() > kMaxIniCommand || !IsIniValueSafe(value) ? std::string() : value;
        };
        text += header;
        text += std::string("EnableShutdown=") + ((flags & kEventFlagShutdown) ? "true" : "false") + "\n";
        text += "ShutdownDelay=" + std::to_string(static_cast<int32_t>(Word(row, EventWord::kShutdownDelay))) + "\n";
        text += std::string("EnableExecuteCommand=") + ((flags & kEventFlagCommand) ? "true" : "false") + "\n";
        text += "ExecuteCommandDelay=" + std::to_string(static_cast<int32_t>(Word(row, EventWord::kCommandDelay))) +
                "\n";
        text += "ExecuteCommandOnSet=" + command(EventWord::kCommandOnSet);
        text += "\nExecuteCommandOnClear=" + command(EventWord::kCommandOnClear);
        text += "\n";
    }
}

void CDeviceDataRemoteEvt::ReadConfig()
{
    if (!Attached())
        return;
    const std::string path = genericConfigFileInterface::GetEngineIniPath();
    if (path.empty())
        return;
    CIniFile ini;
    if (!ini.Open(path.c_str()))
        return;
    CStringTable& strings = m_context->GetStringTable();
    const int count = HasBlock() ? static_cast<int>(GetWord(4)) : 0;
    for (int n = 1; n <= count; ++n) {
        uint8_t* row = Row(n);
        if (!row)
            continue;
        std::string section = "[RemoteEvent:" + RowName(row) + "]";
        if (section.size() > kMaxIniSection)
            section.resize(kMaxIniSection);
        if (!ini.SeekSection(section.c_str()))
            continue;
        while (ini.ReadNextKey()) {
            const std::string& value = ini.GetValue();
            uint32_t flags = Word(row, EventWord::kFlags);
            uint32_t number = 0;
            if (ini.IsKey("EnableShutdown")) {
                flags = value == "true" ? flags | kEventFlagShutdown | kEventFlagCountdown
                                        : flags & ~(kEventFlagShutdown | kEventFlagCountdown);
                SetRowWord(row, EventWord::kFlags, flags);
            } else if (ini.IsKey("EnableExecuteCommand")) {
                SetRowWord(row, EventWord::kFlags, value == "true" ? flags | kEventFlagCommand : flags & ~kEventFlagCommand);
            } else if (ini.IsKey("ShutdownDelay")) {
                if (ParseDelay(value, number))
                    SetRowWord(row, EventWord::kShutdownDelay, number);
            } else if (ini.IsKey("ExecuteCommandDelay")) {
                if (ParseDelay(value, number))
                    SetRowWord(row, EventWord::kCommandDelay, number);
            } else if (ini.IsKey("ExecuteCommandOnSet") || ini.IsKey("ExecuteCommandOnClear")) {
                const int word = ini.IsKey("ExecuteCommandOnSet") ? EventWord::kCommandOnSet : EventWord::kCommandOnClear;
                if (value.size() > kMaxIniCommand)
                    continue;
                uint32_t key = 0;
                if (!value.empty()) {
                    key = strings.AddString(value);
                    if (key == kDataKeyFailed)
                        continue;
                }
                SetRowWord(row, word, key);
            }
        }
    }
    ini.Close();
}
