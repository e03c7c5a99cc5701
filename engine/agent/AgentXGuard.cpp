#include "engine/agent/AgentXGuard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/base/AppLog.h"
#include "engine/snmp/NetSnmp.h"
#include "engine/snmp/NetSnmpConvert.h"
#include "engine/snmp/SnmpThread.h"

namespace {

// AgentX message and error codes (RFC 2741, 6.1 and 6.2.16).
constexpr int kAgentXRegister = 3;
constexpr int kAgentXUnregister = 4;
constexpr int kAgentXResponse = 18;
// A master refuses a registration "for implementation-specific reasons" with requestDenied
// (RFC 2741, 7.1.5.1); duplicateRegistration is for a subtree already registered at the same
// priority, which a hijack at another priority is not.
constexpr long kAgentXRequestDenied = 267;
// The library's unregistration matches a subtree and priority whoever registered it: a sub-agent
// could unregister the engine's own objects. None of those is ever a sub-agent's, so such an
// unregistration names no registration of the session's (RFC 2741, 7.1.6.1).
constexpr long kAgentXUnknownRegistration = 264;

SnmpThread* g_thread = nullptr;
int g_bound = kMaxAgentXSessions;
std::vector<netsnmp_session*> g_listening;

int GuardCallback(int operation, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic);

bool IsAcceptedSession(const struct session_list* entry)
{
    return entry->session && entry->session->callback == GuardCallback && entry->transport &&
           !(entry->transport->flags & NETSNMP_TRANSPORT_FLAG_LISTEN) && entry->transport->sock >= 0;
}

int CountOpenSessions()
{
    int count = 0;
    for (struct session_list* entry = Sessions; entry; entry = entry->next)
        if (IsAcceptedSession(entry))
            ++count;
    return count;
}

bool IsOpenSession(netsnmp_session* session)
{
    for (struct session_list* entry = Sessions; entry; entry = entry->next)
        if (entry->session == session)
            return true;
    return false;
}

// The local account owning the TCP connection whose local end is peer and remote port ourPort,
// from the kernel's connection table; -1 when not found.
long TcpOwner(const sockaddr_in& peer, int ourPort)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0;
        long uid = -1;
        char queues[64], timer[64];
        unsigned long retransmits = 0;
        if (std::sscanf(line.c_str(), " %*d: %X:%X %X:%X %X %63s %63s %lX %ld", &localAddress, &localPort,
                        &remoteAddress, &remotePort, &state, queues, timer, &retransmits, &uid) != 9)
            continue;
        if (localAddress == peer.sin_addr.s_addr && localPort == ntohs(peer.sin_port) &&
            static_cast<int>(remotePort) == ourPort)
            return uid;
    }
    return -1;
}

