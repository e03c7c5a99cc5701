#pragma once
// A console's trap port for tests: a UDP socket on a loopback address (free port) and a thread that
// keeps every datagram with its arrival time, decoded by net-snmp's own message and PDU parsers as an
// SNMPv1 trap, an SNMPv2c notification or an inform.
//
// Threads: the methods are safe from any thread; the receiver's own thread only appends to the list,
// under the receiver's mutex. The parsers keep no session state; the decoding of every receiver in
// the process is serialised all the same.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vgtest {

struct DecodedVarbind {
    std::string oid;      // dotted
    unsigned char type = 0;
    int64_t integer = 0;  // INTEGER, Counter, Gauge, TimeTicks
    std::string text;     // OCTET STRING bytes, dotted OID value, dotted IpAddress
};

struct DecodedTrap {
    bool ok = false;      // a v1/v2c trap, notification or inform that decoded whole
    int version = -1;     // 0 SNMPv1, 1 SNMPv2c
    std::string community;
    unsigned char pduType = 0;  // 0xA4 SNMPv1 trap, 0xA7 SNMPv2 trap, 0xA6 inform
    std::string enterprise;     // SNMPv1 only
    std::string agentAddress;   // SNMPv1 only
    int generic = -1;
    int specific = -1;
    std::vector<DecodedVarbind> varbinds;
    std::chrono::steady_clock::time_point received; // when the kernel took it in
};

// Decodes one datagram.
DecodedTrap DecodeTrap(const unsigned char* data, size_t size);

class TrapReceiver {
public:
    // address: the dotted IPv4 address to listen on (a console's own address).
    explicit TrapReceiver(const char* address = "127.0.0.1");
    ~TrapReceiver();
    TrapReceiver(const TrapReceiver&) = delete;
    TrapReceiver& operator=(const TrapReceiver&) = delete;

    // The port it listens on, 0 when the bind failed.
    int Port() const { return m_port; }
    std::vector<DecodedTrap> Traps();
    size_t Count();
    void Clear();
    // The oldest trap not yet taken by Next, waiting up to ms for one; nothing at the time limit.
    std::optional<DecodedTrap> Next(int ms);
    // Waits until at least n traps arrived; false at the time limit.
    bool WaitFor(size_t n, int ms = 5000);
    // Sends a marker datagram to its own port and waits until the receiving thread has seen it: every
    // datagram that reached the port before it is in Traps() then. For "nothing more arrived" checks
    // once the sender is known to have sent what it would. False at the time limit.
    bool Sync(int ms = 5000);

private:
    void Loop();

    int m_fd = -1;
    int m_wake[2] = {-1, -1}; // the destructor's write end ends the loop's poll
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<DecodedTrap> m_traps;
    size_t m_taken = 0; // how many of m_traps Next has answered
    std::string m_address;
    uint64_t m_syncsSent = 0; // markers sent by Sync (under m_mutex)
    uint64_t m_syncsSeen = 0; // markers the thread has taken off the socket (under m_mutex)
};

}  // namespace vgtest

// The older name of these helpers.
namespace traptest = vgtest;
