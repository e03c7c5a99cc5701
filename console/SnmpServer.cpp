#include "console/SnmpServer.h"

#include <arpa/inet.h>

#include "engine/snmp/SnmpThread.h"

SnmpClientResult SnmpThreadTransport::Request(const SnmpClientRequest& request)
{
    return m_thread.Request(request);
}

namespace {

bool IsDottedIpv4(const std::string& text)
{
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace

bool SnmpServer::Open(const std::string& address, const std::string& community, int port, int version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    m_lastAnswered = false;
    if (address.size() > kMaxAddress || community.size() > kMaxCommunity || !IsDottedIpv4(address) || port <= 0 ||
        port > 65535)
        return false;
    if (version == 0 || version == 2)
        m_version = 1;
    else if (version == 1)
        m_version = 0;
    else
        return false;
    m_address = address;
    m_community = community;
    m_port = port;
    m_open = true;
    return true;
}

void SnmpServer::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    m_lastAnswered = false;
}

bool SnmpServer::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

std::string SnmpServer::Address() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_address;
}

std::string SnmpServer::Community() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_community;
}

int SnmpServer::Port() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_port;
}

bool SnmpServer::BuildOid(const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3, SnmpOid& out)
{
    out = base;
    const uint32_t indexes[3] = {i1, i2, i3};
    bool ended = false;
    for (uint32_t index : indexes) {
        if (index == 0) {
            ended = true;
            continue;
        }
        if (ended)
            return false;
        out.push_back(index);
    }
    return !out.empty() && out.size() <= kMaxOidLength;
}

bool SnmpServer::Exchange(SnmpCommand command, const SnmpOid& oid, const SnmpValue& value, SnmpVarbind& answer,
                          bool* answered)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastAnswered = false;
    if (!m_open)
        return false;
    SnmpClientRequest request;
    request.command = command;
    request.version = m_version;
    request.peer = m_address;
    request.port = static_cast<uint16_t>(m_port);
    request.community = m_community;
    request.timeoutMs = kTimeoutMs;
    request.retries = kRetries;
    request.varbinds.push_back({oid, value});
    SnmpClientResult result = m_transport.Request(request);
    m_lastAnswered = result.status == SnmpClientStatus::Ok;
    if (answered)
        *answered = m_lastAnswered;
    if (result.status != SnmpClientStatus::Ok || result.errorStatus != 0 || result.varbinds.empty())
        return false;
    answer = std::move(result.varbinds.front());
    return true;
}

bool SnmpServer::GetValue(const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3, SnmpValue& value)
{
    SnmpOid oid;
    if (!BuildOid(base, i1, i2, i3, oid))
        return false;
    SnmpVarbind answer;
    if (!Exchange(SnmpCommand::Get, oid, SnmpValue(), answer))
        return false;
    value = std::move(answer.value);
    return true;
}

bool SnmpServer::Answers(const SnmpOid& base)
{
    SnmpVarbind answer;
    bool answered = false;
    if (base.empty() || base.size() > kMaxOidLength)
        return false;
    Exchange(SnmpCommand::Get, base, SnmpValue(), answer, &answered);
    return answered;
}

bool SnmpServer::LastAnswered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastAnswered;
}

bool SnmpServer::StillAnswers(const SnmpOid& probe)
{
    return LastAnswered() || Answers(probe);
}

bool SnmpServer::GetInt(int32_t& out, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    SnmpValue v;
    if (!GetValue(base, i1, i2, i3, v) || v.type != kSnmpInteger)
        return false;
    out = static_cast<int32_t>(v.integer);
    return true;
}

bool SnmpServer::GetUnsigned(uint32_t& out, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    SnmpValue v;
    if (!GetValue(base, i1, i2, i3, v))
        return false;
    if (v.type != kSnmpCounter32 && v.type != kSnmpGauge32 && v.type != kSnmpTimeTicks)
        return false;
    out = static_cast<uint32_t>(v.integer);
    return true;
}

bool SnmpServer::GetIpAddress(uint32_t& out, const SnmpOid& base, uint32_t i1, uint32_t i2)
{
    SnmpValue v;
    if (!GetValue(base, i1, i2, 0, v) || v.type != kSnmpIpAddress)
        return false;
    out = static_cast<uint32_t>(v.integer);
    return true;
}

bool SnmpServer::GetString(std::string& out, size_t maxLength, const SnmpOid& base, uint32_t i1, uint32_t i2,
                           uint32_t i3)
{
    SnmpValue v;
    if (!GetValue(base, i1, i2, i3, v) || v.type != kSnmpOctetString)
        return false;
    out = v.bytes.substr(0, maxLength);
    return true;
}

bool SnmpServer::GetOid(SnmpOid& out, size_t capacity, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    SnmpValue v;
    if (!GetValue(base, i1, i2, i3, v) || v.type != kSnmpObjectId || v.oid.size() >= capacity)
        return false;
    out = std::move(v.oid);
    return true;
}

bool SnmpServer::GetNextOid(SnmpOid& out, size_t capacity, const SnmpOid& start)
{
    if (start.empty() || start.size() > kMaxOidLength)
        return false;
    SnmpVarbind answer;
    if (!Exchange(SnmpCommand::GetNext, start, SnmpValue(), answer))
        return false;
    if (answer.value.type == kSnmpEndOfMibView || answer.oid.size() >= capacity)
        return false;
    out = std::move(answer.oid);
    return true;
}

bool SnmpServer::Set(const SnmpValue& value, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    SnmpValue current;
    SnmpOid oid;
    if (!GetValue(base, i1, i2, i3, current) || !BuildOid(base, i1, i2, i3, oid))
        return false;
    SnmpVarbind answer;
    return Exchange(SnmpCommand::Set, oid, value, answer);
}

bool SnmpServer::SetInt(int32_t value, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    return Set(SnmpValue::Integer(value), base, i1, i2, i3);
}

bool SnmpServer::SetString(const std::string& text, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    return Set(SnmpValue::Octets(text), base, i1, i2, i3);
}

bool SnmpServer::WriteInt(int32_t value, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    SnmpOid oid;
    SnmpVarbind answer;
    return BuildOid(base, i1, i2, i3, oid) && Exchange(SnmpCommand::Set, oid, SnmpValue::Integer(value), answer);
}

bool SnmpServer::WriteString(const std::string& text, const SnmpOid& base, uint32_t i1, uint32_t i2, uint32_t i3)
{
    SnmpOid oid;
    SnmpVarbind answer;
    return BuildOid(base, i1, i2, i3, oid) && Exchange(SnmpCommand::Set, oid, SnmpValue::Octets(text), answer);
}
