// Alarm changes per second through the remote-trap road with 1 and with 16 registered consoles: the
// real engine watches a simulated UPS agent; the bench sends the agent's alarm traps itself, from the
// agent's address, raising and clearing "On Battery" in turn, then one raise of "Low Battery" as a
// marker (traps are processed in arrival order, so once the marker is applied every change before it
// is). A fresh engine runs for each console count, in two phases:
//   delivery: a short burst; every console must get one status notice per change, in the order of the
//             changes (the notices go out 50 ms apart per console, so this phase takes a while);
//   rate:     a long burst offered faster than the engine is asked to keep up with; measured is the
//             time from the first trap to the marker applied (polled over SNMP, so the figure is a
//             lower bound by up to one poll), and whether the trap queue ever filled up.
// Not a test.
//
//   alarm_rate_bench [RATE_CHANGES] [OFFERED_PER_SECOND] [DELIVERY_CHANGES]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchEngine.h"
#include "tests/support/TrapSender.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

const char* kMac = "02:00:00:00:00:51";

std::vector<uint8_t> Alarm(uint32_t id, const std::string& description, bool raise)
{
    return vgtest::BuildV2cTrap("upsring", E(raise ? "100.2.0.3" : "100.2.0.4"),
                                {{E("100.1.1.0"), 'i', std::to_string(id)},
                                 {E("100.1.2.0"), 's', "x"},
                                 {E("100.1.3.0"), 's', description},
                                 {E("100.1.4.0"), 'i', "1"},
                                 {E("10.1.2.6.0"), 's', kMac},
                                 {E("100.1.6.0"), 'i', "0"},
                                 {E("100.1.7.0"), 'i', "1"}});
}

// The values of the device status notices (device column 25 of device 1) a console got, in order.
std::vector<int64_t> StatusNotices(vgtest::TrapReceiver& console)
{
    std::vector<int64_t> out;
    for (const auto& t : console.Traps())
        for (const auto& vb : t.varbinds)
            if (vb.oid == E("10.2.2.1.25.1"))
                out.push_back(vb.integer);
    return out;
}

uint64_t UdpReceiveBufferErrors()
{
    std::ifstream in("/proc/net/snmp");
    std::string header, values;
    while (std::getline(in, header) && std::getline(in, values))
        if (header.rfind("Udp:", 0) == 0) {
            std::istringstream h(header), v(values);
            std::string name, value;
            while (h >> name && v >> value)
                if (name == "RcvbufErrors")
                    return std::stoull(value);
        }
    return 0;
}

int CountLines(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct Run {
    EngineInstall engine;
    int trapPort = 0;
    std::vector<std::unique_ptr<vgtest::TrapReceiver>> consoles;
    std::vector<std::string> addresses;
};

// Sends changes alarm traps (raise, clear, ...) at about perSecond, then the marker; answers the
// seconds from the first trap to the marker applied, or a negative number when it was not applied.
double Burst(Run& run, vgtest::RawTrapSender& agent, int changes, int perSecond)
{
    const auto raise = Alarm(12, "On Battery", true), clear = Alarm(12, "On Battery", false);
    const std::string marker = E("10.2.3.2.1.6.1.2");
    const auto start = Clock::now();
    for (int i = 0; i < changes; ++i) {
        agent.Send(run.trapPort, i % 2 ? clear : raise);
        if (i % 20 == 19)
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * (i + 1) / perSecond));
    }
    agent.Send(run.trapPort, Alarm(13, "Low Battery", true));
    const auto limit = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < limit) {
        if (run.engine.Get(marker) == "INTEGER: 1")
            return std::chrono::duration<double>(Clock::now() - start).count();
    }
    return -1;
}

bool ClearMarker(Run& run, vgtest::RawTrapSender& agent)
{
    agent.Send(run.trapPort, Alarm(13, "Low Battery", false));
    agent.Send(run.trapPort, Alarm(12, "On Battery", false));
    const auto limit = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < limit)
        if (run.engine.Get(E("10.2.3.2.1.6.1.2")) != "INTEGER: 1")
            return true;
    return false;
}

