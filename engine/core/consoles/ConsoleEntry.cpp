#include "engine/core/consoles/ConsoleEntry.h"

#include <chrono>
#include <cstdio>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/base/SteadyClock.h"
#include "engine/core/consoles/ConsoleTable.h"
#include "engine/core/data/StringTable.h"

using namespace console_row;

CConsoleEntry::CConsoleEntry(const std::string& name, unsigned periodMs)
    // The event is private to the entry: names of loaded and registered entries may coincide.
    : VigilonThread((name + "#").c_str(), 16384), m_name(name), m_periodMs(periodMs), m_stateMutex("CConsoleEntryMutex#")
{
}

CConsoleEntry::~CConsoleEntry()
{
    Deactivate(true);
    WaitForEnd();
}

void CConsoleEntry::BuildFromRow(const uint8_t* row, CStringTable& strings)
{
    const uint32_t address = CDataHeader::EntryWord(row, kAddress);
    const uint32_t communityKey = CDataHeader::EntryWord(row, kCommunityKey);
    std::string community;
    if (communityKey != 0)
        strings.GetString(communityKey, community);
    if (community.empty())
        community = kDefaultCommunity;
    const std::string text = IpAddressToString(address);
    {
        MutexLock lock(m_stateMutex);
        m_address = address;
        m_addressText = text;
        m_community = community;
    }
    m_trapPort = static_cast<int>(CDataHeader::EntryWord(row, kTrapPort));
    m_agentPort = static_cast<int>(CDataHeader::EntryWord(row, kAgentPort));
    m_rowKey = CDataHeader::EntryWord(row, kKey);
    AppLog::Instance()->Printf(kLogDebug, "[%X] Initializing console at %s", m_rowKey.load(), text.c_str());
}

std::string CConsoleEntry::GetAddressText() const
{
    MutexLock lock(m_stateMutex);
    return m_addressText;
}

std::string CConsoleEntry::GetCommunity() const
{
    MutexLock lock(m_stateMutex);
    return m_community;
}

void CConsoleEntry::SetCommunity(const std::string& community)
{
    MutexLock lock(m_stateMutex);
    m_community = community;
}

int64_t CConsoleEntry::NowMs()
{
    // Never 0, which means "not heard from".
    return SteadyMs() + 1;
}

bool CConsoleEntry::Activate()
{
    MutexLock lock(m_stateMutex);
    Touch();
    if (m_destroyed.load())
        return false;
    if (m_active.load())
        return true;
    m_active = 1;
    if (m_exiting) {
        // The thread of the last period has decided to end (and takes this mutex no more): wait for
        // it, so that the start below runs a new thread instead of finding the old one still running.
        WaitForEnd();
        m_exiting = false;
    }
    if (!Start()) {
        m_active = 0;
        AppLog::Instance()->Printf(kLogError, "[%X] Could not start console thread for %s", m_rowKey.load(),
                                   m_addressText.c_str());
        return false;
    }
    AppLog::Instance()->Printf(kLogDebug, "[%X] Started console thread for %s", m_rowKey.load(), m_addressText.c_str());
    AppLog::Instance()->Printf(kLogDebug, "[%X] Console Activated at %s", m_rowKey.load(), m_addressText.c_str());
    return true;
}

void CConsoleEntry::Deactivate(bool stop)
{
    if (!stop) {
        MutexLock lock(m_stateMutex);
        m_active = 0;
        AppLog::Instance()->Printf(kLogDebug, "[%X] Console Deactivated at %s", m_rowKey.load(), m_addressText.c_str());
        return;
    }
    bool wasActive = false;
    std::string text;
    {
        MutexLock lock(m_stateMutex);
        if (m_destroyed.exchange(true))
            return;
        wasActive = m_active.exchange(0) != 0;
        text = m_addressText;
    }
    if (!wasActive && !IsRunning())
        return;
    Stop();
    AppLog::Instance()->Printf(kLogDebug, "[%X] Stopped console thread: %s\n", m_rowKey.load(), text.c_str());
}

void CConsoleEntry::main()
{
    try {
        for (;;) {
            AppLog::Instance()->Printf(kLogDebug, "CConsoleEntry::main '%s'; waiting %u milliseconds", m_name.c_str(),
                                       m_periodMs);
            if (Wait(static_cast<int>(m_periodMs)) == 0)
                break;
            if (!CheckRunning())
                return;
            bool dropped = false;
            std::string text;
            {
                MutexLock state(m_stateMutex, kFlagLockTryMs);
                // The drop is decided and done under the mutex that Activate holds, so a contact that
                // arrives meanwhile either keeps the console or finds it inactive and restarts it.
                if (state.Locked() && !m_touched.load()) {
                    // From here on the thread takes the mutex no more: Activate may wait for its end.
                    m_active = 0;
                    m_exiting = true;
                    dropped = true;
                    text = m_addressText;
                } else if (state.Locked()) {
                    m_touched = 0;
                }
            }
            if (dropped) {
                AppLog::Instance()->Printf(kLogDebug, "[%X] Console Deactivated at %s", m_rowKey.load(),
                                           text.c_str());
                return;
            }
            if (!CheckRunning())
                return;
            Reset();
        }
    } catch (const std::exception& e) {
        AppLog::Instance()->Printf(kLogError, "[CConsoleEntry::main]: '%s' ended by exception: %s", m_name.c_str(),
                                   e.what());
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "[CConsoleEntry::main]: '%s' ended by an unknown exception",
                                   m_name.c_str());
    }
    // A failed wait: the console is left inactive; its next contact starts a new thread.
    std::string text;
    {
        MutexLock lock(m_stateMutex);
        m_active = 0;
        m_exiting = true;
        text = m_addressText;
    }
    AppLog::Instance()->Printf(kLogDebug, "[%X] Console Deactivated at %s", m_rowKey.load(), text.c_str());
}
