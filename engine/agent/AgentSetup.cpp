#include "engine/agent/AgentSetup.h"

#include <netinet/in.h>

#include <cstring>
#include <map>
#include <memory>

#include "engine/snmp/NetSnmp.h"
#include "engine/agent/SnmpAgent.h"
#include "engine/snmp/SnmpThread.h"
#include "engine/agent/mib/Mib.h"
#include "engine/base/AppLog.h"

namespace {

constexpr size_t kMaxCommunity = 128;
// VACM security names are at most 32 characters; a longer community gets this one.
constexpr const char* kLongCommunitySecName = "configuredCommunity";

// SNMP thread only.
std::string g_currentCommunity;
std::map<std::string, com2SecEntry*> g_communityRows;

void Copy(char* out, size_t size, const char* in)
{
    std::strncpy(out, in ? in : "", size - 1);
    out[size - 1] = '\0';
}

std::string SecurityNameOf(const std::string& community)
{
    return community.size() <= VACM_MAX_STRING ? community : std::string(kLongCommunitySecName);
}

void AddGroup(int model, const char* securityName, const char* group)
{
    // A second row with the same model and name is refused: the first stays.
    if (vacm_getGroupEntry(model, securityName))
        return;
    struct vacm_groupEntry* entry = vacm_createGroupEntry(model, securityName);
    if (!entry) {
        AppLog::Instance()->Printf(kLogError, "AgentSetup: group row (%d, %s) refused", model, securityName);
        return;
    }
    Copy(entry->groupName, sizeof entry->groupName, group);
    entry->storageType = SNMP_STORAGE_VOLATILE;
    entry->status = RS_ACTIVE;
}

void RemoveGroup(int model, const char* securityName)
{
    vacm_destroyGroupEntry(model, securityName);
}

void AddAccess(const char* group, const char* context, int model, int level, int match, const char* readView,
               const char* writeView, const char* notifyView)
{
    struct vacm_accessEntry* entry = vacm_getAccessEntry(group, context, model, level);
    if (!entry)
        entry = vacm_createAccessEntry(group, context, model, level);
    if (!entry) {
        AppLog::Instance()->Printf(kLogError, "AgentSetup: access row (%s, %s) refused", group, context);
        return;
    }
    entry->contextMatch = match;
    Copy(entry->views[VACM_VIEW_READ], sizeof entry->views[VACM_VIEW_READ], readView);
    Copy(entry->views[VACM_VIEW_WRITE], sizeof entry->views[VACM_VIEW_WRITE], writeView);
    Copy(entry->views[VACM_VIEW_NOTIFY], sizeof entry->views[VACM_VIEW_NOTIFY], notifyView);
    entry->storageType = SNMP_STORAGE_NONVOLATILE;
    entry->status = RS_ACTIVE;
}

void AddView(const char* name, std::initializer_list<oid> subtree, int type)
{
    oid buffer[MAX_OID_LEN];
    size_t length = 0;
    for (oid o : subtree)
        buffer[length++] = o;
    struct vacm_viewEntry* entry = vacm_createViewEntry(name, buffer, length);
    if (!entry) {
        AppLog::Instance()->Printf(kLogError, "AgentSetup: view row %s refused", name);
        return;
    }
    entry->viewType = type;
    entry->viewMaskLen = 0;
    entry->viewStorageType = SNMP_STORAGE_NONVOLATILE;
    entry->viewStatus = RS_ACTIVE;
}

void AddCommunityRow(const std::string& community)
{
    if (g_communityRows.count(community))
        return;
    std::string securityName = SecurityNameOf(community);
    struct in_addr any;
    any.s_addr = 0;
    struct in_addr mask;
    mask.s_addr = 0;
    com2SecEntry* entry = nullptr;
    int rc = netsnmp_udp_com2SecEntry_create(&entry, community.c_str(), securityName.c_str(), "", &any, &mask, 0);
    if (rc != C2SE_ERR_SUCCESS || !entry) {
        AppLog::Instance()->Printf(kLogError, "AgentSetup: community row refused (%d)", rc);
        return;
    }
    g_communityRows[community] = entry;
}

void RemoveCommunityRow(const std::string& community)
{
    auto it = g_communityRows.find(community);
    if (it == g_communityRows.end())
        return;
    if (netsnmp_udp_com2SecList_remove(it->second) == 0)
        netsnmp_udp_com2Sec_free(it->second);
    g_communityRows.erase(it);
}

void AddDefaultGroups()
{
    AddGroup(SNMP_SEC_MODEL_SNMPv2c, kCommunityReadOnly, "readonlygroup");
    AddGroup(SNMP_SEC_MODEL_SNMPv1, kCommunityReadOnly, "readonlygroup");
    AddGroup(SNMP_SEC_MODEL_SNMPv2c, kCommunityPeer, "v1v2group");
    AddGroup(SNMP_SEC_MODEL_SNMPv1, kCommunityPeer, "v1v2group");
    AddGroup(SNMP_SEC_MODEL_SNMPv2c, kCommunityReadWrite, "v1v2group");
    AddGroup(SNMP_SEC_MODEL_SNMPv1, kCommunityReadWrite, "v1v2group");
}

}  // namespace

