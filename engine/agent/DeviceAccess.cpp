#include "engine/agent/DeviceAccess.h"

#include <cstring>

#include "engine/core/server/Server.h"

namespace {

IDeviceManager* Devices()
{
    CServer* server = CServer::Instance();
    return server ? server->GetDevices() : nullptr;
}

class ServerDeviceAccess : public DeviceItemAccess {
public:
    int32_t GetInt(int device, uint32_t item, uint32_t column) override
    {
        IDeviceManager* devices = Devices();
        EngineValue value;
        value.type = kValueInteger;
        if (!devices || !devices->GetDeviceValue(device, item, column, value) || value.type == kValueOctetString)
            return 0;
        return static_cast<int32_t>(value.integer);
    }
    std::string GetText(int device, uint32_t item, uint32_t column) override
    {
        IDeviceManager* devices = Devices();
        EngineValue value;
        value.type = kValueOctetString;
        if (!devices || !devices->GetDeviceValue(device, item, column, value) || value.type != kValueOctetString)
            return std::string();
        return value.bytes.substr(0, std::strlen(value.bytes.c_str()));
    }
    bool SetInt(int device, uint32_t item, uint32_t column, int32_t value) override
    {
        bool saved = true;
        if (IDeviceManager* devices = Devices())
            devices->SetDeviceValue(device, item, column, kValueInteger, &value, sizeof value, &saved);
        return saved;
    }
    bool SetText(int device, uint32_t item, uint32_t column, const std::string& text) override
    {
        bool saved = true;
        if (IDeviceManager* devices = Devices())
            devices->SetDeviceValue(device, item, column, kValueOctetString, text.data(), text.size(), &saved);
        return saved;
    }
    bool GetKeyValue(uint32_t key, int device, EngineValue& value) override
    {
        IDeviceManager* devices = Devices();
        return devices && devices->GetValue(key, device, value, 0) == 1;
    }
};

} // namespace

DeviceItemAccess& EngineDeviceAccess()
{
    static ServerDeviceAccess* access = new ServerDeviceAccess(); // used by the MIB until the process ends
    return *access;
}
