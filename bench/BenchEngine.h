#pragma once
// What the engine benchmarks share: an engine in a test install tree that watches one simulated UPS
// agent, its consoles registered and kept registered. Failures are said on stderr; the benchmarks
// then end with 1.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "SimAgentProcess.h"
#include "tests/e2e/EngineProcess.h"

namespace bench {

// Starts the simulated agent with the benchmarks' community "upsring".
inline bool StartAgent(vgtest::SimAgentProcess& agent, vgtest::SimAgentOptions& options, const std::string& address,
                       const std::string& mac)
{
    options.address = address;
    options.mac = mac;
    options.community = "upsring";
    if (agent.Start(options))
        return true;
    std::fprintf(stderr, "the simulated agent did not start\n");
    return false;
}

// Writes the engine's vgconfig.ini to watch the agent (1-second requests, no retries) with its traps at
// trapPort; extra holds further [VG_Engine] lines and any later sections.
inline void WriteAgentIni(e2e::EngineInstall& engine, const vgtest::SimAgentProcess& agent, const std::string& mac,
                          int trapPort, const std::string& engineLines = "", const std::string& sections = "")
{
    std::ofstream(engine.Path("vgconfig.ini"))
        << "[VG_Engine]\nRemoteTrapPort=" << trapPort << "\nRemoteSnmpTimeout=1\nRemoteSnmpRetries=0\n"
        << engineLines << "[VG_Remote]\nServer=" << agent.Address() << "\nSNMPMacAddress=" << mac
        << "\nSNMPVersion=2\nSNMPCommunity=upsring\nSNMPPort=" << agent.Port() << "\n"
        << sections;
}

// Starts the engine and waits (30 s at most) until the cell oid reads expected: the agent's device is
// mirrored.
inline bool StartEngine(e2e::EngineInstall& engine, const std::string& logLevel, const std::string& oid,
                        const std::string& expected)
{
    if (!engine.Start({"-l=" + logLevel})) {
        std::fprintf(stderr, "the engine did not start\n");
        return false;
    }
    const auto ready = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (engine.Get(oid) != expected) {
        if (std::chrono::steady_clock::now() > ready) {
            std::fprintf(stderr, "the agent's device did not appear\n");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// Registers the manager at address as a console with its notices at port.
inline bool RegisterConsole(e2e::EngineInstall& engine, const std::string& address, int port)
{
    if (engine.Get(e2e::E("10.1.1.0"), "wendolmar", address) == "INTEGER: 1" &&
        engine.Set(e2e::E("11.3.2.2.0"), "i", std::to_string(port), "wendolmar", address).empty())
        return true;
    std::fprintf(stderr, "console %s could not register\n", address.c_str());
    return false;
}

// Keeps the consoles at these addresses registered: each reads the activation variable every 10 s,
// from a thread of its own, until the object goes.
class ConsoleKeepAlive {
public:
    ConsoleKeepAlive(e2e::EngineInstall& engine, std::vector<std::string> addresses)
        : m_thread([this, &engine, addresses = std::move(addresses)] {
              for (int tick = 0; m_keep.load(); ++tick) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  if (tick % 100 == 99)
                      for (const auto& address : addresses)
                          engine.Get(e2e::E("10.1.1.0"), "wendolmar", address);
              }
          })
    {
    }
    ~ConsoleKeepAlive()
    {
        m_keep = false;
        m_thread.join();
    }
    ConsoleKeepAlive(const ConsoleKeepAlive&) = delete;
    ConsoleKeepAlive& operator=(const ConsoleKeepAlive&) = delete;

private:
    std::atomic<bool> m_keep{true};
    std::thread m_thread;
};

}  // namespace bench