// Who is at the other end of an AgentX session: "127.0.0.1:40312 (uid 1000)" (the master listens on
// 127.0.0.1 only, SnmpAgent::EnableAgentX). The account is looked up in the kernel's whole connection
// table, which a flood fills: call it only for a line the log will write.
std::string PeerText(netsnmp_session* session)
{
    netsnmp_transport* transport = SessionTransport(session);
    if (!transport || transport->sock < 0)
        return "an unknown peer";
    const int fd = transport->sock;
    sockaddr_storage address;
    socklen_t length = sizeof address;
    std::memset(&address, 0, sizeof address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "an unknown peer";
    if (address.ss_family == AF_INET) {
        const auto& sin = reinterpret_cast<const sockaddr_in&>(address);
        char text[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
        std::string out = std::string(text) + ":" + std::to_string(ntohs(sin.sin_port));
        sockaddr_in own;
        socklen_t ownLength = sizeof own;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0 &&
            own.sin_family == AF_INET) {
            long uid = TcpOwner(sin, ntohs(own.sin_port));
            if (uid >= 0)
                out += " (uid " + std::to_string(uid) + ")";
        }
        return out;
    }
    return "an unknown peer";
}

// The sub-agent's own description from its Open, for the log.
std::string SubAgentText(netsnmp_session* session, long sessionId)
{
    for (netsnmp_session* sub = session->subsession; sub; sub = sub->next) {
        if (sub->sessid != sessionId)
            continue;
        std::string out;
        if (sub->securityAuthProto && sub->securityAuthProtoLen)
            out = OidToString(FromNetSnmpOid(sub->securityAuthProto, sub->securityAuthProtoLen));
        if (sub->securityName && *sub->securityName) {
            std::string description = sub->securityName;
            if (description.size() > 80)
                description.resize(80);
            for (char& c : description)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                    c = '?';
            out += (out.empty() ? "\"" : " \"") + description + "\"";
        }
        return out;
    }
    return "";
}

// The engine's own objects: every named registration of the default context that no sub-agent made.
std::vector<OidRange> EngineRanges()
{
    std::vector<OidRange> ranges;
    for (netsnmp_subtree* node = netsnmp_subtree_find_first(""); node; node = node->next) {
        // The library fills the gaps between registrations with unnamed placeholders of its own: they
        // hold no object.
        bool ours = false;
        for (netsnmp_subtree* entry = node; entry && !ours; entry = entry->children)
            ours = entry->session == nullptr && entry->label_a && *entry->label_a;
        if (!ours || !node->start_a || !node->end_a)
            continue;
        OidRange range;
        range.start = FromNetSnmpOid(node->start_a, node->start_len);
        range.end = FromNetSnmpOid(node->end_a, node->end_len);
        range.endless = range.end.empty();
        ranges.push_back(std::move(range));
    }
    return ranges;
}

// Answers a registration the way the library answers its own refusals.
void Refuse(netsnmp_session* session, netsnmp_pdu* pdu, long error)
{
    netsnmp_agent_session* asp = init_agent_snmp_session(session, pdu);
    if (!asp)
        return;
    asp->pdu->time = netsnmp_get_agent_uptime();
    asp->pdu->command = kAgentXResponse;
    asp->pdu->errstat = error;
    asp->pdu->errindex = 0;
    if (!snmp_send(asp->session, asp->pdu))
        snmp_free_pdu(asp->pdu);
    asp->pdu = nullptr;
    free_agent_snmp_session(asp);
}

// true when the registration or unregistration was refused (and answered); answered is set once the
// answer went out.
bool GuardRegistration(netsnmp_session* session, netsnmp_pdu* pdu, bool& answered)
{
    const bool registration = pdu->command == kAgentXRegister;
    netsnmp_variable_list* vb = pdu->variables;
    if (!vb || !vb->name || vb->name_length == 0)
        return false;
    // Another context holds none of the engine's objects.
    if (pdu->community && pdu->community_len > 0)
        return false;
    SnmpOid subtree = FromNetSnmpOid(vb->name, vb->name_length);
    uint32_t upper = 0;
    int rangeSubid = pdu->range_subid;
    if (rangeSubid > 0 && vb->val.objid && static_cast<size_t>(rangeSubid) <= vb->val_len / sizeof(oid))
        upper = static_cast<uint32_t>(vb->val.objid[rangeSubid - 1]);
    else
        rangeSubid = 0;
    const OidRange wanted = RegistrationRange(subtree, rangeSubid, upper);
    const std::vector<OidRange> own = EngineRanges();
    const int hit = FirstOverlap(own, wanted);
    if (hit < 0)
        return false;
    std::string what = OidToString(subtree);
    if (rangeSubid > 0)
        what += " (sub-identifier " + std::to_string(rangeSubid) + " up to " + std::to_string(upper) + ")";
    AppLog::Instance()->LogLimited(kLogWarning, registration ? "agentx-register" : "agentx-unregister", [&] {
        const std::string agent = SubAgentText(session, pdu->sessid);
        return std::string("AgentX: ") + (registration ? "registration" : "unregistration") + " of " + what +
               " by " + PeerText(session) + (agent.empty() ? "" : ", sub-agent " + agent) +
               " refused: it overlaps the engine's own " + OidToString(own[hit].start) +
               (registration ? " (requestDenied)" : " (unknownRegistration)");
    });
    Refuse(session, pdu, registration ? kAgentXRequestDenied : kAgentXUnknownRegistration);
    answered = true;
    return true;
}

void CloseLater(netsnmp_session* session)
{
    netsnmp_transport* transport = SessionTransport(session);
    // The peer learns at once; the descriptor goes with the session on the loop's next round (not
    // while the library is still reading).
    if (transport && transport->sock >= 0)
        shutdown(transport->sock, SHUT_RDWR);
    if (g_thread && g_thread->Post([session]() {
            if (IsOpenSession(session))
                snmp_close(session);
        }))
        return;
    // No queue: the library closes it when it reads the end of the shut-down connection.
}

int GuardCallback(int operation, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic)
{
    // Called by net-snmp: nothing may leave it.
    try {
        if (operation == NETSNMP_CALLBACK_OP_CONNECT) {
            // The library accepts without close-on-exec, and only the sockets there were at start-up
            // got it.
            SetSessionCloseOnExec(session);
            const int open = CountOpenSessions();
            if (open > g_bound) {
                AppLog::Instance()->LogLimited(kLogWarning, "agentx-session", [&] {
                    return "AgentX: connection from " + PeerText(session) + " refused: " + std::to_string(open - 1) +
                           " sessions are open, at most " + std::to_string(g_bound);
                });
                CloseLater(session);
                return 1;
            }
        } else if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu &&
                   (pdu->command == kAgentXRegister || pdu->command == kAgentXUnregister)) {
            switch (RunRegistrationCheck([&](bool& answered) { return GuardRegistration(session, pdu, answered); })) {
            case RegistrationCheck::Pass:
                break;
            case RegistrationCheck::Answered:
                return 1;
            case RegistrationCheck::Refuse:
                Refuse(session, pdu, kAgentXRequestDenied);
                return 1;
            }
        }
    } catch (...) {
        // Only the log can have thrown here (out of memory). A registration that was not seen through
        // never goes on to the library; a connection does, as it would without the guard.
        if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu &&
            (pdu->command == kAgentXRegister || pdu->command == kAgentXUnregister))
            return 1;
    }
    return handle_master_agentx_packet(operation, session, reqid, pdu, magic);
}

