#include "engine/snmp/NetSnmpConvert.h"

#include <fcntl.h>

#include <cstring>

bool ToNetSnmpOid(const SnmpOid& in, oid* out, size_t& length)
{
    if (in.size() > MAX_OID_LEN)
        return false;
    for (size_t i = 0; i < in.size(); ++i)
        out[i] = in[i];
    length = in.size();
    return true;
}

SnmpOid FromNetSnmpOid(const oid* in, size_t length)
{
    SnmpOid out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i)
        out.push_back(static_cast<uint32_t>(in[i]));
    return out;
}

namespace {

// A value in the form net-snmp takes it: size bytes at data, which points into buffer or oidBuffer (so
// the object stays where it was encoded while net-snmp copies it).
struct EncodedValue {
    std::string buffer;
    oid oidBuffer[MAX_OID_LEN];
    size_t size = 0;
    const void* data = nullptr;
};

// Encodes a value into a type tag and a byte buffer as snmp_set_var_typed_value expects it.
bool Encode(const SnmpValue& value, EncodedValue& encoded)
{
    std::string& buffer = encoded.buffer;
    oid* oidBuffer = encoded.oidBuffer;
    size_t& size = encoded.size;
    const void*& data = encoded.data;
    switch (value.type) {
    case kSnmpInteger: {
        long v = static_cast<long>(static_cast<int32_t>(value.integer));
        buffer.assign(reinterpret_cast<const char*>(&v), sizeof v);
        break;
    }
    case kSnmpCounter32:
    case kSnmpGauge32:
    case kSnmpTimeTicks: {
        u_long v = static_cast<u_long>(static_cast<uint32_t>(value.integer));
        buffer.assign(reinterpret_cast<const char*>(&v), sizeof v);
        break;
    }
    case kSnmpCounter64: {
        struct counter64 c;
        uint64_t v = static_cast<uint64_t>(value.integer);
        c.high = static_cast<u_long>(v >> 32);
        c.low = static_cast<u_long>(v & 0xFFFFFFFFu);
        buffer.assign(reinterpret_cast<const char*>(&c), sizeof c);
        break;
    }
    case kSnmpIpAddress: {
        uint32_t a = static_cast<uint32_t>(value.integer);
        unsigned char bytes[4] = {static_cast<unsigned char>(a & 0xFF), static_cast<unsigned char>((a >> 8) & 0xFF),
                                  static_cast<unsigned char>((a >> 16) & 0xFF), static_cast<unsigned char>(a >> 24)};
        buffer.assign(reinterpret_cast<const char*>(bytes), 4);
        break;
    }
    case kSnmpOctetString:
    case kSnmpOpaque:
        buffer = value.bytes;
        break;
    case kSnmpObjectId: {
        size_t length = 0;
        if (!ToNetSnmpOid(value.oid, oidBuffer, length))
            return false;
        data = oidBuffer;
        size = length * sizeof(oid);
        return true;
    }
    case kSnmpNull:
    case kSnmpNoSuchObject:
    case kSnmpNoSuchInstance:
    case kSnmpEndOfMibView:
        buffer.clear();
        break;
    default:
        return false;
    }
    data = buffer.data();
    size = buffer.size();
    return true;
}

}  // namespace

bool SetNetSnmpValue(netsnmp_variable_list* var, const SnmpValue& value)
{
    EncodedValue encoded;
    if (!Encode(value, encoded))
        return false;
    return snmp_set_var_typed_value(var, value.type, encoded.data, encoded.size) == 0;
}

SnmpValue FromNetSnmpValue(const netsnmp_variable_list* var)
{
    SnmpValue v;
    v.type = var->type;
    switch (var->type) {
    case ASN_INTEGER:
        if (var->val.integer)
            v.integer = static_cast<int32_t>(*var->val.integer);
        break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        if (var->val.integer)
            v.integer = static_cast<uint32_t>(*var->val.integer);
        break;
    case ASN_COUNTER64:
        if (var->val.counter64)
            v.integer = static_cast<int64_t>((static_cast<uint64_t>(var->val.counter64->high) << 32) |
                                             (var->val.counter64->low & 0xFFFFFFFFu));
        break;
    case ASN_IPADDRESS:
        if (var->val.string && var->val_len >= 4) {
            const unsigned char* b = var->val.string;
            v.integer = static_cast<int64_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                             static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
        }
        break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
        if (var->val.string)
            v.bytes.assign(reinterpret_cast<const char*>(var->val.string), var->val_len);
        break;
    case ASN_OBJECT_ID:
        if (var->val.objid)
            v.oid = FromNetSnmpOid(var->val.objid, var->val_len / sizeof(oid));
        break;
    default:
        break;
    }
    return v;
}

bool AddNetSnmpVarbind(netsnmp_pdu* pdu, const SnmpOid& name, const SnmpValue& value)
{
    oid nameBuffer[MAX_OID_LEN];
    size_t nameLength = 0;
    if (!ToNetSnmpOid(name, nameBuffer, nameLength) || nameLength == 0)
        return false;
    EncodedValue encoded;
    if (!Encode(value, encoded))
        return false;
    return snmp_pdu_add_variable(pdu, nameBuffer, nameLength, value.type, encoded.data, encoded.size) != nullptr;
}

netsnmp_transport* SessionTransport(netsnmp_session* session)
{
    void* handle = session ? snmp_sess_pointer(session) : nullptr;
    return handle ? snmp_sess_transport(handle) : nullptr;
}

void SetSessionCloseOnExec(netsnmp_session* session)
{
    netsnmp_transport* transport = SessionTransport(session);
    if (!transport || transport->sock < 0)
        return;
    const int flags = fcntl(transport->sock, F_GETFD);
    if (flags >= 0)
        fcntl(transport->sock, F_SETFD, flags | FD_CLOEXEC);
}
