#include "engine/agent/MervaneTrapSender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "engine/base/Helpers.h"
#include "engine/base/SteadyClock.h"

const SnmpOid kEngineMacOid = {1, 3, 6, 1, 4, 1, 64950, 10, 1, 2, 6, 0};
const SnmpOid kEngineEnterpriseOid = {1, 3, 6, 1, 4, 1, 64950};

namespace {

constexpr int64_t kResolvedLifetimeMs = 30000;
constexpr int64_t kUnresolvedLifetimeMs = 5000;

std::string Dotted(const std::vector<uint32_t>& oid)
{
    std::string text;
    for (size_t i = 0; i < oid.size(); ++i) {
        if (i)
            text += '.';
        text += std::to_string(oid[i]);
    }
    return text;
}

std::string Hex(const unsigned char* bytes, size_t count)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        if (i)
            text += ' ';
        text += pair;
    }
    return text;
}

// The value's bytes as the record holds them: the 32-bit number (little-endian) for 2 and 64, the
// octets for 4, the sub-identifiers (each little-endian) for 6.
std::string ValueBytes(const TrapVarbind& vb)
{
    std::string bytes;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    switch (vb.syntax) {
    case kTrapSyntaxInteger:
    case kTrapSyntaxIpAddress:
        put32(static_cast<uint32_t>(vb.integer));
        break;
    case kTrapSyntaxOctetString:
        bytes = vb.octets;
        break;
    case kTrapSyntaxObjectId:
        for (uint32_t sub : vb.objectId)
            put32(sub);
        break;
    default:
        break;
    }
    return bytes;
}

// The value length the record states: 4 for a number, the octet count, the sub-identifier count.
size_t ValueLength(const TrapVarbind& vb)
{
    switch (vb.syntax) {
    case kTrapSyntaxInteger:
    case kTrapSyntaxIpAddress:
        return 4;
    case kTrapSyntaxOctetString:
        return vb.octets.size();
    case kTrapSyntaxObjectId:
        return vb.objectId.size();
    default:
        return 0;
    }
}

SnmpValue VarbindValue(const TrapVarbind& vb)
{
    switch (vb.syntax) {
    case kTrapSyntaxInteger:
    case kTrapSyntaxIpAddress:
        return SnmpValue::Integer(vb.hasValue ? vb.integer : 0);
    case kTrapSyntaxOctetString:
        return SnmpValue::Octets(vb.hasValue ? vb.octets : std::string());
    case kTrapSyntaxObjectId:
        return SnmpValue::ObjectId(vb.hasValue ? vb.objectId : SnmpOid());
    default: {
        // Any other syntax travels with an empty value: as itself where it can be encoded so, as NULL
        // otherwise.
        SnmpValue value;
        switch (vb.syntax) {
        case kSnmpCounter32:
        case kSnmpGauge32:
        case kSnmpTimeTicks:
        case kSnmpOpaque:
        case kSnmpCounter64:
            value.type = static_cast<unsigned char>(vb.syntax);
            break;
        default:
            value.type = kSnmpNull;
            break;
        }
        return value;
    }
    }
}

} // namespace

AppLogRecord TrapDebugRecord(const TrapData& record)
{
    AppLogRecord out;
    out.SetTitle("Sending Trap to " + record.peername + ":" + std::to_string(record.port) +
                 "; community=" + record.community + ", engine=" + record.engine +
                 ", version=" + std::to_string(record.version) + ", agent=" + record.agent +
                 ", type=" + std::to_string(record.type) + ", specific=" + std::to_string(record.specific) +
                 ", varbind count=" + std::to_string(record.varbinds.size()));
    if (!record.trapOid.empty())
        out.AddLine("Trap OID length=" + std::to_string(record.trapOid.size()) + "; OID=" + Dotted(record.trapOid));
    for (size_t i = 0; i < record.varbinds.size(); ++i) {
        const TrapVarbind& vb = record.varbinds[i];
        std::string line = "[VB#" + std::to_string(i) + ": OID Length=" + std::to_string(vb.oid.size()) +
                           ", OID=" + Dotted(vb.oid) + ", type=" + std::to_string(vb.syntax);
        const size_t length = ValueLength(vb);
        if (vb.hasValue && length != 0) {
            const std::string bytes = ValueBytes(vb);
            line += ", length=" + std::to_string(length) + ", value=";
            if (vb.syntax == kTrapSyntaxOctetString && bytes[0] != '\0')
                line += bytes;
            else
                line += Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        }
        line += "]";
        out.AddLine(line);
    }
    return out;
}

