// The whole engine with net-snmp's CLI tools: start and stop, the scalar groups' defaults, SET
// semantics, the INI rewrite, and the community swap with its survival across a restart.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "engine/agent/EngineScalarGroups.h"
#include "platform/NetInterfaces.h"
#include "tests/e2e/EngineProcess.h"

using namespace e2e;

namespace {

using vgtest::WaitUntil;

} // namespace

TEST(EngineE2E, FreshTreeStartsServesAndStopsOnSigterm)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_EQ(engine.Get("1.3.6.1.2.1.1.1.0", "gimbal"), "STRING: \"Vigilon v12.04.0059\"");
    EXPECT_EQ(engine.Get(E("10.1.2.3.0"), "gimbal"), "STRING: \"12.04.0059\"");
    EXPECT_TRUE(fs::exists(engine.Path("data/vgusrext.dat")));
    EXPECT_TRUE(WaitUntil([&] { return engine.LogText().find("Entering main application loop") != std::string::npos; },
                          5000));

    const int status = engine.Stop();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string log = engine.LogText();
    EXPECT_NE(log.find("Destroying and destructing all console objects."), std::string::npos);
    EXPECT_NE(log.find("Application shutdown complete"), std::string::npos);
    EXPECT_FALSE(fs::exists(engine.Path("shutdown-calls"))); // nothing asked to power off
}

