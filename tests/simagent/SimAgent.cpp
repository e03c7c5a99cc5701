// vg_simagent: a simulated remote UPS agent for the tests. It answers SNMP on one 127.0.0.x address
// with the objects of a UPS agent of MIB generation 1, 2, 3 or 4 (version text, device count, status,
// device rows, event names, alarm rows, MAC and the writable trap-receiver registration object; for
// generation 2 a trap-destination table whose rows a manager creates with createAndWait and destroys,
// and the events' writable flags and destination lists), and follows a scenario: lines from a file
// (--script) and then from its standard input.
//
//   vg_simagent --address 127.0.0.2 [--port 0] [--gen 1|2|3|4] [--devices 1] [--mac 02:00:00:00:00:02]
//               [--community public] [--script file]
//
// It prints "ready <port>" once it answers, "ok" after every scenario line it carried out ("error ..."
// for one it did not understand) and "set <oid> <value>" for every SET it accepted. Scenario lines:
//   count <n>                    the device count object answers n (any integer, also a hostile one)
//   model <n> <text>             device n's model text; name <n> <text> its name
//   alarm <id> <device> <value> <text...>   raises alarm id on device n; clear <id> removes it
//   event <n> <e> <name>         device n gets event e with that name
//   set <oid> i|u|s|o|a <value>  any object (integer, gauge, string, OID, IPv4 address)
//   fill <oid> <length>          a string object of that many 'x' (over-long texts)
//   delay <ms>                   every answer waits that long
//   silent on|off                requests are read and dropped
//   v1only on|off                SNMPv2c GETs answer noSuchObject (a card that speaks SNMPv1 only)
//   refuse on|off                SETs of the registration object (generation 2: the creation of a
//                                trap-destination row) are refused (notWritable)
//   repeat on|off                GET-NEXT answers the OID it was asked for (a walk that never advances)
//   trap [<address>:]<port> <community> <trap-oid> [<oid> i|u|s|o|a <value>]...   an SNMPv2c trap to
//                                the address (127.0.0.1 when none is given) from this agent's address; a
//                                value "$MAC" is the agent's MAC, "%20" in a string value is a space
//   quit                         (the end of the standard input ends the agent too)
// The agent answers the one community given (read-write), as a UPS card configured with it does.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

extern "C" void init_vacm_conf(void);
extern "C" int hosts_ctl(char*, char*, char*, char*) { return 1; }
int allow_severity = 0;
int deny_severity = 0;

