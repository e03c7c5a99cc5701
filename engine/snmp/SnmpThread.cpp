#include "engine/snmp/SnmpThread.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "engine/snmp/NetSnmpConvert.h"
#include "engine/base/AppLog.h"

namespace {

constexpr size_t kMaxTrapSessions = 32;

const oid kSysUpTimeOid[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

std::string PeerSpec(const std::string& peer, uint16_t port)
{
    return "udp:" + peer + ":" + std::to_string(port);
}

// A destination net-snmp can resolve: a dotted IPv4 address or a host name, nothing else.
bool PlausiblePeer(const std::string& peer)
{
    if (peer.empty() || peer.size() > 253)
        return false;
    for (char c : peer) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                  c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

struct SnmpThread::PendingRequest {
    SnmpClientRequest request;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    SnmpClientResult result;
    SnmpThread* owner = nullptr;

    void Finish(SnmpClientResult r)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (finished)
                return;
            result = std::move(r);
            finished = true;
        }
        done.notify_all();
    }
};

SnmpThread::SnmpThread()
{
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        AppLog::Instance()->Printf(kLogError, "SnmpThread: eventfd failed: %s", std::strerror(errno));
}

SnmpThread::~SnmpThread()
{
    m_accepting.store(false);
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void SnmpThread::BindToCurrentThread()
{
    m_loopThread.store(std::this_thread::get_id());
}

void SnmpThread::PrepareProcessEnvironment()
{
    // No MIB files: numeric OIDs only, and no warnings about missing MIB modules.
    const char* mibs = getenv("MIBS");
    if (!mibs || *mibs != '\0')
        setenv("MIBS", "", 1);
}

void SnmpThread::ApplyEmbeddedLibrarySettings()
{
    signal(SIGPIPE, SIG_IGN);
    PrepareProcessEnvironment();
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NO_TOKEN_WARNINGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
}

void SnmpThread::PrepareClientLibrary(const std::string& appName)
{
    BindToCurrentThread();
    ApplyEmbeddedLibrarySettings();
    init_snmp(appName.empty() ? "vigilon" : appName.c_str());
}

bool SnmpThread::IsLoopThread() const
{
    return m_loopThread.load() == std::this_thread::get_id();
}

void SnmpThread::SetPaused(bool paused)
{
    m_paused.store(paused);
    Wake();
}

void SnmpThread::Wake()
{
    if (m_wakeFd < 0)
        return;
    uint64_t one = 1;
    ssize_t n = write(m_wakeFd, &one, sizeof one);
    (void)n;  // a full counter already wakes the loop
}

bool SnmpThread::Post(std::function<void()> work)
{
    if (!work)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_accepting.load())
            return false;
        if (m_queue.size() >= kMaxQueuedWork) {
            if (!m_queueFullLogged) {
                m_queueFullLogged = true;
                AppLog::Instance()->Printf(kLogError, "SnmpThread: %zu tasks wait already; work refused",
                                           m_queue.size());
            }
            return false;
        }
        m_queueFullLogged = false;
        m_queue.push_back(std::move(work));
    }
    Wake();
    return true;
}

bool SnmpThread::Call(std::function<void()> work, int waitMs)
{
    if (!work)
        return false;
    if (IsLoopThread()) {
        try {
            work();
        } catch (const std::exception& e) {
            AppLog::Instance()->Printf(kLogError, "SnmpThread::Call: task failed: %s", e.what());
        } catch (...) {
            AppLog::Instance()->Printf(kLogError, "SnmpThread::Call: task failed");
        }
        return true;
    }
    // The notifier wakes the caller when the task has run or was dropped unrun (queue cleared at
    // shutdown): it lives exactly as long as the queued function.
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        bool ran = false;
    };
    struct Notifier {
        std::shared_ptr<State> state;
        ~Notifier()
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->done = true;
            state->cv.notify_all();
        }
    };
    auto state = std::make_shared<State>();
    auto notifier = std::make_shared<Notifier>();
    notifier->state = state;
    bool posted = Post([notifier, work = std::move(work)]() {
        std::shared_ptr<State> s = notifier->state;
        work();
        std::lock_guard<std::mutex> lock(s->mutex);
        s->ran = true;
    });
    notifier.reset();
    if (!posted)
        return false;
    std::unique_lock<std::mutex> lock(state->mutex);
    if (waitMs < 0)
        state->cv.wait(lock, [&] { return state->done; });
    else
        state->cv.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return state->done; });
    return state->ran;
}

