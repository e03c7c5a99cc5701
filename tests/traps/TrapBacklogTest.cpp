// The received-trap backlog: every record is kept while there is room; a full backlog makes room only
// by dropping states that a later record of the same key made obsolete, keeping the order of the rest.

#include <gtest/gtest.h>

#include <sstream>

#include "engine/remote/RemoteTrapBacklog.h"

namespace {

// Steps: "A1" adds record 1 with key A, "-1" record 1 without a key, "take" takes the oldest. Results:
// Q queued, C coalesced, R refused, and for a take the number of the record taken.
struct Case {
    const char* what;
    const char* steps;
    const char* results;
    const char* left;  // the numbers of the records left, oldest first
};

const Case kCases[] = {
    {"room: every record is kept, repeats too", "A1 A2 A3", "Q Q Q", "1 2 3"},
    {"full: a later state of a queued key replaces it and goes last", "A1 B2 C3 A4", "Q Q Q C", "2 3 4"},
    {"full: the obsolete states of one key make room for another", "A1 A2 A3 B4", "Q Q Q C", "3 4"},
    {"full: the obsolete states and the queued one of the new key go", "A1 A2 B3 A4", "Q Q Q C", "3 4"},
    {"full with nothing obsolete: the newest is refused", "A1 B2 C3 D4", "Q Q Q R", "1 2 3"},
    {"records without a key never give way", "-1 -2 -3 A4", "Q Q Q R", "1 2 3"},
    {"a record without a key takes a place made by obsolete states", "-1 A2 A3 -4", "Q Q Q C", "1 3 4"},
    {"a taken record frees its place and its key", "A1 B2 C3 take D4 A5 B6", "Q Q Q 1 Q R C", "3 4 6"},
};

std::unique_ptr<RemoteTrapRecord> Record(uint32_t number)
{
    auto r = std::make_unique<RemoteTrapRecord>();
    r->specific = number;
    return r;
}

TEST(RemoteTrapBacklog, KeepsTheLatestStateOfEachKeyWhenFull)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        RemoteTrapBacklog backlog(3);
        std::istringstream steps(c.steps);
        std::string step, results;
        while (steps >> step) {
            if (!results.empty())
                results += ' ';
            if (step == "take") {
                auto taken = backlog.Take();
                results += taken ? std::to_string(taken->specific) : "none";
                continue;
            }
            auto record = Record(static_cast<uint32_t>(std::stoul(step.substr(1))));
            const std::string key = step[0] == '-' ? "" : step.substr(0, 1);
            switch (backlog.Add(record, key)) {
            case RemoteTrapBacklog::AddResult::Queued: results += 'Q'; break;
            case RemoteTrapBacklog::AddResult::Coalesced: results += 'C'; break;
            case RemoteTrapBacklog::AddResult::Refused:
                results += 'R';
                EXPECT_NE(record, nullptr) << "a refused record stays with the caller";
                break;
            }
        }
        EXPECT_EQ(results, c.results);
        std::string left;
        while (auto r = backlog.Take())
            left += (left.empty() ? "" : " ") + std::to_string(r->specific);
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(backlog.Size(), 0u);
    }
}

}  // namespace