namespace {

using Oid = std::vector<oid>;

struct Value {
    u_char type = ASN_INTEGER;
    long number = 0;
    std::string text;
    Oid objectId;
    bool writable = false;
};

std::map<Oid, Value> g_tree;
std::string g_address = "127.0.0.2";
std::string g_mac = "02:00:00:00:00:02";
int g_generation = 3;
int g_delayMs = 0;
bool g_silent = false;
bool g_v1only = false;
bool g_refuse = false;
bool g_repeat = false;
Oid g_registration;
bool g_quit = false;

Oid E(std::initializer_list<oid> tail)
{
    Oid o = {1, 3, 6, 1, 4, 1, 64950};
    o.insert(o.end(), tail);
    return o;
}

bool ParseOidText(const std::string& text, Oid& out)
{
    out.clear();
    std::string part;
    std::stringstream in(text[0] == '.' ? text.substr(1) : text);
    while (std::getline(in, part, '.')) {
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out.push_back(std::strtoul(part.c_str(), nullptr, 10));
    }
    return !out.empty() && out.size() <= MAX_OID_LEN;
}

void PutInt(const Oid& o, long v, u_char type = ASN_INTEGER)
{
    Value& x = g_tree[o];
    x.type = type;
    x.number = v;
}

void PutText(const Oid& o, const std::string& s)
{
    Value& x = g_tree[o];
    x.type = ASN_OCTET_STR;
    x.text = s;
}

void PutOid(const Oid& o, const Oid& v)
{
    Value& x = g_tree[o];
    x.type = ASN_OBJECT_ID;
    x.objectId = v;
}

bool PutTyped(const Oid& o, const std::string& type, const std::string& value)
{
    std::string v = value == "$MAC" ? g_mac : value;
    if (type == "i")
        PutInt(o, std::strtol(v.c_str(), nullptr, 10));
    else if (type == "u")
        PutInt(o, static_cast<long>(std::strtoul(v.c_str(), nullptr, 10)), ASN_GAUGE);
    else if (type == "s")
        PutText(o, v);
    else if (type == "a") {
        in_addr a{};
        if (inet_pton(AF_INET, v.c_str(), &a) != 1)
            return false;
        PutInt(o, static_cast<long>(a.s_addr), ASN_IPADDRESS);
    } else if (type == "o") {
        Oid x;
        if (!ParseOidText(v, x))
            return false;
        PutOid(o, x);
    } else
        return false;
    return true;
}

// Device n's objects of the current generation.
Oid DeviceColumn(const char* what, long n)
{
    const oid d = static_cast<oid>(n);
    const std::map<std::string, std::pair<Oid, Oid>> columns = {
        // what: generation 4, generations 1-3
        {"text8", {E({1, 1, 1, 2, 1, 4, d}), E({10, 2, 2, 1, 8, d})}},
        {"model", {E({1, 1, 1, 2, 1, 5, d}), E({10, 2, 2, 1, 9, d})}},
        {"port", {E({1, 1, 2, 1, 1, 3, d}), E({10, 2, 2, 1, 5, d})}},
        {"protocol", {E({1, 1, 2, 1, 1, 1, d}), E({10, 2, 2, 1, 15, d})}},
        {"column4", {E({1, 1, 2, 1, 1, 2, d}), E({10, 2, 2, 1, 4, d})}},
        {"text13", {E({1, 1, 1, 2, 1, 9, d}), E({10, 2, 2, 1, 13, d})}},
        {"location", {E({1, 1, 1, 2, 1, 8, d}), E({10, 2, 2, 1, 12, d})}},
        {"name", {E({1, 1, 1, 2, 1, 6, d}), E({10, 2, 2, 1, 10, d})}},
    };
    const auto& pair = columns.at(what);
    return g_generation == 4 ? pair.first : pair.second;
}

void SetCount(long n)
{
    if (g_generation == 4)
        PutInt(E({1, 1, 1, 1, 0}), n, ASN_GAUGE);
    else
        PutInt(E({10, 2, 1, 0}), n);
}

void SetEvent(long n, long e, const std::string& name)
{
    const oid d = static_cast<oid>(n), x = static_cast<oid>(e);
    if (g_generation == 4) {
        PutInt(E({1, 3, 4, 1, 1, 1, d, x}), e);
        PutText(E({1, 3, 4, 1, 1, 3, d, x}), name);
    } else {
        PutText(E({10, 2, 3, 2, 1, 4, d, x}), name);
        if (g_generation == 2) {
            // The event's flags (0x20: it sends traps) and its four one-byte destination rows.
            PutInt(E({10, 2, 3, 2, 1, 7, d, x}), 0);
            PutInt(E({10, 2, 3, 2, 1, 22, d, x}), 0);
            g_tree[E({10, 2, 3, 2, 1, 7, d, x})].writable = true;
            g_tree[E({10, 2, 3, 2, 1, 22, d, x})].writable = true;
        }
        long count = 0;
        for (auto& kv : g_tree)
            if (kv.first.size() == 15 && Oid(kv.first.begin(), kv.first.begin() + 14) == E({10, 2, 3, 2, 1, 4, d}))
                ++count;
        PutInt(E({10, 2, 2, 1, 18, d}), count);
    }
}

void AddDevice(long n)
{
    if (g_generation == 4)
        PutInt(E({1, 1, 1, 2, 1, 1, static_cast<oid>(n)}), n);
    PutText(DeviceColumn("text8", n), "UPS");
    PutText(DeviceColumn("model", n), "Sim UPS " + std::to_string(n));
    PutText(DeviceColumn("port", n), "COM" + std::to_string(n));
    PutText(DeviceColumn("protocol", n), "1");
    PutInt(DeviceColumn("column4", n), 1);
    PutText(DeviceColumn("text13", n), "");
    PutText(DeviceColumn("location", n), "Rack " + std::to_string(n));
    PutText(DeviceColumn("name", n), "");
    SetEvent(n, 1, "On Battery");
    SetEvent(n, 2, "Low Battery");
}

void RaiseAlarm(long id, long device, long value, const std::string& text)
{
    const oid a = static_cast<oid>(id);
    if (g_generation == 4) {
        PutInt(E({1, 3, 2, 1, 1, a}), id);
        PutOid(E({1, 3, 2, 1, 4, a}), E({1, 1, 1, 2}));
        PutOid(E({1, 3, 2, 1, 5, a}), E({1, 1, 1, 2, 1, 1, static_cast<oid>(device)}));
        PutText(E({1, 3, 2, 1, 6, a}), text);
        PutInt(E({1, 3, 2, 1, 7, a}), value);
        PutInt(E({1, 3, 2, 1, 8, a}), 1);
    } else {
        PutInt(E({100, 1, 6, 2, 1, 1, a}), id);
        PutText(E({100, 1, 6, 2, 1, 4, a}), text);
        PutInt(E({100, 1, 6, 2, 1, 5, a}), device);
        PutInt(E({100, 1, 6, 2, 1, 8, a}), value);
    }
}

void ClearAlarm(long id)
{
    const oid a = static_cast<oid>(id);
    for (oid column : {1, 4, 5, 6, 7, 8}) {
        g_tree.erase(E({1, 3, 2, 1, column, a}));
        g_tree.erase(E({100, 1, 6, 2, 1, column, a}));
    }
}

void BuildTree(long devices)
{
    const char* version = g_generation == 1   ? "12.04.0045"
                          : g_generation == 2 ? "12.04.0039"
                          : g_generation == 4 ? "15.00.0001"
                                              : "12.04.0059";
    PutText(E({10, 1, 2, 3, 0}), version);
    PutText({1, 3, 6, 1, 2, 1, 1, 5, 0}, "simagent");
    if (g_generation == 4) {
        PutInt(E({1, 2, 1, 1, 1, 0}), 2);
        PutText(E({1, 2, 1, 1, 4, 0}), g_mac);
        g_registration = E({1, 2, 2, 1, 1, 0});
        PutText(g_registration, "");
    } else {
        PutInt(E({10, 1, 2, 2, 0}), 2);
        PutText(E({10, 1, 2, 6, 0}), g_mac);
        if (g_generation == 1) {
            g_registration = E({10, 1, 13, 2, 0});
            PutInt(g_registration, 0);
        } else if (g_generation == 2) {
            g_registration = E({14, 2, 1, 0});  // the destination count; rows are created beside it
            PutInt(g_registration, 0);
            PutInt(E({10, 1, 3, 1, 0}), 1);
            g_tree[E({10, 1, 3, 1, 0})].writable = true;
        } else {
            g_registration = E({10, 1, 13, 9, 0});
            PutText(g_registration, "");
        }
    }
    g_tree[g_registration].writable = g_generation != 2;
    SetCount(devices);
    for (long n = 1; n <= devices; ++n)
        AddDevice(n);
}

std::string ValueText(const Value& v)
{
    switch (v.type) {
    case ASN_OCTET_STR: return v.text;
    case ASN_IPADDRESS: {
        in_addr a{};
        a.s_addr = static_cast<in_addr_t>(v.number);
        return inet_ntoa(a);
    }
    case ASN_OBJECT_ID: {
        std::string s;
        for (oid x : v.objectId)
            s += (s.empty() ? "" : ".") + std::to_string(x);
        return s;
    }
    default: return std::to_string(v.number);
    }
}

std::string OidText(const Oid& o)
{
    std::string s;
    for (oid x : o)
        s += (s.empty() ? "" : ".") + std::to_string(x);
    return s;
}

void SetVarbind(netsnmp_variable_list* vb, const Value& v)
{
    switch (v.type) {
    case ASN_OCTET_STR:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.data(), v.text.size());
        break;
    case ASN_OBJECT_ID:
        snmp_set_var_typed_value(vb, ASN_OBJECT_ID, v.objectId.data(), v.objectId.size() * sizeof(oid));
        break;
    case ASN_IPADDRESS: {
        in_addr_t a = static_cast<in_addr_t>(v.number);
        snmp_set_var_typed_value(vb, ASN_IPADDRESS, &a, sizeof a);
        break;
    }
    case ASN_GAUGE:
    case ASN_COUNTER:
    case ASN_TIMETICKS: {
        u_long x = static_cast<u_long>(v.number);
        snmp_set_var_typed_value(vb, v.type, &x, sizeof x);
        break;
    }
    default: {
        long x = v.number;
        snmp_set_var_typed_value(vb, ASN_INTEGER, &x, sizeof x);
        break;
    }
    }
}

