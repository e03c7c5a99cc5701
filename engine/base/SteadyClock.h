#pragma once
// Milliseconds on the steady (monotonic) clock, for intervals and deadlines that a change of the wall
// clock must not move. Safe from any thread.

#include <chrono>
#include <cstdint>

inline int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
