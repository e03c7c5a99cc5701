// The group's own lookups, without the agent: the next instance after a name (with and without
// net-snmp's inclusive flag) and the object of a name.

#include <gtest/gtest.h>

#include "engine/agent/mib/MibGroup.h"

namespace {

class MibGroupLookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        group.add(new MibLeaf("1.3.9.1.0", MibAccess::ReadOnly, kSnmpInteger));
        group.add(new MibLeaf("1.3.9.2.0", MibAccess::NoAccess, kSnmpInteger));
        group.add(new MibLeaf("1.3.9.3.0", MibAccess::ReadWrite, kSnmpInteger));
        auto* table = new MibTable("1.3.9.5.1");
        table->add_col(new MibLeaf("1", MibAccess::ReadOnly, kSnmpInteger));
        table->add_col(new MibLeaf("2", MibAccess::NoAccess, kSnmpInteger));
        table->add_col(new MibLeaf("3", MibAccess::ReadCreate, kSnmpInteger));
        table->add_row(2);
        table->add_row(10);
        group.add(table);
        group.add(new MibLeaf("1.3.9.7.0", MibAccess::ReadOnly, kSnmpInteger));
        // Refused: outside the group, and a second object at the same OID.
        group.add(new MibLeaf("1.3.8.1.0", MibAccess::ReadOnly, kSnmpInteger));
        group.add(new MibLeaf("1.3.9.1.0", MibAccess::ReadOnly, kSnmpOctetString));
    }
    std::string Next(const char* name, bool inclusive)
    {
        MibGroup::Target target;
        return group.find_next(MakeOid(name), inclusive, target) ? OidToString(target.instance) : "end";
    }
    MibGroup group{"1.3.9", "lookup"};
};

TEST_F(MibGroupLookup, NextInstance)
{
    struct Case {
        const char* name;
        bool inclusive;
        const char* next;
    } cases[] = {
        {"1.3", false, "1.3.9.1.0"},          {"1.3.9", true, "1.3.9.1.0"},
        {"1.3.9.1.0", false, "1.3.9.3.0"},    // the hidden object is skipped
        {"1.3.9.1.0", true, "1.3.9.1.0"},     {"1.3.9.1", false, "1.3.9.1.0"},
        {"1.3.9.3.0", false, "1.3.9.5.1.1.2"}, {"1.3.9.5", false, "1.3.9.5.1.1.2"},
        {"1.3.9.5.1.1.2", false, "1.3.9.5.1.1.10"}, {"1.3.9.5.1.1.2", true, "1.3.9.5.1.1.2"},
        {"1.3.9.5.1.1.3", true, "1.3.9.5.1.1.10"},  {"1.3.9.5.1.1.2.7", false, "1.3.9.5.1.1.10"},
        {"1.3.9.5.1.1.10", false, "1.3.9.5.1.3.2"},  // the hidden column is skipped
        {"1.3.9.5.1.2.99", false, "1.3.9.5.1.3.2"},  {"1.3.9.5.1.3.10", false, "1.3.9.7.0"},
        {"1.3.9.5.1.9", false, "1.3.9.7.0"},        {"1.3.9.7.0", false, "end"},
        {"1.3.9.7.0", true, "1.3.9.7.0"},           {"1.4", false, "end"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Next(c.name, c.inclusive), c.next) << c.name << (c.inclusive ? " inclusive" : "");
}

TEST_F(MibGroupLookup, ExactObject)
{
    using Found = MibGroup::Found;
    struct Case {
        const char* name;
        Found found;
        bool leaf;
        bool rowExists;
    } cases[] = {
        {"1.3.9.1.0", Found::Object, true, true},         {"1.3.9.1", Found::NoSuchInstance, false, true},
        {"1.3.9.1.0.1", Found::NoSuchInstance, false, true}, {"1.3.9.4.0", Found::NoSuchObject, false, true},
        {"1.3.9.5.1.1.2", Found::Object, true, true},     {"1.3.9.5.1.3.4", Found::NoSuchInstance, true, false},
        {"1.3.9.5.1.1", Found::NoSuchInstance, true, false}, {"1.3.9.5.1.4.2", Found::NoSuchObject, false, true},
        {"1.3.9", Found::NoSuchObject, false, true},     {"1.3.8.1.0", Found::NoSuchObject, false, true},
    };
    for (const Case& c : cases) {
        MibGroup::Target target;
        EXPECT_EQ(group.find_exact(MakeOid(c.name), target), c.found) << c.name;
        EXPECT_EQ(target.leaf != nullptr, c.leaf) << c.name;
        if (target.leaf) {
            EXPECT_EQ(target.rowExists, c.rowExists) << c.name;
        }
    }
    MibGroup::Target cell;
    group.find_exact(MakeOid("1.3.9.5.1.3.4"), cell);
    EXPECT_EQ(OidToString(cell.index), "4");
    EXPECT_EQ(cell.leaf->get_table()->get_oid(), MakeOid("1.3.9.5.1"));
}

}  // namespace