// Generation 2's trap-destination table E.14.2.2.1.<column>.<row>: a manager creates row count + 1
// with createAndWait (or createAndGo) on column 2, writes its columns and destroys it with 6.
bool IsDestinationCreation(const Oid& asked, const netsnmp_variable_list* vb)
{
    if (g_generation != 2 || asked.size() != 13 || Oid(asked.begin(), asked.begin() + 12) != E({14, 2, 2, 1, 2}) ||
        vb->type != ASN_INTEGER || g_tree.count(asked))
        return false;
    const long value = *vb->val.integer;
    return (value == 4 || value == 5) && static_cast<long>(asked.back()) == g_tree[E({14, 2, 1, 0})].number + 1;
}

void CreateDestinationRow(oid row, long status)
{
    PutInt(E({14, 2, 2, 1, 2, row}), status);
    PutInt(E({14, 2, 2, 1, 3, row}), 0, ASN_IPADDRESS);
    PutText(E({14, 2, 2, 1, 4, row}), "");
    PutText(E({14, 2, 2, 1, 5, row}), "");
    PutInt(E({14, 2, 2, 1, 6, row}), 0);
    for (oid column = 2; column <= 6; ++column)
        g_tree[E({14, 2, 2, 1, column, row})].writable = true;
    g_tree[E({14, 2, 1, 0})].number += 1;
}