int RegisterMibGroups(SnmpAgent&, Mib& mib)
{
    init_system_mib();
    init_sysORTable();
    init_snmp_mib();
    init_setSerialNo();
    init_snmpTargetAddrEntry();
    init_snmpTargetParamsEntry();
    init_target_counters();
    init_snmpNotifyTable();
    init_snmpNotifyFilterTable();
    init_snmpNotifyFilterProfileTable();
    init_notification_log();
    init_usmUser();
    init_usmStats();
    init_snmpEngine();
    init_snmpMPDStats();
    init_vacm_vars();
    init_vacm_context();
    return mib.register_groups();
}

void ConfigureSystemGroup()
{
    std::string descr = std::string("sysdescr Vigilon v") + kAgentVersionText;
    netsnmp_config(&descr[0]);
    char objectId[] = "sysobjectid .1.3.6.1.4.1.64950";
    netsnmp_config(objectId);
    char services[] = "sysservices 72";
    netsnmp_config(services);
}

const std::vector<UsmUserSpec>& EngineUsmUsers()
{
    static const std::vector<UsmUserSpec> users = {
        {"unsecureUser", "none", "none", "", ""},
        {"MD5", "MD5", "none", "GravelOrchidTundraX", ""},
        {"SHA", "SHA", "none", "CobaltFernQuiverMap", ""},
        {"MD5DES", "MD5", "DES", "DuneSparrowKettleMinor", "BristleHarborMangoVeil"},
        {"SHADES", "SHA", "DES", "HazelRiverPocketStones", "FlintMeadowCopperLarks"},
        {"MD5IDEA", "MD5", "IDEA", "LagoonPepperWillowCrane", "JuniperQuartzVelvetOwls"},
        {"SHAIDEA", "SHA", "IDEA", "NutmegCanyonBeaconFrogs", "MosaicThistleAnchorPuma"},
    };
    return users;
}

namespace {

struct usmUser* FindLocalUser(const char* name)
{
    u_char engineId[MAX_ENGINEID_LENGTH];
    size_t length = snmpv3_get_engineID(engineId, sizeof engineId);
    return usm_get_user(engineId, length, const_cast<char*>(name));
}

}  // namespace

int CreateUsmUsers()
{
    int created = 0;
    for (const UsmUserSpec& user : EngineUsmUsers()) {
        if (std::strcmp(user.priv, "IDEA") == 0) {
            AppLog::Instance()->Printf(kLogWarning,
                                       "SNMPv3 user \"%s\" left out: IDEA privacy is not available", user.name);
            continue;
        }
        if (FindLocalUser(user.name))
            continue;
        std::string line = user.name;
        if (std::strcmp(user.auth, "none") != 0) {
            line += std::string(" ") + user.auth + " " + user.authPass;
            if (std::strcmp(user.priv, "none") != 0)
                line += std::string(" ") + user.priv + " " + user.privPass;
        }
        usm_parse_create_usmUser("createUser", &line[0]);
        if (FindLocalUser(user.name))
            ++created;
        else
            AppLog::Instance()->Printf(kLogError, "SNMPv3 user \"%s\" could not be created", user.name);
    }
    return created;
}

void ConfigureAgentXLocalhost()
{
    // The AgentX master listens on 127.0.0.1 (SnmpAgent::EnableAgentX): only local sub-agents connect.
}

