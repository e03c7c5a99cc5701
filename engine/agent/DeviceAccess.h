#pragma once
// How the device tables reach the engine's devices: by device index (the 1-based device-table row), item
// key (class << 16 | item, 0 the device itself) and column, straight to the device list, without the
// server's keyed variables and without the requester. The composition root binds it to the device list;
// tests bind a stand-in.
//
// Item classes: 0x1 controls, 0x2 variables, 0x3 events, 0x4 loads (load 0 the main load), 0x5 the
// control data of one control (column = data item << 16 | column), 0xB schedules, 0xE load groups.
//
// Threads: every method may be called from any thread (the SNMP thread for requests, engine threads
// for the facade's rebuild of the item counts); an implementation locks the device list itself and
// hands out copies of texts.

#include <cstdint>
#include <string>

#include "engine/agent/MibRowCounts.h"
#include "engine/core/interfaces/EngineValue.h"

constexpr uint32_t kItemControls = 0x1;
constexpr uint32_t kItemVariables = 0x2;
constexpr uint32_t kItemEvents = 0x3;
constexpr uint32_t kItemLoads = 0x4;
constexpr uint32_t kItemControlData = 0x5;
constexpr uint32_t kItemSchedules = 0xB;
constexpr uint32_t kItemLoadGroups = 0xE;

// The device-table columns that hold a device's item counts.
constexpr uint32_t kColumnVariableCount = 17;
constexpr uint32_t kColumnEventCount = 18;
constexpr uint32_t kColumnControlCount = 19;
constexpr uint32_t kColumnLoadCount = 20;
constexpr uint32_t kColumnScheduleCount = 26;
constexpr uint32_t kColumnLoadGroupCount = 27;

class DeviceItemAccess {
public:
    virtual ~DeviceItemAccess() = default;
    // The value of item/column of the device with that index; 0 or "" when no device has the index or
    // it does not answer.
    virtual int32_t GetInt(int device, uint32_t item, uint32_t column) = 0;
    virtual std::string GetText(int device, uint32_t item, uint32_t column) = 0;
    // Hands a write to the device (which decides what it changes). false when what the write changed
    // could not be saved (it is in memory only); a refused write answers true.
    virtual bool SetInt(int device, uint32_t item, uint32_t column, int32_t value) = 0;
    virtual bool SetText(int device, uint32_t item, uint32_t column, const std::string& text) = 0;
    // A device variable by engine key for the device with that index (load current and power of the UPS
    // group); false when it does not answer.
    virtual bool GetKeyValue(uint32_t key, int device, EngineValue& value) = 0;
};

// A device's item counts as its device-table columns report them.
DeviceItems ReadDeviceItems(DeviceItemAccess& access, int device);

// The engine's device list as the process-wide server holds it (IDeviceManager); without a server every
// read answers nothing and writes go nowhere.
DeviceItemAccess& EngineDeviceAccess();