bool SnmpThread::PostTrap(SnmpTrap trap)
{
    return Post([this, trap = std::move(trap)]() { SendTrapNow(trap); });
}

int SnmpThread::SendTrap(const SnmpTrap& trap, int waitMs)
{
    if (IsLoopThread())
        return SendTrapNow(trap);
    auto result = std::make_shared<std::atomic<int>>(-1);
    if (!Call([this, result, trap]() { result->store(SendTrapNow(trap)); }, waitMs))
        return -1;
    return result->load();
}

void SnmpRequestCancel::Cancel()
{
    std::function<void()> finish;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
        finish = m_finish;
    }
    if (finish)
        finish();
}

bool SnmpRequestCancel::IsCancelled() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancelled;
}

SnmpClientResult SnmpThread::Request(const SnmpClientRequest& request, int waitMs, SnmpRequestCancel* cancel)
{
    SnmpClientResult failed;
    if (cancel && cancel->IsCancelled()) {
        failed.status = SnmpClientStatus::Stopped;
        failed.error = "request cancelled";
        return failed;
    }
    if (IsLoopThread()) {
        failed.status = SnmpClientStatus::Failed;
        failed.error = "client request on the SNMP thread itself";
        return failed;
    }
    auto pending = std::make_shared<PendingRequest>();
    pending->request = request;
    pending->owner = this;
    // The guard finishes the request as Stopped when the queued start is dropped unrun.
    struct StartGuard {
        std::shared_ptr<PendingRequest> pending;
        ~StartGuard()
        {
            if (pending) {
                SnmpClientResult stopped;
                stopped.status = SnmpClientStatus::Stopped;
                stopped.error = "SNMP thread stopped";
                pending->Finish(std::move(stopped));
            }
        }
    };
    auto guard = std::make_shared<StartGuard>();
    guard->pending = pending;
    if (!Post([this, guard]() {
            std::shared_ptr<PendingRequest> p = std::move(guard->pending);
            StartRequest(p);
        })) {
        guard->pending.reset();
        failed.status = SnmpClientStatus::Stopped;
        failed.error = "SNMP thread stopped";
        return failed;
    }
    guard.reset();
    // The handle finishes the request as Stopped; a later answer from the SNMP thread is then ignored.
    struct CancelSlot {
        SnmpRequestCancel* cancel;
        ~CancelSlot()
        {
            if (cancel) {
                std::lock_guard<std::mutex> lock(cancel->m_mutex);
                cancel->m_finish = nullptr;
            }
        }
    } slot{cancel};
    if (cancel) {
        std::weak_ptr<PendingRequest> weak = pending;
        bool already;
        {
            std::lock_guard<std::mutex> lock(cancel->m_mutex);
            already = cancel->m_cancelled;
            cancel->m_finish = [weak]() {
                if (auto p = weak.lock()) {
                    SnmpClientResult stopped;
                    stopped.status = SnmpClientStatus::Stopped;
                    stopped.error = "request cancelled";
                    p->Finish(std::move(stopped));
                }
            };
        }
        if (already)
            cancel->m_finish();
    }
    if (waitMs < 0) {
        int attempts = request.retries < 0 ? 1 : request.retries + 1;
        int perAttempt = request.timeoutMs < 0 ? 0 : request.timeoutMs;
        waitMs = perAttempt * attempts + 1000 + kReceiveTimeoutMs;
    }
    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->done.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return pending->finished; })) {
        // The SNMP thread still owns the request; it finishes it later and nobody reads the result.
        failed.status = SnmpClientStatus::WaitTimeout;
        failed.error = "no answer from the SNMP thread in time";
        return failed;
    }
    return pending->result;
}

void SnmpThread::AddAgentSocket(int fd)
{
    m_agentSockets.insert(fd);
}

void SnmpThread::Run(const std::atomic<bool>& runFlag)
{
    BindToCurrentThread();
    while (runFlag.load())
        RunOnce(kReceiveTimeoutMs);
}

