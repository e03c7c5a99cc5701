#pragma once
// CSnmpListener: the engine's receiver of its remote agents' traps and informs. One entry per UDP port
// with a use count; each entry owns a notification socket on the engine's SNMP thread (SnmpTrapSession,
// which answers informs itself with the received varbinds). Every error-free notification becomes a
// flat RemoteTrapRecord (BuildRemoteTrapRecord) and goes to the owner's sink, the manager's bounded trap
// queue; a record the queue refuses is freed and counted.
//
// Bounds: a record keeps at most kMaxVarbinds varbinds (the rest are cut and counted), each with its
// fixed-size fields, so one notification never costs more than about 17 KB however large the datagram.
//
// Threads: SetOpener, SetOwner, Subscribe and Unsubscribe belong to the manager's start and stop (one
// thread at a time; they take m_mutex for the counters' readers). The sink runs on the SNMP thread and
// must not block for long (a queue push). The counters may be read from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/remote/RemoteTrapRecord.h"
#include "engine/snmp/SnmpTrapSession.h"

// Opens a notification socket on address:port ("0.0.0.0" for any local address); null on failure with
// the reason in error.
using TrapSessionOpener = std::function<std::unique_ptr<SnmpTrapSession>(
    const std::string& address, uint16_t port, SnmpTrapSession::Handler handler, std::string* error)>;
// Takes a record (true: it owns it now; false: the record stays with the caller).
using TrapSink = std::function<bool(std::unique_ptr<RemoteTrapRecord>& record)>;

// The record of one received notification; null for a notification with a non-zero error status.
// cut (optional) tells how many varbinds were left out beyond kMaxVarbinds.
std::unique_ptr<RemoteTrapRecord> BuildRemoteTrapRecord(const SnmpReceivedNotification& notification,
                                                        size_t* cut = nullptr);

class CSnmpListener {
public:
    static constexpr size_t kMaxVarbinds = 64;
    // The record's reason code for a notification received on the network (a forwarded one has 0).
    static constexpr uint32_t kReasonReceived = 1;

    CSnmpListener();
    virtual ~CSnmpListener();
    CSnmpListener(const CSnmpListener&) = delete;
    CSnmpListener& operator=(const CSnmpListener&) = delete;

    void SetOpener(TrapSessionOpener opener);
    int SetOwner(TrapSink sink);
    bool HasOpener() const { return static_cast<bool>(m_opener); }

    // 1 on success (a port already open only gains a use), 0 when the socket cannot be opened (error,
    // when given, receives why: the address, the port and the system's reason).
    int Subscribe(const std::string& localAddress, uint32_t port, std::string* error = nullptr);
    void Unsubscribe(uint32_t port);
    // The bound UDP port of the entry for port (0 when there is none); the same unless port was 0.
    uint16_t BoundPort(uint32_t port);
    int UseCount(uint32_t port);

    uint64_t GetReceived() const { return m_counters->received.load(); }
    uint64_t GetRefused() const { return m_counters->refused.load(); }
    uint64_t GetVarbindsCut() const { return m_counters->cut.load(); }

    struct Counters {
        std::atomic<uint64_t> received{0};
        std::atomic<uint64_t> refused{0};
        std::atomic<uint64_t> cut{0};
    };

private:
    struct Entry {
        uint32_t port = 0;
        int useCount = 0;
        std::unique_ptr<SnmpTrapSession> session;
    };
    Entry* FindLocked(uint32_t port);

    TrapSessionOpener m_opener;
    TrapSink m_sink;
    std::shared_ptr<Counters> m_counters;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Entry>> m_entries;
};
