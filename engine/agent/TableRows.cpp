#include "engine/agent/TableRows.h"

#include <algorithm>
#include <cstring>

#include "engine/core/server/Server.h"

uint32_t NextDenseRow(uint32_t count, const SnmpOid& after, bool inclusive)
{
    uint64_t row = 1;
    if (!after.empty())
        row = static_cast<uint64_t>(after[0]) + (after.size() == 1 && inclusive ? 0 : 1);
    if (row == 0)
        row = 1;
    return row <= count ? static_cast<uint32_t>(row) : 0;
}

int RowStatusCheck(const RowStatusRequest& request)
{
    if (request.value < kRowActive || request.value > kRowDestroy)
        return kSnmpErrWrongValue;
    const bool create = request.value == kRowCreateAndGo || request.value == kRowCreateAndWait;
    if (create && request.row > request.rowLimit)
        return kSnmpErrNoCreation;
    return kSnmpErrNoError;
}

RowStatusDecision DecideRowStatus(const RowStatusRequest& request)
{
    const uint32_t r = request.row;
    const uint32_t last = request.lastIndex;
    const bool exists = r >= 1 && r <= last && r <= request.rowLimit;
    if (r == 0)
        return {kSnmpErrReadOnly, RowStatusAction::None};
    switch (request.value) {
    case kRowActive:
    case kRowNotInService:
        return exists ? RowStatusDecision{kSnmpErrNoError, RowStatusAction::SetStatus}
                      : RowStatusDecision{kSnmpErrNoSuchName, RowStatusAction::None};
    case kRowNotReady:
        return {exists ? kSnmpErrReadOnly : kSnmpErrNoSuchName, RowStatusAction::None};
    case kRowCreateAndGo:
    case kRowCreateAndWait:
        if (r <= last)
            return {kSnmpErrReadOnly, RowStatusAction::None};
        if (static_cast<uint64_t>(r) != static_cast<uint64_t>(last) + 1 || r > request.rowLimit ||
            request.creationBlocked)
            return {kSnmpErrNoSuchName, RowStatusAction::None};
        return {kSnmpErrNoError, RowStatusAction::Create};
    case kRowDestroy:
        return exists ? RowStatusDecision{kSnmpErrNoError, RowStatusAction::Destroy}
                      : RowStatusDecision{kSnmpErrNoSuchName, RowStatusAction::None};
    default:
        // Refused in the check step already; nothing is done for it here.
        return {kSnmpErrWrongValue, RowStatusAction::None};
    }
}

bool EngineIntegerAnswered(uint32_t key, uint32_t requester, uint32_t& out, uint32_t length)
{
    out = 0;
    CServer* server = CServer::Instance();
    if (!server)
        return false;
    EngineValue value;
    value.type = kValueInteger;
    if (!server->GetValue(key, requester, value, length) || value.type == kValueOctetString)
        return false;
    out = value.integer;
    return true;
}

int32_t EngineInteger(uint32_t key, uint32_t requester, uint32_t length)
{
    uint32_t value = 0;
    EngineIntegerAnswered(key, requester, value, length);
    return static_cast<int32_t>(value);
}

std::string EngineText(uint32_t key, uint32_t requester, uint32_t length)
{
    CServer* server = CServer::Instance();
    if (!server)
        return std::string();
    EngineValue value;
    value.type = kValueOctetString;
    if (!server->GetValue(key, requester, value, length) || value.type != kValueOctetString)
        return std::string();
    return value.bytes.substr(0, std::strlen(value.bytes.c_str()));
}

bool SetEngineInteger(uint32_t key, int32_t value, uint32_t requester)
{
    CServer* server = CServer::Instance();
    return server && server->SetIntValue(key, requester, static_cast<uint32_t>(value));
}

bool SetEngineText(uint32_t key, const std::string& text, uint32_t requester)
{
    CServer* server = CServer::Instance();
    return server && server->SetValue(key, requester, kValueOctetString, text.data(), text.size());
}

bool SetEngineAddress(uint32_t key, uint32_t address, uint32_t requester)
{
    CServer* server = CServer::Instance();
    return server && server->SetValue(key, requester, kValueIpAddress, &address, sizeof address);
}

namespace {

bool NextAt(size_t levels, SnmpOid& prefix, const SnmpOid& after, bool inclusive, bool bounded, const void* context,
            IndexLimit limit, IndexExists exists, SnmpOid& index)
{
    const size_t pos = prefix.size();
    const uint64_t max = limit(context, prefix);
    // While the index is still equal to `after` in its first parts, it may not go below it.
    const bool tied = bounded && pos < after.size();
    const uint64_t first = tied ? std::max<uint64_t>(after[pos], 1) : 1;
    for (uint64_t v = first; v <= max; ++v) {
        prefix.push_back(static_cast<uint32_t>(v));
        const bool stillTied = tied && v == after[pos];
        bool found = false;
        if (prefix.size() == levels)
            found = (!stillTied || (inclusive && after.size() == levels)) && (!exists || exists(context, prefix));
        else
            found = NextAt(levels, prefix, after, inclusive, stillTied, context, limit, exists, index);
        if (found) {
            if (prefix.size() == levels)
                index = prefix;
            return true;
        }
        prefix.pop_back();
    }
    return false;
}

} // namespace

bool NextNestedIndex(size_t levels, const SnmpOid& after, bool inclusive, const void* context, IndexLimit limit,
                     IndexExists exists, SnmpOid& index)
{
    if (levels == 0)
        return false;
    SnmpOid prefix;
    return NextAt(levels, prefix, after, inclusive, true, context, limit, exists, index);
}

bool HasNestedIndex(size_t levels, const SnmpOid& index, const void* context, IndexLimit limit, IndexExists exists)
{
    if (levels == 0 || index.size() != levels)
        return false;
    SnmpOid prefix;
    for (uint32_t part : index) {
        if (part == 0 || part > limit(context, prefix))
            return false;
        prefix.push_back(part);
    }
    return !exists || exists(context, index);
}
