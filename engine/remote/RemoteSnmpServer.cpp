#include "engine/remote/RemoteSnmpServer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "engine/remote/RemoteSnmpClient.h"

namespace {

std::atomic<uint32_t> g_requestId{0};

int PduTypeNumber(SnmpCommand command)
{
    switch (command) {
    case SnmpCommand::Get: return 0xA0;
    case SnmpCommand::GetNext: return 0xA1;
    case SnmpCommand::Set: return 0xA3;
    }
    return 0;
}

void AppendVarbinds(std::string& line, const std::vector<SnmpVarbind>& varbinds)
{
    line += "; varbind count=" + std::to_string(varbinds.size());
    for (size_t i = 0; i < varbinds.size(); ++i) {
        line += "; [VarBind #" + std::to_string(i) + "]";
        if (varbinds[i].oid.empty())
            line += "Invalid VarBind!";
        else
            line += "OID=" + OidToString(varbinds[i].oid) + "; Value=" + varbinds[i].value.ToText();
    }
}

bool IsUnsignedType(unsigned char type)
{
    return type == kSnmpCounter32 || type == kSnmpGauge32 || type == kSnmpTimeTicks;
}

} // namespace

RemoteSnmpServer::RemoteSnmpServer(IRemoteSnmpClient* client) : m_client(client), m_cancel(std::make_shared<SnmpRequestCancel>())
{
}

RemoteSnmpServer::~RemoteSnmpServer() = default;

bool RemoteSnmpServer::Initialize(const std::string& host, const std::string& community, uint16_t port,
                                  uint32_t versionCode, const RemoteSessionSettings& settings)
{
    return Open(host, community, port, versionCode, settings.retries, settings.timeoutSeconds, settings.localAddress);
}

bool RemoteSnmpServer::InitializeForScan(const std::string& host, const std::string& community, uint16_t port,
                                         uint32_t versionCode, const std::string& localAddress)
{
    return Open(host, community, port, versionCode, 1, 1, localAddress);
}

bool RemoteSnmpServer::InitializeForScan(const std::string& host, const std::string& community, uint16_t port,
                                         uint32_t versionCode, uint32_t retries, int timeoutMs,
                                         const std::string& localAddress)
{
    return Open(host, community, port, versionCode, retries, 1, localAddress, timeoutMs);
}

bool RemoteSnmpServer::Open(const std::string& host, const std::string& community, uint16_t port, uint32_t versionCode,
                            uint32_t retries, uint32_t timeoutSeconds, const std::string& localAddress,
                            int timeoutMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    uint32_t address = 0;
    if (!m_client || host.size() > kMaxHostLength || community.size() > kMaxCommunityLength || port == 0 ||
        !ParseIpv4(host.c_str(), address))
        return false;
    if (versionCode != 0 && versionCode != 1 && versionCode != 2)
        return false;
    uint32_t local = 0;
    if (!localAddress.empty() && !ParseIpv4(localAddress.c_str(), local))
        return false;
    m_host = host;
    m_community = community;
    m_port = port;
    m_version = versionCode == 1 ? 0 : 1;
    m_retries = static_cast<int>(retries > kMaxRetries ? kMaxRetries : retries);
    if (timeoutSeconds == 0)
        timeoutSeconds = 1;
    if (timeoutSeconds > kMaxTimeoutSeconds)
        timeoutSeconds = kMaxTimeoutSeconds;
    m_timeoutMs = static_cast<int>(timeoutSeconds) * 1000;
    if (timeoutMs > 0)
        m_timeoutMs = timeoutMs < static_cast<int>(kMaxTimeoutSeconds) * 1000 ? timeoutMs
                                                                             : static_cast<int>(kMaxTimeoutSeconds) * 1000;
    m_localAddress = localAddress;
    {
        std::lock_guard<std::mutex> cancelLock(m_cancelMutex);
        m_cancel = std::make_shared<SnmpRequestCancel>();
    }
    m_open = true;
    return true;
}

void RemoteSnmpServer::Close()
{
    Cancel();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
}

bool RemoteSnmpServer::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

void RemoteSnmpServer::Cancel()
{
    std::shared_ptr<SnmpRequestCancel> cancel;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        cancel = m_cancel;
    }
    if (cancel)
        cancel->Cancel();
}

uint16_t RemoteSnmpServer::GetPort() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_port;
}

