// Alarm changes per second through the remote-trap road with 1 and with 16 registered consoles: the
// real engine watches a simulated UPS agent; the bench sends the agent's alarm traps itself, from the
// agent's address, raising and clearing "On Battery" in turn, then one raise of "Low Battery" as a
// marker (traps are processed in arrival order, so once the marker is applied every change before it
// is). A fresh engine runs for each console count, in two phases:
//   delivery: a short burst; every console must end on the last change's status, its notices 50 ms
//             apart (a newer status notice replaces the one still waiting, so a console gets fewer
//             notices than there were changes);
//   rate:     a long burst offered faster than the engine is asked to keep up with; measured is the
//             time from the first trap to the marker applied (polled over SNMP, so the figure is a
//             lower bound by up to one poll), and whether the trap queue ever filled up.
// After each burst: the time from its last change (the marker trap sent) to that change's status
// notice at the last console to get it.
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
// A status notice's device status varbind; null for another trap.
const vgtest::DecodedVarbind* DeviceStatus(const vgtest::DecodedTrap& trap)
{
    for (const auto& vb : trap.varbinds)
        if (vb.oid == E("10.2.2.1.25.1"))
            return &vb;
    return nullptr;
}

std::vector<int64_t> StatusNotices(vgtest::TrapReceiver& console)
{
    std::vector<int64_t> out;
    for (const auto& t : console.Traps())
        if (const vgtest::DecodedVarbind* status = DeviceStatus(t))
            out.push_back(status->integer);
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

// Sends changes alarm traps (raise, clear, ...) at about perSecond, then the marker (sent at
// markerSent); answers the seconds from the first trap to the marker applied, or a negative number
// when it was not applied.
double Burst(Run& run, vgtest::RawTrapSender& agent, int changes, int perSecond, Clock::time_point& markerSent)
{
    const auto raise = Alarm(12, "On Battery", true), clear = Alarm(12, "On Battery", false);
    const std::string marker = E("10.2.3.2.1.6.1.2");
    const auto start = Clock::now();
    for (int i = 0; i < changes; ++i) {
        agent.Send(run.trapPort, i % 2 ? clear : raise);
        if (i % 20 == 19)
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * (i + 1) / perSecond));
    }
    markerSent = Clock::now();
    agent.Send(run.trapPort, Alarm(13, "Low Battery", true));
    const auto limit = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < limit) {
        if (run.engine.Get(marker) == "INTEGER: 1")
            return std::chrono::duration<double>(Clock::now() - start).count();
    }
    return -1;
}

// Waits until every console's latest status notice says the marker's status (1) and none has come for
// a second, then answers the seconds from markerSent to the arrival of the latest status notice at the
// last console to get it; negative when the consoles did not settle within the limit.
double LastNoticeDelay(Run& run, Clock::time_point markerSent, int limitSeconds)
{
    const auto limit = Clock::now() + std::chrono::seconds(limitSeconds);
    while (Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        bool settled = true;
        Clock::time_point latest = markerSent;
        for (auto& c : run.consoles) {
            // The latest status notice and the status it carries, from one copy of the traps.
            const auto traps = c->Traps();
            auto last = std::find_if(traps.rbegin(), traps.rend(),
                                     [](const vgtest::DecodedTrap& t) { return DeviceStatus(t) != nullptr; });
            if (last == traps.rend() || last->received < markerSent || DeviceStatus(*last)->integer != 1 ||
                Clock::now() - last->received < std::chrono::seconds(1)) {
                settled = false;
                break;
            }
            latest = std::max(latest, last->received);
        }
        if (settled)
            return std::chrono::duration<double>(latest - markerSent).count();
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
    Clock::time_point markerSent;
    const double applied = Burst(run, agent, deliveryChanges, 2000, markerSent);
    const auto deliveryStart = Clock::now();
    const double deliveryDelay = LastNoticeDelay(run, markerSent, 200 * (deliveryChanges + 1) / 1000 + 60);
    int ended = 0;
    size_t fewest = SIZE_MAX, most = 0;
    double minGapMs = 1e9;
    for (auto& c : run.consoles) {
        const auto got = StatusNotices(*c);
        ended += !got.empty() && got.back() == 1;
        fewest = std::min(fewest, got.size());
        most = std::max(most, got.size());
        const auto traps = c->Traps();
        for (size_t i = 1; i < traps.size(); ++i)
            minGapMs = std::min(minGapMs, std::chrono::duration<double, std::milli>(traps[i].received -
                                                                                    traps[i - 1].received)
                                              .count());
    }
    std::printf("%2d console(s), delivery: %d changes applied in %.3f s; %d/%d consoles ended on the last "
                "change's status, after %zu to %zu status notices each; least gap between two notices to one "
                "console, by arrival, %.1f ms; settled %.1f s after the marker was applied\n",
                consoles, deliveryChanges + 1, applied, ended, consoles, fewest, most, minGapMs,
                std::chrono::duration<double>(Clock::now() - deliveryStart).count());
    std::printf("%2d console(s), delivery: time from the last change of the burst to its notice at the last of "
                "%d console(s): %.3f s\n",
                consoles, consoles, deliveryDelay);
    if (!ClearMarker(run, agent))
        std::fprintf(stderr, "the marker did not clear\n");

    // Rate.
    const uint64_t dropsBefore = UdpReceiveBufferErrors();
    const int fullBefore = CountLines(run.engine.LogText(), "CRemoteTrapQueue: queue full");
    const double seconds = Burst(run, agent, rateChanges, perSecond, markerSent);
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
    const double rateDelay = seconds < 0 ? -1 : LastNoticeDelay(run, markerSent, 120);
    std::printf("%2d console(s), rate: time from the last change of the burst to its notice at the last of %d "
                "console(s): %.3f s\n",
                consoles, consoles, rateDelay);
    keepAlive.reset();
    run.engine.Stop();
    return seconds < 0 || ended != consoles || deliveryDelay < 0 || rateDelay < 0 ? 2 : 0;
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
