// The RowStatus decisions of the dense tables and the order of dense rows, as pure functions.

#include "engine/agent/TableRows.h"

#include <gtest/gtest.h>

namespace {

const char* ActionName(RowStatusAction action)
{
    switch (action) {
    case RowStatusAction::None: return "none";
    case RowStatusAction::SetStatus: return "status";
    case RowStatusAction::Create: return "create";
    case RowStatusAction::Destroy: return "destroy";
    }
    return "?";
}

} // namespace

TEST(RowStatusDecision, TableOfCases)
{
    // Three rows, keys for rows up to 255.
    struct Case {
        uint32_t row;
        int64_t value;
        bool blocked;
        int check;  // status of the check step (reaches the manager as it is)
        int commit; // status of the commit (the manager sees commitFailed when not 0)
        RowStatusAction action;
    } cases[] = {
        {1, kRowActive, false, 0, 0, RowStatusAction::SetStatus},
        {3, kRowNotInService, false, 0, 0, RowStatusAction::SetStatus},
        {4, kRowActive, false, 0, kSnmpErrNoSuchName, RowStatusAction::None},
        {2, kRowNotReady, false, 0, kSnmpErrReadOnly, RowStatusAction::None},
        {9, kRowNotReady, false, 0, kSnmpErrNoSuchName, RowStatusAction::None},
        {3, kRowCreateAndGo, false, 0, kSnmpErrReadOnly, RowStatusAction::None},
        {4, kRowCreateAndWait, false, 0, 0, RowStatusAction::Create},
        {4, kRowCreateAndGo, false, 0, 0, RowStatusAction::Create},
        {4, kRowCreateAndWait, true, 0, kSnmpErrNoSuchName, RowStatusAction::None},
        {5, kRowCreateAndWait, false, 0, kSnmpErrNoSuchName, RowStatusAction::None},
        {1, kRowDestroy, false, 0, 0, RowStatusAction::Destroy},
        {4, kRowDestroy, false, 0, kSnmpErrNoSuchName, RowStatusAction::None},
        {0, kRowActive, false, 0, kSnmpErrReadOnly, RowStatusAction::None},
        {0, kRowDestroy, false, 0, kSnmpErrReadOnly, RowStatusAction::None},
        // Values that are no RowStatus, on existing and missing rows, are refused before anything runs.
        {1, 0, false, kSnmpErrWrongValue, kSnmpErrWrongValue, RowStatusAction::None},
        {1, 7, false, kSnmpErrWrongValue, kSnmpErrWrongValue, RowStatusAction::None},
        {4, -1, false, kSnmpErrWrongValue, kSnmpErrWrongValue, RowStatusAction::None},
        {4, 0x100000001LL, false, kSnmpErrWrongValue, kSnmpErrWrongValue, RowStatusAction::None},
        // Past the key space nothing is created, whatever the count says.
        {256, kRowCreateAndWait, false, kSnmpErrNoCreation, kSnmpErrNoSuchName, RowStatusAction::None},
    };
    for (const Case& c : cases) {
        const RowStatusRequest request{c.row, c.value, 3, 255, c.blocked};
        SCOPED_TRACE("row " + std::to_string(c.row) + " value " + std::to_string(c.value));
        EXPECT_EQ(RowStatusCheck(request), c.check);
        const RowStatusDecision d = DecideRowStatus(request);
        EXPECT_EQ(d.status, c.commit);
        EXPECT_STREQ(ActionName(d.action), ActionName(c.action));
    }
}

TEST(RowStatusDecision, CreationAtTheEdgeOfTheKeySpace)
{
    // 254 rows: 255 is the last row a key can hold; with 255 rows nothing more may be created.
    EXPECT_EQ(DecideRowStatus({255, kRowCreateAndWait, 254, 255, false}).action, RowStatusAction::Create);
    EXPECT_EQ(RowStatusCheck({256, kRowCreateAndWait, 255, 255, false}), kSnmpErrNoCreation);
    EXPECT_EQ(DecideRowStatus({256, kRowCreateAndWait, 255, 255, false}).action, RowStatusAction::None);
    // A row past the key space is never there, even when the count runs past it.
    EXPECT_EQ(DecideRowStatus({256, kRowDestroy, 300, 255, false}).status, kSnmpErrNoSuchName);
    EXPECT_EQ(DecideRowStatus({0xFFFFFFFFu, kRowCreateAndGo, 0xFFFFFFFEu, 0xFFFFFFFFu, false}).action,
              RowStatusAction::Create);
}

TEST(DenseRows, NextRowFollowsOidOrder)
{
    struct Case {
        uint32_t count;
        SnmpOid after;
        bool inclusive;
        uint32_t next;
    } cases[] = {
        {3, {}, true, 1},     {3, {}, false, 1},     {0, {}, true, 0},         {3, {0}, true, 1},
        {3, {1}, true, 1},    {3, {1}, false, 2},    {3, {2, 7}, true, 3},     {3, {2, 7}, false, 3},
        {3, {3}, false, 0},   {3, {3}, true, 3},     {3, {0xFFFFFFFFu}, false, 0}, {3, {9}, true, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NextDenseRow(c.count, c.after, c.inclusive), c.next)
            << OidToString(c.after) << (c.inclusive ? " inclusive" : "");
}
