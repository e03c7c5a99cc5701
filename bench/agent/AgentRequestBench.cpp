// How long the SNMP thread spends on a request it answers itself: the MIB lookup alone, and whole
// GET round trips to the embedded agent (our client and our agent share the one loop, so a round trip
// costs both sides). Run by hand: bench/agent_request_bench [requests].

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "../../tests/agent/support/AgentHost.h"
#include "../../tests/agent/support/TestSupport.h"
#include "engine/agent/mib/Mib.h"

int main(int argc, char** argv)
{
    int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
    using Clock = std::chrono::steady_clock;

    // The lookup: GET-NEXT through the test MIB's main group.
    Mib mib;
    vgtest::AddTestMib(mib);
    MibGroup& group = *mib.groups()[1];
    SnmpOid start = MakeOid("1.3.6.1.4.1.64950.99");
    auto t0 = Clock::now();
    long found = 0;
    for (int i = 0; i < 100000; ++i) {
        MibGroup::Target target;
        SnmpOid from = start;
        while (group.find_next(from, false, target)) {
            from = target.instance;
            ++found;
        }
    }
    double lookupUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / static_cast<double>(found);
    std::printf("GET-NEXT lookup: %.3f us per instance (%ld lookups)\n", lookupUs, found);

    auto& host = vgtest::AgentHost::Get();
    if (host.Result().status != 0) {
        std::printf("agent did not start\n");
        return 1;
    }
    SnmpClientRequest request;
    request.version = 1;
    request.peer = "127.0.0.1";
    request.port = static_cast<uint16_t>(host.Port());
    request.community = "gimbal";
    request.timeoutMs = 2000;
    for (const char* oid : {"1.3.6.1.4.1.64950.99.2.0", "1.3.6.1.4.1.64950.99.4.0", "1.3.6.1.2.1.1.1.0"})
        request.varbinds.push_back({MakeOid(oid), SnmpValue()});
    int failed = 0;
    auto t1 = Clock::now();
    for (int i = 0; i < requests; ++i)
        if (host.Thread().Request(request).status != SnmpClientStatus::Ok)
            ++failed;
    double roundUs = std::chrono::duration<double, std::micro>(Clock::now() - t1).count() / requests;
    std::printf("GET round trip (3 varbinds, client and agent on the one SNMP thread): %.1f us, %d failed\n", roundUs,
                failed);
    host.Stop();
    return 0;
}
