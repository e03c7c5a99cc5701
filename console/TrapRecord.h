#pragma once
// TrapRecord: one notification as the console's trap queue carries it from the listener to the main
// window. Plain data: any thread may build, copy and read one.

#include <cstdint>
#include <string>
#include <vector>

struct SnmpReceivedNotification;

struct TrapVarbindRecord {
    static constexpr size_t kMaxOid = 48;
    static constexpr size_t kMaxValue = 63;
    // The OID when it has at most kMaxOid sub-identifiers, else empty; oidLength is the received length.
    std::vector<uint32_t> oid;
    size_t oidLength = 0;
    // The value as plain text (integers in decimal, strings as their bytes) when at most kMaxValue
    // characters, else empty.
    std::string value;
};

struct TrapRecord {
    static constexpr size_t kMaxSender = 63;
    static constexpr size_t kMaxTrapOid = 127;
    int pduType = 0;
    std::string sender;   // dotted address without the port; empty when too long
    std::string trapOid;  // dotted; empty when too long
    int specific = 0;     // last sub-identifier of the notification OID
    std::vector<TrapVarbindRecord> varbinds;

    static TrapRecord From(const SnmpReceivedNotification& notification);
};
