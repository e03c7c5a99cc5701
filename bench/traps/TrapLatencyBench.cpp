// Trap-to-console latency: the real engine watches a simulated UPS agent; a console at its own loopback
// address is registered. Each cycle the agent puts the "On Battery" alarm in its alarm table (or takes
// it out), then sends the matching alarm trap (raised, then removed) to the engine's remote trap port, so
// the engine's polls agree with the traps; measured is the time from the scenario line that makes the agent send
// it to the arrival at the console of the first notice of the alarm's status change (so the agent's
// own handling of the line is included). Between changes the console's fan-out is let finish: the
// engine spaces its notices to a console 50 ms apart, and back-to-back changes would measure that
// spacing instead. Prints min, median, p99 and max. Not a test.
//
//   trap_latency_bench [CYCLES]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "bench/BenchEngine.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

std::string EventCell(int column)
{
    return E("10.2.3.2.1." + std::to_string(column) + ".1.1");
}

std::string AlarmLine(int port, bool raise)
{
    return "trap " + std::to_string(port) + " upsring " + E(raise ? "100.2.0.3" : "100.2.0.4") + " " +
           E("100.1.1.0") + " i 12 " + E("100.1.2.0") + " s x " + E("100.1.3.0") + " s On%20Battery " +
           E("100.1.4.0") + " i 1 " + E("10.1.2.6.0") + " s $MAC " + E("100.1.6.0") + " i 0 " + E("100.1.7.0") +
           " i 1";
}

// The notice of the device's alarm status: device column 25 of device 1 (1 in alarm, 0 not).
bool IsStateNotice(const traptest::DecodedTrap& t, bool raised)
{
    for (const auto& vb : t.varbinds)
        if (vb.oid == E("10.2.2.1.25.1") && vb.integer == (raised ? 1 : 0))
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    vgtest::SimAgentOptions options;
    vgtest::SimAgentProcess agent;
    if (!bench::StartAgent(agent, options, "127.0.0.41", "02:00:00:00:00:41"))
        return 1;
    EngineInstall engine;
    const int remoteTrapPort = vgtest::FreePort(SOCK_DGRAM);
    bench::WriteAgentIni(engine, agent, options.mac, remoteTrapPort);
    if (!bench::StartEngine(engine, "error", EventCell(4), "STRING: \"On Battery\""))
        return 1;
    const char* consoleAddress = "127.0.0.42";
    traptest::TrapReceiver console(consoleAddress);
    if (!bench::RegisterConsole(engine, consoleAddress, console.Port()))
        return 1;
    std::optional<bench::ConsoleKeepAlive> keepAlive(std::in_place, engine, std::vector<std::string>{consoleAddress});

    std::vector<double> ms;
    int lost = 0;
    for (int i = 0; i < cycles * 2; ++i) {
        const bool raise = i % 2 == 0;
        // The agent's alarm table says what its trap says, so a poll between two traps finds the same
        // alarm and changes nothing: each change is the trap's alone. Not part of the time measured.
        if (!agent.Send(raise ? "alarm 12 1 1 On Battery" : "clear 12")) {
            std::fprintf(stderr, "the agent refused the alarm line\n");
            break;
        }
        const size_t before = console.Count();
        const auto sent = Clock::now();
        if (!agent.Send(AlarmLine(remoteTrapPort, raise))) {
            std::fprintf(stderr, "the agent refused the trap line\n");
            break;
        }
        bool seen = false;
        const auto limit = sent + std::chrono::seconds(2);
        while (!seen && Clock::now() < limit) {
            console.WaitFor(before + 1, 50);
            const auto traps = console.Traps();
            for (size_t k = before; k < traps.size() && !seen; ++k)
                if (IsStateNotice(traps[k], raise)) {
                    ms.push_back(std::chrono::duration<double, std::milli>(traps[k].received - sent).count());
                    seen = true;
                }
        }
        lost += seen ? 0 : 1;
        // The console's notices go out 50 ms apart: let the fan-out of this change end (quiet for 80 ms)
        // so the next trap measures its own road, not the queue behind the previous notices.
        for (size_t count = console.Count();;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(80));
            const size_t now = console.Count();
            if (now == count)
                break;
            count = now;
        }
        if (console.Count() > 10000)
            console.Clear();
    }
    keepAlive.reset();
    engine.Stop();
    if (ms.empty()) {
        std::fprintf(stderr, "no notice of the alarm status arrived; the console got:\n");
        for (const auto& t : console.Traps())
            for (const auto& vb : t.varbinds)
                std::fprintf(stderr, "  %d %s %lld %s\n", t.specific, vb.oid.c_str(), static_cast<long long>(vb.integer),
                             vb.text.c_str());
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size() - 1) + 0.5))]; };
    std::printf("trap to console notice over %zu alarm changes (%d cycles, %d without a notice):\n", ms.size(), cycles,
                lost);
    std::printf("  min %.3f ms  median %.3f ms  p99 %.3f ms  max %.3f ms\n", ms.front(), at(0.5), at(0.99), ms.back());
    return lost == 0 ? 0 : 2;
}
