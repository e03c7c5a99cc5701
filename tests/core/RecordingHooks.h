#pragma once
// A recording stand-in for the server, the facade, the consoles and the remote-agent manager as the
// settings and trap-destination code sees them (EngineHooks).

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/interfaces/EngineHooks.h"
#include "engine/core/settings/UserExtension.h"

namespace cfgtest {

class RecordingHooks : public EngineHooks {
public:
    struct Trap {
        std::vector<uint32_t> oid;
        int type = 0;
        std::string data; // the value's bytes as given
        int32_t value = 0; // list-change traps
    };

    // Saves and restores go to this file when set.
    CUserExtension* extension = nullptr;
    bool hibernate = false;
    uint32_t engineAddress = 0;

    std::vector<std::string> calls; // "backup", "save", "restore" in order
    std::vector<std::string> communities;
    std::vector<uint32_t> maxNodes;
    std::vector<int> rowCounts;
    std::vector<std::pair<uint32_t, int32_t>> engineValues;
    std::vector<Trap> listChanged;
    std::vector<Trap> valueChanged;

    int Count(const std::string& call) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const auto& c : calls)
            n += c == call;
        return n;
    }

    bool IsHibernateAllowed() override { return hibernate; }
    void SetCommunity(const char* text, size_t length) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        communities.emplace_back(text, length);
    }
    uint32_t GetEngineIPAddress() override { return engineAddress; }
    void SetMaxNodes(uint32_t requested) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        maxNodes.push_back(requested);
    }
    void Backup() override
    {
        Record("backup");
        if (extension)
            extension->Backup();
    }
    bool Restore() override
    {
        Record("restore");
        return true;
    }
    void SaveUserExtension() override
    {
        Record("save");
        if (extension)
            extension->Save();
    }
    void SetEngineValue(uint32_t key, uint32_t, int, const void* data, size_t length) override
    {
        int32_t value = 0;
        if (length >= 4)
            std::memcpy(&value, data, 4);
        std::lock_guard<std::mutex> lock(m_mutex);
        engineValues.emplace_back(key, value);
    }
    void SetSnmpIpRowCount(int count) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        rowCounts.push_back(count);
    }
    void SendListChanged(const uint32_t* oid, size_t oidLength, int32_t value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listChanged.push_back({std::vector<uint32_t>(oid, oid + oidLength), 2, {}, value});
        calls.push_back("listChanged");
    }
    void SendValueChanged(const uint32_t* oid, size_t oidLength, int type, const void* data, size_t length) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        valueChanged.push_back(
            {std::vector<uint32_t>(oid, oid + oidLength), type, std::string(static_cast<const char*>(data), length), 0});
        calls.push_back("valueChanged");
    }

private:
    void Record(const char* call)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls.push_back(call);
    }
    mutable std::mutex m_mutex;
};

// E.14.2.2 and E.14.2.2.1.column.row of the trap-destination table.
inline std::vector<uint32_t> TrapTableOid() { return {1, 3, 6, 1, 4, 1, 64950, 14, 2, 2}; }
inline std::vector<uint32_t> TrapCellOid(uint32_t column, uint32_t row)
{
    auto oid = TrapTableOid();
    oid.insert(oid.end(), {1, column, row});
    return oid;
}

} // namespace cfgtest
