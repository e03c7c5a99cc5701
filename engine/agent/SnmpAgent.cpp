#include "engine/agent/SnmpAgent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <vector>
#include <chrono>
#include <cstring>

#include "engine/agent/AgentSetup.h"
#include "engine/agent/AgentXGuard.h"
#include "engine/agent/mib/Mib.h"
#include "engine/base/SteadyClock.h"
#include "engine/snmp/NetSnmp.h"
#include "engine/snmp/SnmpThread.h"
#include "engine/base/AppLog.h"

// net-snmp calls hosts_ctl (tcp-wrappers) for every packet, which reads /etc/hosts.allow and
// /etc/hosts.deny. The engine's access control is its VACM rows alone: every peer passes here.
extern "C" int hosts_ctl(char*, char*, char*, char*)
{
    return 1;
}

namespace {

// net-snmp's log messages go to our log: errors and warnings as such, the rest at debug level.
int LogCallback(int, int, void* serverArg, void*)
{
    // Called by net-snmp: nothing may leave it.
    try {
        auto* message = static_cast<struct snmp_log_message*>(serverArg);
        if (!message || !message->msg)
            return 0;
        std::string text = message->msg;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        // Said by the library before our access rows exist; they are added right after it starts.
        if (text.empty() || text.find("no access control information configured") != std::string::npos)
            return 0;
        LogLevel level = kLogDebug;
        if (message->priority <= LOG_ERR)
            level = kLogError;
        else if (message->priority == LOG_WARNING)
            level = kLogWarning;
        // The library complains about bad packets and failed answers line by line: a flood from the
        // network must not fill the log.
        AppLog::Instance()->PrintfLimited(level, "net-snmp", "net-snmp: %s", text.c_str());
    } catch (...) {
    }
    return 0;
}

// The largest UDP payload over IPv4: an answer beyond it cannot be sent at all.
constexpr size_t kMaxDatagramPayload = 65507;

// The size an answer may have: the datagram, and for SNMPv3 the manager's msgMaxSize too.
size_t AnswerLimit(const netsnmp_pdu* pdu)
{
    size_t limit = kMaxDatagramPayload;
    if (pdu->version == SNMP_VERSION_3 && pdu->msgMaxSize >= SNMP_MIN_MAX_LEN &&
        static_cast<size_t>(pdu->msgMaxSize) < limit)
        limit = static_cast<size_t>(pdu->msgMaxSize);
    return limit;
}

// Encodes pdu and leaves the message at the start of *packet, as the session expects from its build
// hook (the library encodes backwards, from the end of the buffer, unless the PDU asks otherwise).
int Encode(netsnmp_session* session, netsnmp_pdu* pdu, u_char** packet, size_t* size, size_t* length)
{
    *length = 0;
    const bool forward = (pdu->flags & UCD_MSG_FLAG_FORWARD_ENCODE) != 0;
    int rc = snmp_build(packet, size, length, session, pdu);
    if (rc == 0 && !forward && *length <= *size)
        std::memmove(*packet, *packet + *size - *length, *length);
    return rc;
}

// The request ids of GETBULK requests not yet answered (their answers are cut to fit, not refused).
// SNMP thread only; bounded, as a request the agent drops is never answered.
std::deque<long> g_bulkRequests;

int CheckParse(netsnmp_session* session, netsnmp_pdu* pdu, int result)
{
    if (pdu && pdu->command == SNMP_MSG_GETBULK) {
        if (g_bulkRequests.size() >= 64)
            g_bulkRequests.pop_front();
        g_bulkRequests.push_back(pdu->reqid);
    }
    return netsnmp_agent_check_parse(session, pdu, result);
}

bool TakeBulkRequest(long reqid)
{
    auto found = std::find(g_bulkRequests.begin(), g_bulkRequests.end(), reqid);
    if (found == g_bulkRequests.end())
        return false;
    g_bulkRequests.erase(found);
    return true;
}

// A GETBULK answer that does not fit keeps as many of its first varbinds as fit (RFC 3416 4.2.3).
int CutToFit(netsnmp_session* session, netsnmp_pdu* pdu, u_char** packet, size_t* size, size_t* length,
             size_t limit)
{
    std::vector<netsnmp_variable_list*> list;
    for (netsnmp_variable_list* vb = pdu->variables; vb; vb = vb->next_variable)
        list.push_back(vb);
    // The longest prefix that fits, by bisection: [fits, tooLong).
    size_t fits = 0, tooLong = list.size();
    auto keep = [&](size_t count) {
        for (size_t i = 0; i < list.size(); ++i)
            list[i]->next_variable = i + 1 < count ? list[i + 1] : nullptr;
        pdu->variables = count ? list[0] : nullptr;
    };
    while (tooLong - fits > 1) {
        const size_t middle = fits + (tooLong - fits) / 2;
        keep(middle);
        if (Encode(session, pdu, packet, size, length) == 0 && *length <= limit)
            fits = middle;
        else
            tooLong = middle;
    }
    // The list is whole again for its owner to free, then cut where it fits.
    keep(list.size());
    netsnmp_variable_list* rest = fits < list.size() ? list[fits] : nullptr;
    if (fits > 0)
        list[fits - 1]->next_variable = nullptr;
    else
        pdu->variables = nullptr;
    snmp_free_varbind(rest);
    return Encode(session, pdu, packet, size, length);
}

// The build hook of the agent's session: every message the agent sends passes here. Before an answer
// goes out, the work a request left pending is done (a SET's save); an answer too big to send becomes
// tooBig (RFC 3416: error index 0, no variable bindings; SNMPv1 keeps the names with NULL values),
// except a GETBULK answer, which is cut to the varbinds that fit.
int BuildAnswer(netsnmp_session* session, netsnmp_pdu* pdu, u_char** packet, size_t* size, size_t* length)
{
    const bool answer = pdu->command == SNMP_MSG_RESPONSE;
    if (answer) {
        // The SET request this answers is done: its saves go to disk before the manager hears of it.
        const bool done = Mib::EndSetRequest();
        if (!done && pdu->errstat == SNMP_ERR_NOERROR) {
            pdu->errstat = SNMP_ERR_COMMITFAILED;
            pdu->errindex = pdu->variables ? 1 : 0;
        }
    }
    const bool bulk = answer && TakeBulkRequest(pdu->reqid);
    int rc = Encode(session, pdu, packet, size, length);
    const size_t limit = AnswerLimit(pdu);
    if (rc != 0 || !answer || *length <= limit)
        return rc;
    if (bulk && pdu->errstat == SNMP_ERR_NOERROR)
        return CutToFit(session, pdu, packet, size, length, limit);
    LimitedLog(kLogWarning, "answer-too-big", "SnmpAgent: an answer of %zu bytes exceeds %zu: tooBig sent", *length,
               limit);
    pdu->errstat = SNMP_ERR_TOOBIG;
    pdu->errindex = 0;
    if (pdu->version == SNMP_VERSION_1) {
        for (netsnmp_variable_list* vb = pdu->variables; vb; vb = vb->next_variable)
            snmp_set_var_typed_value(vb, ASN_NULL, nullptr, 0);
        rc = Encode(session, pdu, packet, size, length);
        if (rc != 0 || *length <= limit)
            return rc;
    }
    snmp_free_varbind(pdu->variables);
    pdu->variables = nullptr;
    return Encode(session, pdu, packet, size, length);
}

bool MakeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    AppLog::Instance()->Printf(kLogError, "SnmpAgent: mkdir %s failed: %s", path.c_str(), std::strerror(errno));
    return false;
}