void ConfigureAccessControl()
{
    const int usm = SNMP_SEC_MODEL_USM;
    AddGroup(usm, "unsecureUser", "newGroup");
    AddGroup(usm, "test", "testGroup");
    AddDefaultGroups();
    AddGroup(usm, "initial", "initial");
    AddGroup(usm, "unsecureUser", "initial");  // refused: the first row for unsecureUser stays
    // A user with keys has a group of its own level: sharing "newGroup" with unsecureUser would serve it
    // without its password.
    AddGroup(usm, "MD5", "authGroup");
    AddGroup(usm, "SHA", "testNoPrivGroup");
    AddGroup(usm, "MD5DES", "testGroup");
    AddGroup(usm, "SHADES", "testGroup");
    AddGroup(usm, "MD5IDEA", "testGroup");
    AddGroup(usm, "SHAIDEA", "testGroup");

    const int exact = CONTEXT_MATCH_EXACT;
    const int prefix = CONTEXT_MATCH_PREFIX;
    const int noAuth = SNMP_SEC_LEVEL_NOAUTH, auth = SNMP_SEC_LEVEL_AUTHNOPRIV, priv = SNMP_SEC_LEVEL_AUTHPRIV;
    // Without credentials nothing is written: unsecureUser reads (its own context and the sub-agent
    // contexts, not the engine's tree) and writes nothing. Each user with keys is served only at its own security level (VACM
    // grants a row to requests at its level or above; the users' keys cap the level from above).
    for (const char* context : {"subagent", "subagent2", ""}) {
        AddAccess("newGroup", context, usm, noAuth, exact, "unsecureView", "", "unsecureView");
        AddAccess("authGroup", context, usm, auth, exact, "newView", "newView", "newView");
    }
    AddAccess("testGroup", "", usm, priv, prefix, "testView", "testView", "testView");
    AddAccess("testNoPrivGroup", "", usm, auth, prefix, "testView", "testView", "testView");
    AddAccess("readonlygroup", "", SNMP_SEC_MODEL_SNMPv2c, noAuth, exact, "v1ReadView", "v1NoWriteView", "v1NotifyView");
    AddAccess("readonlygroup", "", SNMP_SEC_MODEL_SNMPv1, noAuth, exact, "v1ReadView", "v1NoWriteView", "v1NotifyView");
    AddAccess("v1v2group", "", SNMP_SEC_MODEL_SNMPv2c, noAuth, exact, "v1ReadView", "v1WriteView", "v1NotifyView");
    AddAccess("v1v2group", "", SNMP_SEC_MODEL_SNMPv1, noAuth, exact, "v1ReadView", "v1WriteView", "v1NotifyView");
    AddAccess("initial", "", usm, noAuth, exact, "restricted", "", "restricted");
    AddAccess("initial", "", usm, auth, exact, "internet", "internet", "internet");
    AddAccess("initial", "", usm, priv, exact, "internet", "internet", "internet");

    const int included = SNMP_VIEW_INCLUDED, excluded = SNMP_VIEW_EXCLUDED;
    AddView("v1ReadView", {1, 3}, included);
    AddView("v1WriteView", {1, 3}, included);
    AddView("v1NoWriteView", {1, 3}, excluded);
    AddView("v1NotifyView", {1, 3}, included);
    AddView("newView", {1, 3}, included);
    // Without credentials: everything but the engine's own tree, which holds its community and the
    // other passwords.
    AddView("unsecureView", {1, 3}, included);
    AddView("unsecureView", {1, 3, 6, 1, 4, 1, 64950}, excluded);
    AddView("testView", {1, 3, 6}, included);
    AddView("internet", {1, 3, 6, 1}, included);
    AddView("restricted", {1, 3, 6, 1, 2, 1, 1}, included);
    AddView("restricted", {1, 3, 6, 1, 2, 1, 11}, included);
    AddView("restricted", {1, 3, 6, 1, 6, 3, 10, 2, 1}, included);
    AddView("restricted", {1, 3, 6, 1, 6, 3, 11, 2, 1}, included);
    AddView("restricted", {1, 3, 6, 1, 6, 3, 15, 1, 1}, included);
}

void AddDefaultCommunities()
{
    AddCommunityRow(kCommunityReadOnly);
    AddCommunityRow(kCommunityReadWrite);
    AddCommunityRow(kCommunityPeer);
}

int SetAgentCommunity(const char* name, size_t length)
{
    if (length >= kMaxCommunity)
        return 0;
    if (!name)
        length = 0;
    std::string community(name ? name : "", length);
    // What is in force goes.
    if (g_currentCommunity.empty()) {
        RemoveCommunityRow(kCommunityReadOnly);
        RemoveCommunityRow(kCommunityReadWrite);
        RemoveCommunityRow(kCommunityPeer);
        for (const char* c : {kCommunityReadOnly, kCommunityPeer, kCommunityReadWrite}) {
            RemoveGroup(SNMP_SEC_MODEL_SNMPv1, c);
            RemoveGroup(SNMP_SEC_MODEL_SNMPv2c, c);
        }
    } else {
        RemoveCommunityRow(g_currentCommunity);
        std::string securityName = SecurityNameOf(g_currentCommunity);
        RemoveGroup(SNMP_SEC_MODEL_SNMPv1, securityName.c_str());
        RemoveGroup(SNMP_SEC_MODEL_SNMPv2c, securityName.c_str());
    }
    g_currentCommunity.clear();
    if (!community.empty()) {
        g_currentCommunity = community;
        std::string securityName = SecurityNameOf(community);
        AddGroup(SNMP_SEC_MODEL_SNMPv2c, securityName.c_str(), "v1v2group");
        AddGroup(SNMP_SEC_MODEL_SNMPv1, securityName.c_str(), "v1v2group");
        AddCommunityRow(community);
    } else {
        AddDefaultGroups();
        AddDefaultCommunities();
    }
    return 1;
}

int PostAgentCommunity(SnmpThread& thread, const std::string& name)
{
    if (name.size() >= kMaxCommunity)
        return 0;
    return thread.Post([name]() { SetAgentCommunity(name.c_str(), name.size()); }) ? 1 : 0;
}

int SetAgentCommunityOnLoop(SnmpThread& thread, const std::string& name)
{
    auto result = std::make_shared<int>(0);
    if (!thread.Call([result, name]() { *result = SetAgentCommunity(name.c_str(), name.size()); }, 10000))
        return 0;
    return *result;
}

std::string CurrentAgentCommunity()
{
    return g_currentCommunity;
}