void DestroyDestinationRow(oid row)
{
    for (oid column = 2; column <= 6; ++column)
        g_tree.erase(E({14, 2, 2, 1, column, row}));
    g_tree[E({14, 2, 1, 0})].number -= 1;
}

int Handler(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
            netsnmp_request_info* requests)
{
    static oid destroyed = 0;
    if (g_delayMs > 0 && (reqinfo->mode == MODE_GET || reqinfo->mode == MODE_GETNEXT || reqinfo->mode == MODE_SET_RESERVE1))
        usleep(static_cast<useconds_t>(g_delayMs) * 1000);
    if (g_v1only && reqinfo->asp && reqinfo->asp->pdu && reqinfo->asp->pdu->version != SNMP_VERSION_1 &&
        reqinfo->mode == MODE_GET) {
        for (netsnmp_request_info* r = requests; r; r = r->next)
            if (!r->processed)
                netsnmp_set_request_error(reqinfo, r, SNMP_NOSUCHOBJECT);
        return SNMP_ERR_NOERROR;
    }
    for (netsnmp_request_info* r = requests; r; r = r->next) {
        if (r->processed)
            continue;
        Oid asked(r->requestvb->name, r->requestvb->name + r->requestvb->name_length);
        switch (reqinfo->mode) {
        case MODE_GET: {
            auto it = g_tree.find(asked);
            if (it == g_tree.end())
                netsnmp_set_request_error(reqinfo, r, SNMP_NOSUCHINSTANCE);
            else
                SetVarbind(r->requestvb, it->second);
            break;
        }
        case MODE_GETNEXT: {
            if (g_repeat && g_tree.count(asked)) {
                SetVarbind(r->requestvb, g_tree[asked]);
                break;
            }
            auto it = r->inclusive ? g_tree.lower_bound(asked) : g_tree.upper_bound(asked);
            if (it != g_tree.end()) {
                snmp_set_var_objid(r->requestvb, it->first.data(), it->first.size());
                SetVarbind(r->requestvb, it->second);
            }
            break;
        }
        case MODE_SET_RESERVE1: {
            auto it = g_tree.find(asked);
            if (IsDestinationCreation(asked, r->requestvb)) {
                if (g_refuse)
                    netsnmp_set_request_error(reqinfo, r, SNMP_ERR_NOTWRITABLE);
                break;
            }
            if (it == g_tree.end() || !it->second.writable || (asked == g_registration && g_refuse))
                netsnmp_set_request_error(reqinfo, r, SNMP_ERR_NOTWRITABLE);
            else if (r->requestvb->type != it->second.type)
                netsnmp_set_request_error(reqinfo, r, SNMP_ERR_WRONGTYPE);
            break;
        }
        case MODE_SET_ACTION: {
            if (IsDestinationCreation(asked, r->requestvb)) {
                CreateDestinationRow(asked.back(), *r->requestvb->val.integer);
                break;
            }
            Value& v = g_tree[asked];
            if (v.type == ASN_OCTET_STR)
                v.text.assign(reinterpret_cast<const char*>(r->requestvb->val.string), r->requestvb->val_len);
            else if (v.type == ASN_IPADDRESS) {
                in_addr_t a = 0;
                std::memcpy(&a, r->requestvb->val.string, std::min<size_t>(sizeof a, r->requestvb->val_len));
                v.number = static_cast<long>(a);
            } else
                v.number = *r->requestvb->val.integer;
            if (g_generation == 2 && asked.size() == 14 && Oid(asked.begin(), asked.begin() + 12) == E({14, 2, 2, 1, 2}) &&
                v.number == 6)
                destroyed = asked.back();
            break;
        }
        case MODE_SET_COMMIT:
            std::cout << "set " << OidText(asked) << " " << ValueText(g_tree[asked]) << std::endl;
            if (destroyed != 0 && asked == E({14, 2, 2, 1, 2, destroyed})) {
                DestroyDestinationRow(destroyed);
                destroyed = 0;
            }
            break;
        default: break;
        }
    }
    return SNMP_ERR_NOERROR;
}

