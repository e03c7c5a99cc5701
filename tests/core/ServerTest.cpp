// The server's start and stop, its events, the shutdown calls, the crash recovery and the commands.

#include "engine/core/server/ServerEx.h"
#include "platform/OsThread.h"

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"
#include "tests/core/ServerTestSupport.h"

using namespace servertest;

namespace {

class ServerTest : public ::testing::Test {
protected:
    ScopedLogCapture log;
    TestInstall install;
    CallLog calls;

    std::unique_ptr<CServerEx> MakeServer(uint32_t engineAddress = 0)
    {
        ServerOptions options = install.Options(calls, engineAddress);
        return std::make_unique<CServerEx>(options);
    }
    std::unique_ptr<CServerEx> StartServer(uint32_t engineAddress = 0)
    {
        auto server = MakeServer(engineAddress);
        EXPECT_TRUE(server->Start(0, 2, 3665, "public"));
        EXPECT_TRUE(WaitUntil([&] { return server->IsStarted(); }));
        return server;
    }
    // Position of a log line, -1 when missing.
    int LogIndex(const std::string& text)
    {
        auto lines = log.Lines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].message == text)
                return static_cast<int>(i);
        return -1;
    }
};

TEST_F(ServerTest, StartsAndStopsTheManagersInOrderWithTheirEvents)
{
    auto server = StartServer();
    EXPECT_EQ(server->GetTrapPort(), 3665);
    EXPECT_EQ(server->GetCommunity(), "public");
    EXPECT_EQ(server->GetEngineName(), vgplat::GetComputerName());
    EXPECT_TRUE(server->GetStartError().empty());

    // Start: timers, remote agents, devices, consoles, system queue; then the started step.
    const int timers = LogIndex("CAgentTimer::Initialize '" + std::string(server->GetTimers()->GetName()) + "'");
    ASSERT_GE(timers, 0);
    EXPECT_LT(calls.IndexOf("remote.Initialize"), calls.IndexOf("devices.Initialize"));
    EXPECT_LT(calls.IndexOf("devices.Initialize"), calls.IndexOf("consoles.Initialize"));
    EXPECT_LT(calls.IndexOf("consoles.Initialize"), calls.IndexOf("event Vigilon Agent 4 100 Vigilon Agent Started"));
    EXPECT_LT(calls.IndexOf("event Vigilon Agent 4 100 Vigilon Agent Started"),
              calls.IndexOf("remote.SetConfigurationValues"));
    EXPECT_TRUE(fs::exists(install.Path("data/vgusrext.dat")));
    EXPECT_EQ(fs::status(install.Path("data/vgusrext.dat")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(fs::is_directory(install.Path("DataSafe")));
    EXPECT_TRUE(log.Has("SNMP Community : public", kLogDebug));

    calls.Clear();
    server->Destroy();
    EXPECT_FALSE(server->IsStarted());
    // Stop: saves deferred; reactions end; queue, timers, devices, remote agents (whose release would
    // otherwise delete the devices as removed), the stop event, consoles.
    EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"devices.SetBusy 1", "devices.BeginStop", "devices.Destroy",
                                                       "remote.Shutdown",
                                                       "event Vigilon Agent 4 100 Vigilon Agent Stopped",
                                                       "consoles.DestroyAll"}));
    const char* order[] = {"Stopping system thread.", "Destroying and destructing the system queue.",
                           "Destroying and destructing the system timers.",
                           "Destroying and destructing all device objects.",
                           "Destroying and destructing all remote agent objects.",
                           "Destroying and destructing all console objects.",
                           "[CServer::Destroy]: Pre-destruction complete."};
    for (size_t i = 1; i < std::size(order); ++i)
        EXPECT_LT(LogIndex(order[i - 1]), LogIndex(order[i])) << order[i];
    EXPECT_TRUE(log.Has("Exiting CSystemQueue::main( " + std::string(server->GetSystemQueue()->GetName()) + " )"));
    EXPECT_TRUE(log.Has("Exiting CAgentTimer::main( " + std::string(server->GetTimers()->GetName()) + " )"));
    server->Destroy(); // once only
    EXPECT_EQ(calls.Count("remote.Shutdown"), 1);
}

