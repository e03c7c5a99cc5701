#pragma once
// The choice of a remote worker's next unit of work, apart from the work itself: given the lengths of
// the manager's queues, whether the polling rounds are held, the round-robin cursor, the retry times of
// the agents and the time, which unit comes next.
//
// Order: a relocation asked for over SNMP, then a removal, then a first contact (or another try of one),
// then the poll after an add. With those queues empty and the rounds not held, the agent at the cursor
// (which wraps to the first agent) is polled, or its failed first contact tried again once that is due.
//
// Threads: pure functions; the caller holds the lock of what it describes.

#include <cstddef>
#include <cstdint>
#include <vector>

enum class RemoteWork {
    kNone,         // nothing to do: no agents, or the rounds are held
    kRelocate,     // an agent moves to the address a SET gave
    kRemove,       // an agent queued for removal leaves
    kContact,      // the first contact of an added agent (or another try of a failed one)
    kPollAfterAdd, // the first poll of an agent whose devices were just read
    kPoll,         // the round-robin poll of the agent at the cursor
    kRetryContact, // the agent at the cursor: another try of its failed first contact is due
};

struct RemoteWorkState {
    size_t relocations = 0;
    size_t removals = 0;
    size_t contacts = 0;
    size_t pollsAfterAdd = 0;
    // A first contact under way, a discovery running or the engine busy: no round-robin work.
    bool roundsHeld = false;
    size_t cursor = 0;
    // One per agent, in list order: when another try of its failed first contact is due; -1 none.
    std::vector<int64_t> retryDueMs;
    int64_t nowMs = 0;
};

struct RemoteWorkChoice {
    RemoteWork work = RemoteWork::kNone;
    // kPoll and kRetryContact: the agent's place in the list, the cursor after this unit and whether
    // the unit ends a round. Otherwise cursor is the one given.
    size_t agent = 0;
    size_t cursor = 0;
    bool roundDone = false;
};

RemoteWorkChoice ChooseRemoteWork(const RemoteWorkState& state);

// The workers' wait after a round: short while work is queued, else the poll interval (or the idle wait
// without one), cut to the next due retry but never below the signal wait. nextRetryMs -1: none.
int RoundWaitMs(bool queued, int pollIntervalMs, int idleWaitMs, int64_t nextRetryMs, int64_t nowMs);
