#pragma once
// DiscoveryProber: handles the engine's discovery-progress notifications away from the GUI thread and the
// trap queue: a reported agent is probed on the prober's own thread (a temporary session per agent), and
// the notice with the devices found goes back to the GUI thread. Notices come back in the order they were
// handed in, so a final "complete" never overtakes the probe of the agent reported before it.
//
// Threads: construct, Handle and destroy on the GUI thread; the probes run on the prober's thread. The
// transport must outlive the prober.

#include <QObject>
#include <QThread>

#include <functional>
#include <string>
#include <vector>

#include "console/TrapRecord.h"

class IEngineTransport;

// One device the console may monitor, as a result row of the progress dialog shows it.
struct DiscoveredAgent {
    std::string address;
    std::string community;
    int position = 0;  // device position on the agent, 0 = the agent as a whole
    std::string model;
    std::string type;  // "pc" or "card"
    int port = 0;
    int version = 0;
};

// The parts of one discovery-progress notification the console uses, with the probe's results.
struct DiscoveryNotice {
    int status = 0;
    int count = 0;  // addresses the engine scans in all (0: not reported)
    int scanned = 0;
    int found = 0;
    std::vector<DiscoveredAgent> results;
};

namespace discovery {

constexpr int kStatusComplete = 4;
constexpr int kStatusNoAddresses = 6;
constexpr int kStatusNoCommunities = 7;
// Rows of a network card's device table walked at most, and devices of an engine read at most (both
// counts come from the network).
constexpr uint32_t kMaxCardRows = 64;
constexpr int32_t kMaxEngineDevices = 64;

// The notice's counters from the record; false when it has too few varbinds. foundAgent is set when the
// record reports an agent (address, community, port and version are then filled in).
bool ParseNotice(const TrapRecord& record, DiscoveryNotice& notice, bool& foundAgent, DiscoveredAgent& agent);

// Probes one reported agent: an engine lists its devices, a network card the rows of its device table.
// Any SNMP failure ends the probe of that agent with what was found so far.
std::vector<DiscoveredAgent> ProbeAgent(IEngineTransport& transport, const DiscoveredAgent& agent);

}  // namespace discovery

class DiscoveryProber : public QObject {
    Q_OBJECT
public:
    explicit DiscoveryProber(IEngineTransport& transport);
    ~DiscoveryProber() override;

    // Parses the record and probes its agent, then done(notice) on context's thread (dropped when context
    // is gone). A record with too few varbinds is dropped.
    void Handle(const TrapRecord& record, QObject* context, std::function<void(const DiscoveryNotice&)> done);

private:
    IEngineTransport& m_transport;
    QThread m_thread;
    QObject* m_runner = nullptr;
};