TEST_F(ServerTest, StartFailuresAreLoggedAndLeaveTheManagersStopped)
{
    struct Case {
        const char* name;
        std::function<void(ServerOptions&)> prepare;
        const char* message;
        LogLevel level;
    } cases[] = {
        {"missing shutdown library", [&](ServerOptions&) { fs::remove(install.Path("bin/libvgdown.so")); },
         "Shutdown library 'vgdown' could not be loaded.", kLogCritical},
        {"missing message table", [](ServerOptions& o) { o.messageTableName = "vgmsg-missing"; },
         "Event log messages library could not be loaded", kLogCritical},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        calls.Clear();
        ServerOptions options = install.Options(calls);
        c.prepare(options);
        CServerEx server(options);
        EXPECT_FALSE(server.Start(0, 2, 3665, "public"));
        EXPECT_TRUE(log.Has(c.message, c.level));
        EXPECT_FALSE(server.GetStartError().empty());
        bool emergency = false;
        for (const auto& line : log.Lines())
            emergency |= line.level == kLogEmergency && line.message.find("Server start failed") != std::string::npos;
        EXPECT_TRUE(emergency) << "a failed start is never silent";
        EXPECT_FALSE(calls.Has("remote.Initialize"));
        EXPECT_FALSE(fs::exists(install.Path("data/vgusrext.dat")));
        // The stop still runs; no stop event without a start event.
        server.Destroy();
        EXPECT_TRUE(log.Has("Cannot log events before the server is initialized.", kLogError));
        EXPECT_FALSE(calls.Has("event Vigilon Agent 4 100 Vigilon Agent Stopped"));
        fs::copy_file(std::string(VG_RECORDING_VGDOWN_DIR) + "libvgdown.so", install.Path("bin/libvgdown.so"),
                      fs::copy_options::overwrite_existing);
    }
}

// A server whose timer or queue thread is dead would report a start that never counts down: the start
// fails instead, and the stop that follows still runs cleanly.
TEST_F(ServerTest, AThreadThatCannotStartFailsTheStart)
{
    struct Case {
        const char* refusedThread;
        const char* error;
    } cases[] = {
        {"CServerTimers", "the timer thread could not be started"},
        {"SystemQueueThread", "the system queue thread could not be started"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusedThread);
        log.Clear();
        calls.Clear();
        const std::string refused = c.refusedThread;
        vgplat::SetThreadStartGate(
            [refused](const char* name) { return std::string(name).find(refused) == std::string::npos; });
        ServerOptions options = install.Options(calls);
        CServerEx server(options);
        const bool started = server.Start(0, 2, 3665, "public");
        vgplat::SetThreadStartGate(nullptr);
        EXPECT_FALSE(started);
        EXPECT_EQ(server.GetStartError(), c.error);
        EXPECT_TRUE(log.Contains(kLogEmergency, "Server start failed (" + std::string(c.error) + ")"));
        EXPECT_FALSE(server.IsStarted());
        server.Destroy();
    }
}

TEST_F(ServerTest, LibraryWithoutStartShutdownFailsTheStart)
{
    // Any shared library without the export: the C library's math part.
    const char* candidates[] = {"/lib/x86_64-linux-gnu/libm.so.6", "/usr/lib/x86_64-linux-gnu/libm.so.6",
                                "/lib64/libm.so.6", "/usr/lib/libm.so.6"};
    std::string found;
    for (const char* c : candidates)
        if (fs::exists(c))
            found = c;
    if (found.empty())
        GTEST_SKIP() << "no libm to stand in for a library without the export";
    fs::copy_file(found, install.Path("bin/libvgdown.so"), fs::copy_options::overwrite_existing);
    ServerOptions options = install.Options(calls);
    CServerEx server(options);
    EXPECT_FALSE(server.Start(0, 2, 3665, "public"));
    EXPECT_TRUE(log.Has("Start Shutdown function could not be found", kLogError));
    EXPECT_FALSE(calls.Has("remote.Initialize"));
    server.Destroy();
}

