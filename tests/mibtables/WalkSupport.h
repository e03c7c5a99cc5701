#pragma once
// net-snmp's tools against an engine of the end-to-end harness, their output as (OID, value) lines.

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/EngineProcess.h"

namespace mibtest {

struct Line {
    std::string oid;   // numeric, without the leading dot
    std::string value; // with its type, as -Ov prints it ("INTEGER: 5", "OID: .1.3...", "\"\"")
};

// The varbind lines of the tools' -On output. A walk ends with endOfMibView, and a walk of an empty
// subtree answers a GET of its root: neither is a line.
inline std::vector<Line> Parse(const std::string& out)
{
    std::vector<Line> lines;
    std::istringstream in(out);
    std::string text;
    while (std::getline(in, text)) {
        const size_t eq = text.find(" = ");
        if (!text.empty() && text[0] == '.' && eq != std::string::npos &&
            text.find("No more variables left", eq) == std::string::npos &&
            text.find("No Such Object", eq) == std::string::npos &&
            text.find("No Such Instance", eq) == std::string::npos)
            lines.push_back({text.substr(1, eq - 1), text.substr(eq + 3)});
    }
    return lines;
}

// snmpbulkwalk (or snmpwalk) -On of oid with the tool's check of increasing OIDs on: a walk that goes
// backwards ends in an error (ok false).
inline std::vector<Line> Walk(e2e::EngineInstall& engine, const std::string& oid, bool bulk = true,
                              bool* ok = nullptr)
{
    std::vector<std::string> argv = {bulk ? "snmpbulkwalk" : "snmpwalk", "-v2c", "-c", "wendolmar", "-On",
                                     "-t", "2", "-r", "1", engine.Peer(), oid};
    std::string out;
    const int rc = vgtest::RunTool(argv, out, 60);
    if (ok)
        *ok = rc == 0 && out.find("OID not increasing") == std::string::npos;
    return Parse(out);
}

// snmpget -On of one OID: its value with the type, or "ERROR " and the tool's output.
inline std::string Get(e2e::EngineInstall& engine, const std::string& oid)
{
    std::string out;
    vgtest::RunTool({"snmpget", "-v2c", "-c", "wendolmar", "-On", "-t", "2", "-r", "1", engine.Peer(), oid}, out);
    const std::vector<Line> lines = Parse(out);
    return lines.size() == 1 ? lines[0].value : "ERROR " + out;
}

// One snmpset of many varbinds, given as (oid, type, value) triples: "" when the engine answered
// noError, else the reason the tool prints ("commitFailed", ...), or "ERROR " and its output. Sent
// once (a second try of a destroy would remove the next row).
using Varbind = std::vector<std::string>;
inline std::string SetAll(e2e::EngineInstall& engine, const std::vector<Varbind>& varbinds)
{
    std::vector<std::string> argv = {"snmpset", "-v2c", "-c", "wendolmar", "-On", "-t", "10", "-r", "0",
                                     engine.Peer()};
    for (const Varbind& v : varbinds)
        argv.insert(argv.end(), v.begin(), v.end());
    std::string out;
    if (vgtest::RunTool(argv, out) == 0)
        return "";
    const size_t reason = out.find("Reason: ");
    if (reason == std::string::npos)
        return "ERROR " + out;
    const size_t start = reason + 8;
    return out.substr(start, out.find_first_of(" \n", start) - start);
}

} // namespace mibtest
