// Lost trap to armed reaction: the real engine watches a simulated UPS agent with RemoteLoopbackDelay 1
// (a polling round every minute); the event "On Battery" shuts down after an hour, so an armed reaction
// shows as a countdown in the engine's countdown variable. Each sample the agent's alarm table changes
// with no trap sent (alternately "On Battery" raised and removed), at a random moment of the polling
// round; measured is the time from the scenario line to the engine's countdown variable saying so
// (armed: above 0; cancelled: 0), read every 50 ms. Expected: at most one polling interval plus the
// table walk. Prints every sample, then min, median and max. Not a test.
//
//   lost_trap_bench [SAMPLES]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "bench/BenchEngine.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

long Countdown(EngineInstall& engine)
{
    const std::string value = engine.Get(E("10.5.1.0"));
    const size_t blank = value.rfind(' ');
    return blank == std::string::npos ? -1 : std::strtol(value.c_str() + blank + 1, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv)
{
    const int samples = argc > 1 ? std::atoi(argv[1]) : 4;
    vgtest::SimAgentOptions options;
    vgtest::SimAgentProcess agent;
    if (!bench::StartAgent(agent, options, "127.0.0.43", "02:00:00:00:00:43"))
        return 1;
    EngineInstall engine;
    bench::WriteAgentIni(engine, agent, options.mac, vgtest::FreePort(SOCK_DGRAM), "RemoteLoopbackDelay=1\n",
                         "[RemoteEvent:On Battery]\nEnableShutdown=true\nShutdownDelay=3600\nEnableExecuteCommand=false\n");
    if (!bench::StartEngine(engine, "error", E("10.2.3.2.1.4.1.1"), "STRING: \"On Battery\""))
        return 1;

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> phaseMs(0, 59999);
    std::vector<double> seconds;
    int missed = 0;
    for (int i = 0; i < samples; ++i) {
        const bool raise = i % 2 == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(phaseMs(random)));
        const auto changed = Clock::now();
        if (!agent.Send(raise ? "alarm 12 1 1 On Battery" : "clear 12")) {
            std::fprintf(stderr, "the agent refused the scenario line\n");
            break;
        }
        bool seen = false;
        while (!seen && Clock::now() < changed + std::chrono::seconds(150)) {
            const long left = Countdown(engine);
            seen = raise ? left > 0 : left == 0;
            if (!seen)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const double s = std::chrono::duration<double>(Clock::now() - changed).count();
        if (seen)
            seconds.push_back(s);
        else
            ++missed;
        std::printf("  sample %d (%s): %s %.2f s\n", i + 1, raise ? "lost raise, armed" : "lost clear, cancelled",
                    seen ? "after" : "NOT SEEN in", s);
        std::fflush(stdout);
    }
    engine.Stop();
    if (seconds.empty())
        return 1;
    std::sort(seconds.begin(), seconds.end());
    std::printf("lost trap to reaction over %zu samples (polling round 60 s, %d not seen): min %.2f s  median %.2f s  "
                "max %.2f s\n",
                seconds.size(), missed, seconds.front(), seconds[seconds.size() / 2], seconds.back());
    return missed == 0 ? 0 : 2;
}