TEST_F(ServerTest, ShutdownCallsFollowHibernation)
{
    struct Case {
        const char* states;
        bool enableHibernation;
        std::string begin;   // calls recorded by BeginShutdown
        std::string execute; // calls recorded by ExecuteShutdown
        bool stopsAgent;
    } cases[] = {
        {"freeze mem disk", true, "", "4 0\n", false},
        {"freeze mem disk", false, "1 1\n", "2 0\n", true},
        {"freeze mem", true, "1 1\n", "2 0\n", true},
        {"freeze mem", false, "1 1\n", "2 0\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.states) + (c.enableHibernation ? " enabled" : " disabled"));
        install.SetPowerStates(c.states);
        fs::remove(install.Path("shutdown-calls"));
        auto server = StartServer();
        EXPECT_EQ(server->IsHibernateAllowed(), std::string(c.states).find("disk") != std::string::npos);
        server->SetIntValue(7, 0, c.enableHibernation ? 1 : 2);
        calls.Clear();
        log.Clear();
        const std::string cause = "the alarm [On Battery] of UPS-A on 10.0.0.7";
        EXPECT_EQ(server->BeginShutdown(cause), 1);
        EXPECT_EQ(install.ShutdownCalls(), c.begin);
        EXPECT_EQ(server->ExecuteShutdown(cause), 1);
        EXPECT_EQ(install.ShutdownCalls(), c.begin + c.execute);
        EXPECT_EQ(calls.Has("snmp.StopAgent"), c.stopsAgent);
        // Each library call is a line at the level the default keeps and a warning event, with its cause.
        const std::string warn = "Host shutdown: StartShutdown(1, 1) (warn the users) for " + cause;
        const std::string powerOff = "Host shutdown: StartShutdown(2, 0) (power off) for " + cause;
        const std::string hibernate = "Host shutdown: StartShutdown(4, 0) (hibernate) for " + cause;
        if (c.stopsAgent) {
            EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"event Vigilon Agent 2 100 " + warn,
                                                               "devices.SetReactionsSuspended 1", "devices.SetBusy 1",
                                                               "remote.SetBusy 1", "event Vigilon Agent 2 100 " + powerOff,
                                                               "snmp.StopAgent"}));
            EXPECT_TRUE(log.Has(warn, kLogError));
            EXPECT_TRUE(log.Has(powerOff, kLogError));
        } else {
            EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"event Vigilon Agent 2 100 " + hibernate}));
            EXPECT_TRUE(log.Has(hibernate, kLogError));
        }
        EXPECT_EQ(server->ExecuteShutdownMode8(""), 1);
        EXPECT_EQ(install.ShutdownCalls(), c.begin + c.execute + "8 0\n");
        EXPECT_TRUE(log.Has("Host shutdown: StartShutdown(8, 0) (forced power off) for no alarm", kLogError));
        server->Destroy();
    }
}

TEST_F(ServerTest, EventsBeforeTheStartAreRefusedAndTextsAreBounded)
{
    auto server = MakeServer();
    EXPECT_FALSE(server->LogEvent(0, 3, 0, "early", nullptr, 0, 0));
    EXPECT_TRUE(log.Has("Cannot log events before the server is initialized.", kLogError));

    const std::string name = "UPS-A";
    const std::string longName(400, 'n'); // a remote device's name: never trusted for length
    struct Case {
        const std::string* device;
        const char* context;
        std::string message;
        std::string expected;
    } cases[] = {
        {nullptr, nullptr, "Vigilon Agent Started", "Vigilon Agent Started"},
        {&name, nullptr, "On battery", "UPS-A: On battery"},
        {&name, "10.0.0.7", "On battery", "UPS-A on 10.0.0.7: On battery"},
        {&name, "", "On battery", "UPS-A: On battery"},
        // The message fits whole with its terminator in 256 bytes, or is left out.
        {&name, nullptr, std::string(248, 'm'), "UPS-A: " + std::string(248, 'm')},
        {&name, nullptr, std::string(249, 'm'), "UPS-A: "},
        {&longName, nullptr, "x", std::string(253, 'n') + ": "},
    };
    for (const auto& c : cases) {
        std::string text = CServerEx::FormatEventText(c.device, c.context, c.message);
        EXPECT_EQ(text, c.expected);
        EXPECT_LE(text.size(), 255u);
    }

    auto started = StartServer();
    calls.Clear();
    EXPECT_TRUE(started->LogEvent(0x10001, 1, 0, "On battery", "10.0.0.7", 0, 7));
    EXPECT_TRUE(started->LogEvent(0x99999, 2, 0, "Unknown device", nullptr, 0, 0));
    EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"event Vigilon Agent 1 7 Event 7: UPS-A on 10.0.0.7: On battery",
                                                       "event Vigilon Agent 2 100 Unknown device"}));
    started->Destroy();
}

