#pragma once
// RemoteTrapRecord: one notification received from a remote agent, as the trap listener (or the
// forwarded-trap variable) hands it to the remote-agent manager's trap queue. It is the only form in
// which a received trap travels inside the engine.
//
// Field limits are part of the record: a text that does not fit its field with its NUL is not copied
// (the field stays empty, the record is still delivered); a varbind OID of more than kMaxOid
// sub-identifiers keeps its length and an all-zero array, and readers use at most kMaxOid entries.
//
// Ownership: the builder allocates the record; from a successful CRemoteTrapQueue::Push on the queue
// owns it and frees it after processing. A refused push leaves it with the builder.
// Threads: a plain value; one thread holds it at a time.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct RemoteTrapVarbind {
    static constexpr size_t kMaxOid = 48;
    static constexpr size_t kValueSize = 64;

    uint32_t oid[kMaxOid] = {};
    // The OID's number of sub-identifiers (may exceed kMaxOid; then oid is all zero).
    uint32_t oidLength = 0;
    // The value as plain text (decimal integers, raw strings, dotted OIDs and addresses), NUL-terminated.
    char value[kValueSize] = {};

    // Stores the OID by the rule above.
    void SetOid(const uint32_t* ids, size_t count)
    {
        std::memset(oid, 0, sizeof oid);
        oidLength = static_cast<uint32_t>(count);
        if (ids && count <= kMaxOid)
            std::memcpy(oid, ids, count * sizeof(uint32_t));
    }
    // The sub-identifiers a reader may use.
    size_t UsableOidLength() const { return oidLength <= kMaxOid ? oidLength : 0; }
};

struct RemoteTrapRecord {
    static constexpr size_t kSenderSize = 64;
    static constexpr size_t kCommunitySize = 64;
    static constexpr size_t kTrapOidSize = 128;
    // PDU types.
    static constexpr uint32_t kPduTrap = 6;
    static constexpr uint32_t kPduInform = 0xA6;

    // The listener's reason code (0 for a forwarded trap).
    uint32_t reason = 0;
    // kPduInform for an inform, kPduTrap for a trap or a forwarded trap.
    uint32_t pduType = kPduTrap;
    // Dotted IPv4 text of the sender, without port.
    char sender[kSenderSize] = {};
    char community[kCommunitySize] = {};
    // The notification OID as dotted text without leading dot.
    char trapOid[kTrapOidSize] = {};
    // The last sub-identifier of the notification OID.
    uint32_t specific = 0;
    std::vector<RemoteTrapVarbind> varbinds;

    // Copies text into a field when it fits with its NUL; otherwise the field is left empty. Answers
    // whether it was copied.
    template <size_t N>
    static bool SetText(char (&field)[N], const std::string& text)
    {
        field[0] = '\0';
        if (text.size() >= N || text.find('\0') != std::string::npos)
            return false;
        std::memcpy(field, text.data(), text.size());
        field[text.size()] = '\0';
        return true;
    }
};