TEST(EngineE2E, ScalarGroupDefaults)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const std::string trapPort = "INTEGER: " + std::to_string(engine.TrapPort());
    struct Case {
        std::string oid;
        std::string value;
    } cases[] = {
        {E("10.1.1.0"), "INTEGER: 1"},
        {E("10.1.2.2.0"), "INTEGER: 1"},
        {E("10.1.2.4.0"), "INTEGER: 0"},
        {E("10.1.2.5.0"), "INTEGER: 2"},
        {E("10.1.2.7.1.0"), "INTEGER: 1"},
        {E("10.1.2.7.2.0"), "INTEGER: 2"},
        {E("10.1.2.7.4.0"), "\"\""},
        {E("10.1.2.7.5.0"), "INTEGER: 1"},
        {E("10.1.2.9.0"), "INTEGER: 65535"},
        {E("10.1.2.10.0"), "STRING: \"00.00.0000.00\""},
        {E("10.1.2.14.0"), "INTEGER: 0"},
        {E("10.1.2.15.0"), "\"\""},
        {E("10.1.2.17.0"), "INTEGER: 0"},
        {E("10.1.3.1.0"), "INTEGER: 3"},
        {E("10.1.5.4.0"), "INTEGER: 1"},
        {E("10.1.6.3.0"), "INTEGER: 25"},
        {E("10.1.9.1.0"), "INTEGER: 0"},
        {E("10.1.10.1.0"), "INTEGER: 0"},
        {E("10.1.11.4.0"), "INTEGER: 2"},
        {E("10.1.12.6.0"), "INTEGER: 2"},
        {E("10.1.13.1.0"), "INTEGER: 2"},
        {E("10.1.13.3.0"), "INTEGER: 2"},
        {E("10.1.13.4.0"), "INTEGER: 25"},
        {E("10.1.13.5.0"), "\"\""},
        {E("10.1.13.9.0"), "STRING: \"INADDR_ANY:162\""},
        {E("10.4.1.1.0"), "INTEGER: 1000"},
        {E("10.4.1.2.0"), "INTEGER: 300"},
        {E("10.4.1.3.0"), "INTEGER: 7"},
        {E("10.4.2.1.0"), "INTEGER: 1000"},
        {E("10.5.1.0"), "INTEGER: 0"},
        {E("10.7.5.0"), "\"\""},
        // The console group answers for the requester, registered by this very read.
        {E("11.2.2.3.2.0"), "INTEGER: 50"},
        {E("11.2.2.3.5.0"), "INTEGER: 1"},
        {E("11.3.2.2.0"), trapPort},
        {E("11.4.0"), trapPort},
        {E("11.3.2.3.0"), "INTEGER: 3664"},
        {E("11.3.2.4.0"), "STRING: \"wendolmar\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(engine.Get(c.oid), c.value) << c.oid;

    // The engine's own address (also the stored one) is an address of this host, on loopback only when
    // the host has no other; its MAC is that interface's, when it has one.
    const std::string own = engine.Get(E("10.1.2.1.0"));
    ASSERT_EQ(own.rfind("IpAddress: ", 0), 0u) << own;
    EXPECT_EQ(engine.Get(E("10.1.2.19.0")), own);
    std::vector<vgplat::InterfaceAddress> interfaces;
    ASSERT_TRUE(vgplat::ListInterfaceAddresses(interfaces));
    std::string mac = "00.00.00.00.00.00";
    bool local = false, other = false;
    for (const vgplat::InterfaceAddress& a : interfaces) {
        other = other || a.ipv4.rfind("127.", 0) != 0;
        if ("IpAddress: " + a.ipv4 == own) {
            local = true;
            if (a.ethernet && a.hasMac)
                mac = vgplat::FormatMac(a.mac);
        }
    }
    EXPECT_TRUE(local) << own;
    EXPECT_EQ(own.rfind("IpAddress: 127.", 0) == 0, !other) << own;
    EXPECT_EQ(engine.Get(E("10.1.2.6.0")), "STRING: \"" + mac + "\"");

    // A walk crosses every scalar of the groups in order (every object of the groups' own tables), the
    // counts of the table groups (devices, groups, remote agents and the forwarded trap, contacts, trap
    // destinations, syslog: 7) and the enterprise UPS group's 22; the tables have no rows without
    // devices and agents.
    size_t scalars = 0;
    for (const KeyedScalarTable& table : {EngineDataScalars(), EngineLogDataScalars(), EngineShutdownScalars(),
                                          EngineConfigTimeStampScalars(), DevConsoleScalars()})
        scalars += table.count;
    std::string out;
    ASSERT_EQ(vgtest::RunTool({"snmpwalk", "-v2c", "-c", "gimbal", "-On", engine.Peer(), kE}, out), 0) << out;
    size_t lines = 0;
    for (char ch : out)
        lines += ch == '\n';
    EXPECT_EQ(lines, scalars + 7 + 22) << out;
    EXPECT_EQ(out.rfind(".1.3.6.1.4.1.64950.10.1.1.0 = ", 0), 0u) << out;
}

TEST(EngineE2E, SetSemanticsSavesAndTheIniRewrite)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    struct Case {
        std::string oid;
        std::string type;
        std::string value;
        std::string error;  // "" when the SET succeeds
        std::string reads;  // what the object reads afterwards
    } cases[] = {
        {E("10.4.2.1.0"), "i", "50", "", "INTEGER: 100"},              // clamped up
        {E("10.4.2.1.0"), "i", "30000", "", "INTEGER: 20000"},         // clamped down
        {E("10.4.1.3.0"), "i", "5", "", "INTEGER: 7"},                 // refused value, success
        {E("10.4.1.3.0"), "i", "30", "", "INTEGER: 30"},
        {E("10.1.2.4.0"), "i", "77", "", "INTEGER: 0"},                // write ignored
        {E("10.1.2.12.0"), "i", "9", "", "INTEGER: 0"},                // write ignored
        {E("10.1.13.3.0"), "i", "0", "", "INTEGER: 1"},                // 0 stored as 1
        {E("10.1.2.5.0"), "i", "1", "", "INTEGER: 1"},
        {E("10.1.2.5.0"), "i", "9", "", "INTEGER: 1"},                 // neither 1 nor 2: unchanged
        {E("10.1.6.1.0"), "s", "smtp.example", "", "STRING: \"smtp.example\""},
        {E("10.1.6.1.0"), "s", std::string(256, 'x'), "wrongLength", "STRING: \"smtp.example\""},
        {E("10.1.2.19.0"), "a", "127.0.0.7", "", "IpAddress: 127.0.0.7"},
        {E("10.1.2.3.0"), "s", "1.0", "notWritable", "STRING: \"12.04.0059\""},
        {E("10.1.2.5.0"), "s", "x", "wrongType", "INTEGER: 1"},
        {E("10.4.2.1.0"), "s", "100", "wrongType", "INTEGER: 20000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.oid + " " + c.type + " " + c.value.substr(0, 20));
        EXPECT_EQ(engine.Set(c.oid, c.type, c.value), c.error);
        EXPECT_EQ(engine.Get(c.oid), c.reads);
    }
    // The read-only community reads but never writes.
    EXPECT_NE(engine.Set(E("10.4.2.1.0"), "i", "500", "gimbal"), "");
    EXPECT_EQ(engine.Get(E("10.4.2.1.0"), "gimbal"), "INTEGER: 20000");

    // Any write of engineWriteConfigFile rewrites the INI file through the system queue.
    EXPECT_EQ(engine.Set(E("10.1.2.14.0"), "i", "1"), "");
    ASSERT_TRUE(WaitUntil([&] { return ReadText(engine.Path("vgconfig.ini")).find("[ConfigFileVersion]") !=
                                       std::string::npos; },
                          5000));
    const std::string ini = ReadText(engine.Path("vgconfig.ini"));
    EXPECT_NE(ini.find("[VG_Engine]"), std::string::npos) << ini;
    EXPECT_NE(ini.find("smtp.example"), std::string::npos) << ini;
    EXPECT_NE(ini.find("DataLogDuration=30\n"), std::string::npos) << ini;
    EXPECT_EQ(engine.Get(E("10.1.2.14.0")), "INTEGER: 0");

    // The settings were saved at once: a restart keeps them.
    ASSERT_EQ(WEXITSTATUS(engine.Stop()), 0);
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    EXPECT_EQ(engine.Get(E("10.4.2.1.0")), "INTEGER: 20000");
    EXPECT_EQ(engine.Get(E("10.4.1.3.0")), "INTEGER: 30");
    EXPECT_EQ(engine.Get(E("10.1.6.1.0")), "STRING: \"smtp.example\"");
    EXPECT_EQ(engine.Get(E("10.1.2.5.0")), "INTEGER: 1");
}

TEST(EngineE2E, CommunitySwapSurvivesARestart)
{
    EngineInstall engine;
    ASSERT_TRUE(engine.Start()) << engine.ConsoleOutput();
    const std::string version = E("10.1.2.3.0");
    EXPECT_EQ(engine.Set(E("10.1.2.15.0"), "s", "s3cretcomm"), "");
    auto configuredOnly = [&] {
        EXPECT_EQ(engine.Get(version, "s3cretcomm"), "STRING: \"12.04.0059\"");
        EXPECT_EQ(engine.Get(E("10.1.2.15.0"), "s3cretcomm"), "STRING: \"s3cretcomm\"");
        for (const char* old : {"wendolmar", "gimbal", "zastrove"})
            EXPECT_EQ(engine.Get(version, old).rfind("ERROR ", 0), 0u) << old;
        // The new community writes as well.
        EXPECT_EQ(engine.Set(E("10.4.1.2.0"), "i", "120", "s3cretcomm"), "");
    };
    configuredOnly();

    ASSERT_EQ(WEXITSTATUS(engine.Stop()), 0);
    ASSERT_TRUE(engine.Start({}, "s3cretcomm")) << engine.ConsoleOutput();
    configuredOnly();

    // An empty community brings the three defaults back.
    EXPECT_EQ(engine.Set(E("10.1.2.15.0"), "s", "", "s3cretcomm"), "");
    EXPECT_EQ(engine.Get(version, "wendolmar"), "STRING: \"12.04.0059\"");
    EXPECT_EQ(engine.Get(version, "gimbal"), "STRING: \"12.04.0059\"");
    EXPECT_EQ(engine.Get(version, "s3cretcomm").rfind("ERROR ", 0), 0u);
    EXPECT_NE(engine.Set(E("10.4.1.2.0"), "i", "60", "gimbal"), "");
}
