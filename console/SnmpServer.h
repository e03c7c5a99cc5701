#pragma once
// SnmpServer: one manager session to an engine, reading and writing single values of its MIB.
//
// An object is addressed by a base OID (a scalar with its ".0", or a table column) and up to three row
// indexes appended in order. A zero index ends the index list: any non-zero index after it makes the
// request fail, so a missing row never silently addresses another object. Base and indexes together hold
// at most kMaxOidLength sub-identifiers.
//
// Every request is synchronous (up to about 8 s against an engine that does not answer: 3 retries of 2 s).
// Failures come back only as a false result.
//
// Threads: any thread but the GUI thread and the SNMP thread. One lock per session serialises every
// request and Open/Close, so two threads may share a session.

#include <cstdint>
#include <mutex>
#include <string>

#include "console/EngineTransport.h"
#include "engine/snmp/SnmpTypes.h"

class SnmpServer {
public:
    static constexpr size_t kMaxOidLength = 64;
    static constexpr int kTimeoutMs = 2000;
    static constexpr int kRetries = 3;
    static constexpr size_t kMaxAddress = 255;
    static constexpr size_t kMaxCommunity = 63;

    explicit SnmpServer(IEngineTransport& transport) : m_transport(transport) {}
    virtual ~SnmpServer() = default;
    SnmpServer(const SnmpServer&) = delete;
    SnmpServer& operator=(const SnmpServer&) = delete;

    // address: dotted IPv4; version 0 or 2 SNMPv2c, 1 SNMPv1. False (and closed) on any other input.
    bool Open(const std::string& address, const std::string& community, int port, int version);
    void Close();
    bool IsOpen() const;
    std::string Address() const;
    std::string Community() const;
    int Port() const;

    bool GetInt(int32_t& out, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0, uint32_t i3 = 0);
    // Counter32, Gauge32, TimeTicks.
    bool GetUnsigned(uint32_t& out, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0, uint32_t i3 = 0);
    // IpAddress, first octet in the lowest byte.
    bool GetIpAddress(uint32_t& out, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0);
    // OCTET STRING: at most maxLength bytes of it.
    bool GetString(std::string& out, size_t maxLength, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0,
                   uint32_t i3 = 0);
    // OBJECT IDENTIFIER value; fails when its length is not below capacity.
    bool GetOid(SnmpOid& out, size_t capacity, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0,
                uint32_t i3 = 0);
    // The OID that follows start (GET-NEXT); fails when its length is not below capacity.
    bool GetNextOid(SnmpOid& out, size_t capacity, const SnmpOid& start);

    // Whether the engine answers a GET of the object at all, an error status included: an engine drops a
    // request with a community it does not accept, so any answer proves the community.
    bool Answers(const SnmpOid& base);
    // Whether the engine answered the last request of this session (an error status included); false
    // before the first request and while closed.
    bool LastAnswered() const;
    // The last request was answered, or else a GET of probe is: false means the engine is not answering
    // (one lost request is not taken for a dead engine).
    bool StillAnswers(const SnmpOid& probe);

    // A write first reads the object; when that read fails nothing is written.
    bool SetInt(int32_t value, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0, uint32_t i3 = 0);
    bool SetString(const std::string& text, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0, uint32_t i3 = 0);

    // Writes without the read first: for creating a table row, whose cells cannot be read before.
    bool WriteInt(int32_t value, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0, uint32_t i3 = 0);
    bool WriteString(const std::string& text, const SnmpOid& base, uint32_t i1 = 0, uint32_t i2 = 0,
                     uint32_t i3 = 0);

    // base + the indexes up to the first zero; false when too long or a non-zero index follows a zero.
    static bool BuildOid(const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3, SnmpOid& out);

private:
    // One exchange under m_mutex; true when the answer came without error and with a varbind.
    bool Exchange(SnmpCommand command, const SnmpOid& oid, const SnmpValue& value, SnmpVarbind& answer,
                  bool* answered = nullptr);
    bool GetValue(const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3, SnmpValue& value);
    bool Set(const SnmpValue& value, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3);

    IEngineTransport& m_transport;
    mutable std::mutex m_mutex;
    bool m_open = false;
    bool m_lastAnswered = false;
    std::string m_address;
    std::string m_community;
    int m_port = 0;
    int m_version = 1;  // SnmpClientRequest's numbering: 0 SNMPv1, 1 SNMPv2c
};
