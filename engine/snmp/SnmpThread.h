#pragma once
// The SNMP thread: the one thread of the process that calls net-snmp.
//
// net-snmp as Debian builds it has no internal locking, so every net-snmp call (agent requests, traps,
// client requests, AgentX) happens on one thread: the thread that calls Run (in the engine, the request
// loop of RunAgent; the agent set-up in SnmpAgent.h runs on the same thread before it). Other threads
// hand it work through a queue with a wake-up (an eventfd in the select loop):
//   - PostTrap / SendTrap: notifications to send;
//   - Request: a GET, GET-NEXT or SET to a remote agent; the caller waits for the answer, the SNMP
//     thread sends it with snmp_async_send and goes on serving, so a slow remote agent never holds
//     up the agent's answers;
//   - Post / Call: any function to run on the SNMP thread (for instance a community swap).
// The loop is a select over every net-snmp session and the wake-up with a 2-second time-out, checking
// the run flag between rounds. While paused it stops reading the agent's own UDP sockets
// (AddAgentSocket); traps, client requests, AgentX and queued work go on.
//
// Threads: Run, RunOnce, AddAgentSocket and Shutdown belong to the SNMP thread. Every other method is
// safe from any thread. Code on the SNMP thread (MIB handlers, posted functions) must never call
// Request or Call for work that needs the loop to turn: Request answers Failed at once on the loop
// thread, Call runs the function inline.
// Locks: m_mutex guards the queue only; it is never held while net-snmp runs or while a caller waits
// (rank 12 of engine/base/LockOrder.h: it may be taken under the facade mutex and the loop slot).

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/snmp/SnmpTypes.h"

// Lets another thread end the wait of a Request at once (a worker being stopped). The waiter then
// answers Stopped; the SNMP thread finishes the request on its own time and nobody reads the answer.
// Once cancelled, every later Request with this handle answers Stopped without being sent.
// Threads: Cancel from any thread; the handle must outlive the Request calls that use it.
class SnmpRequestCancel {
public:
    void Cancel();
    bool IsCancelled() const;

private:
    friend class SnmpThread;
    mutable std::mutex m_mutex;
    bool m_cancelled = false;
    std::function<void()> m_finish;  // ends the running wait; set while a Request waits
};

class SnmpThread {
public:
    // The loop's wait when nothing is due earlier.
    static constexpr int kReceiveTimeoutMs = 2000;
    // Work queued beyond this is refused (a loop that does not turn must not eat the memory).
    static constexpr size_t kMaxQueuedWork = 10000;

    SnmpThread();
    ~SnmpThread();
    SnmpThread(const SnmpThread&) = delete;
    SnmpThread& operator=(const SnmpThread&) = delete;

    // Makes the calling thread the SNMP thread. Run does it too; the agent set-up calls it first so
    // that Call on that thread runs inline.
    void BindToCurrentThread();

    // The library settings of an embedded user, shared by both set-ups below: no MIB files, no
    // configuration files, no saved state, no host files, no SIGALRM, SIGPIPE ignored. Call on the SNMP
    // thread before the library starts.
    static void ApplyEmbeddedLibrarySettings();
    // The environment the library reads at its start (MIBS empty: no MIB modules). A program calls it
    // in main before any thread starts, since setenv races every other thread's getenv;
    // ApplyEmbeddedLibrarySettings then finds it done and leaves the environment alone.
    static void PrepareProcessEnvironment();

    // For a program without an agent (client requests and traps only): the library settings of an
    // embedded user (no MIB files, no configuration files, no saved state, no SIGALRM, SIGPIPE ignored)
    // and the library's start. Call once, on the thread that will run the loop, before any work.
    // Programs with an agent use SnmpAgent::PrepareLibrary instead.
    void PrepareClientLibrary(const std::string& appName);

    // The request loop: rounds of RunOnce(kReceiveTimeoutMs) while runFlag is set. Returns within one
    // round after the flag clears.
    void Run(const std::atomic<bool>& runFlag);
    // One round: queued work, one select of at most maxWaitMs over every session and the wake-up,
    // reading, time-outs and alarms.
    void RunOnce(int maxWaitMs);
    // Marks a socket as the agent's own: not read while paused.
    void AddAgentSocket(int fd);
    // Stops taking work: queued and running client requests end with Stopped, queued traps and
    // functions are dropped, the trap and client sessions are closed. Call after the loop has ended and
    // before the agent's library shutdown.
    void Shutdown();

    // Any thread. Wakes the loop for a new round (it then sees a cleared run flag at once); only
    // writes to an eventfd, so a signal handler may call it.
    void Wake();
    void SetPaused(bool paused);
    bool IsPaused() const { return m_paused.load(); }
    bool IsLoopThread() const;
    bool IsAcceptingWork() const { return m_accepting.load(); }

    // Queues a trap; false when the thread takes no more work (see Post). The outcome is logged.
    bool PostTrap(SnmpTrap trap);
    // Sends a trap and waits up to waitMs for the SNMP thread to hand it to the network: 0 sent,
    // 1 the destination is not a valid address, 2 the library failed to send, -1 no answer in time or
    // the thread takes no work. Inline on the SNMP thread.
    int SendTrap(const SnmpTrap& trap, int waitMs = 5000);
    // Performs a client request and waits for its end. waitMs -1: the request's own time-out times its
    // attempts plus one second. On the SNMP thread itself the answer is Failed at once.
    // With a cancel handle, Cancel ends the wait at once (Stopped).
    SnmpClientResult Request(const SnmpClientRequest& request, int waitMs = -1,
                             SnmpRequestCancel* cancel = nullptr);
    // Queues a function for the SNMP thread; false when the thread takes no more work or kMaxQueuedWork
    // functions wait already. Exceptions thrown by the function are caught and logged.
    bool Post(std::function<void()> work);
    // Runs a function on the SNMP thread and waits up to waitMs (-1: no limit) for it to end. Inline on
    // the SNMP thread. false when it did not run in time (it may still run later), threw, or the thread
    // takes no more work (a queued function dropped at Shutdown releases its caller at once).
    bool Call(std::function<void()> work, int waitMs = -1);

    struct PendingRequest;
    struct TrapSession;

private:
    void DrainQueue();
    int SendTrapNow(const SnmpTrap& trap);
    void StartRequest(const std::shared_ptr<PendingRequest>& pending);
    void CloseDeferred();
    static int ClientCallback(int operation, struct snmp_session* session, int reqid, struct snmp_pdu* pdu,
                              void* magic);

    int m_wakeFd = -1;
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_accepting{true};
    std::atomic<std::thread::id> m_loopThread{};

    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
    bool m_queueFullLogged = false;

    // SNMP thread only.
    std::set<int> m_agentSockets;
    std::map<std::string, void*> m_trapSessions;  // key -> netsnmp_session*
    std::vector<void*> m_closeLater;               // client sessions whose request ended
    std::map<void*, std::shared_ptr<PendingRequest>> m_running;  // session -> request
};