bool SendTrap(std::istringstream& in)
{
    std::string destination, community, trapOidText;
    Oid trapOid;
    if (!(in >> destination >> community >> trapOidText) || !ParseOidText(trapOidText, trapOid))
        return false;
    std::string host = "127.0.0.1";
    const size_t colon = destination.rfind(':');
    if (colon != std::string::npos) {
        host = destination.substr(0, colon);
        destination.erase(0, colon + 1);
    }
    const int port = std::atoi(destination.c_str());
    in_addr hostAddress{};
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &hostAddress) != 1)
        return false;
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_TRAP2);
    u_long ticks = 0;
    oid upTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
    oid trapOidName[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
    snmp_pdu_add_variable(pdu, upTime, OID_LENGTH(upTime), ASN_TIMETICKS, &ticks, sizeof ticks);
    snmp_pdu_add_variable(pdu, trapOidName, OID_LENGTH(trapOidName), ASN_OBJECT_ID, trapOid.data(),
                          trapOid.size() * sizeof(oid));
    std::string oidText, type, value;
    while (in >> oidText >> type >> value) {
        // A string value writes its spaces as "%20".
        for (size_t at = value.find("%20"); type == "s" && at != std::string::npos; at = value.find("%20", at + 1))
            value.replace(at, 3, " ");
        Oid o;
        if (!ParseOidText(oidText, o) || !PutTyped(o, type, value)) {
            snmp_free_pdu(pdu);
            return false;
        }
        // The value was parsed into the tree's slot for o; take it from there and forget it again
        // unless the object exists anyway.
        Value v = g_tree[o];
        netsnmp_variable_list* vb = snmp_varlist_add_variable(&pdu->variables, o.data(), o.size(), ASN_NULL, nullptr, 0);
        SetVarbind(vb, v);
    }
    netsnmp_session config;
    snmp_sess_init(&config);
    std::string peer = "udp:" + host + ":" + std::to_string(port);
    config.peername = &peer[0];
    config.localname = &g_address[0];
    config.version = SNMP_VERSION_2c;
    config.community = reinterpret_cast<u_char*>(&community[0]);
    config.community_len = community.size();
    netsnmp_session* session = snmp_open(&config);
    if (!session) {
        snmp_free_pdu(pdu);
        return false;
    }
    bool sent = snmp_send(session, pdu) != 0;
    if (!sent)
        snmp_free_pdu(pdu);
    snmp_close(session);
    return sent;
}