// The critical state covers the remote-agent work: only the remote-agent file is backed up and restored
// after a crash; a setting saved meanwhile stays, a device's reactions too.
TEST_F(ServerTest, CrashRecoveryRestoresTheAgentTableAndKeepsTheSettings)
{
    {
        auto server = StartServer();
        server->SetIntValue(25, 0, 2525); // SMTP port, saved
        calls.Clear();
        server->GetEngineConfig()->BeginCritical(kCriticalAgentAdding); // backups, then the bit, saved
        EXPECT_LT(calls.IndexOf("devices.Backup"), 0);
        EXPECT_GE(calls.IndexOf("remote.Backup"), 0);
        EXPECT_LT(calls.IndexOf("consoles.Backup"), 0);
        server->SetIntValue(25, 0, 9999); // a change in the middle of the critical section
        calls.Clear();
        server->Destroy(); // as if the engine had died: the bit stays in the file
    }
    calls.Clear();
    auto server = StartServer();
    // The agent table's backup was restored before any manager started; the device and console files
    // were not touched.
    const int restore = calls.IndexOf("remote.Restore");
    ASSERT_GE(restore, 0);
    EXPECT_LT(restore, calls.IndexOf("remote.Initialize"));
    EXPECT_LT(calls.IndexOf("devices.Restore"), 0);
    EXPECT_LT(calls.IndexOf("consoles.Restore"), 0);
    EXPECT_EQ(server->GetIntValue(25, 0), 9999u);
    EXPECT_EQ(server->GetEngineConfig()->GetCriticalState(), 0u);
    server->Destroy();

    CUserExtension saved;
    saved.ResolvePaths(AppConfig(install.Path("bin/vgnsa")));
    ASSERT_EQ(saved.Load(), 1);
    EXPECT_EQ(saved.GetEngineTable().GetCriticalState(), 0u);
    EXPECT_EQ(saved.GetEngineTable().GetWord(EngineWord::kSmtpPort), 9999u);
}

TEST_F(ServerTest, StaleTemporaryFilesAreRemovedAtTheStart)
{
    // What kill -9 in the middle of saves leaves, beside files that merely look alike.
    fs::create_directories(install.Path("data/keep"));
    const std::vector<std::string> stale = {"vgusrext.dat.tmp.a1B2c3", "vgdvcext.dat.tmp.ZZZZZZ", "x.tmp.000000"};
    const std::vector<std::string> kept = {"vgusrext.dat.tmp", "notes.tmp.txt", "a.tmp.abc", "a.tmp.abcdefg",
                                           "keep/vgusrext.dat.tmp.a1B2c3"};
    for (const auto& name : stale)
        std::ofstream(install.Path("data/" + name)) << "partial";
    for (const auto& name : kept)
        std::ofstream(install.Path("data/" + name)) << "mine";
    auto server = StartServer();
    for (const auto& name : stale)
        EXPECT_FALSE(fs::exists(install.Path("data/" + name))) << name;
    for (const auto& name : kept)
        EXPECT_TRUE(fs::exists(install.Path("data/" + name))) << name;
    EXPECT_GE(LogIndex("[CServer::Initialize]: 3 stale temporary files removed from " +
                       server->GetConfig().DataDirectory()),
              0);
    EXPECT_TRUE(fs::exists(install.Path("data/vgusrext.dat")));
    server->Destroy();
}

TEST_F(ServerTest, ChangedEngineAddressIsStoredOnceAndItsCheckCleared)
{
    const uint32_t first = 0x0400007F, moved = 0x0500007F; // 127.0.0.4, then 127.0.0.5
    StartServer(first)->Destroy(); // a new record takes the address of its first run
    log.Clear();
    {
        auto server = StartServer(moved);
        EXPECT_EQ(log.Count("IP Address has changed since last run!", kLogWarning), 1);
        EXPECT_EQ(server->GetEngineConfig()->GetWord(EngineWord::kEngineIpAddress), moved);
        EXPECT_EQ(server->GetEngineConfig()->GetWord(EngineWord::kFlags) & kFlagEngineAddressChecked, 0u);
        server->Destroy();
    }
    CUserExtension saved;
    saved.ResolvePaths(AppConfig(install.Path("bin/vgnsa")));
    ASSERT_EQ(saved.Load(), 1);
    EXPECT_EQ(saved.GetEngineTable().GetWord(EngineWord::kEngineIpAddress), moved);

    log.Clear();
    StartServer(moved)->Destroy();
    EXPECT_EQ(log.Count("IP Address has changed since last run!"), 0);
    // An address that cannot be found keeps the stored one.
    StartServer(0)->Destroy();
    EXPECT_EQ(log.Count("IP Address has changed since last run!"), 0);
}

