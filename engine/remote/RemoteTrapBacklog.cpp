#include "engine/remote/RemoteTrapBacklog.h"

#include <algorithm>
#include <unordered_set>

RemoteTrapBacklog::AddResult RemoteTrapBacklog::Add(std::unique_ptr<RemoteTrapRecord>& record, std::string key,
                                                    size_t* dropped)
{
    if (dropped)
        *dropped = 0;
    if (!record)
        return AddResult::Refused;
    AddResult result = AddResult::Queued;
    if (m_items.size() >= m_capacity) {
        // Something is obsolete only when a key is queued twice or the new key is queued already.
        const bool matches = !key.empty() && m_keys.count(key) != 0;
        const size_t gone = (m_repeatedKeys != 0 || matches) ? DropObsolete(key) : 0;
        if (dropped)
            *dropped = gone;
        if (gone == 0 || m_items.size() >= m_capacity)
            return AddResult::Refused;
        result = AddResult::Coalesced;
    }
    Count(key, +1);
    m_items.push_back(Item{std::move(record), std::move(key)});
    return result;
}

std::unique_ptr<RemoteTrapRecord> RemoteTrapBacklog::Take()
{
    if (m_items.empty())
        return nullptr;
    Item item = std::move(m_items.front());
    m_items.pop_front();
    Count(item.key, -1);
    return std::move(item.record);
}

void RemoteTrapBacklog::Clear()
{
    m_items.clear();
    m_keys.clear();
    m_repeatedKeys = 0;
}

void RemoteTrapBacklog::Count(const std::string& key, int delta)
{
    if (key.empty())
        return;
    if (delta > 0) {
        if (++m_keys[key] == 2)
            ++m_repeatedKeys;
        return;
    }
    auto it = m_keys.find(key);
    if (it == m_keys.end())
        return;
    if (it->second-- == 2)
        --m_repeatedKeys;
    if (it->second == 0)
        m_keys.erase(it);
}

size_t RemoteTrapBacklog::DropObsolete(const std::string& newKey)
{
    // From the newest back: the first record of a key met is its latest state, every earlier one is
    // obsolete.
    std::unordered_set<std::string> seen;
    if (!newKey.empty())
        seen.insert(newKey);
    size_t gone = 0;
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it) {
        if (it->key.empty())
            continue;
        if (!seen.insert(it->key).second) {
            it->record.reset();
            ++gone;
        }
    }
    if (gone == 0)
        return 0;
    m_items.erase(std::remove_if(m_items.begin(), m_items.end(), [](const Item& item) { return !item.record; }),
                  m_items.end());
    m_keys.clear();
    m_repeatedKeys = 0;
    for (const Item& item : m_items)
        Count(item.key, +1);
    return gone;
}