void SnmpThread::DrainQueue()
{
    // Only the work queued so far: work that keeps arriving waits for the next round, so the agent's
    // sockets are read between batches.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        batch.swap(m_queue);
    }
    while (!batch.empty()) {
        std::function<void()> work = std::move(batch.front());
        batch.pop_front();
        try {
            work();
        } catch (const std::exception& e) {
            AppLog::Instance()->Printf(kLogError, "SnmpThread: queued task failed: %s", e.what());
        } catch (...) {
            AppLog::Instance()->Printf(kLogError, "SnmpThread: queued task failed");
        }
    }
}

void SnmpThread::RunOnce(int maxWaitMs)
{
    DrainQueue();

    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
    int numfds = 0;
    int block = 0;
    struct timeval tv;
    tv.tv_sec = maxWaitMs / 1000;
    tv.tv_usec = (maxWaitMs % 1000) * 1000;
    struct timeval limit = tv;
    snmp_select_info2(&numfds, &fds, &tv, &block);
    if (block || timercmp(&tv, &limit, >))
        tv = limit;
    if (m_paused.load()) {
        for (int fd : m_agentSockets)
            if (fd < numfds)
                netsnmp_large_fd_clr(fd, &fds);
    }
    if (m_wakeFd >= 0) {
        netsnmp_large_fd_setfd(m_wakeFd, &fds);
        if (m_wakeFd >= numfds)
            numfds = m_wakeFd + 1;
    }
    int count = netsnmp_large_fd_set_select(numfds, &fds, nullptr, nullptr, &tv);
    if (count > 0) {
        if (m_wakeFd >= 0 && netsnmp_large_fd_is_set(m_wakeFd, &fds)) {
            uint64_t value;
            ssize_t n = read(m_wakeFd, &value, sizeof value);
            (void)n;
            netsnmp_large_fd_clr(m_wakeFd, &fds);
        }
        snmp_read2(&fds);
    } else if (count < 0 && errno != EINTR) {
        AppLog::Instance()->Printf(kLogError, "SnmpThread: select failed: %s", std::strerror(errno));
    }
    snmp_timeout();
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
    CloseDeferred();
    netsnmp_large_fd_set_cleanup(&fds);
}

void SnmpThread::CloseDeferred()
{
    std::vector<void*> sessions;
    sessions.swap(m_closeLater);
    for (void* s : sessions) {
        m_running.erase(s);
        snmp_close(static_cast<netsnmp_session*>(s));
    }
}