TEST_F(ServerTest, CommandsStartWithoutAShellByTheirFileType)
{
    // A recorder that writes its arguments into a file beside the command.
    const std::string recorder = install.Path("opener.sh");
    const std::string script = "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > \"$1.tmp\"\nmv \"$1.tmp\" \"$1.ran\"\n";
    vgplat::WriteFileAtomically(recorder, script.data(), script.size(), 0755);
    const std::string batch = install.Path("notify.bat");
    const std::string batchScript = "#!/bin/sh\ntouch \"$0.ran\"\n";
    vgplat::WriteFileAtomically(batch, batchScript.data(), batchScript.size(), 0755);
    const std::string notes = install.Path("notes.txt");
    vgplat::WriteFileAtomically(notes, "x", 1, 0644);

    ServerOptions options = install.Options(calls);
    options.fileTypes.Set(".txt", recorder);
    CServerEx server(options);

    server.ExecuteCommand(batch); // started directly
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(batch + ".ran"); }));
    server.ExecuteCommand("\"" + notes + "\""); // through the opener of its type, quotes dropped
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(notes + ".ran"); }));
    std::string args;
    vgplat::ReadWholeFile(notes + ".ran", args, 4096);
    EXPECT_EQ(args, recorder + "|" + notes + "|");

    server.ExecuteCommand(install.Path("missing.bat"));
    EXPECT_TRUE(log.Has("Command Execution Error: [ENOENT] " + install.Path("missing.bat"), kLogError));
    server.ExecuteCommand(notes + ".ran"); // extension ".ran": no opener, not executable
    EXPECT_TRUE(log.Has("Command Execution Error: [ENOEXEC] " + notes + ".ran", kLogError));
    log.Clear();
    server.ExecuteCommand("");
    EXPECT_TRUE(log.Lines().empty());

    std::string program;
    std::vector<std::string> argv;
    CServerEx::ResolveCommand("/opt/v1.2/run", vgplat::FileTypeTable::Default(), program, argv);
    EXPECT_EQ(program, "/opt/v1.2/run"); // a "." in a folder is no extension
    CServerEx::ResolveCommand("/opt/x/job.SH", vgplat::FileTypeTable::Default(), program, argv);
    EXPECT_EQ(argv, (std::vector<std::string>{"/bin/sh", "/opt/x/job.SH"}));
}

TEST_F(ServerTest, SaveRequestSavesByItsFlagsInOrder)
{
    auto server = StartServer();
    const ino_t before = Inode(install.Path("data/vgusrext.dat"));
    calls.Clear();
    server->GetSystemQueue()->Post(11, 1 | 2 | 4 | 8);
    server->GetSystemQueue()->Post(11, 4);
    ASSERT_TRUE(WaitUntil([&] { return calls.Count("consoles.Save") == 2; }));
    EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"devices.Save", "consoles.Save", "remote.Save", "consoles.Save"}));
    EXPECT_NE(Inode(install.Path("data/vgusrext.dat")), before);
    server->Destroy();
}

TEST_F(ServerTest, ProcessWideInstanceAndSuspension)
{
    ServerOptions options = install.Options(calls);
    CServer* server = CreateServerInstance(std::move(options));
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(CServer::Instance(), server);
    EXPECT_EQ(CreateServerInstance(), server);
    calls.Clear();
    EnterSystemSuspension();
    ExitSystemSuspension();
    EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"devices.SetReactionsSuspended 1",
                                                       "devices.SetReactionsSuspended 0"}));
    EXPECT_TRUE(log.Has("ENTERING SYSTEM SUSPENSION...", kLogDebug));
    CServer::DeleteInstance();
    EXPECT_EQ(CServer::Instance(), nullptr);
    EnterSystemSuspension(); // no server: only the line
}

} // namespace
