#pragma once
// RemoteSnmpServer: the engine's manager side towards one remote agent. It holds the agent's address,
// port and community and performs single-varbind GET, GET-NEXT and SET requests through the SNMP
// thread (IRemoteSnmpClient), each returning a plain value or a success flag.
//
// OIDs are passed as a base (sub-identifiers and their count) plus up to two (texts: three) indexes;
// each index that is not 0 is appended in order, so index 0 adds nothing.
//
// Every operation answers true only when the request was answered without error, varbind 0 names the
// OID asked for (GET and SET) and holds a value of the kind asked; otherwise false and the output is
// left as it was. A timed-out request blocks its caller for (retries + 1) x time-out.
//
// Logging: each request and its response at level 7, built only when that level is enabled; the
// community is never written to the log (it is the agent's password).
//
// Threads and locks: the session has one mutex, held for the whole of each request and by Initialize
// and Close, so the worker that polls the agent and a device reading its event list take turns on it.
// Cancel is safe from any thread without that mutex: it ends a running request at once and makes every
// later request fail until the next Initialize (a worker being stopped). Lock order: the session mutex
// is a leaf (nothing is locked while it is held but the log hub).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/snmp/SnmpThread.h"
#include "engine/snmp/SnmpTypes.h"

class IRemoteSnmpClient;

// The engine settings a session is made with.
struct RemoteSessionSettings {
    // RemoteSnmpRetries (settings word 44).
    uint32_t retries = 1;
    // RemoteSnmpTimeout (settings word 45) in seconds; 0 is taken as 1.
    uint32_t timeoutSeconds = 15;
    // The configured engine address to send from; empty: any.
    std::string localAddress;
};

class RemoteSnmpServer {
public:
    static constexpr size_t kMaxHostLength = 255;
    static constexpr size_t kMaxCommunityLength = 63;
    // Bounds on what the settings may ask for (a damaged settings record must not stall a worker for
    // hours).
    static constexpr uint32_t kMaxRetries = 10;
    static constexpr uint32_t kMaxTimeoutSeconds = 300;

    explicit RemoteSnmpServer(IRemoteSnmpClient* client);
    virtual ~RemoteSnmpServer();
    RemoteSnmpServer(const RemoteSnmpServer&) = delete;
    RemoteSnmpServer& operator=(const RemoteSnmpServer&) = delete;

    // Version code 0 or 2: SNMPv2c; 1: SNMPv1; others fail. The host must be a dotted IPv4 address
    // (at most 255 characters), the community at most 63 characters and the port not 0. On failure
    // nothing is kept.
    bool Initialize(const std::string& host, const std::string& community, uint16_t port, uint32_t versionCode,
                    const RemoteSessionSettings& settings);
    // The same with 1 retry and a 1-second time-out (discovery and short probes).
    bool InitializeForScan(const std::string& host, const std::string& community, uint16_t port,
                           uint32_t versionCode, const std::string& localAddress = std::string());
    // A scan session with its own attempts: retries after the first (at most kMaxRetries) and the wait
    // of each in milliseconds (1 to kMaxTimeoutSeconds x 1000).
    bool InitializeForScan(const std::string& host, const std::string& community, uint16_t port,
                           uint32_t versionCode, uint32_t retries, int timeoutMs, const std::string& localAddress);
    void Close();
    bool IsOpen() const;
    // Ends a running request and fails every later one until the next Initialize. Any thread.
    void Cancel();

    bool GetInt(int32_t& out, const uint32_t* base, size_t count, uint32_t index1 = 0, uint32_t index2 = 0);
    bool GetUInt(uint32_t& out, const uint32_t* base, size_t count, uint32_t index1 = 0, uint32_t index2 = 0);
    bool GetIpAddress(uint32_t& out, const uint32_t* base, size_t count, uint32_t index1 = 0, uint32_t index2 = 0);
    // An OBJECT IDENTIFIER value as dotted text of at most length - 1 characters and a NUL; length :=
    // its characters. A longer text fails.
    bool GetOidText(char* out, uint32_t& length, const uint32_t* base, size_t count, uint32_t index1 = 0,
                    uint32_t index2 = 0, uint32_t index3 = 0);
    // The octets, at most length - 1 of them, and a NUL; length := the number copied.
    bool GetString(char* out, uint32_t& length, const uint32_t* base, size_t count, uint32_t index1 = 0,
                   uint32_t index2 = 0, uint32_t index3 = 0);
    // GET-NEXT from base: the next OID when its sub-identifiers are fewer than count (the capacity);
    // count := its length.
    bool GetNextOid(uint32_t* out, uint32_t& count, const uint32_t* base, size_t baseCount);
    bool SetInt(int32_t value, const uint32_t* base, size_t count, uint32_t index1 = 0, uint32_t index2 = 0);
    // The address with its lowest byte as the first octet.
    bool SetIpAddress(uint32_t address, const uint32_t* base, size_t count, uint32_t index1 = 0,
                      uint32_t index2 = 0);
    bool SetString(const std::string& text, const uint32_t* base, size_t count, uint32_t index1 = 0,
                   uint32_t index2 = 0);
    bool SetStringByOid(const std::string& text, const char* oidText);

    // Any value: GET of one OID; GET-NEXT answers the next OID with its value. answered, when given,
    // tells whether the agent answered at all (an error answer or an exception value is an answer),
    // so a walk can tell the end of a table from an agent that stopped answering.
    bool Get(const SnmpOid& oid, SnmpValue& out, bool* answered = nullptr);
    bool GetNext(const SnmpOid& oid, SnmpVarbind& out, bool* answered = nullptr);
    bool IsCancelled() const;

    uint16_t GetPort() const;
    // The wait of one request attempt and the attempts' count after the first, as configured.
    int GetTimeoutMs() const;
    int GetRetries() const;

    // base + the non-zero indexes.
    static SnmpOid BuildOid(const uint32_t* base, size_t count, uint32_t index1, uint32_t index2, uint32_t index3);

private:
    bool Open(const std::string& host, const std::string& community, uint16_t port, uint32_t versionCode,
              uint32_t retries, uint32_t timeoutSeconds, const std::string& localAddress, int timeoutMs = 0);
    // One request under the session mutex; true with the answer's varbind 0 when it came back without
    // error (and, unless getNext, for the OID asked).
    bool Perform(SnmpCommand command, const SnmpOid& oid, const SnmpValue& value, const char* tag, SnmpVarbind& answer,
                 bool* answered = nullptr);

    IRemoteSnmpClient* m_client;
    mutable std::mutex m_mutex;
    bool m_open = false;
    std::string m_host;
    std::string m_community;
    uint16_t m_port = 0;
    int m_version = 1;  // request version: 0 SNMPv1, 1 SNMPv2c
    int m_retries = 1;
    int m_timeoutMs = 15000;
    std::string m_localAddress;
    // Replaced by Initialize; Cancel reaches the current one without the session mutex.
    std::shared_ptr<SnmpRequestCancel> m_cancel;
    mutable std::mutex m_cancelMutex;
};