int SnmpThread::SendTrapNow(const SnmpTrap& trap)
{
    if (!PlausiblePeer(trap.peer) || trap.port == 0) {
        AppLog::Instance()->Printf(kLogError, "SnmpThread: trap destination not valid [%s:%u]", trap.peer.c_str(),
                                   trap.port);
        return 1;
    }
    int version = trap.version == 1 ? SNMP_VERSION_2c : SNMP_VERSION_1;
    std::string key = std::to_string(version) + "|" + trap.peer + "|" + std::to_string(trap.port) + "|" + trap.community;
    netsnmp_session* session = nullptr;
    auto it = m_trapSessions.find(key);
    if (it != m_trapSessions.end()) {
        session = static_cast<netsnmp_session*>(it->second);
    } else {
        if (m_trapSessions.size() >= kMaxTrapSessions) {
            for (auto& entry : m_trapSessions)
                snmp_close(static_cast<netsnmp_session*>(entry.second));
            m_trapSessions.clear();
        }
        netsnmp_session config;
        snmp_sess_init(&config);
        std::string peer = PeerSpec(trap.peer, trap.port);
        config.peername = const_cast<char*>(peer.c_str());
        config.version = version;
        config.community = reinterpret_cast<u_char*>(const_cast<char*>(trap.community.data()));
        config.community_len = trap.community.size();
        config.callback = nullptr;
        session = snmp_open(&config);
        if (!session) {
            AppLog::Instance()->Printf(kLogError, "SnmpThread: trap destination not valid [%s:%u]",
                                       trap.peer.c_str(), trap.port);
            return 1;
        }
        SetSessionCloseOnExec(session);
        m_trapSessions[key] = session;
    }

    netsnmp_pdu* pdu = nullptr;
    if (version == SNMP_VERSION_1) {
        pdu = snmp_pdu_create(SNMP_MSG_TRAP);
        if (!pdu)
            return 2;
        oid enterprise[MAX_OID_LEN];
        size_t length = 0;
        if (!ToNetSnmpOid(trap.enterprise, enterprise, length) || length == 0) {
            snmp_free_pdu(pdu);
            AppLog::Instance()->Printf(kLogError, "SnmpThread: SNMPv1 trap without a valid enterprise");
            return 2;
        }
        pdu->enterprise = static_cast<oid*>(malloc(length * sizeof(oid)));
        if (!pdu->enterprise) {
            snmp_free_pdu(pdu);
            return 2;
        }
        std::memcpy(pdu->enterprise, enterprise, length * sizeof(oid));
        pdu->enterprise_length = length;
        pdu->trap_type = trap.generic;
        pdu->specific_type = trap.specific;
        pdu->time = netsnmp_get_agent_uptime();
        uint32_t a = trap.agentAddress;
        pdu->agent_addr[0] = static_cast<u_char>(a & 0xFF);
        pdu->agent_addr[1] = static_cast<u_char>((a >> 8) & 0xFF);
        pdu->agent_addr[2] = static_cast<u_char>((a >> 16) & 0xFF);
        pdu->agent_addr[3] = static_cast<u_char>(a >> 24);
    } else {
        pdu = snmp_pdu_create(SNMP_MSG_TRAP2);
        if (!pdu)
            return 2;
        SnmpOid trapOid = trap.trapOid;
        if (trapOid.empty()) {
            if (trap.generic >= 0 && trap.generic < 6) {
                trapOid = {1, 3, 6, 1, 6, 3, 1, 1, 5, static_cast<uint32_t>(trap.generic + 1)};
            } else {
                trapOid = trap.enterprise;
                trapOid.push_back(0);
                trapOid.push_back(static_cast<uint32_t>(trap.specific));
            }
        }
        u_long uptime = netsnmp_get_agent_uptime();
        snmp_pdu_add_variable(pdu, kSysUpTimeOid, OID_LENGTH(kSysUpTimeOid), ASN_TIMETICKS, &uptime, sizeof uptime);
        if (!AddNetSnmpVarbind(pdu, SnmpOid(kSnmpTrapOid, kSnmpTrapOid + OID_LENGTH(kSnmpTrapOid)),
                               SnmpValue::ObjectId(trapOid))) {
            snmp_free_pdu(pdu);
            return 2;
        }
    }
    for (const SnmpVarbind& vb : trap.varbinds) {
        if (!AddNetSnmpVarbind(pdu, vb.oid, vb.value)) {
            AppLog::Instance()->Printf(kLogError, "SnmpThread: trap varbind %s cannot be encoded",
                                       OidToString(vb.oid).c_str());
            snmp_free_pdu(pdu);
            return 2;
        }
    }
    if (snmp_send(session, pdu) == 0) {
        AppLog::Instance()->Printf(kLogError, "SnmpThread: sending trap to %s:%u failed: %s", trap.peer.c_str(),
                                   trap.port, snmp_api_errstring(session->s_snmp_errno));
        snmp_free_pdu(pdu);
        return 2;
    }
    return 0;
}

