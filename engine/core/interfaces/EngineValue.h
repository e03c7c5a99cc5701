#pragma once
// A value as it travels between the MIB and the server: (type, value, length). Types are the SNMP tags
// 2 INTEGER, 4 OCTET STRING, 6 OBJECT IDENTIFIER and 64 IpAddress (first octet in the lowest byte).
// An answer owns its bytes, so it stays valid whatever happens to the tables afterwards.
//
// Threads: a plain value.

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kValueInteger = 2;
constexpr int kValueOctetString = 4;
constexpr int kValueObjectId = 6;
constexpr int kValueIpAddress = 64;

struct EngineValue {
    int type = kValueInteger;
    uint32_t integer = 0; // INTEGER and IpAddress
    std::string bytes;    // OCTET STRING

    size_t Length() const { return type == kValueOctetString ? bytes.size() : 4; }
    static EngineValue Integer(uint32_t value, int type = kValueInteger) { return {type, value, {}}; }
    static EngineValue Text(std::string text) { return {kValueOctetString, 0, std::move(text)}; }
};
