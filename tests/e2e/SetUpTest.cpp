// scripts/deps keeps the system SNMP daemons that its test peers' packages bring off UDP 161 and 162 (the
// port the UPS cards send their traps to): it masks the units (and stops them where systemd runs), disables
// the init scripts and stops them where it does not, and stops a system daemon that still listens there.
// A unit already masked is left alone.
// The script runs against recording stand-ins of the system tools, with every package reported installed;
// sudo's stand-in records its arguments and runs them as they are, so nothing runs as another user.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "EngineProcess.h"

namespace {

using namespace e2e;

class SetUpScript : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_dir.Path("fakebin"));
        const std::string record = m_dir.Path("calls");
        const std::string recorder = "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> " + record + "\n";
        Tool("systemctl", recorder + "[ \"$1\" = is-system-running ] && { echo \"$FAKE_STATE\"; exit 0; }\n" +
                              "for a; do [ \"$a\" = is-enabled ] && { echo \"${FAKE_ENABLED:-enabled}\"; exit 0; }; done\n" +
                              "exit 0\n");
        Tool("service", recorder + "exit 0\n"); // every daemon runs
        Tool("update-rc.d", recorder + "exit 0\n");
        Tool("apt-get", recorder + "exit 1\n");
        Tool("dpkg-query", "#!/bin/sh\necho 'install ok installed'\n");
        Tool("sudo", recorder + "exec \"$@\"\n");
        // The user id FAKE_UID when set (a run as another user than root).
        Tool("id", "#!/bin/sh\n[ -n \"$FAKE_UID\" ] && [ \"$1\" = -u ] && { echo \"$FAKE_UID\"; exit 0; }\n"
                   "exec /usr/bin/id \"$@\"\n");
        // A listener on 162 while the process FAKE_LISTENER lives (a zombie is gone).
        Tool("ss", "#!/bin/sh\n[ -n \"$FAKE_LISTENER\" ] || exit 0\n"
                   "grep -qs '^[0-9]* ([^)]*) [^Z]' /proc/$FAKE_LISTENER/stat || exit 0\n"
                   "echo \"UNCONN 0 0 0.0.0.0:162 0.0.0.0:* users:((\\\"snmptrapd\\\",pid=$FAKE_LISTENER,fd=3))\"\n");
    }

    void Tool(const std::string& name, const std::string& text)
    {
        const std::string path = m_dir.Path("fakebin/" + name);
        std::ofstream(path) << text;
        fs::permissions(path, fs::perms::owner_all);
    }

    int Run(const std::string& state, const std::string& listener, std::string& out,
            const std::string& enabled = "enabled", const std::string& uid = "")
    {
        fs::remove(m_dir.Path("calls"));
        return vgtest::RunTool({"env", "PATH=" + m_dir.Path("fakebin") + ":/usr/bin:/bin", "FAKE_STATE=" + state,
                                "FAKE_LISTENER=" + listener, "FAKE_ENABLED=" + enabled, "FAKE_UID=" + uid, "bash",
                                std::string(VG_SOURCE_DIR) + "/scripts/deps"},
                               out, 60);
    }

    std::vector<std::string> Calls() const { return ReadLines(m_dir.Path("calls")); }

    static bool Has(const std::vector<std::string>& calls, const std::string& call)
    {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }

    vgtest::Sandbox m_dir{"vgdeps"};
};

TEST_F(SetUpScript, MasksAndStopsTheSystemDaemonsWhereSystemdRuns)
{
    std::string out;
    ASSERT_EQ(Run("degraded", "", out), 0) << out;
    const auto calls = Calls();
    EXPECT_TRUE(Has(calls, "systemctl mask --now --quiet snmptrapd.socket snmptrapd.service snmpd.service"))
        << ::testing::PrintToString(calls);
    for (const auto& call : calls) {
        EXPECT_NE(call.rfind("apt-get", 0), 0u) << call; // nothing is missing, nothing is installed
        EXPECT_NE(call.rfind("service", 0), 0u) << call; // systemd has stopped them
    }
    // Once masked, a later run changes nothing (and asks sudo for nothing).
    ASSERT_EQ(Run("degraded", "", out, "masked"), 0) << out;
    for (const auto& call : Calls())
        EXPECT_EQ(call.find(" mask"), std::string::npos) << call;
}

TEST_F(SetUpScript, WithoutSystemdStopsTheInitScriptsAndMasksForALaterBoot)
{
    std::string out;
    ASSERT_EQ(Run("offline", "", out), 0) << out;
    const auto calls = Calls();
    EXPECT_TRUE(Has(calls, "systemctl --root=/ mask --quiet snmptrapd.socket snmptrapd.service snmpd.service"))
        << ::testing::PrintToString(calls);
    for (const char* daemon : {"snmptrapd", "snmpd"}) {
        if (!fs::exists(std::string("/etc/init.d/") + daemon))
            continue;
        EXPECT_TRUE(Has(calls, std::string("service ") + daemon + " stop")) << daemon;
    }
}

// A daemon that the service tools did not stop (started by hand as the system one) is stopped by its pid.
TEST_F(SetUpScript, StopsASystemTrapDaemonStillOnTheTrapPort)
{
    Process listener("sleep", {"120"}, {}, m_dir.Path("sleep.out"));
    std::string out;
    EXPECT_EQ(Run("offline", std::to_string(listener.Pid()), out), 0) << out;
    EXPECT_TRUE(listener.Wait(5000).has_value()) << out;
}

// Another user than root: what needs root goes through sudo, the look for listeners too (without it the
// system daemons' sockets, owned by another user, would show no process).
TEST_F(SetUpScript, AsAnotherUserGoesThroughSudo)
{
    std::string out;
    ASSERT_EQ(Run("degraded", "", out, "enabled", "1000"), 0) << out;
    const auto calls = Calls();
    EXPECT_TRUE(Has(calls, "sudo systemctl mask --now --quiet snmptrapd.socket snmptrapd.service snmpd.service"))
        << ::testing::PrintToString(calls);
    EXPECT_TRUE(Has(calls, "sudo ss -Hlunp sport = :161 or sport = :162")) << ::testing::PrintToString(calls);
}

} // namespace