void SnmpThread::StartRequest(const std::shared_ptr<PendingRequest>& pending)
{
    const SnmpClientRequest& request = pending->request;
    SnmpClientResult failed;
    failed.status = SnmpClientStatus::Failed;
    if (!PlausiblePeer(request.peer) || request.port == 0) {
        failed.error = "destination not valid";
        pending->Finish(failed);
        return;
    }
    netsnmp_session config;
    snmp_sess_init(&config);
    std::string peer = PeerSpec(request.peer, request.port);
    config.peername = const_cast<char*>(peer.c_str());
    config.version = request.version == 1 ? SNMP_VERSION_2c : SNMP_VERSION_1;
    config.community = reinterpret_cast<u_char*>(const_cast<char*>(request.community.data()));
    config.community_len = request.community.size();
    config.timeout = static_cast<long>(request.timeoutMs < 1 ? 1 : request.timeoutMs) * 1000L;
    config.retries = request.retries < 0 ? 0 : request.retries;
    std::string local;
    if (!request.localAddress.empty()) {
        local = request.localAddress;
        config.localname = const_cast<char*>(local.c_str());
    }
    netsnmp_session* session = snmp_open(&config);
    if (!session) {
        failed.error = "cannot open a session to " + peer;
        pending->Finish(failed);
        return;
    }
    SetSessionCloseOnExec(session);
    int command = request.command == SnmpCommand::Get       ? SNMP_MSG_GET
                  : request.command == SnmpCommand::GetNext ? SNMP_MSG_GETNEXT
                                                            : SNMP_MSG_SET;
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    bool ok = pdu != nullptr;
    for (size_t i = 0; ok && i < request.varbinds.size(); ++i) {
        const SnmpVarbind& vb = request.varbinds[i];
        SnmpValue value = command == SNMP_MSG_SET ? vb.value : SnmpValue();
        ok = AddNetSnmpVarbind(pdu, vb.oid, value);
    }
    if (!ok) {
        if (pdu)
            snmp_free_pdu(pdu);
        snmp_close(session);
        failed.error = "request cannot be encoded";
        pending->Finish(failed);
        return;
    }
    m_running[session] = pending;
    if (snmp_async_send(session, pdu, &SnmpThread::ClientCallback, this) == 0) {
        failed.error = std::string("send failed: ") + snmp_api_errstring(session->s_snmp_errno);
        snmp_free_pdu(pdu);
        m_running.erase(session);
        snmp_close(session);
        pending->Finish(failed);
    }
}

int SnmpThread::ClientCallback(int operation, netsnmp_session* session, int, netsnmp_pdu* pdu, void* magic)
{
    auto* self = static_cast<SnmpThread*>(magic);
    // A retry or a connect notice: the request goes on.
    if (operation == NETSNMP_CALLBACK_OP_RESEND || operation == NETSNMP_CALLBACK_OP_CONNECT)
        return 1;
    // net-snmp hands the callback a copy of the session; find ours by its request list owner.
    try {
        std::shared_ptr<PendingRequest> pending;
        void* key = nullptr;
        for (auto& entry : self->m_running) {
            netsnmp_session* s = static_cast<netsnmp_session*>(entry.first);
            if (s == session || (s->sessid == session->sessid)) {
                pending = entry.second;
                key = entry.first;
                break;
            }
        }
        if (!pending)
            return 1;
        SnmpClientResult result;
        if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu) {
            result.status = SnmpClientStatus::Ok;
            result.errorStatus = pdu->errstat;
            result.errorIndex = pdu->errindex;
            for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable) {
                SnmpVarbind vb;
                vb.oid = FromNetSnmpOid(v->name, v->name_length);
                vb.value = FromNetSnmpValue(v);
                result.varbinds.push_back(std::move(vb));
            }
        } else if (operation == NETSNMP_CALLBACK_OP_TIMED_OUT) {
            result.status = SnmpClientStatus::Timeout;
            result.error = "timed out";
        } else {
            result.status = SnmpClientStatus::Failed;
            result.error = "request failed (operation " + std::to_string(operation) + ")";
        }
        pending->Finish(std::move(result));
        self->m_closeLater.push_back(key);
    } catch (...) {
        AppLog::Instance()->Printf(kLogError, "SnmpThread: client callback failed");
    }
    return 1;
}

void SnmpThread::Shutdown()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepting.store(false);
        dropped.swap(m_queue);
    }
    dropped.clear();
    SnmpClientResult stopped;
    stopped.status = SnmpClientStatus::Stopped;
    stopped.error = "SNMP thread stopped";
    // Closing a session with a request outstanding calls ClientCallback, which walks m_running: the
    // list is emptied first, so the walk never meets a session closed a moment before.
    std::map<void*, std::shared_ptr<PendingRequest>> running;
    running.swap(m_running);
    m_closeLater.clear();
    for (auto& entry : running) {
        entry.second->Finish(stopped);
        snmp_close(static_cast<netsnmp_session*>(entry.first));
    }
    for (auto& entry : m_trapSessions)
        snmp_close(static_cast<netsnmp_session*>(entry.second));
    m_trapSessions.clear();
}
