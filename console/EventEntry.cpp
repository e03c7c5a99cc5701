#include "console/EventEntry.h"

#include <cstdio>

#include "console/ConsoleOids.h"
#include "console/SnmpServer.h"

using namespace console_oid;

namespace {

uint32_t RoundUp(uint32_t v, uint32_t step)
{
    return (v + step - 1) / step * step;
}

uint32_t ToDelay(int32_t v)
{
    return v < 0 ? 0 : static_cast<uint32_t>(v);
}

}  // namespace

uint32_t EventEntry::NormalizeDelay(uint32_t v)
{
    if (v == 0)
        return 0;
    if (v < 15)
        return 15;
    if (v < 600)
        return RoundUp(v, 15);
    if (v < 3600)
        return RoundUp(v, 60);
    if (v < 14400)
        return RoundUp(v, 900);
    if (v < kMaxDelay)
        return RoundUp(v, 3600);
    return kMaxDelay;
}

uint32_t EventEntry::NextDelay(uint32_t v)
{
    uint32_t next = v >= 14400 ? v + 3600 : v >= 3600 ? v + 900 : v >= 600 ? v + 60 : v + 15;
    return next > kMaxDelay ? kMaxDelay : next;
}

uint32_t EventEntry::PreviousDelay(uint32_t v)
{
    if (v > 14400)
        return v - 3600;
    if (v > 3600)
        return v - 900;
    if (v > 600)
        return v - 60;
    if (v > 15)
        return v - 15;
    return 0;
}

std::string EventEntry::FormatDelay(uint32_t seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%02uh %02um %02us", seconds / 3600, (seconds % 3600) / 60, seconds % 60);
    return text;
}

bool EventEntry::Load(SnmpServer& s)
{
    const uint32_t d = static_cast<uint32_t>(m_deviceIndex);
    const uint32_t e = static_cast<uint32_t>(m_eventIndex);
    if (d == 0 || e == 0)
        return false;
    int32_t actions = 0;
    if (!s.GetString(m_name, kMaxName, Column(kEventEntry, kEventName), d, e) ||
        !s.GetInt(actions, Column(kEventEntry, kEventActions), d, e))
        return false;
    m_actions = actions;
    int32_t value = 0;
    if (s.GetInt(value, Column(kEventEntry, kEventShutdownDelay), d, e))
        m_shutdownDelay = ToDelay(value);
    s.GetString(m_commandAfterDelay, kMaxCommand, Column(kEventEntry, kEventCommandAfterDelay), d, e);
    s.GetString(m_commandOnClear, kMaxCommand, Column(kEventEntry, kEventCommandOnClear), d, e);
    if (s.GetInt(value, Column(kEventEntry, kEventCommandDelay), d, e))
        m_commandDelay = ToDelay(value);
    uint32_t normal = NormalizeDelay(m_shutdownDelay);
    if (normal != m_shutdownDelay) {
        m_shutdownDelay = normal;
        s.SetInt(static_cast<int32_t>(normal), Column(kEventEntry, kEventShutdownDelay), d, e);
    }
    normal = NormalizeDelay(m_commandDelay);
    if (normal != m_commandDelay) {
        m_commandDelay = normal;
        s.SetInt(static_cast<int32_t>(normal), Column(kEventEntry, kEventCommandDelay), d, e);
    }
    return true;
}

bool EventEntry::Save(SnmpServer& s)
{
    const uint32_t d = static_cast<uint32_t>(m_deviceIndex);
    const uint32_t e = static_cast<uint32_t>(m_eventIndex);
    bool result = false;
    if (m_dirty & (kDirtyShutdownFlag | kDirtyCommandFlag))
        result = s.SetInt(m_actions, Column(kEventEntry, kEventActions), d, e);
    if (m_dirty & kDirtyShutdownDelay)
        result = s.SetInt(static_cast<int32_t>(m_shutdownDelay), Column(kEventEntry, kEventShutdownDelay), d, e);
    if (m_dirty & kDirtyCommandDelay)
        result = s.SetInt(static_cast<int32_t>(m_commandDelay), Column(kEventEntry, kEventCommandDelay), d, e);
    if (m_dirty & kDirtyCommandAfterDelay)
        result = s.SetString(m_commandAfterDelay, Column(kEventEntry, kEventCommandAfterDelay), d, e);
    if (m_dirty & kDirtyCommandOnClear)
        result = s.SetString(m_commandOnClear, Column(kEventEntry, kEventCommandOnClear), d, e);
    m_dirty = 0;
    return result;
}

void EventEntry::SetFlag(int flag, bool on, int dirty)
{
    int actions = on ? (m_actions | flag) : (m_actions & ~flag);
    if (actions == m_actions)
        return;
    m_actions = actions;
    m_dirty |= dirty;
}

void EventEntry::ClearActions()
{
    if (m_actions == 0)
        return;
    m_actions = 0;
    m_dirty |= kDirtyShutdownFlag | kDirtyCommandFlag;
}

void EventEntry::TakeEditsFrom(const EventEntry& edited)
{
    // A column edited here since (while a Save ran) keeps its newer value.
    const int take = edited.m_dirty & ~m_dirty;
    if (take & kDirtyShutdownFlag)
        m_actions = (m_actions & ~kActionShutdown) | (edited.m_actions & kActionShutdown);
    if (take & kDirtyCommandFlag)
        m_actions = (m_actions & ~kActionCommand) | (edited.m_actions & kActionCommand);
    if (take & kDirtyShutdownDelay)
        m_shutdownDelay = edited.m_shutdownDelay;
    if (take & kDirtyCommandDelay)
        m_commandDelay = edited.m_commandDelay;
    if (take & kDirtyCommandAfterDelay)
        m_commandAfterDelay = edited.m_commandAfterDelay;
    if (take & kDirtyCommandOnClear)
        m_commandOnClear = edited.m_commandOnClear;
    m_dirty |= take;
}

bool EventEntry::SetCommand(int which, const std::string& text)
{
    if ((which != 0 && which != 1) || text.size() > kMaxCommand)
        return false;
    (which == 0 ? m_commandAfterDelay : m_commandOnClear) = text;
    m_dirty |= which == 0 ? kDirtyCommandAfterDelay : kDirtyCommandOnClear;
    return true;
}

const std::string* EventEntry::GetCommand(int which) const
{
    if (which == 0)
        return &m_commandAfterDelay;
    if (which == 1)
        return &m_commandOnClear;
    return nullptr;
}

bool EventEntry::Step(uint32_t& delay, uint32_t next, int dirty)
{
    if (next == delay)
        return false;
    delay = next;
    m_dirty |= dirty;
    return true;
}
