#pragma once
// The well-known alarms of the UPS-MIB (RFC 1628, upsWellKnownAlarms 1.3.6.1.2.1.33.1.6.3.n) that an
// alarm description names. The UPS-MIB's alarm table and its battery and output objects read a
// device's alarms through this one mapping, so they always agree on what an alarm means.
//
// Threads: pure functions, safe from any thread.

#include <cstdint>
#include <string>

constexpr uint32_t kWellKnownOnBattery = 2;
constexpr uint32_t kWellKnownLowBattery = 3;
constexpr uint32_t kWellKnownGeneralFault = 18;
constexpr uint32_t kWellKnownCommunicationsLost = 20;

// The device keys of the UPS-MIB objects that a device answers from its standing alarms
// (CDeviceEntryRemote::GetPowerValue).
constexpr uint32_t kUpsBatteryStatusKey = 0x85070001;    // upsBatteryStatus
constexpr uint32_t kUpsSecondsOnBatteryKey = 0x85070002; // upsSecondsOnBattery
constexpr uint32_t kUpsOutputSourceKey = 0x85090001;     // upsOutputSource

// The number of the well-known alarm that a description names, letter case, blanks and punctuation
// aside ("On Battery" 2, "Low Battery" 3, "Overload" 8, the engine's "Offline" 20); the general fault
// (18) for a description that names none.
uint32_t WellKnownAlarmNumber(const std::string& description);