int DescriptorsInUse()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (struct dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
        --count;  // the listing's own descriptor
    }
    return std::max(count, 0);
}

}  // namespace

int AgentXSessionBound(uint64_t descriptorLimit, int descriptorsInUse)
{
    const uint64_t taken = static_cast<uint64_t>(std::max(descriptorsInUse, 0)) + kAgentXDescriptorReserve;
    if (descriptorLimit <= taken)
        return 0;
    return static_cast<int>(std::min<uint64_t>(kMaxAgentXSessions, descriptorLimit - taken));
}

OidRange SubtreeRange(const SnmpOid& prefix)
{
    OidRange range;
    range.start = prefix;
    range.end = prefix;
    while (!range.end.empty() && range.end.back() == UINT32_MAX)
        range.end.pop_back();
    if (range.end.empty())
        range.endless = true;
    else
        ++range.end.back();
    return range;
}

OidRange RegistrationRange(const SnmpOid& subtree, int rangeSubid, uint32_t upperBound)
{
    if (rangeSubid <= 0 || static_cast<size_t>(rangeSubid) > subtree.size())
        return SubtreeRange(subtree);
    SnmpOid last = subtree;
    last[rangeSubid - 1] = std::max(last[rangeSubid - 1], upperBound);
    OidRange range = SubtreeRange(last);
    range.start = subtree;
    return range;
}

bool RangesOverlap(const OidRange& a, const OidRange& b)
{
    const bool aStartsBeforeBEnds = b.endless || a.start < b.end;
    const bool bStartsBeforeAEnds = a.endless || b.start < a.end;
    return aStartsBeforeBEnds && bStartsBeforeAEnds;
}

int FirstOverlap(const std::vector<OidRange>& ranges, const OidRange& range)
{
    for (size_t i = 0; i < ranges.size(); ++i)
        if (RangesOverlap(ranges[i], range))
            return static_cast<int>(i);
    return -1;
}

RegistrationCheck RunRegistrationCheck(const std::function<bool(bool& answered)>& check)
{
    bool answered = false;
    std::string reason; // a copy: the exception is gone once its handler ends
    try {
        return check(answered) ? RegistrationCheck::Answered : RegistrationCheck::Pass;
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown exception";
    }
    LimitedLog(kLogError, "agentx-check", "AgentX: a registration could not be checked (%s): %s", reason.c_str(),
               answered ? "dropped after its answer" : "refused");
    return answered ? RegistrationCheck::Answered : RegistrationCheck::Refuse;
}

bool AgentXGuard::Install(SnmpThread& thread)
{
    g_thread = &thread;
    g_listening.clear();
    for (struct session_list* entry = Sessions; entry; entry = entry->next) {
        netsnmp_session* session = entry->session;
        if (session && session->callback == handle_master_agentx_packet && entry->transport &&
            (entry->transport->flags & NETSNMP_TRANSPORT_FLAG_LISTEN)) {
            session->callback = GuardCallback;
            g_listening.push_back(session);
            // The library listens with a queue of 5: a burst of connections would keep a sub-agent
            // waiting for the peer's SYN retries (seconds) although the loop accepts at once.
            if (entry->transport->sock >= 0 && listen(entry->transport->sock, kMaxAgentXSessions) != 0)
                AppLog::Instance()->Printf(kLogWarning, "AgentX: listen(%d) on the master's socket failed: %s",
                                           kMaxAgentXSessions, std::strerror(errno));
        }
    }
    struct rlimit limit = {};
    uint64_t descriptors = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        descriptors = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
    else
        AppLog::Instance()->Printf(kLogWarning,
                                   "AgentX: getrlimit(RLIMIT_NOFILE) failed: %s; assuming %llu descriptors",
                                   std::strerror(errno), static_cast<unsigned long long>(descriptors));
    const int inUse = DescriptorsInUse();
    g_bound = AgentXSessionBound(descriptors, inUse);
    if (g_listening.empty())
        return false;
    LogLevel level = g_bound < kMaxAgentXSessions ? kLogWarning : kLogInfo;
    AppLog::Instance()->Printf(level, "AgentX: at most %d sub-agent sessions (%llu descriptors allowed, %d in use)",
                               g_bound, static_cast<unsigned long long>(descriptors), inUse);
    return true;
}

void AgentXGuard::Uninstall()
{
    for (netsnmp_session* session : g_listening)
        if (IsOpenSession(session))
            session->callback = handle_master_agentx_packet;
    g_listening.clear();
    g_thread = nullptr;
}
