#include "console/StatusPoll.h"

#include <fstream>
#include <sstream>

#include "console/ConsoleOids.h"
#include "console/ConsoleSession.h"
#include "console/SnmpServer.h"

using namespace console_oid;

bool UdpTableHasPort(const std::string& table, uint16_t port)
{
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        // "  12: 0100007F:0E51 00000000:0000 07 ...": the slot, then the local address and port in hex.
        std::istringstream fields(line);
        std::string slot, local;
        if (!(fields >> slot >> local))
            continue;
        const size_t colon = local.rfind(':');
        if (colon == std::string::npos || colon + 1 >= local.size())
            continue;
        char* end = nullptr;
        const unsigned long value = std::strtoul(local.c_str() + colon + 1, &end, 16);
        if (end && *end == '\0' && value == port)
            return true;
    }
    return false;
}

bool UdpPortHeld(uint16_t port)
{
    bool readAny = false;
    for (const char* path : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream file(path);
        if (!file)
            continue;
        std::ostringstream text;
        text << file.rdbuf();
        if (file.bad())
            continue;
        readAny = true;
        if (UdpTableHasPort(text.str(), port))
            return true;
    }
    return !readAny;
}

EnginePortState LocalEnginePort(const QString& address, int port)
{
    if (port <= 0 || port > 0xFFFF || !IsHostAddress(address))
        return EnginePortState::Elsewhere;
    return UdpPortHeld(static_cast<uint16_t>(port)) ? EnginePortState::Held : EnginePortState::Free;
}

bool ReadCountdown(SnmpServer& s, uint32_t& seconds)
{
    int32_t secs = 0;
    if (s.GetInt(secs, kShutdownCountdown)) {
        seconds = secs < 0 ? 0 : static_cast<uint32_t>(secs);
        return true;
    }
    // Only an engine that answered with another type is asked again.
    return s.LastAnswered() && s.GetUnsigned(seconds, kShutdownCountdown);
}

StatusPoll PollStatus(SnmpServer& s, uint16_t ownTrapPort, const std::vector<int>& devices)
{
    StatusPoll poll;
    poll.readAt = std::chrono::steady_clock::now();
    poll.countdownRead = ReadCountdown(s, poll.countdown);
    if (!s.StillAnswers(kDeviceCount))
        return poll;
    for (int device : devices) {
        int32_t status = 0;
        if (s.GetInt(status, Column(kDeviceEntry, kDeviceStatus), static_cast<uint32_t>(device)))
            poll.statuses.emplace_back(device, status);
        else if (!s.StillAnswers(kDeviceCount))
            return poll;
    }
    int32_t registered = 0;
    if (ownTrapPort != 0 && s.GetInt(registered, kConsoleTrapPort)) {
        poll.registeredPort = registered;
        if (registered != ownTrapPort) {
            const bool otherHolds = registered > 0 && registered <= 0xFFFF && UdpPortHeld(static_cast<uint16_t>(registered));
            if (otherHolds)
                poll.otherConsole = true;
            else if (s.SetInt(ownTrapPort, kConsoleTrapPort))
                poll.registeredPort = ownTrapPort;
        }
    }
    return poll;
}