bool Command(const std::string& line)
{
    std::istringstream in(line);
    std::string word;
    if (!(in >> word))
        return true;
    std::string rest;
    auto restOfLine = [&in]() {
        std::string r;
        std::getline(in, r);
        size_t start = r.find_first_not_of(' ');
        return start == std::string::npos ? std::string() : r.substr(start);
    };
    auto onOff = [&in](bool& flag) {
        std::string v;
        in >> v;
        flag = v == "on";
        return v == "on" || v == "off";
    };
    long a = 0, b = 0, c = 0;
    if (word == "count" && (in >> a)) {
        SetCount(a);
    } else if (word == "model" && (in >> a)) {
        PutText(DeviceColumn("model", a), restOfLine());
    } else if (word == "name" && (in >> a)) {
        PutText(DeviceColumn("name", a), restOfLine());
    } else if (word == "alarm" && (in >> a >> b >> c)) {
        RaiseAlarm(a, b, c, restOfLine());
    } else if (word == "clear" && (in >> a)) {
        ClearAlarm(a);
    } else if (word == "event" && (in >> a >> b)) {
        SetEvent(a, b, restOfLine());
    } else if (word == "set") {
        std::string o, type, value;
        Oid x;
        in >> o >> type;
        value = restOfLine();
        if (!ParseOidText(o, x) || !PutTyped(x, type, value))
            return false;
    } else if (word == "fill") {
        std::string o;
        size_t n = 0;
        Oid x;
        if (!(in >> o >> n) || !ParseOidText(o, x))
            return false;
        PutText(x, std::string(n, 'x'));
    } else if (word == "delay" && (in >> a)) {
        g_delayMs = static_cast<int>(a);
    } else if (word == "silent") {
        return onOff(g_silent);
    } else if (word == "v1only") {
        return onOff(g_v1only);
    } else if (word == "refuse") {
        return onOff(g_refuse);
    } else if (word == "repeat") {
        return onOff(g_repeat);
    } else if (word == "trap") {
        return SendTrap(in);
    } else if (word == "quit") {
        g_quit = true;
    } else {
        return false;
    }
    return true;
}

void RunCommand(const std::string& line)
{
    if (Command(line))
        std::cout << "ok" << std::endl;
    else
        std::cout << "error " << line << std::endl;
}

int BoundPort(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return 0;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return g_address == text ? ntohs(sa.sin_port) : 0;
}

} // namespace

