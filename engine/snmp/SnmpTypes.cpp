#include "engine/snmp/SnmpTypes.h"

#include <cstdio>

#include "engine/base/Helpers.h"

bool ParseOid(const char* text, SnmpOid& out)
{
    out.clear();
    if (!text)
        return false;
    const char* p = text;
    if (*p == '.')
        ++p;
    if (!*p)
        return false;
    while (*p) {
        if (*p < '0' || *p > '9')
            return false;
        uint64_t value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint64_t>(*p - '0');
            if (value > 0xFFFFFFFFull)
                return false;
            ++p;
        }
        if (out.size() >= 128)
            return false;
        out.push_back(static_cast<uint32_t>(value));
        if (*p == '.') {
            ++p;
            if (!*p)
                return false;
        } else if (*p) {
            return false;
        }
    }
    return true;
}

std::string OidToString(const SnmpOid& oid)
{
    std::string out;
    for (size_t i = 0; i < oid.size(); ++i) {
        if (i)
            out += '.';
        out += std::to_string(oid[i]);
    }
    return out;
}

SnmpOid MakeOid(const char* text)
{
    SnmpOid oid;
    if (!ParseOid(text, oid))
        oid.clear();
    return oid;
}

std::string SnmpValue::ToText() const
{
    switch (type) {
    case kSnmpInteger:
    case kSnmpCounter32:
    case kSnmpGauge32:
    case kSnmpTimeTicks:
    case kSnmpCounter64:
        return std::to_string(integer);
    case kSnmpOctetString:
    case kSnmpOpaque:
        return bytes;
    case kSnmpObjectId:
        return OidToString(oid);
    case kSnmpIpAddress: {
        return IpAddressToString(static_cast<uint32_t>(integer));
    }
    default:
        return std::string();
    }
}
