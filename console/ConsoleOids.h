#pragma once
// The engine objects the console reads and writes (all under the enterprise arc E = 1.3.6.1.4.1.64950).
// Scalars carry their ".0"; table columns are given without the row index.

#include "engine/snmp/SnmpTypes.h"

namespace console_oid {

inline SnmpOid E(std::initializer_list<uint32_t> tail)
{
    SnmpOid oid = {1, 3, 6, 1, 4, 1, 64950};
    oid.insert(oid.end(), tail.begin(), tail.end());
    return oid;
}

inline const SnmpOid kEnterprise = E({});
inline const SnmpOid kConsoleActivation = E({10, 1, 1, 0});
inline const SnmpOid kEngineIpAddress = E({10, 1, 2, 1, 0});
inline const SnmpOid kEngineAgentType = E({10, 1, 2, 2, 0});
inline const SnmpOid kEngineVersion = E({10, 1, 2, 3, 0});
inline const SnmpOid kShutdownRequired = E({10, 1, 2, 5, 0});
inline const SnmpOid kEngineCommunity = E({10, 1, 2, 15, 0});
inline const SnmpOid kEngineBusy = E({10, 1, 2, 17, 0});
inline const SnmpOid kHibernationAllowed = E({10, 1, 4, 1, 0});
inline const SnmpOid kEnableHibernation = E({10, 1, 4, 2, 0});
inline const SnmpOid kShutdownCountdown = E({10, 5, 1, 0});
inline const SnmpOid kDeviceCount = E({10, 2, 1, 0});
inline const SnmpOid kRemoteCount = E({10, 6, 1, 0});
inline const SnmpOid kDiscoveryAddressList = E({10, 1, 11, 1, 0});
inline const SnmpOid kDiscoveryAddressCount = E({10, 1, 11, 2, 0});
inline const SnmpOid kDiscoveryCommunityList = E({10, 1, 11, 3, 0});
inline const SnmpOid kDiscoveryStart = E({10, 1, 11, 4, 0});
// consoleTrapPort: the trap port of the console that writes it.
inline const SnmpOid kConsoleTrapPort = E({11, 3, 2, 2, 0});

// Table entries; append the column, then the row index (indexes).
inline const SnmpOid kDeviceEntry = E({10, 2, 2, 1});
inline const SnmpOid kEventEntry = E({10, 2, 3, 2, 1});
inline const SnmpOid kRemoteEntry = E({10, 6, 2, 1});

inline SnmpOid Column(const SnmpOid& entry, uint32_t column)
{
    SnmpOid oid = entry;
    oid.push_back(column);
    return oid;
}

// Device table columns.
constexpr uint32_t kDeviceState = 2;
constexpr uint32_t kDeviceModel = 9;
constexpr uint32_t kDeviceLocation = 12;
constexpr uint32_t kDeviceEventCount = 18;
constexpr uint32_t kDeviceRemoteIndex = 24;
constexpr uint32_t kDeviceStatus = 25;
// Event table columns.
constexpr uint32_t kEventName = 4;
constexpr uint32_t kEventActions = 7;
constexpr uint32_t kEventCommandAfterDelay = 8;
constexpr uint32_t kEventCommandOnClear = 9;
constexpr uint32_t kEventCommandDelay = 18;
constexpr uint32_t kEventShutdownDelay = 19;
// Remote-agent table columns.
constexpr uint32_t kRemoteRowStatus = 2;
constexpr uint32_t kRemoteAddress = 3;
constexpr uint32_t kRemoteVersion = 4;
constexpr uint32_t kRemoteCommunity = 5;
constexpr uint32_t kRemotePort = 6;
constexpr uint32_t kRemoteTrapPort = 7;
constexpr uint32_t kRemoteSingleDevice = 8;
constexpr uint32_t kRemoteText = 10;
constexpr uint32_t kRemotePositions = 12;

// RowStatus values.
constexpr int32_t kRowActive = 1;
constexpr int32_t kRowCreateAndWait = 5;
constexpr int32_t kRowDestroy = 6;

// The engine's built-in community: the login before a password is set, and what discovery offers first.
constexpr const char* kDefaultCommunity = "wendolmar";

// Notification codes (the last sub-identifier of E.0.<code>).
constexpr int kValueChangedTrap = 1001;
constexpr int kListChangedTrap = 1002;
constexpr int kDiscoveryProgressTrap = 1007;

}  // namespace console_oid
