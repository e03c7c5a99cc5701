#pragma once
// Word access to a block image shared between threads: each 32-bit little-endian word of a block is
// read and written as one atomic access, and bit changes are atomic read-modify-writes, so threads that
// hold only the block's read lock (which keeps the buffer in place) never tear or lose a word.
// The pointer must be 4-byte aligned (blocks are allocated aligned, and every word of a record or a
// row lies at a multiple of 4 from the block start).
//
// Threads: safe from any thread while the block's read (or write) lock is held.

#include <cstdint>
#include <endian.h>

namespace blockwords {

inline uint32_t Load(const uint8_t* p)
{
    return le32toh(__atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_ACQUIRE));
}

inline void Store(uint8_t* p, uint32_t value)
{
    __atomic_store_n(reinterpret_cast<uint32_t*>(p), htole32(value), __ATOMIC_RELEASE);
}

// Clears the bits of clear, then sets those of set, in one step; answers the old value.
inline uint32_t Modify(uint8_t* p, uint32_t clear, uint32_t set)
{
    auto* word = reinterpret_cast<uint32_t*>(p);
    uint32_t old = __atomic_load_n(word, __ATOMIC_RELAXED);
    for (;;) {
        uint32_t value = htole32((le32toh(old) & ~clear) | set);
        if (__atomic_compare_exchange_n(word, &old, value, true, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
            return le32toh(old);
    }
}

} // namespace blockwords
