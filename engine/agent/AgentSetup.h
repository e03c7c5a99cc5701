#pragma once
// The rows the engine puts into its agent at every start: the standard MIB groups and ours, the
// SNMPv3 users, the view-based access control (groups, access rows, views), the SNMPv1/v2c
// communities and the AgentX localhost rule; and the run-time community swap.
//
// Communities: `gimbal` reads everything and writes nothing; `wendolmar` and `zastrove` read and write
// everything (the objects decide what is writable). SetAgentCommunity replaces the three by one
// configured community (read-write), or restores them for an empty name.
//
// Threads: every function here runs on the SNMP thread (SnmpThread.h). From another thread use
// SetAgentCommunityOnLoop, which runs SetAgentCommunity there and waits for it.

#include <cstddef>
#include <string>
#include <vector>

class Mib;
class SnmpAgent;
class SnmpThread;

// The three default communities.
constexpr const char* kCommunityReadOnly = "gimbal";
constexpr const char* kCommunityReadWrite = "wendolmar";
constexpr const char* kCommunityPeer = "zastrove";

// The version text of sysDescr ("Vigilon v" and the version).
constexpr const char* kAgentVersionText = "12.04.0059";

// Registers, before SnmpAgent::Start: the standard groups net-snmp has (system with sysORTable, snmp,
// snmpSetSerialNo, SNMP-TARGET-MIB, SNMP-NOTIFICATION-MIB, NOTIFICATION-LOG-MIB, USM user table and
// statistics, snmpEngine, MPD statistics, VACM) and every group of mib. The SNMPv3 users are created by
// Start (CreateUsmUsers): net-snmp derives their keys from the engine ID it sets up there.
// Answers how many of our groups failed to register.
int RegisterMibGroups(SnmpAgent& agent, Mib& mib);

// The system group's values (sysDescr, sysObjectID, sysServices). Called by Start after init_snmp.
void ConfigureSystemGroup();

// One SNMPv3 user as the engine creates it.
struct UsmUserSpec {
    const char* name;
    const char* auth;      // "none", "MD5", "SHA"
    const char* priv;      // "none", "DES", "IDEA"
    const char* authPass;
    const char* privPass;
};
// The engine's users, in their order (IDEA ones included: CreateUsmUsers leaves them out).
const std::vector<UsmUserSpec>& EngineUsmUsers();
// Creates the users; a user with IDEA privacy is left out with a warning (net-snmp and OpenSSL 3 have
// no IDEA). Answers how many users were created.
int CreateUsmUsers();

// The AgentX localhost rule. The master listens on 127.0.0.1 only, so only local sub-agents reach it;
// net-snmp has no source-address table to fill.
void ConfigureAgentXLocalhost();

// Contexts, security-to-group rows, access rows and views.
void ConfigureAccessControl();
// The community rows of the three defaults.
void AddDefaultCommunities();

// 0 when length is 128 or more (nothing changes), else 1. A non-empty name becomes the only SNMPv1/v2c
// community (read-write); an empty name restores the three defaults.
int SetAgentCommunity(const char* name, size_t length);
// Any thread, without waiting (so a caller may hold the facade lock): answers what SetAgentCommunity
// will answer (0 for 128 characters or more, nothing queued) and queues the swap for the SNMP thread,
// which runs swaps in the order they were queued. 0 also when the thread takes no more work.
int PostAgentCommunity(SnmpThread& thread, const std::string& name);
// Any thread: runs SetAgentCommunity on the SNMP thread and waits for it (0 when it did not run).
int SetAgentCommunityOnLoop(SnmpThread& thread, const std::string& name);
// The community set by SetAgentCommunity; empty while the defaults are in force. SNMP thread.
std::string CurrentAgentCommunity();
