// The AgentX guard's rules: which registrations overlap the engine's objects, and how many sessions
// the descriptor limit allows.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "engine/agent/AgentXGuard.h"

TEST(AgentXGuard, RegistrationOverlapsOwnSubtree)
{
    const std::vector<OidRange> own = {SubtreeRange(MakeOid("1.3.6.1.2.1.1")),
                                       SubtreeRange(MakeOid("1.3.6.1.4.1.64950"))};
    struct Case {
        const char* subtree;
        int rangeSubid;
        uint32_t upper;
        int expected;  // index into own, -1 for none
    } cases[] = {
        {"1.3.6.1.4.1.64950", 0, 0, 1},
        {"1.3.6.1.4.1.64950.10.4.2.1.0", 0, 0, 1},
        {"1.3.6.1", 0, 0, 0},
        {"1.3.6.1.4.1", 0, 0, 1},
        {"1.3.6.1.4.1.64949", 0, 0, -1},
        {"1.3.6.1.4.1.64949.99.1", 0, 0, -1},
        {"1.3.6.1.4.1.64951", 0, 0, -1},
        {"1.3.6.1.2.1.2", 0, 0, -1},
        {"1.3.6.1.2.1.0", 0, 0, -1},
        {"1.3.6.1.4.1.64900", 7, 64950, 1},  // a range whose last subtree is ours
        {"1.3.6.1.4.1.64900", 7, 64949, -1},
        {"1.3.6.1.2.1.0", 7, 1, 0},
        {"1.3.6.1.4.1.64900", 9, 5, -1},     // a range sub-identifier past the name: the subtree alone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subtree + std::string(" range ") + std::to_string(c.rangeSubid));
        EXPECT_EQ(FirstOverlap(own, RegistrationRange(MakeOid(c.subtree), c.rangeSubid, c.upper)), c.expected);
    }
}

TEST(AgentXGuard, SubtreeEndsAtLargestSubIdentifiers)
{
    const OidRange top = SubtreeRange(MakeOid("1.4294967295"));
    EXPECT_EQ(top.end, MakeOid("2"));
    EXPECT_FALSE(top.endless);
    EXPECT_TRUE(SubtreeRange(MakeOid("4294967295.4294967295")).endless);
    EXPECT_TRUE(RangesOverlap(SubtreeRange(MakeOid("4294967295")), SubtreeRange(MakeOid("4294967295.7"))));
    EXPECT_FALSE(RangesOverlap(SubtreeRange(MakeOid("1.4294967295")), SubtreeRange(MakeOid("2"))));
}

TEST(AgentXGuard, SessionBoundLeavesDescriptorReserve)
{
    struct Case {
        uint64_t limit;
        int inUse;
        int expected;
    } cases[] = {
        {4096, 40, kMaxAgentXSessions},
        {1024, 40, kMaxAgentXSessions},
        {256, 40, kMaxAgentXSessions},
        {200, 40, 200 - 40 - kAgentXDescriptorReserve},
        {100, 40, 0},
        {UINT64_MAX, 40, kMaxAgentXSessions},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        EXPECT_EQ(AgentXSessionBound(c.limit, c.inUse), c.expected);
    }
}

TEST(AgentXGuard, FailedRegistrationCheckNeverPassesToTheLibrary)
{
    struct Case {
        const char* name;
        std::function<bool(bool&)> check;
        RegistrationCheck expected;
    } cases[] = {
        {"overlaps nothing", [](bool&) { return false; }, RegistrationCheck::Pass},
        {"refused", [](bool& answered) { answered = true; return true; }, RegistrationCheck::Answered},
        {"throws before answering", [](bool&) -> bool { throw std::bad_alloc(); }, RegistrationCheck::Refuse},
        {"throws something else", [](bool&) -> bool { throw 42; }, RegistrationCheck::Refuse},
        {"throws after answering",
         [](bool& answered) -> bool {
             answered = true;
             throw std::runtime_error("late");
         },
         RegistrationCheck::Answered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunRegistrationCheck(c.check), c.expected);
    }
}
