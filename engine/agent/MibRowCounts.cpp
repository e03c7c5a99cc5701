#include "engine/agent/MibRowCounts.h"

uint32_t DenseRows::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

void DenseRows::SetCount(uint32_t count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_count = count;
}

uint32_t DenseRows::Append()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return ++m_count;
}

bool DenseRows::RemoveLast()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_count == 0)
        return false;
    --m_count;
    return true;
}

bool DenseRows::HasRow(uint32_t row) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return row >= 1 && row <= m_count;
}

uint32_t AlarmRows::Add()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_lastIndex;
    m_rows.insert(m_lastIndex);
    return m_lastIndex;
}

bool AlarmRows::Remove(uint32_t row)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rows.erase(row) == 1;
}

uint32_t AlarmRows::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<uint32_t>(m_rows.size());
}

uint32_t AlarmRows::LastIndex() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastIndex;
}

bool AlarmRows::HasRow(uint32_t row) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rows.count(row) == 1;
}

uint32_t AlarmRows::NextRow(uint32_t after, bool inclusive) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = inclusive ? m_rows.lower_bound(after) : m_rows.upper_bound(after);
    return it == m_rows.end() ? 0 : *it;
}

void DeviceItemCounts::Set(int deviceIndex, const DeviceItems& items)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items[deviceIndex] = items;
}

DeviceItems DeviceItemCounts::Get(int deviceIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_items.find(deviceIndex);
    return it == m_items.end() ? DeviceItems{} : it->second;
}

void DeviceItemCounts::Truncate(int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items.erase(m_items.upper_bound(count), m_items.end());
}

void DeviceItemCounts::Replace(std::map<int, DeviceItems> items)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items = std::move(items);
}
