// The engine program with stand-in remote agents, for the end-to-end tests of the device tables: the
// whole engine (server, device list, facade, MIB) as vgnsa composes it, with a remote-agent manager that
// knows the agents listed in "stored-agents" beside the program and never talks to the network.
//
// stored-agents, one item a line:
//   agent <address> <devices> <events>   an agent serving that many devices, each with that many event
//                                        rows ("Offline", then "Event 2", "Event 3", ...)
//   alarm <device index> <id> <value> <description>   raised once the server has started
// At the first start the agents' devices are added as a first contact adds them (and saved to the
// device file); at later starts the device list binds the stored devices to the agents by address.

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/agent/EngineProgram.h"
#include "engine/core/config/MervaneApp.h"
#include "engine/core/devices/Devices.h"
#include "engine/core/server/Server.h"
#include "programs/vgnsa/VigilonEngine.h"

namespace {

const std::vector<uint32_t> kE = {1, 3, 6, 1, 4, 1, 64950};

std::vector<uint32_t> E(std::initializer_list<uint32_t> tail)
{
    std::vector<uint32_t> oid = kE;
    oid.insert(oid.end(), tail);
    return oid;
}

class StandInAgent : public IRemoteAgentEntry {
public:
    StandInAgent(std::string address, uint32_t row, uint32_t devices, uint32_t events)
        : m_address(std::move(address)), m_row(row), m_devices(devices), m_events(events)
    {
    }
    std::string GetServerAddress() override { return m_address; }
    uint32_t GetTableKey() override { return 0xA8100000u | m_row; }
    std::vector<RemoteDeviceInfo> GetDeviceInfo() override
    {
        std::vector<RemoteDeviceInfo> infos;
        for (uint32_t n = 1; n <= m_devices; ++n) {
            RemoteDeviceInfo info;
            info.deviceNumber = n;
            info.model = "Model " + std::to_string(m_row) + "." + std::to_string(n);
            info.port = "COM" + std::to_string(n);
            info.text8 = "serial-" + std::to_string(m_row) + "-" + std::to_string(n);
            info.name = "UPS " + std::to_string(m_row) + "." + std::to_string(n);
            info.location = "Rack " + std::to_string(m_row);
            infos.push_back(info);
        }
        return infos;
    }
    void NoteStoredDevice(uint32_t) override { ++stored; }
    int GetGeneration() override { return 3; }
    // An older agent's event list: the count in device column 18, names in event column 4.
    bool SnmpGet(const std::vector<uint32_t>& oid, RemoteValue& value) override
    {
        const std::vector<uint32_t> count = E({10, 2, 2, 1, 18});
        const std::vector<uint32_t> name = E({10, 2, 3, 2, 1, 4});
        if (oid.size() == count.size() + 1 && std::equal(count.begin(), count.end(), oid.begin())) {
            value.number = m_events;
            return true;
        }
        if (oid.size() == name.size() + 2 && std::equal(name.begin(), name.end(), oid.begin()) &&
            oid.back() >= 1 && oid.back() <= m_events) {
            value.text = oid.back() == 1 ? "Offline" : "Event " + std::to_string(oid.back());
            return true;
        }
        return false;
    }
    bool SnmpGetNext(const std::vector<uint32_t>&, std::vector<uint32_t>& next, RemoteValue& value) override
    {
        next = E({10, 2, 3, 2, 1, 1, 1, 1});
        value.number = 1;
        return true;
    }

    int stored = 0;

private:
    std::string m_address;
    uint32_t m_row;
    uint32_t m_devices;
    uint32_t m_events;
};

struct Alarm {
    int device = 0;
    uint32_t id = 0;
    uint32_t value = 0;
    std::string description;
};

class StandInAgents : public IRemoteAgentManager {
public:
    StandInAgents()
    {
        std::ifstream in(MervaneApp::Instance()->Config().ProgramDirectory() + "stored-agents");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string kind;
            words >> kind;
            if (kind == "agent") {
                std::string address;
                uint32_t devices = 0, events = 0;
                words >> address >> devices >> events;
                m_agents.push_back(std::make_unique<StandInAgent>(address, static_cast<uint32_t>(m_agents.size() + 1),
                                                                  devices, events));
            } else if (kind == "alarm") {
                Alarm a;
                words >> a.device >> a.id >> a.value;
                std::getline(words >> std::ws, a.description);
                m_alarms.push_back(a);
            }
        }
    }
    IRemoteAgentEntry* FindAgentByAddress(const std::string& address) override
    {
        for (auto& agent : m_agents)
            if (agent->GetServerAddress() == address)
                return agent.get();
        return nullptr;
    }
    int GetRowCount() override { return static_cast<int>(m_agents.size()); }
    int GetMaxNodes() override { return 2; }
    int GetValue(uint32_t key, uint32_t, EngineValue& value) override
    {
        const uint32_t column = (key >> 12) & 0xF;
        const uint32_t row = key & 0xFFF;
        if (row == 0 || row > m_agents.size())
            return 0;
        if (column == 1)
            value = EngineValue::Integer(row);
        else if (column == 2)
            value = EngineValue::Integer(1);
        else if (column == 3)
            value = EngineValue::Text(m_agents[row - 1]->GetServerAddress());
        return 1;
    }
    // Once the server has started: a first contact for agents without stored devices, then the alarms.
    void SetConfigurationValues() override
    {
        CServer* server = CServer::Instance();
        auto* devices = server ? dynamic_cast<CDevices*>(server->GetDevices()) : nullptr;
        if (!devices)
            return;
        for (size_t i = 0; i < m_agents.size(); ++i)
            if (m_agents[i]->stored == 0)
                devices->Add(m_agents[i].get(), static_cast<uint32_t>(i + 1));
        for (const Alarm& a : m_alarms)
            if (auto remote = std::dynamic_pointer_cast<CDeviceEntryRemote>(devices->FindByIndex(a.device)))
                remote->AddAlarm(a.id, a.description, a.value);
    }

private:
    std::vector<std::unique_ptr<StandInAgent>> m_agents;
    std::vector<Alarm> m_alarms;
};

std::unique_ptr<IRemoteAgentManager> MakeStandInAgents()
{
    return std::make_unique<StandInAgents>();
}

} // namespace

int main(int argc, char** argv)
{
    VigilonEngineParts parts;
    parts.makeRemoteAgents = MakeStandInAgents;
    return EngineProgramMain(argc, argv, MakeVigilonEngine(std::move(parts)));
}
