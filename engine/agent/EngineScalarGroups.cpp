#include "engine/agent/EngineScalarGroups.h"

#include "engine/agent/KeyedScalars.h"

namespace {

constexpr unsigned char I = kSnmpInteger;
constexpr unsigned char S = kSnmpOctetString;
constexpr unsigned char A = kSnmpIpAddress;
constexpr bool RO = false;
constexpr bool RW = true;

#define E "1.3.6.1.4.1.64950"

const KeyedScalarSpec kEngineData[] = {
    {E ".10.1.1.0", I, RO, 10},          // engineConsoleActivation
    {E ".10.1.2.1.0", A, RO, 0x85010007}, // engineIpAddress
    {E ".10.1.2.2.0", I, RO, 11},        // engineAgentType
    {E ".10.1.2.3.0", S, RO, 0x85010003}, // engineVersion
    {E ".10.1.2.4.0", I, RW, 1},         // engineVariable1
    {E ".10.1.2.5.0", I, RW, 4},         // engineShutdownRequired
    {E ".10.1.2.6.0", S, RO, 20},        // engineMacAddress
    {E ".10.1.2.7.1.0", I, RW, 35},      // engineEnableLocalBroadcast
    {E ".10.1.2.7.2.0", I, RW, 36},      // engineEnableNetworkBroadcast
    {E ".10.1.2.7.3.0", I, RW, 37},      // engineVariable37
    {E ".10.1.2.7.4.0", S, RW, 38},      // engineVariable38
    {E ".10.1.2.7.5.0", I, RW, 21},      // engineEnableBroadcast
    {E ".10.1.2.8.0", I, RW, 39},        // engineEnableShutdownTimer
    {E ".10.1.2.9.0", I, RO, 15},        // engineVariable15
    {E ".10.1.2.10.0", S, RO, 42},       // engineVariable42
    {E ".10.1.2.11.0", I, RW, 49},       // engineWriteExtendedValues
    {E ".10.1.2.12.0", I, RW, 30},       // engineAutoUpdateTrapMinutes
    {E ".10.1.2.14.0", I, RW, 67},       // engineWriteConfigFile
    {E ".10.1.2.15.0", S, RW, 17},       // engineCommunity
    {E ".10.1.2.17.0", I, RO, 27},       // engineBusy
    {E ".10.1.2.18.1.0", I, RO, 70},     // engineVariable70
    {E ".10.1.2.18.2.0", I, RO, 71},     // engineVariable71
    {E ".10.1.2.18.3.0", I, RO, 72},     // engineVariable72
    {E ".10.1.2.18.4.0", I, RO, 73},     // engineVariable73
    {E ".10.1.2.18.5.0", I, RO, 74},     // engineVariable74
    {E ".10.1.2.19.0", A, RW, 29},       // engineConfiguredIpAddress
    {E ".10.1.3.1.0", I, RW, 5},         // engineVariable5
    {E ".10.1.3.2.1.0", I, RW, 18},      // engineVariable18
    {E ".10.1.4.1.0", I, RO, 6},         // engineHibernationAllowed
    {E ".10.1.4.2.0", I, RW, 7},         // engineEnableHibernation
    {E ".10.1.5.1.0", I, RW, 2},         // engineEnableAutoDiscovery
    {E ".10.1.5.2.0", I, RW, 3},         // engineVariable3
    {E ".10.1.5.3.1.0", I, RW, 22},      // engineVariable22
    {E ".10.1.5.3.2.0", S, RW, 23},      // engineVariable23
    {E ".10.1.5.3.3.0", I, RW, 24},      // engineVariable24
    {E ".10.1.5.4.0", I, RW, 40},        // engineDisableAutoDiscoveryAtStartup
    {E ".10.1.6.1.0", S, RW, 8},         // engineSMTPServer
    {E ".10.1.6.2.0", S, RW, 9},         // engineSMTPFrom
    {E ".10.1.6.3.0", I, RW, 25},        // engineSMTPPort
    {E ".10.1.6.4.0", I, RW, 32},        // engineSMTPAuthenticationRequired
    {E ".10.1.6.5.0", S, RW, 33},        // engineSMTPLogin
    {E ".10.1.6.6.0", S, RW, 34},        // engineSMTPPassword
    {E ".10.1.7.1.0", S, RW, 16},        // engineVariable16
    {E ".10.1.9.1.0", I, RO, 0x8501000B}, // engineProtocolCount
    {E ".10.1.10.1.0", I, RO, 0x8501000A}, // enginePortCount
    {E ".10.1.11.1.0", S, RW, 51},       // discoveryAddressList
    {E ".10.1.11.2.0", I, RW, 52},       // discoveryAddressCount
    {E ".10.1.11.3.0", S, RW, 53},       // discoveryCommunityList
    {E ".10.1.11.4.0", I, RW, 54},       // discoveryStart
    {E ".10.1.11.5.0", I, RW, 55},       // discoveryCancel
    {E ".10.1.12.1.0", S, RW, 59},       // engineVariable59
    {E ".10.1.12.2.0", I, RW, 60},       // engineVariable60
    {E ".10.1.12.3.0", S, RW, 61},       // engineVariable61
    {E ".10.1.12.4.0", S, RW, 62},       // engineVariable62
    {E ".10.1.12.5.0", I, RW, 63},       // engineVariable63
    {E ".10.1.12.6.0", I, RW, 64},       // engineVariable64
    {E ".10.1.12.7.0", I, RW, 65},       // engineVariable65
    {E ".10.1.12.8.0", I, RW, 66},       // engineVariable66
    {E ".10.1.12.9.0", I, RW, 68},       // engineVariable68
    {E ".10.1.12.10.0", I, RW, 69},      // engineVariable69
    {E ".10.1.13.1.0", I, RO, 57},       // engineRemoteMaxNodes
    {E ".10.1.13.2.0", I, RW, 58},       // engineRemoteTrapPort
    {E ".10.1.13.3.0", I, RW, 26},       // engineRemoteLoopbackDelay
    {E ".10.1.13.4.0", I, RW, 28},       // engineRemoteThreadCount
    {E ".10.1.13.5.0", S, RW, 75},       // engineRelocateAgent
    {E ".10.1.13.6.1.1.0", I, RW, 83},   // engineVariable83
    {E ".10.1.13.6.1.2.0", I, RW, 84},   // engineVariable84
    {E ".10.1.13.6.2.1.0", I, RW, 85},   // engineVariable85
    {E ".10.1.13.6.2.2.0", I, RW, 86},   // engineVariable86
    {E ".10.1.13.7.0", I, RW, 92},       // engineVariable92
    {E ".10.1.13.8.0", I, RW, 93},       // engineVariable93
    {E ".10.1.13.9.0", S, RW, 94},       // engineVariable94
    {E ".10.1.13.10.0", S, RW, 95},      // engineVariable95
};

const KeyedScalarSpec kEngineLogData[] = {
    {E ".10.4.1.1.0", I, RO, 13},   // engineVariable13
    {E ".10.4.1.2.0", I, RW, 43},   // engineDataLogInterval
    {E ".10.4.1.3.0", I, RW, 44},   // engineDataLogDuration
    {E ".10.4.1.4.0", I, RW, 45},   // engineDataLogTextFile
    {E ".10.4.1.5.0", I, RW, 46},   // engineDataLogAppend
    {E ".10.4.2.1.0", I, RW, 14},   // engineEventLogMaxSize
    {E ".10.4.2.2.0", I, RW, 47},   // engineEventLogTextFile
    {E ".10.4.2.3.0", I, RW, 48},   // engineEventLogAppend
    {E ".10.4.2.4.1.0", I, RW, 87}, // engineVariable87
    {E ".10.4.2.4.2.0", I, RW, 88}, // engineVariable88
    {E ".10.4.2.4.3.0", I, RW, 89}, // engineVariable89
    {E ".10.4.2.4.4.0", I, RW, 90}, // engineVariable90
    {E ".10.4.2.4.5.0", I, RW, 91}, // engineVariable91
};

const KeyedScalarSpec kEngineShutdown[] = {
    {E ".10.5.1.0", I, RO, 19}, // engineShutdownCountdown
};

const KeyedScalarSpec kEngineConfigTimeStamp[] = {
    {E ".10.7.1.0", S, RO, 78}, // engineSourceTimeStamp
    {E ".10.7.2.0", S, RO, 79}, // engineSourceName
    {E ".10.7.3.0", S, RO, 80}, // engineServerTimeStamp
    {E ".10.7.4.0", S, RO, 81}, // engineServerName
    {E ".10.7.5.0", S, RO, 82}, // engineFileVersionName
};

const KeyedScalarSpec kDevConsole[] = {
    {E ".11.1.0", I, RW, 0x85020006},       // consoleSelectedDevice
    {E ".11.2.1.1.0", I, RW, 0x85020015},   // consoleCommand3
    {E ".11.2.1.2.0", I, RW, 0x85020016},   // consoleCommand4
    {E ".11.2.1.3.1.0", I, RW, 0x85020017}, // consoleACode
    {E ".11.2.1.3.2.0", I, RW, 0x85020018}, // consoleACount
    {E ".11.2.1.3.3.0", S, RW, 0x85020019}, // consoleADate1
    {E ".11.2.1.3.4.0", S, RW, 0x8502001A}, // consoleADate2
    {E ".11.2.1.3.5.0", S, RW, 0x8502001B}, // consoleATime1
    {E ".11.2.1.3.6.0", S, RW, 0x8502001C}, // consoleATime2
    {E ".11.2.2.1.0", I, RW, 0x85020007},   // consoleCommand1
    {E ".11.2.2.2.0", I, RW, 0x85020008},   // consoleCommand2
    {E ".11.2.2.3.1.0", I, RW, 0x85020009}, // consoleBCode
    {E ".11.2.2.3.2.0", I, RW, 0x8502000A}, // consoleBCount
    {E ".11.2.2.3.3.0", S, RW, 0x8502000B}, // consoleBDate1
    {E ".11.2.2.3.4.0", S, RW, 0x8502000C}, // consoleBDate2
    {E ".11.2.2.3.5.0", I, RW, 0x8502000D}, // consoleBScale
    {E ".11.2.2.3.6.0", I, RW, 0x8502000E}, // consoleBNibble
    {E ".11.3.1.1.0", I, RW, 0x8502000F},   // consoleVariable0F
    {E ".11.3.1.2.0", I, RW, 0x85020010},   // consoleVariable10
    {E ".11.3.2.1.0", I, RW, 0x85020012},   // consoleVariable12
    {E ".11.3.2.2.0", I, RW, 0x85020011},   // consoleTrapPort
    {E ".11.3.2.3.0", I, RW, 0x85020013},   // consoleAgentPort
    {E ".11.3.2.4.0", S, RW, 0x85020014},   // consoleCommunity
    {E ".11.4.0", I, RW, 0x85020011},       // consoleTrapPortAlias
};

#undef E

template <size_t N>
KeyedScalarTable Table(const KeyedScalarSpec (&specs)[N])
{
    return {specs, N};
}

void AddScalars(MibGroup& group, KeyedScalarTable table)
{
    for (size_t i = 0; i < table.count; ++i) {
        const KeyedScalarSpec& s = table.specs[i];
        const MibAccess access = s.writable ? MibAccess::ReadWrite : MibAccess::ReadOnly;
        switch (s.syntax) {
        case kSnmpOctetString:
            group.add(new mervane_keyed_stroid(s.oid, access, s.key));
            break;
        case kSnmpIpAddress:
            group.add(new mervane_keyed_adroid(s.oid, access, s.key));
            break;
        default:
            group.add(new mervane_keyed_intoid(s.oid, access, s.key));
            break;
        }
    }
}

} // namespace

