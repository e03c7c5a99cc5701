#pragma once
// RemoteTrapBacklog: the received traps waiting for processing, in arrival order, at most a fixed
// number of them.
//
// Each record may carry a coalescing key: two records with the same key carry states of the same
// thing (one alarm of one device of one agent), and the later one makes the earlier one obsolete.
// While there is room every record is kept, so every change is processed. When the backlog is full, a
// new record makes room by dropping the records that a later record (queued or new) of the same key
// makes obsolete; the records that stay keep their order and the new one goes last, so the latest
// state of every key is kept and processed after the states it replaced. A full backlog with nothing
// obsolete in it refuses the new record. Records without a key are never dropped for another.
//
// Threads: a plain value; the trap queue guards it with its queue lock.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "engine/remote/RemoteTrapRecord.h"

class RemoteTrapBacklog {
public:
    enum class AddResult {
        Queued,     // there was room
        Coalesced,  // queued after dropping obsolete records (the number dropped is answered)
        Refused,    // full and nothing obsolete: the caller keeps the record
    };

    explicit RemoteTrapBacklog(size_t capacity) : m_capacity(capacity) {}

    // Takes record (then null) unless it is refused; key "" for none. dropped: how many queued records
    // gave way.
    AddResult Add(std::unique_ptr<RemoteTrapRecord>& record, std::string key, size_t* dropped = nullptr);
    // The oldest record, or null when there is none.
    std::unique_ptr<RemoteTrapRecord> Take();
    size_t Size() const { return m_items.size(); }
    size_t Capacity() const { return m_capacity; }
    void Clear();

private:
    struct Item {
        std::unique_ptr<RemoteTrapRecord> record;
        std::string key;
    };
    void Count(const std::string& key, int delta);
    // Drops every keyed record that a later one (or the new key) makes obsolete; the number dropped.
    size_t DropObsolete(const std::string& newKey);

    size_t m_capacity;
    std::deque<Item> m_items;
    // Queued records per key, and the number of keys queued more than once.
    std::unordered_map<std::string, size_t> m_keys;
    size_t m_repeatedKeys = 0;
};
