#pragma once
// The agent's MIB of our own objects: the MibGroups, each registered with net-snmp as one handler for
// its whole subtree. The handler serves
//   GET: the object's get_request (noSuchObject / noSuchInstance when nothing serves the name);
//   GET-NEXT (and GETBULK, which net-snmp turns into repeated GET-NEXT): the next readable instance in
//     the group, honouring net-snmp's `inclusive` flag; when the group has none the varbind is left
//     alone and net-snmp goes on to the next registration, so a walk crosses every group in OID order;
//   SET: RESERVE1 checks every varbind (noCreation for names no object serves and for missing rows of
//     columns that are not read-create, unless the same request creates that row through a read-create
//     column; notWritable; the object's prepare_set_request: wrongType...); ACTION runs
//     commit_set_request, read-create columns first (they create rows), then the others, noting what
//     each write replaced; the first error becomes commitFailed and ends the writes of the request (in
//     every group), and the library's UNDO then takes back every write made, the last one first (a
//     value by writing back what the object answered before, a created row by undo_creation), so a
//     SET is applied whole or not at all. A write that fails is itself written back when it changed
//     the object's value all the same (its save failed). Writes that an undo could not take back (a
//     row's destroy, MibLeaf::defers_to_commit) are only checked in ACTION; the first group's COMMIT
//     makes them, the highest rows of a table first, and when one fails there it takes the request's
//     other writes back and answers commitFailed. FREE forgets the notes; the others are kept until
//     the request ends (EndSetRequest): when the observer's end fails (the save), every write is taken
//     back as above (the held-back ones by the restore they handed back) and saved again.
// Every call hands the object the requester's IPv4 address (first octet in the lowest byte) from the
// request's transport.
//
// Threads: add before register_groups; register_groups, unregister_groups and the handler run on the
// SNMP thread. The Mib must outlive its registrations (unregister_groups, or the destructor, ends
// them; the destructor must then run on the SNMP thread before the library shuts down).

#include <functional>
#include <memory>
#include <vector>

#include "engine/agent/mib/MibGroup.h"

struct netsnmp_agent_request_info_s;

class Mib {
public:
    Mib();
    ~Mib();
    Mib(const Mib&) = delete;
    Mib& operator=(const Mib&) = delete;

    // Takes ownership.
    void add(MibGroup* group);
    const std::vector<std::unique_ptr<MibGroup>>& groups() const { return m_groups; }

    // Registers every group not yet registered; answers how many registrations failed (logged).
    int register_groups();
    void unregister_groups();

    // The requester's IPv4 address from a request's transport; 0 when not IPv4.
    static uint32_t RequesterAddress(struct netsnmp_agent_request_info_s* reqinfo);
    // Whether the request came over SNMPv3 with authentication.
    static bool RequestAuthenticated(struct netsnmp_agent_request_info_s* reqinfo);

    // A SET request as a whole: begin runs when a SET first reaches one of our groups (its first
    // check), end once when the agent is about to send that request's answer (EndSetRequest, from the
    // agent's answer hook), after the last varbind is done; end's false fails the answer. A request
    // whose answer never went out is ended when the next one begins. SNMP thread; set before serving.
    struct SetObserver {
        std::function<void()> begin;
        std::function<bool()> end;
    };
    static void SetSetObserver(SetObserver observer);
    // Ends the open SET request, if any (the observer's end); true when there was none or it succeeded.
    static bool EndSetRequest();
    // Called by the handler at each group's first check of a SET; request identifies the request (the
    // library's agent session), so the begin runs once per request.
    static void BeginSetRequest(const void* request);

    struct Registration;

private:
    std::vector<std::unique_ptr<MibGroup>> m_groups;
    std::vector<std::unique_ptr<Registration>> m_registrations;
};
