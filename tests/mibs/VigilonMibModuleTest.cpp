// The enterprise module mibs/VIGILON-MIB.txt: libsmi's smilint accepts it at level 3, every object a
// running engine serves under 1.3.6.1.4.1.64950 (with a device, its events, an alarm and a remote
// agent, so the tables have rows) is defined in it, and net-snmp's tools print its names.
//
// The SMIv2 base modules it imports come from tests/mibs/smi (stand-ins with what the module imports:
// Debian ships the IETF modules in no free package).

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "MibRig.h"

using mibrig::Rig;
using mibrig::Varbind;
using vgtest::WaitUntil;

namespace {

const std::string kModuleDir = std::string(VG_SOURCE_DIR) + "/mibs";
const std::string kSmiDir = std::string(VG_SOURCE_DIR) + "/tests/mibs/smi";
const std::string kE = "1.3.6.1.4.1.64950";

// The module's nodes (OID -> name) as net-snmp parses them: snmptranslate -Tz.
std::map<std::string, std::string> ModuleNodes(std::string& output)
{
    vgtest::RunTool({"env", "MIBS=", "snmptranslate", "-M", kSmiDir + ":" + kModuleDir, "-m", "VIGILON-MIB", "-Tz", "-On"},
                    output);
    std::map<std::string, std::string> nodes;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        // "name"<tabs>"oid"
        const size_t a = line.find('"');
        const size_t b = line.find('"', a + 1);
        const size_t c = line.find('"', b + 1);
        const size_t d = line.find('"', c + 1);
        if (d == std::string::npos)
            continue;
        std::string oid = line.substr(c + 1, d - c - 1);
        if (oid.rfind(kE + ".", 0) == 0 || oid == kE)
            nodes[oid] = line.substr(a + 1, b - a - 1);
    }
    return nodes;
}

} // namespace

TEST(VigilonMibModule, SmilintAcceptsItAtLevel3)
{
    // Level 3 reports every error and the warnings that matter; the module has none to explain. (Level
    // 5 would add one note per table: the row-number columns that index the tables should be
    // not-accessible, but the engine serves them, as readable columns, and managers walk them.)
    std::string out;
    const int rc =
        vgtest::RunTool({"env", "SMIPATH=" + kSmiDir, "smilint", "-l", "3", "-s", kModuleDir + "/VIGILON-MIB.txt"}, out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(out, "");
}

TEST(VigilonMibModule, EveryServedEnterpriseObjectIsDefinedAndNamed)
{
    std::string translated;
    const std::map<std::string, std::string> nodes = ModuleNodes(translated);
    ASSERT_GT(nodes.size(), 100u) << translated;
    // The objects: nodes with no node below them (scalars and columns).
    std::set<std::string> leaves;
    for (const auto& [oid, name] : nodes) {
        auto next = nodes.upper_bound(oid);
        if (next == nodes.end() || next->first.rfind(oid + ".", 0) != 0)
            leaves.insert(oid);
    }

    Rig rig;
    ASSERT_TRUE(rig.Start("127.0.0.82")) << rig.Engine().LogText();
    ASSERT_TRUE(rig.Agent().Send("alarm 12 1 1 On Battery"));
    ASSERT_TRUE(WaitUntil([&] { return rig.Get(kE + ".100.1.6.1.0") == "Gauge32: 1"; }, 15000)) << rig.Engine().LogText();

    const std::vector<Varbind> walk = rig.Walk(kE);
    std::set<std::string> tables; // the rows the walk had to reach: remote agents, devices, events, alarms
    for (const Varbind& vb : walk) {
        // The object of an instance: the longest prefix that the module defines.
        std::string object = vb.oid;
        while (!object.empty() && !nodes.count(object))
            object.erase(object.find_last_of('.') == std::string::npos ? 0 : object.find_last_of('.'));
        ASSERT_FALSE(object.empty()) << vb.oid << " is not in the module";
        EXPECT_TRUE(leaves.count(object)) << vb.oid << " is under " << nodes.at(object) << ", which is no object";
        const std::string instance = vb.oid.substr(object.size());
        EXPECT_FALSE(instance.empty()) << vb.oid;
        tables.insert(nodes.at(object));
    }
    for (const char* column : {"remoteCommunity", "devName", "devEvtShutdownDelay", "mvnUpsAlarmText",
                               "engineShutdownCountdown", "engineCommunity"})
        EXPECT_TRUE(tables.count(column)) << column << " was not walked";

    // With the module, the tools print names.
    rig.Tool("snmpget", {kE + ".10.6.2.1.3.1", kE + ".10.5.1.0"}, {"-M", kSmiDir + ":" + kModuleDir, "-m", "+VIGILON-MIB"},
             false);
    const std::string out = rig.LastOutput();
    EXPECT_NE(out.find("remoteAddress.1 = STRING: \"127.0.0.82\""), std::string::npos) << out;
    EXPECT_NE(out.find("engineShutdownCountdown.0 = INTEGER: 0"), std::string::npos) << out;
}