std::string Hex(const unsigned char* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
    return out;
}

// Binds a socket of the type to address:port; the fd or -errno.
int BindSocket(int type, const std::string& address, int port, bool reuse)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    if (reuse) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    if (address.empty()) {
        sin.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, address.c_str(), &sin.sin_addr) != 1) {
        close(fd);
        return -EINVAL;
    }
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) != 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

}  // namespace

SnmpAgent::SnmpAgent(SnmpThread& thread) : m_thread(thread) {}

SnmpAgent::~SnmpAgent()
{
    if (m_reservedFd >= 0)
        close(m_reservedFd);
}

void SnmpAgent::PrepareLibrary(const std::string& appName, const std::string& stateDirectory)
{
    m_thread.BindToCurrentThread();
    if (!appName.empty())
        m_appName = appName;
    SnmpThread::ApplyEmbeddedLibrarySettings();

    std::string mibDirectory = stateDirectory + "/mibs";
    MakeDirectory(stateDirectory);
    MakeDirectory(mibDirectory);
    netsnmp_set_mib_directory(mibDirectory.c_str());
    set_configuration_directory(stateDirectory.c_str());
    set_persistent_directory(stateDirectory.c_str());
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, stateDirectory.c_str());
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR, stateDirectory.c_str());

    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);  // master
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_ROOT_ACCESS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    // No SMUX (it would open TCP 0.0.0.0:199).
    static char noSmux[] = "-smux";
    add_to_init_list(noSmux);

    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_DEBUG);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, LogCallback, nullptr);

    init_agent(m_appName.c_str());
    m_libraryUp = true;
    m_startMs.store(SteadyMs());
}

