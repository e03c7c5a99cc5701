// Fuzzes the received-trap road's parsers: a forwarded-trap text, and a record built from arbitrary
// bytes (trap OID, community, varbind OIDs and values), through the decoding of trap processing. Any
// input must be decoded or refused without a crash, a hang or an overrun, and a decided alarm change
// keeps its invariants.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/remote/TrapProcessing.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

void Check(const RemoteTrapRecord& record)
{
    const TrapDecision d = DecodeTrap(record);
    if (d.route != TrapRoute::Alarm && !d.alarm.description.empty() && record.varbinds.empty())
        std::abort();
    if (d.alarm.description.size() >= RemoteTrapVarbind::kValueSize)
        std::abort();
    (void)TrapMac(record);
    for (size_t n = 0; n < record.varbinds.size() + 2; ++n)
        (void)TrapNumber(record, n);
}

// A record from bytes: a first line is the trap OID, the rest alternates varbind OID and value lines.
RemoteTrapRecord FromBytes(const std::string& text)
{
    RemoteTrapRecord record;
    size_t at = 0;
    auto line = [&]() {
        const size_t end = text.find('\n', at);
        std::string out = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        return out;
    };
    RemoteTrapRecord::SetText(record.trapOid, line());
    SnmpOid trap;
    if (ParseOid(record.trapOid, trap) && !trap.empty())
        record.specific = trap.back();
    while (at < text.size() && record.varbinds.size() < 64) {
        RemoteTrapVarbind vb;
        SnmpOid oid;
        const std::string oidText = line();
        if (ParseOid(oidText.c_str(), oid))
            vb.SetOid(oid.data(), oid.size());
        RemoteTrapRecord::SetText(vb.value, line());
        record.varbinds.push_back(vb);
    }
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool silenced = (vgfuzz::SilenceLog(), true);
    (void)silenced;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (std::unique_ptr<RemoteTrapRecord> forwarded = ParseForwardedTrap(0x0100007F, text)) {
        if (forwarded->varbinds.size() > kMaxForwardedVarbinds)
            std::abort();
        Check(*forwarded);
    }
    Check(FromBytes(text));
    return 0;
}
