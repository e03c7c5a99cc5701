// A stand-alone test agent: our embedded agent with the test MIB, for tests that need a fresh process
// (boots across starts, AgentX). Usage: vg_test_agent <folder> <port> <agentx port or 0>.
// Prints "READY <status> <boots> <agentx>" once started; SIGTERM stops it.
// "vg_test_agent client <port> <oid>": a client-only program (no agent) that GETs one object from the
// agent on 127.0.0.1:<port> with the community gimbal through an SNMP thread and prints the value.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../support/AgentHost.h"
#include "engine/base/AppLog.h"

namespace {
std::atomic<bool> g_run{true};

// Log lines on standard output, for the tests to read.
class StdoutLogger : public AppLogger {
public:
    StdoutLogger() : AppLogger("StdoutLogger#", kLogDebug) {}
    int Shutdown() override { return 1; }
    int Log(LogLevel, const std::string&, const std::string& message) override
    {
        std::printf("LOG %s\n", message.c_str());
        std::fflush(stdout);
        return 1;
    }
};

void OnSignal(int)
{
    g_run.store(false);
}
}  // namespace

int ClientMain(int port, const char* oid)
{
    SnmpThread thread;
    std::atomic<bool> run{true};
    std::atomic<bool> prepared{false};
    std::thread loop([&] {
        thread.PrepareClientLibrary("vgtestclient");
        prepared.store(true);
        thread.Run(run);
        thread.Shutdown();
    });
    while (!prepared.load())
        std::this_thread::yield();
    SnmpClientRequest request;
    request.version = 1;
    request.peer = "127.0.0.1";
    request.port = static_cast<uint16_t>(port);
    request.community = "gimbal";
    request.varbinds.push_back({MakeOid(oid), SnmpValue()});
    SnmpClientResult result = thread.Request(request);
    std::printf("CLIENT %d %s\n", static_cast<int>(result.status),
                result.varbinds.empty() ? "" : result.varbinds[0].value.ToText().c_str());
    std::fflush(stdout);
    run.store(false);
    thread.Wake();
    loop.join();
    return result.status == SnmpClientStatus::Ok ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "client")
        return ClientMain(std::atoi(argv[2]), argv[3]);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <folder> <port> <agentx port>\n", argv[0]);
        return 2;
    }
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    AppLog::Instance()->AddLogger(new StdoutLogger());
    vgtest::AgentOptions options;
    options.directory = argv[1];
    options.port = std::atoi(argv[2]);
    options.agentxPort = std::atoi(argv[3]);
    SnmpThread thread;
    int status = 1;
    vgtest::RunEmbeddedAgent(thread, options, g_run, [&status](const vgtest::AgentStartResult& r) {
        std::printf("READY %d %u %d\n", r.status, r.boots, r.agentx ? 1 : 0);
        std::fflush(stdout);
        status = r.status == 0 ? 0 : 1;
    });
    return status;
}