int SnmpAgent::OpenSession(const std::string& address, int port)
{
    if (port < 1 || port > 65535)
        return EINVAL;
    if (m_reservedFd >= 0) {
        close(m_reservedFd);
        m_reservedFd = -1;
    }
    int fd = BindSocket(SOCK_DGRAM, address, port, false);
    if (fd < 0)
        return -fd;
    m_reservedFd = fd;
    m_address = address;
    m_port = port;

    // Engine ID text "host:port", cut so that the whole ID stays within 32 bytes (5 of them header).
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0 || !host[0])
        std::strcpy(host, "localhost");
    std::string suffix = ":" + std::to_string(port);
    std::string text = host;
    const size_t maxText = 27;
    if (text.size() + suffix.size() > maxText)
        text.resize(maxText - suffix.size());
    m_engineIdText = text + suffix;
    // net-snmp's text engine ID: enterprise 8072 with the high bit, format 4, the text.
    unsigned char id[32] = {0x80, 0x00, 0x1f, 0x88, 0x04};
    std::memcpy(id + 5, m_engineIdText.data(), m_engineIdText.size());
    m_engineIdHex = Hex(id, 5 + m_engineIdText.size());
    return 0;
}

std::string SnmpAgent::ListeningAddress() const
{
    return (m_address.empty() ? std::string("0.0.0.0") : m_address) + ":" + std::to_string(m_port);
}

void SnmpAgent::SetEngineBoots(uint32_t boots)
{
    m_boots = boots == 0 ? 1 : boots;
}

bool SnmpAgent::EnableAgentX(int port)
{
    m_agentxPort = 0;
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    if (port == 0)
        return false;
    if (port < 0 || port > 65535) {
        AppLog::Instance()->Printf(kLogWarning, "AgentX port %d not valid: running without AgentX", port);
        return false;
    }
    // The library only warns when it cannot listen: check the port first.
    int fd = BindSocket(SOCK_STREAM, "127.0.0.1", port, true);
    if (fd < 0) {
        AppLog::Instance()->Printf(kLogWarning, "AgentX master port 127.0.0.1:%d cannot be bound (%s): running without AgentX",
                                   port, std::strerror(-fd));
        return false;
    }
    close(fd);
    std::string socketSpec = "tcp:127.0.0.1:" + std::to_string(port);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socketSpec.c_str());
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 1);
    m_agentxPort = port;
    return true;
}

