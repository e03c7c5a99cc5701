#include "engine/snmp/SnmpTrapSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "engine/base/AppLog.h"
#include "engine/snmp/NetSnmpConvert.h"
#include "engine/snmp/SnmpThread.h"

namespace {

const SnmpOid kSysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const SnmpOid kSnmpTrapOidName = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

bool DottedIpv4(const std::string& text)
{
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace

struct SnmpTrapSession::State {
    // Guards handler: cleared when the session could not be closed on the SNMP thread.
    std::mutex mutex;
    Handler handler;
    netsnmp_session* session = nullptr;  // SNMP thread only
    std::atomic<uint64_t> received{0};
};

namespace {

void FillSender(const netsnmp_pdu* pdu, SnmpReceivedNotification& out)
{
    if (!pdu->transport_data || pdu->transport_data_length < static_cast<int>(sizeof(struct sockaddr_in)))
        return;
    const auto* pair = static_cast<const netsnmp_indexed_addr_pair*>(pdu->transport_data);
    if (pair->remote_addr.sa.sa_family != AF_INET)
        return;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &pair->remote_addr.sin.sin_addr, text, sizeof text))
        out.sender = text;
    out.senderPort = ntohs(pair->remote_addr.sin.sin_port);
}

SnmpReceivedNotification Flatten(const netsnmp_pdu* pdu)
{
    SnmpReceivedNotification n;
    n.pduType = pdu->command;
    n.version = pdu->version == SNMP_VERSION_1 ? 0 : 1;
    n.errorStatus = pdu->errstat;
    if (pdu->community && pdu->community_len)
        n.community.assign(reinterpret_cast<const char*>(pdu->community), pdu->community_len);
    FillSender(pdu, n);
    if (pdu->command == SNMP_MSG_TRAP) {
        if (pdu->trap_type >= 0 && pdu->trap_type < 6) {
            n.trapOid = {1, 3, 6, 1, 6, 3, 1, 1, 5, static_cast<uint32_t>(pdu->trap_type + 1)};
        } else {
            n.trapOid = FromNetSnmpOid(pdu->enterprise, pdu->enterprise_length);
            n.trapOid.push_back(0);
            n.trapOid.push_back(static_cast<uint32_t>(pdu->specific_type));
        }
    }
    // An SNMPv2c notification opens with sysUpTime.0 and snmpTrapOID.0: those two positions are its
    // header. The same OIDs further down the list are varbinds like any other, so the positions that
    // trap processing reads stay as the sender numbered them.
    size_t position = 0;
    for (const netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable, ++position) {
        SnmpVarbind vb;
        vb.oid = FromNetSnmpOid(v->name, v->name_length);
        vb.value = FromNetSnmpValue(v);
        if (pdu->command != SNMP_MSG_TRAP) {
            if (position == 0 && vb.oid == kSysUpTime)
                continue;
            if (position <= 1 && vb.oid == kSnmpTrapOidName) {
                if (vb.value.type == kSnmpObjectId)
                    n.trapOid = vb.value.oid;
                continue;
            }
        }
        n.varbinds.push_back(std::move(vb));
    }
    return n;
}

int Receive(int operation, netsnmp_session* session, int, netsnmp_pdu* pdu, void* magic)
{
    if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || !pdu || !magic)
        return 1;
    auto* state = static_cast<SnmpTrapSession::State*>(magic);
    try {
        if (pdu->command != SNMP_MSG_TRAP && pdu->command != SNMP_MSG_TRAP2 && pdu->command != SNMP_MSG_INFORM)
            return 1;
        if (pdu->command == SNMP_MSG_INFORM) {
            // The response echoes the inform's varbinds, as a manager's acknowledgement should.
            netsnmp_pdu* reply = snmp_clone_pdu(pdu);
            if (reply) {
                reply->command = SNMP_MSG_RESPONSE;
                reply->errstat = 0;
                reply->errindex = 0;
                if (snmp_send(session, reply) == 0)
                    snmp_free_pdu(reply);
            }
        }
        state->received.fetch_add(1, std::memory_order_relaxed);
        SnmpReceivedNotification n = Flatten(pdu);
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->handler)
            state->handler(std::move(n));
    } catch (const std::exception& e) {
        AppLog::Instance()->Printf(kLogError, "SnmpTrapSession: notification handling failed: %s", e.what());
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "SnmpTrapSession: notification handling failed");
    }
    return 1;
}

}  // namespace

std::unique_ptr<SnmpTrapSession> SnmpTrapSession::Open(SnmpThread& thread, const std::string& address, uint16_t port,
                                                       Handler handler, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::unique_ptr<SnmpTrapSession> {
        if (error)
            *error = why;
        return nullptr;
    };
    if (!DottedIpv4(address))
        return fail("listen address is not a dotted IPv4 address: " + address);
    auto state = std::make_shared<State>();
    state->handler = std::move(handler);
    std::string why;
    uint16_t bound = 0;
    bool ran = thread.Call([&]() {
        std::string endpoint = "udp:" + address + ":" + std::to_string(port);
        errno = 0;
        netsnmp_transport* transport = netsnmp_transport_open_server("vigilon", endpoint.c_str());
        if (!transport) {
            const int failure = errno; // the failed bind's, unless the library's clean-up replaced it
            why = "cannot listen on " + address + ":" + std::to_string(port) +
                  (failure != 0 ? std::string(": ") + std::strerror(failure) : std::string(" (the port may be taken)"));
            return;
        }
        if (transport->sock >= 0) {
            int flags = fcntl(transport->sock, F_GETFD);
            if (flags >= 0)
                fcntl(transport->sock, F_SETFD, flags | FD_CLOEXEC);
            sockaddr_in a{};
            socklen_t length = sizeof a;
            if (getsockname(transport->sock, reinterpret_cast<sockaddr*>(&a), &length) == 0)
                bound = ntohs(a.sin_port);
        }
        netsnmp_session config;
        snmp_sess_init(&config);
        config.peername = nullptr;
        config.version = SNMP_DEFAULT_VERSION;
        config.callback = Receive;
        config.callback_magic = state.get();
        config.authenticator = nullptr;
        config.isAuthoritative = SNMP_SESS_UNKNOWNAUTH;
        netsnmp_session* session = snmp_add(&config, transport, nullptr, nullptr);
        if (!session) {
            // snmp_add closes the transport when it fails.
            why = "cannot add a session on " + address + ":" + std::to_string(port);
            return;
        }
        state->session = session;
    });
    if (!ran)
        return fail("the SNMP thread takes no work");
    if (!state->session)
        return fail(why);
    return std::unique_ptr<SnmpTrapSession>(new SnmpTrapSession(thread, std::move(state), bound));
}

SnmpTrapSession::SnmpTrapSession(SnmpThread& thread, std::shared_ptr<State> state, uint16_t port)
    : m_thread(thread), m_state(std::move(state)), m_port(port)
{
}

SnmpTrapSession::~SnmpTrapSession()
{
    std::shared_ptr<State> state = m_state;
    bool closed = m_thread.Call([state]() {
        if (state->session)
            snmp_close(state->session);
        state->session = nullptr;
    });
    if (!closed) {
        // The library still holds the session and may call back later: keep the state alive and silent.
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->handler = nullptr;
        }
        new std::shared_ptr<State>(state);
        AppLog::Instance()->Printf(kLogError, "SnmpTrapSession: port %u could not be closed on the SNMP thread",
                                   m_port);
    }
}

uint64_t SnmpTrapSession::Received() const
{
    return m_state->received.load();
}