int RunFor(vgtest::SimAgentProcess& agentProcess, int consoles, int rateChanges, int perSecond, int deliveryChanges)
{
    Run run;
    run.trapPort = vgtest::FreePort(SOCK_DGRAM);
    bench::WriteAgentIni(run.engine, agentProcess, kMac, run.trapPort);
    if (!bench::StartEngine(run.engine, "warning", E("10.2.3.2.1.4.1.2"), "STRING: \"Low Battery\""))
        return 1;
    for (int k = 0; k < consoles; ++k) {
        run.addresses.push_back("127.0.0." + std::to_string(60 + k));
        run.consoles.push_back(std::make_unique<vgtest::TrapReceiver>(run.addresses.back().c_str()));
        if (!bench::RegisterConsole(run.engine, run.addresses.back(), run.consoles.back()->Port()))
            return 1;
    }
    std::optional<bench::ConsoleKeepAlive> keepAlive(std::in_place, run.engine, run.addresses);
    vgtest::RawTrapSender agent(agentProcess.Address());

    // Delivery.
    for (auto& c : run.consoles)
        c->Clear();
    const double applied = Burst(run, agent, deliveryChanges, 2000);
    std::vector<int64_t> expected;
    for (int i = 0; i < deliveryChanges; ++i)
        expected.push_back(i % 2 ? 0 : 1);
    expected.push_back(1);  // the marker
    const auto deliveryStart = Clock::now();
    const auto limit = deliveryStart + std::chrono::milliseconds(200LL * expected.size() + 20000);
    bool all = false;
    while (!all && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        all = true;
        for (auto& c : run.consoles)
            all = all && StatusNotices(*c).size() >= expected.size();
    }
    int inOrder = 0, complete = 0;
    double minGapMs = 1e9;
    for (auto& c : run.consoles) {
        const auto got = StatusNotices(*c);
        complete += got.size() == expected.size();
        inOrder += got == expected;
        const auto traps = c->Traps();
        for (size_t i = 1; i < traps.size(); ++i)
            minGapMs = std::min(minGapMs, std::chrono::duration<double, std::milli>(traps[i].received -
                                                                                    traps[i - 1].received)
                                              .count());
    }
    std::printf("%2d console(s), delivery: %d changes applied in %.3f s; %d/%d consoles got every change's "
                "notice, %d/%d in order; last notice %.1f s after the marker; least gap between two notices to "
                "one console, by arrival, %.1f ms\n",
                consoles, deliveryChanges, applied, complete, consoles, inOrder, consoles,
                std::chrono::duration<double>(Clock::now() - deliveryStart).count(), minGapMs);
    if (!ClearMarker(run, agent))
        std::fprintf(stderr, "the marker did not clear\n");

    // Rate.
    const uint64_t dropsBefore = UdpReceiveBufferErrors();
    const int fullBefore = CountLines(run.engine.LogText(), "CRemoteTrapQueue: queue full");
    const double seconds = Burst(run, agent, rateChanges, perSecond);
    const uint64_t drops = UdpReceiveBufferErrors() - dropsBefore;
    const int full = CountLines(run.engine.LogText(), "CRemoteTrapQueue: queue full") - fullBefore;
    if (seconds < 0)
        std::printf("%2d console(s), rate: the marker was not applied\n", consoles);
    else if (full == 0)
        std::printf("%2d console(s), rate: %d changes offered at %d/s, every one applied within %.3f s: at least "
                    "%.0f changes/s (UDP receive-buffer drops on this host meanwhile: %llu)\n",
                    consoles, rateChanges, perSecond, seconds, (rateChanges + 1) / seconds,
                    static_cast<unsigned long long>(drops));
    else
        std::printf("%2d console(s), rate: %d changes offered at %d/s, more than the engine kept up with: the "
                    "trap queue filled and earlier states gave way; the latest applied after %.3f s\n",
                    consoles, rateChanges, perSecond, seconds);
    keepAlive.reset();
    run.engine.Stop();
    return seconds < 0 || inOrder != consoles ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const int rateChanges = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int perSecond = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int deliveryChanges = argc > 3 ? std::atoi(argv[3]) : 200;
    vgtest::SimAgentOptions options;
    vgtest::SimAgentProcess agent;
    if (!bench::StartAgent(agent, options, "127.0.0.51", kMac))
        return 1;
    if (!agent.Send("event 1 2 Low Battery")) {
        std::fprintf(stderr, "the simulated agent refused its event\n");
        return 1;
    }
    int result = 0;
    for (int consoles : {1, 16})
        result = std::max(result, RunFor(agent, consoles, rateChanges, perSecond, deliveryChanges));
    return result;
}