int RemoteSnmpServer::GetTimeoutMs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timeoutMs;
}

int RemoteSnmpServer::GetRetries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_retries;
}

SnmpOid RemoteSnmpServer::BuildOid(const uint32_t* base, size_t count, uint32_t index1, uint32_t index2,
                                   uint32_t index3)
{
    SnmpOid oid;
    if (base)
        oid.assign(base, base + count);
    for (uint32_t index : {index1, index2, index3})
        if (index != 0)
            oid.push_back(index);
    return oid;
}

bool RemoteSnmpServer::Perform(SnmpCommand command, const SnmpOid& oid, const SnmpValue& value, const char* tag,
                               SnmpVarbind& answer, bool* answered)
{
    if (answered)
        *answered = false;
    if (oid.empty() || oid.size() > 128)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open)
        return false;
    std::shared_ptr<SnmpRequestCancel> cancel;
    {
        std::lock_guard<std::mutex> cancelLock(m_cancelMutex);
        cancel = m_cancel;
    }
    SnmpClientRequest request;
    request.command = command;
    request.version = m_version;
    request.peer = m_host;
    request.port = m_port;
    request.community = m_community;
    request.localAddress = m_localAddress;
    request.timeoutMs = m_timeoutMs;
    request.retries = m_retries;
    request.varbinds.push_back(SnmpVarbind{oid, value});

    const uint32_t id = ++g_requestId;
    AppLog* log = AppLog::Instance();
    const bool trace = log->IsEnabled(kLogDebug);
    if (trace) {
        std::string line = std::string("Sending ") + tag + " query to " + m_host + ":" + std::to_string(m_port) +
                           "; community=<hidden>; request id=" + std::to_string(id) +
                           "; request type=" + std::to_string(PduTypeNumber(command));
        AppendVarbinds(line, request.varbinds);
        log->Write(kLogDebug, line);
    }
    SnmpClientResult result = m_client->Request(request, cancel.get());
    if (result.status != SnmpClientStatus::Ok)
        return false;
    if (answered)
        *answered = true;
    if (trace) {
        std::string line = std::string("Received ") + tag + " response from " + m_host +
                           "; community=<hidden>; request id=" + std::to_string(id) + "; request type=162";
        AppendVarbinds(line, result.varbinds);
        log->Write(kLogDebug, line);
    }
    if (result.errorStatus != 0 || result.varbinds.empty())
        return false;
    const SnmpVarbind& first = result.varbinds[0];
    const unsigned char type = first.value.type;
    if (type == kSnmpNoSuchObject || type == kSnmpNoSuchInstance || type == kSnmpEndOfMibView || type == kSnmpNull)
        return false;
    if (command != SnmpCommand::GetNext && first.oid != oid)
        return false;
    answer = first;
    return true;
}

bool RemoteSnmpServer::GetInt(int32_t& out, const uint32_t* base, size_t count, uint32_t index1, uint32_t index2)
{
    SnmpVarbind vb;
    if (!Perform(SnmpCommand::Get, BuildOid(base, count, index1, index2, 0), SnmpValue(), "GET_INT_VALUE", vb) ||
        vb.value.type != kSnmpInteger)
        return false;
    out = static_cast<int32_t>(vb.value.integer);
    return true;
}

bool RemoteSnmpServer::GetUInt(uint32_t& out, const uint32_t* base, size_t count, uint32_t index1, uint32_t index2)
{
    SnmpVarbind vb;
    if (!Perform(SnmpCommand::Get, BuildOid(base, count, index1, index2, 0), SnmpValue(), "GET_INT_VALUE", vb) ||
        !IsUnsignedType(vb.value.type))
        return false;
    out = static_cast<uint32_t>(vb.value.integer);
    return true;
}

bool RemoteSnmpServer::GetIpAddress(uint32_t& out, const uint32_t* base, size_t count, uint32_t index1,
                                    uint32_t index2)
{
    SnmpVarbind vb;
    if (!Perform(SnmpCommand::Get, BuildOid(base, count, index1, index2, 0), SnmpValue(), "GET_IP_VALUE", vb) ||
        vb.value.type != kSnmpIpAddress)
        return false;
    out = static_cast<uint32_t>(vb.value.integer);
    return true;
}

