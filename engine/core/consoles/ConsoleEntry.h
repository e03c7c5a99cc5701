#pragma once
// CConsoleEntry: one registered console (an SNMP manager that reads the console-activation variable)
// and its keep-alive thread. While the entry is active its thread runs periods (60000 ms in the
// engine); a period that ends without contact from the console drops it: the entry becomes inactive
// and its thread ends. The entry and its row stay; the next contact starts the thread again.
//
// Threads and locks: the entry's own mutex (m_stateMutex, a leaf: nothing is called while it is held
// but the thread start and its log lines) guards the active and touched flags, the ports, the
// community and the address text. Activate, Touch, Deactivate and the accessors are safe from any
// thread. The keep-alive thread clears the touched flag, and decides a drop, under that mutex taken
// with a 1000 ms try; a period whose try fails passes without clearing. Owned by CConsoles through a
// shared_ptr, so a fan-out that still walks an entry keeps it alive while the list drops it.

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/base/Mutex.h"
#include "engine/base/VigilonThread.h"

class CStringTable;

class CConsoleEntry : public VigilonThread {
public:
    static constexpr const char* kDefaultCommunity = "wendolmar";
    static constexpr int kDefaultTrapPort = 3665;
    static constexpr int kDefaultAgentPort = 3664;
    static constexpr unsigned kKeepAlivePeriodMs = 60000;
    static constexpr unsigned kFlagLockTryMs = 1000;

    // name: "CONSOLE_" and a number (see CConsoles). periodMs: the keep-alive period.
    CConsoleEntry(const std::string& name, unsigned periodMs = kKeepAlivePeriodMs);
    // Stops the thread (see Deactivate) and waits for it.
    ~CConsoleEntry() override;

    const std::string& GetThreadName() const { return m_name; }

    // Takes address, ports and community from a row (its words; the community through strings). The
    // caller holds the table's read lock and the string table is not locked by the caller.
    void BuildFromRow(const uint8_t* row, CStringTable& strings);

    // Marks the console heard from and starts its thread when it is not running. false when the
    // thread could not be started (the entry stays inactive) or the entry is being destroyed.
    bool Activate();
    // Marks the console heard from (every request it makes).
    void Touch()
    {
        m_touched = 1;
        m_lastContactMs = NowMs();
    }
    // When the console was last heard from (steady clock, ms); 0 when not since this entry was built.
    int64_t GetLastContactMs() const { return m_lastContactMs.load(); }
    // Ends the current period early (a command from the console).
    void Wake() { Signal(); }
    // stop: stop the thread as well (5000 ms bound) and refuse later activations; used when the
    // registry is emptied. Without stop: only the active flag (no traps until the next contact; a
    // running thread goes on with its periods).
    void Deactivate(bool stop);

    bool IsActive() const { return m_active.load() != 0; }
    bool IsTouched() const { return m_touched.load() != 0; }
    uint32_t GetRowKey() const { return m_rowKey.load(); }
    uint32_t GetAddress() const { return m_address.load(); }
    std::string GetAddressText() const;
    int GetTrapPort() const { return m_trapPort.load(); }
    int GetAgentPort() const { return m_agentPort.load(); }
    std::string GetCommunity() const;
    void SetTrapPort(int port) { m_trapPort = port; }
    void SetAgentPort(int port) { m_agentPort = port; }
    void SetCommunity(const std::string& community);

protected:
    void main() override;

    static int64_t NowMs();

private:
    const std::string m_name;
    const unsigned m_periodMs;
    mutable Mutex m_stateMutex;
    std::atomic<uint32_t> m_rowKey{0};
    std::atomic<uint32_t> m_address{0};
    std::string m_addressText;
    std::atomic<int> m_trapPort{kDefaultTrapPort};
    std::atomic<int> m_agentPort{kDefaultAgentPort};
    std::string m_community = kDefaultCommunity;
    std::atomic<int> m_active{0};
    std::atomic<int> m_touched{0};
    std::atomic<int64_t> m_lastContactMs{0};
    std::atomic<bool> m_destroyed{false};
    // Under m_stateMutex: the thread has decided to end (it left the active state itself).
    bool m_exiting = false;
};
