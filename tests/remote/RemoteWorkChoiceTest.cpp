// The choice of a remote worker's next unit of work, and the wait after a round.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/remote/RemoteAgentThread.h"
#include "engine/remote/RemoteWork.h"

namespace {

constexpr int64_t kNow = 1000000;
constexpr int64_t kNone = -1;

struct ChoiceCase {
    const char* name;
    RemoteWorkState state;
    RemoteWork work;
    size_t agent;
    size_t cursor;
    bool roundDone;
};

RemoteWorkState Queues(size_t relocations, size_t removals, size_t contacts, size_t pollsAfterAdd,
                       std::vector<int64_t> retryDueMs = {kNone, kNone, kNone}, size_t cursor = 0, bool held = false)
{
    RemoteWorkState s;
    s.relocations = relocations;
    s.removals = removals;
    s.contacts = contacts;
    s.pollsAfterAdd = pollsAfterAdd;
    s.retryDueMs = std::move(retryDueMs);
    s.cursor = cursor;
    s.roundsHeld = held;
    s.nowMs = kNow;
    return s;
}

TEST(RemoteWorkChoice, QueuesInOrderThenTheRoundRobin)
{
    const std::vector<int64_t> idle = {kNone, kNone, kNone};
    const ChoiceCase cases[] = {
        {"relocation before everything", Queues(1, 1, 1, 1, idle, 1), RemoteWork::kRelocate, 0, 1, false},
        {"remove before initialise", Queues(0, 2, 1, 1, idle, 1), RemoteWork::kRemove, 0, 1, false},
        {"initialise before the poll after add", Queues(0, 0, 1, 1, idle, 1), RemoteWork::kContact, 0, 1, false},
        {"poll after add before the rounds", Queues(0, 0, 0, 3, idle, 1), RemoteWork::kPollAfterAdd, 0, 1, false},
        {"queued work is taken while the rounds are held", Queues(0, 0, 1, 0, idle, 0, true), RemoteWork::kContact,
         0, 0, false},
        {"the agent at the cursor is polled", Queues(0, 0, 0, 0, idle, 1), RemoteWork::kPoll, 1, 2, false},
        {"the last agent ends the round", Queues(0, 0, 0, 0, idle, 2), RemoteWork::kPoll, 2, 3, true},
        {"a cursor past the end wraps to the first agent", Queues(0, 0, 0, 0, idle, 3), RemoteWork::kPoll, 0, 1,
         false},
        {"a cursor past a shrunken list wraps", Queues(0, 0, 0, 0, {kNone}, 5), RemoteWork::kPoll, 0, 1, true},
        {"held rounds poll nobody", Queues(0, 0, 0, 0, idle, 1, true), RemoteWork::kNone, 0, 1, false},
        {"no agents, nothing to do", Queues(0, 0, 0, 0, {}, 0), RemoteWork::kNone, 0, 0, false},
        {"a retry that is due is tried again", Queues(0, 0, 0, 0, {kNone, kNow, kNone}, 1), RemoteWork::kRetryContact,
         1, 2, false},
        {"a retry overdue at the round's end", Queues(0, 0, 0, 0, {kNone, kNone, kNow - 5}, 2),
         RemoteWork::kRetryContact, 2, 3, true},
        {"a retry not yet due is not tried: the agent is polled", Queues(0, 0, 0, 0, {kNone, kNow + 1, kNone}, 1),
         RemoteWork::kPoll, 1, 2, false},
        {"another agent's due retry waits for its turn", Queues(0, 0, 0, 0, {kNow, kNone, kNone}, 1), RemoteWork::kPoll,
         1, 2, false},
        {"a due retry waits while the rounds are held", Queues(0, 0, 0, 0, {kNow, kNone, kNone}, 0, true),
         RemoteWork::kNone, 0, 0, false},
        {"a due retry waits for queued work", Queues(0, 1, 0, 0, {kNow, kNone, kNone}, 0), RemoteWork::kRemove, 0, 0,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RemoteWorkChoice choice = ChooseRemoteWork(c.state);
        EXPECT_EQ(choice.work, c.work);
        EXPECT_EQ(choice.cursor, c.cursor);
        if (c.work == RemoteWork::kPoll || c.work == RemoteWork::kRetryContact) {
            EXPECT_EQ(choice.agent, c.agent);
            EXPECT_EQ(choice.roundDone, c.roundDone);
        }
    }
}

TEST(RemoteWorkChoice, RoundWaitFollowsTheQueuesTheIntervalAndTheNextRetry)
{
    const int signal = CRemoteAgentThread::kSignalTimeoutMs;
    // Work queued: the short wait, whatever the interval.
    EXPECT_EQ(RoundWaitMs(true, 5000, 60000, kNone, kNow), signal);
    // The poll interval, else the idle wait.
    EXPECT_EQ(RoundWaitMs(false, 5000, 60000, kNone, kNow), 5000);
    EXPECT_EQ(RoundWaitMs(false, 0, 60000, kNone, kNow), 60000);
    // A retry due before the round would come shortens the wait, never below the signal wait.
    EXPECT_EQ(RoundWaitMs(false, 5000, 60000, kNow + 2000, kNow), 2000);
    EXPECT_EQ(RoundWaitMs(false, 5000, 60000, kNow + 9000, kNow), 5000);
    EXPECT_EQ(RoundWaitMs(false, 5000, 60000, kNow - 3000, kNow), signal);
}

} // namespace