KeyedScalarTable EngineDataScalars() { return Table(kEngineData); }
KeyedScalarTable EngineLogDataScalars() { return Table(kEngineLogData); }
KeyedScalarTable EngineShutdownScalars() { return Table(kEngineShutdown); }
KeyedScalarTable EngineConfigTimeStampScalars() { return Table(kEngineConfigTimeStamp); }
KeyedScalarTable DevConsoleScalars() { return Table(kDevConsole); }

mervane_enginedata_mib::mervane_enginedata_mib() : MibGroup("1.3.6.1.4.1.64950.10.1", "mvnEngineData")
{
    AddScalars(*this, EngineDataScalars());
}
mervane_enginedata_mib::~mervane_enginedata_mib() = default;

mervane_enginelogdata_mib::mervane_enginelogdata_mib() : MibGroup("1.3.6.1.4.1.64950.10.4", "mvnEngineLogData")
{
    AddScalars(*this, EngineLogDataScalars());
}
mervane_enginelogdata_mib::~mervane_enginelogdata_mib() = default;

mervane_engineshutdowndata_mib::mervane_engineshutdowndata_mib()
    : MibGroup("1.3.6.1.4.1.64950.10.5", "mvnEngineShutdown")
{
    AddScalars(*this, EngineShutdownScalars());
}
mervane_engineshutdowndata_mib::~mervane_engineshutdowndata_mib() = default;

mervane_engineconfigtimestamp_mib::mervane_engineconfigtimestamp_mib()
    : MibGroup("1.3.6.1.4.1.64950.10.7", "mvnEngineConfigTimeStamp")
{
    AddScalars(*this, EngineConfigTimeStampScalars());
}
mervane_engineconfigtimestamp_mib::~mervane_engineconfigtimestamp_mib() = default;

mervane_devconsole_mib::mervane_devconsole_mib() : MibGroup("1.3.6.1.4.1.64950.11", "mvnDevConsole")
{
    AddScalars(*this, DevConsoleScalars());
}
mervane_devconsole_mib::~mervane_devconsole_mib() = default;

void AddEngineScalarGroups(Mib& mib)
{
    mib.add(new mervane_enginedata_mib());
    mib.add(new mervane_enginelogdata_mib());
    mib.add(new mervane_engineshutdowndata_mib());
    mib.add(new mervane_engineconfigtimestamp_mib());
    mib.add(new mervane_devconsole_mib());
}