bool RemoteSnmpServer::GetOidText(char* out, uint32_t& length, const uint32_t* base, size_t count, uint32_t index1,
                                  uint32_t index2, uint32_t index3)
{
    SnmpVarbind vb;
    if (!out || length == 0 ||
        !Perform(SnmpCommand::Get, BuildOid(base, count, index1, index2, index3), SnmpValue(), "GET_IP_VALUE", vb) ||
        vb.value.type != kSnmpObjectId)
        return false;
    std::string text = OidToString(vb.value.oid);
    if (text.size() >= length)
        return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    length = static_cast<uint32_t>(text.size());
    return true;
}

namespace {

bool CopyOctets(const SnmpVarbind& vb, char* out, uint32_t& length)
{
    if (vb.value.type != kSnmpOctetString)
        return false;
    size_t n = vb.value.bytes.size();
    if (n > length - 1)
        n = length - 1;
    std::memcpy(out, vb.value.bytes.data(), n);
    out[n] = '\0';
    length = static_cast<uint32_t>(n);
    return true;
}

} // namespace

bool RemoteSnmpServer::GetString(char* out, uint32_t& length, const uint32_t* base, size_t count, uint32_t index1,
                                 uint32_t index2, uint32_t index3)
{
    SnmpVarbind vb;
    return out && length > 0 &&
           Perform(SnmpCommand::Get, BuildOid(base, count, index1, index2, index3), SnmpValue(), "GET_STR_VALUE",
                   vb) &&
           CopyOctets(vb, out, length);
}

bool RemoteSnmpServer::GetNextOid(uint32_t* out, uint32_t& count, const uint32_t* base, size_t baseCount)
{
    SnmpVarbind vb;
    if (!out || !Perform(SnmpCommand::GetNext, BuildOid(base, baseCount, 0, 0, 0), SnmpValue(), "GET_NEXT_OID", vb))
        return false;
    if (vb.oid.empty() || vb.oid.size() >= count)
        return false;
    std::memcpy(out, vb.oid.data(), vb.oid.size() * sizeof(uint32_t));
    count = static_cast<uint32_t>(vb.oid.size());
    return true;
}

bool RemoteSnmpServer::SetInt(int32_t value, const uint32_t* base, size_t count, uint32_t index1, uint32_t index2)
{
    SnmpVarbind vb;
    return Perform(SnmpCommand::Set, BuildOid(base, count, index1, index2, 0), SnmpValue::Integer(value),
                   "SET_INT_VALUE", vb);
}

bool RemoteSnmpServer::SetIpAddress(uint32_t address, const uint32_t* base, size_t count, uint32_t index1,
                                    uint32_t index2)
{
    SnmpVarbind vb;
    return Perform(SnmpCommand::Set, BuildOid(base, count, index1, index2, 0), SnmpValue::IpAddress(address),
                   "SET_IP_VALUE", vb);
}

bool RemoteSnmpServer::SetString(const std::string& text, const uint32_t* base, size_t count, uint32_t index1,
                                 uint32_t index2)
{
    SnmpVarbind vb;
    return Perform(SnmpCommand::Set, BuildOid(base, count, index1, index2, 0), SnmpValue::Octets(text),
                   "SET_STR_VALUE", vb);
}

bool RemoteSnmpServer::SetStringByOid(const std::string& text, const char* oidText)
{
    SnmpOid oid;
    SnmpVarbind vb;
    return oidText && ParseOid(oidText, oid) &&
           Perform(SnmpCommand::Set, oid, SnmpValue::Octets(text), "SET_STR_VALUE", vb);
}

bool RemoteSnmpServer::Get(const SnmpOid& oid, SnmpValue& out, bool* answered)
{
    SnmpVarbind vb;
    if (!Perform(SnmpCommand::Get, oid, SnmpValue(), "GET_VALUE", vb, answered))
        return false;
    out = vb.value;
    return true;
}

bool RemoteSnmpServer::GetNext(const SnmpOid& oid, SnmpVarbind& out, bool* answered)
{
    SnmpVarbind vb;
    if (!Perform(SnmpCommand::GetNext, oid, SnmpValue(), "GET_NEXT_OID", vb, answered) || vb.oid.empty())
        return false;
    out = vb;
    return true;
}

bool RemoteSnmpServer::IsCancelled() const
{
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    return m_cancel && m_cancel->IsCancelled();
}
