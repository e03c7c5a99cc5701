#pragma once
// The console's status poll: what it reads of the engine at every keep-alive, so that a lost notice, or
// notices that go to another console, never leave it showing a calm screen while the engine counts down.
// It reads the countdown, the status of the devices the window shows, and the trap port the engine
// keeps for this console's address.
//
// The engine keeps one registration per console address: a second console on this host (another user,
// another trap port) takes the notices over by writing its own trap port. A console tells whether that
// other console is still there by looking for a UDP socket bound to the registered port on this host
// (/proc/net/udp and /proc/net/udp6: every user's sockets of this network namespace, read without side
// effects; trying to bind the port instead would, for a moment, take it from a console starting up). A
// port that nothing holds any more is the sign that the other console ended: the console writes its own
// port back. When neither file can be read the other console is taken to be there (a console never
// takes the notices from one that may still be running).
//
// Threads: PollStatus runs on the worker thread (SNMP requests); the port checks on any thread.

#include <QMetaType>
#include <QString>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class SnmpServer;

struct StatusPoll {
    // When the reads began: a notice handled after it is newer than what the poll read.
    std::chrono::steady_clock::time_point readAt;
    bool countdownRead = false;
    uint32_t countdown = 0;
    // The trap port the engine keeps for this console's address (0 when it could not be read).
    int32_t registeredPort = 0;
    // Another console on this host receives the notices (its port is registered and held).
    bool otherConsole = false;
    // (device index, status) for each device asked for and read.
    std::vector<std::pair<int, int32_t>> statuses;
};
Q_DECLARE_METATYPE(StatusPoll)

// Whether the text of /proc/net/udp or /proc/net/udp6 lists a socket bound to port (any local address).
bool UdpTableHasPort(const std::string& table, uint16_t port);
// Whether a UDP socket of this host is bound to port; true also when the tables cannot be read.
bool UdpPortHeld(uint16_t port);

// An engine at address:port as this host sees it: on another host (nothing can be told), or on this host
// with its UDP port held (it runs: a request it drops was refused), or not held (it does not run).
enum class EnginePortState { Elsewhere, Held, Free };
EnginePortState LocalEnginePort(const QString& address, int port);

// Reads the engine's shutdown countdown (an INTEGER; an unsigned type is taken too, read again only when
// the engine answered with another type); a negative value reads as 0. False when it could not be read.
bool ReadCountdown(SnmpServer& session, uint32_t& seconds);

// Reads the countdown, then the status of each device in devices, then the registration; writes
// ownTrapPort back when the registered port is another and nothing on this host holds it.
StatusPoll PollStatus(SnmpServer& session, uint16_t ownTrapPort, const std::vector<int>& devices);
