#include "engine/agent/KeyedScalars.h"

#include <cstring>

#include "engine/agent/MibRowCounts.h"
#include "engine/core/server/Server.h"

namespace {

// The key's integer as the server answers it; 0 when it cannot answer.
int32_t ServerInteger(uint32_t key, uint32_t requester)
{
    CServer* server = CServer::Instance();
    if (!server)
        return 0;
    EngineValue value;
    value.type = kValueInteger;
    if (!server->GetValue(key, requester, value) || value.type == kValueOctetString)
        return 0;
    return static_cast<int32_t>(value.integer);
}

} // namespace

int StorableTextStatus(uint32_t key, const SnmpValue& value)
{
    CServer* server = CServer::Instance();
    if (!server)
        return kSnmpErrNoError;
    switch (server->CheckStorable(key, kValueOctetString, value.bytes.data(), value.bytes.size())) {
    case CServer::Storable::kWrongLength:
        return kSnmpErrWrongLength;
    case CServer::Storable::kWrongValue:
        return kSnmpErrWrongValue;
    default:
        return kSnmpErrNoError;
    }
}

mervane_keyed_intoid::mervane_keyed_intoid(const char* oidText, MibAccess access, uint32_t k)
    : MibLeaf(oidText, access, kSnmpInteger), key(k)
{
}

mervane_keyed_intoid::~mervane_keyed_intoid() = default;

int mervane_keyed_intoid::get_request(const MibRequest& request, SnmpValue& out)
{
    if (get_access() < MibAccess::ReadOnly)
        return kSnmpErrNoAccess;
    out = SnmpValue::Integer(key == 0 ? 0 : ServerInteger(key, request.requester));
    return kSnmpErrNoError;
}

int mervane_keyed_intoid::commit_set_request(const MibRequest& request, const SnmpValue& value)
{
    bool saved = true;
    if (CServer* server = CServer::Instance())
        server->SetIntValue(key, request.requester, static_cast<uint32_t>(static_cast<int32_t>(value.integer)), &saved);
    return saved ? kSnmpErrNoError : kSnmpErrCommitFailed;
}

mervane_keyed_stroid::mervane_keyed_stroid(const char* oidText, MibAccess access, uint32_t k)
    : MibLeaf(oidText, access, kSnmpOctetString), key(k)
{
}

mervane_keyed_stroid::~mervane_keyed_stroid() = default;

int mervane_keyed_stroid::get_request(const MibRequest& request, SnmpValue& out)
{
    if (get_access() < MibAccess::ReadOnly)
        return kSnmpErrNoAccess;
    std::string text;
    if (CServer* server = CServer::Instance()) {
        EngineValue value;
        value.type = kValueOctetString;
        if (server->GetValue(key, request.requester, value) && value.type == kValueOctetString) {
            // The answer owns a copy of the text, taken under the table's lock; it ends at its first NUL.
            text = value.bytes.substr(0, std::strlen(value.bytes.c_str()));
        }
    }
    out = SnmpValue::Octets(std::move(text));
    return kSnmpErrNoError;
}

int mervane_keyed_stroid::prepare_set_request(const MibRequest& request, const SnmpValue& value)
{
    const int status = MibLeaf::prepare_set_request(request, value);
    if (status != kSnmpErrNoError)
        return status;
    if (value.bytes.size() > kKeyedTextLimit)
        return kSnmpErrWrongLength;
    return StorableTextStatus(key, value);
}

int mervane_keyed_stroid::commit_set_request(const MibRequest& request, const SnmpValue& value)
{
    bool saved = true;
    if (CServer* server = CServer::Instance())
        server->SetValue(key, request.requester, kValueOctetString, value.bytes.data(), value.bytes.size(), &saved);
    return saved ? kSnmpErrNoError : kSnmpErrCommitFailed;
}

mervane_keyed_gaugeoid::mervane_keyed_gaugeoid(const char* oidText, MibAccess access, uint32_t k,
                                               const AlarmRows* upsAlarms)
    : MibLeaf(oidText, access, kSnmpGauge32), key(k), m_upsAlarms(upsAlarms)
{
}

mervane_keyed_gaugeoid::~mervane_keyed_gaugeoid() = default;

int mervane_keyed_gaugeoid::get_request(const MibRequest&, SnmpValue& out)
{
    if (get_access() < MibAccess::ReadOnly)
        return kSnmpErrNoAccess;
    out = SnmpValue::Gauge(key == kUpsAlarmCountKey && m_upsAlarms ? m_upsAlarms->Count() : 0);
    return kSnmpErrNoError;
}

mervane_keyed_adroid::mervane_keyed_adroid(const char* oidText, MibAccess access, uint32_t k)
    : MibLeaf(oidText, access, kSnmpIpAddress), key(k)
{
}

mervane_keyed_adroid::~mervane_keyed_adroid() = default;

int mervane_keyed_adroid::get_value(const MibRequest&, SnmpValue& out)
{
    out = SnmpValue::IpAddress(static_cast<uint32_t>(ServerInteger(key, 0)));
    return kSnmpErrNoError;
}

int mervane_keyed_adroid::commit_set_request(const MibRequest&, const SnmpValue& value)
{
    if (CServer* server = CServer::Instance()) {
        const uint32_t address = static_cast<uint32_t>(value.integer);
        server->SetValue(key, 0, kValueIpAddress, &address, sizeof address);
    }
    return kSnmpErrNoError;
}