std::string TrapRecordFault(const TrapData& record)
{
    if (record.varbinds.size() > TrapData::kMaxVarbinds)
        return "more than " + std::to_string(TrapData::kMaxVarbinds) + " varbinds (" +
               std::to_string(record.varbinds.size()) + ")";
    if (record.trapOid.empty())
        return "no trap OID";
    if (record.version == 3)
        return "SNMPv3 trap targets are not supported";
    return std::string();
}

SnmpTrap BuildSnmpTrap(const TrapData& record, const std::string& address, const std::string& engineMac,
                       uint32_t agentAddress)
{
    SnmpTrap trap;
    trap.agentAddress = agentAddress;
    trap.version = record.version == 1 ? 1 : 0;
    trap.peer = address;
    trap.port = static_cast<uint16_t>(record.port & 0xFFFF);
    trap.community = record.community;

    SnmpOid notification = record.trapOid;
    if (notification.size() > 1 && notification.back() == 0)
        notification.pop_back();
    trap.enterprise = kEngineEnterpriseOid;
    trap.generic = 6;
    trap.specific = notification.empty() ? 0 : static_cast<int>(notification.back());
    trap.trapOid = notification;

    trap.varbinds.reserve(record.varbinds.size() + 1);
    for (const TrapVarbind& vb : record.varbinds)
        trap.varbinds.push_back({vb.oid, VarbindValue(vb)});
    trap.varbinds.push_back({kEngineMacOid, SnmpValue::Octets(engineMac)});
    return trap;
}

mervane_trap_sender::mervane_trap_sender(PostTrap post, EngineMac mac, Resolver resolver, AgentAddress agent)
    : m_post(std::move(post)), m_mac(std::move(mac)), m_resolver(resolver ? std::move(resolver) : Resolver(ResolveHost)),
      m_agentAddress(std::move(agent))
{
}

mervane_trap_sender::~mervane_trap_sender() = default;

bool mervane_trap_sender::ResolveHost(const std::string& name, uint32_t& address)
{
    if (name.empty())
        return false;
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result)
        return false;
    bool found = false;
    for (struct addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr) {
            const auto* sin = reinterpret_cast<const struct sockaddr_in*>(ai->ai_addr);
            const auto* b = reinterpret_cast<const unsigned char*>(&sin->sin_addr);
            address = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                      static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
            found = true;
            break;
        }
    }
    freeaddrinfo(result);
    return found;
}

bool mervane_trap_sender::Resolve(const std::string& name, uint32_t& address)
{
    if (ParseIpv4(name.c_str(), address))
        return true;
    const int64_t now = SteadyMs();
    {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        auto it = m_cache.find(name);
        if (it != m_cache.end() && it->second.expiresMs > now) {
            address = it->second.address;
            return it->second.resolved;
        }
    }
    Cached entry;
    entry.resolved = m_resolver(name, entry.address);
    entry.expiresMs = now + (entry.resolved ? kResolvedLifetimeMs : kUnresolvedLifetimeMs);
    std::lock_guard<std::mutex> lock(m_cacheMutex);
    if (m_cache.size() > 64)
        m_cache.clear();
    m_cache[name] = entry;
    address = entry.address;
    return entry.resolved;
}

int mervane_trap_sender::sendtrap(TrapData& record, Mutex* lock)
{
    const std::string fault = TrapRecordFault(record);
    if (!fault.empty()) {
        AppLog::Instance()->Printf(kLogError, "mervane_trap_sender::sendtrap(): trap refused: %s [pData->peername = %s]",
                                   fault.c_str(), record.peername.c_str());
        return kTrapRefused;
    }
    if (record.peername == "0.0.0.0")
        return kTrapHanded;

    // The look-ups happen here, before the lock.
    uint32_t address = 0;
    bool valid = false;
    if (record.peername == "127.0.0.1") {
        record.peername = record.agent;
        valid = Resolve(record.peername, address);
        if (!valid) {
            ParseIpv4("127.0.0.1", address);
            valid = true;
        }
    } else {
        valid = Resolve(record.peername, address);
    }
    record.port &= 0xFFFF;
    if (!valid || address == 0 || record.port == 0) {
        AppLog::Instance()->Printf(kLogError, "mervane_trap_sender::sendtrap(): address not valid [pData->peername = %s]",
                                   record.peername.c_str());
        return kTrapBadAddress;
    }

    SnmpTrap trap = BuildSnmpTrap(record, IpAddressToString(address), m_mac ? m_mac() : "00.00.00.00.00.00",
                                  m_agentAddress ? m_agentAddress() : 0);
    bool queued;
    {
        std::optional<MutexLock> held;
        if (lock && !held.emplace(*lock).Locked())
            return kTrapRefused;
        queued = m_post && m_post(std::move(trap));
    }
    AppLog::Instance()->Printf(kLogDebug, "mervane_trap_sender::sendtrap(): sending trap status = %d", queued ? 0 : 1);
    return kTrapHanded;
}