int main(int argc, char** argv)
{
    int port = 0;
    long devices = 1;
    std::string script;
    std::string community = "public";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--address") g_address = argv[i + 1];
        else if (key == "--port") port = std::atoi(argv[i + 1]);
        else if (key == "--gen") g_generation = std::atoi(argv[i + 1]);
        else if (key == "--devices") devices = std::atol(argv[i + 1]);
        else if (key == "--mac") g_mac = argv[i + 1];
        else if (key == "--script") script = argv[i + 1];
        else if (key == "--community") community = argv[i + 1];
    }
    if (g_generation < 1 || g_generation > 4) {
        std::cerr << "generation must be 1, 2, 3 or 4\n";
        return 2;
    }
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_ROOT_ACCESS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    std::string ports = "udp:" + g_address + ":" + std::to_string(port);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, ports.c_str());
    static char noSmux[] = "-smux";
    add_to_init_list(noSmux);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    snmp_disable_log();
    init_agent("vg_simagent");
    init_vacm_conf();
    std::string access = "rwcommunity " + community;
    netsnmp_config_remember(&access[0]);
    init_snmp("vg_simagent");
    if (init_master_agent() != 0) {
        std::cerr << "cannot listen on " << ports << "\n";
        return 1;
    }
    BuildTree(devices);
    Oid root = E({});
    netsnmp_handler_registration* reg =
        netsnmp_create_handler_registration("simagent", Handler, root.data(), root.size(), HANDLER_CAN_RWRITE);
    netsnmp_register_handler(reg);
    Oid system = {1, 3, 6, 1, 2, 1, 1};
    netsnmp_register_handler(
        netsnmp_create_handler_registration("simsystem", Handler, system.data(), system.size(), HANDLER_CAN_RONLY));

    if (!script.empty()) {
        std::ifstream file(script);
        std::string line;
        while (std::getline(file, line))
            RunCommand(line);
    }

    // The listening port: the one UDP socket of the library bound to our address.
    int boundPort = 0;
    {
        int maxFd = 0, block = 1;
        fd_set fds;
        FD_ZERO(&fds);
        timeval tv{};
        snmp_select_info(&maxFd, &fds, &tv, &block);
        for (int fd = 0; fd < maxFd && !boundPort; ++fd)
            if (FD_ISSET(fd, &fds))
                boundPort = BoundPort(fd);
    }
    std::cout << "ready " << boundPort << std::endl;

    std::string pending;
    bool stdinOpen = true;
    while (!g_quit) {
        int maxFd = 0, block = 1;
        fd_set fds;
        FD_ZERO(&fds);
        timeval tv{1, 0};
        snmp_select_info(&maxFd, &fds, &tv, &block);
        fd_set agentFds = fds;
        if (stdinOpen) {
            FD_SET(0, &fds);
            if (maxFd < 1)
                maxFd = 1;
        }
        timeval wait{1, 0};
        int n = select(maxFd, &fds, nullptr, nullptr, &wait);
        if (n < 0)
            continue;
        if (stdinOpen && FD_ISSET(0, &fds)) {
            char buffer[4096];
            ssize_t got = read(0, buffer, sizeof buffer);
            if (got == 0) {
                // The driver is gone (a test that ended, even by a crash): so is the agent, and with it
                // the output pipe the test's runner waits on.
                stdinOpen = false;
                g_quit = true;
            } else if (got < 0) {
                if (errno != EINTR && errno != EAGAIN)
                    stdinOpen = false;
            } else {
                pending.append(buffer, static_cast<size_t>(got));
                size_t eol;
                while ((eol = pending.find('\n')) != std::string::npos) {
                    std::string line = pending.substr(0, eol);
                    pending.erase(0, eol + 1);
                    RunCommand(line);
                }
            }
            FD_CLR(0, &fds);
        }
        if (g_silent) {
            for (int fd = 1; fd < maxFd; ++fd)
                if (FD_ISSET(fd, &fds) && FD_ISSET(fd, &agentFds)) {
                    char drop[2048];
                    (void)recv(fd, drop, sizeof drop, MSG_DONTWAIT);
                }
            continue;
        }
        if (n > 0)
            snmp_read(&fds);
        else
            snmp_timeout();
        run_alarms();
    }
    // No library shutdown: it only writes the library's own warnings, and the process ends here.
    std::cout.flush();
    _exit(0);
}