int SnmpAgent::Start()
{
    if (!m_libraryUp || m_port == 0)
        return -1;
    // Engine ID and boots before the library sets up SNMPv3: exact ID, the old ID equal to it (so the
    // library keeps our boots) and the boots value, which the library counts up by one itself.
    {
        std::string idLine = m_engineIdText;
        engineID_conf("engineID", &idLine[0]);
        std::string oldLine = "0x" + m_engineIdHex;
        oldengineID_conf("oldEngineID", &oldLine[0]);
        std::string bootsLine = std::to_string(m_boots - 1);
        engineBoots_conf("engineBoots", &bootsLine[0]);
    }
    init_snmp(m_appName.c_str());
    if (snmpv3_local_snmpEngineBoots() != m_boots) {
        AppLog::Instance()->Printf(kLogWarning, "SnmpAgent: the library counts %lu engine boots, ours %u",
                                   snmpv3_local_snmpEngineBoots(), m_boots);
    }

    ConfigureSystemGroup();
    CreateUsmUsers();
    ConfigureAccessControl();
    AddDefaultCommunities();
    ConfigureAgentXLocalhost();

    std::string ports = "udp:" + (m_address.empty() ? std::string("0.0.0.0") : m_address) + ":" + std::to_string(m_port);
    // The library starts the AgentX master only; the listening session is ours, with the build hook
    // that sees every answer before it goes out.
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, "none");
    if (m_reservedFd >= 0) {
        close(m_reservedFd);
        m_reservedFd = -1;
    }
    int rc = init_master_agent();
    if (rc != 0 || !OpenListeningSession(ports)) {
        AppLog::Instance()->Printf(kLogError, "SnmpAgent: the agent cannot listen on %s", ports.c_str());
        return rc > 0 ? -1 : (rc < 0 ? rc : -1);
    }
    // Find our listening UDP socket(s) among the sessions' sockets, for the pause flag.
    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
    int numfds = 0, block = 1;
    struct timeval tv = {0, 0};
    snmp_select_info2(&numfds, &fds, &tv, &block);
    int found = 0;
    for (int fd = 0; fd < numfds; ++fd) {
        if (!netsnmp_large_fd_is_set(fd, &fds))
            continue;
        int type = 0;
        socklen_t typeLength = sizeof type;
        struct sockaddr_in sin;
        socklen_t length = sizeof sin;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_DGRAM &&
            getsockname(fd, reinterpret_cast<struct sockaddr*>(&sin), &length) == 0 && sin.sin_family == AF_INET &&
            ntohs(sin.sin_port) == m_port) {
            m_thread.AddAgentSocket(fd);
            ++found;
        }
        // The library's sockets must not leak into the programs the engine starts.
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0)
            fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
    netsnmp_large_fd_set_cleanup(&fds);
    if (!found)
        AppLog::Instance()->Printf(kLogWarning, "SnmpAgent: listening socket not found; pause will not hold requests");
    if (m_agentxPort) {
        // The library gives up quietly when it cannot listen; say so.
        int fd = BindSocket(SOCK_STREAM, "127.0.0.1", m_agentxPort, true);
        if (fd >= 0) {
            close(fd);
            AppLog::Instance()->Printf(kLogWarning, "AgentX master did not start on 127.0.0.1:%d: running without AgentX",
                                       m_agentxPort);
            m_agentxPort = 0;
        } else if (!AgentXGuard::Install(m_thread)) {
            // The port is taken, yet not by the library's master (whose callback the guard did not find).
            AppLog::Instance()->Printf(kLogError, "AgentX master session not found on 127.0.0.1:%d: running without AgentX",
                                       m_agentxPort);
            m_agentxPort = 0;
        }
    }
    m_started.store(true);
    return 0;
}

bool SnmpAgent::OpenListeningSession(const std::string& ports)
{
    netsnmp_transport* transport = netsnmp_transport_open_server(m_appName.c_str(), ports.c_str());
    if (!transport)
        return false;
    netsnmp_session config;
    snmp_sess_init(&config);
    config.version = SNMP_DEFAULT_VERSION;
    config.callback = handle_snmp_packet;
    config.authenticator = nullptr;
    config.flags = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_FLAGS);
    config.isAuthoritative = SNMP_SESS_AUTHORITATIVE;
    // snmp_add_full closes the transport when it fails.
    netsnmp_session* session = snmp_add_full(&config, transport, netsnmp_agent_check_packet, nullptr,
                                             CheckParse, nullptr, BuildAnswer, nullptr, nullptr);
    if (!session)
        return false;
    if (!main_session)
        main_session = session;
    return true;
}

void SnmpAgent::SendColdStart(const std::string& host, int port, const std::string& community)
{
    std::string sink = "udp:" + host + ":" + std::to_string(port);
    if (!netsnmp_create_v1v2_notification_session(sink.c_str(), nullptr, community.c_str(), nullptr, SNMP_VERSION_1,
                                                  SNMP_MSG_TRAP, "defaultV1Trap", "v1trap", nullptr))
        AppLog::Instance()->Printf(kLogError, "SnmpAgent: trap destination %s cannot be added", sink.c_str());
    // coldStart (1.3.6.1.6.3.1.1.5.1); an SNMPv1 target gets generic 0 with our enterprise.
    static const oid enterprise[] = {1, 3, 6, 1, 4, 1, 64950};
    netsnmp_send_traps(SNMP_TRAP_COLDSTART, 0, enterprise, OID_LENGTH(enterprise), nullptr, nullptr, 0);
}

uint32_t SnmpAgent::GetSysUpTime() const
{
    int64_t start = m_startMs.load();
    if (start == 0)
        return 0;
    return static_cast<uint32_t>((SteadyMs() - start) / 10);
}

void SnmpAgent::Shutdown()
{
    if (!m_libraryUp)
        return;
    m_started.store(false);
    snmpd_free_trapsinks();
    AgentXGuard::Uninstall();
    shutdown_master_agent();
    snmp_shutdown(m_appName.c_str());
    m_libraryUp = false;
}
