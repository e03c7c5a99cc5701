#include "platform/NetInterfaces.h"

#include <arpa/inet.h>
#include <fstream>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

namespace vgplat {

std::string FormatMac(const MacBytes& m)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
}

bool ListInterfaceAddresses(std::vector<InterfaceAddress>& out)
{
    out.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    struct Link {
        bool ethernet = false;
        bool hasMac = false;
        MacBytes mac{};
    };
    std::map<std::string, Link> links;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !a->ifa_name || a->ifa_addr->sa_family != AF_PACKET)
            continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
        Link link;
        link.ethernet = ll->sll_hatype == ARPHRD_ETHER;
        if (ll->sll_halen == 6) {
            std::copy(ll->sll_addr, ll->sll_addr + 6, link.mac.begin());
            link.hasMac = true;
        }
        links[a->ifa_name] = link;
    }
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !a->ifa_name || a->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if (!::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            continue;
        InterfaceAddress entry;
        entry.interfaceName = a->ifa_name;
        entry.ipv4 = text;
        // An alias such as "eth0:1" belongs to the link "eth0".
        std::string linkName = entry.interfaceName.substr(0, entry.interfaceName.find(':'));
        auto link = links.find(linkName);
        if (link != links.end()) {
            entry.ethernet = link->second.ethernet;
            entry.hasMac = link->second.hasMac;
            entry.mac = link->second.mac;
        }
        out.push_back(entry);
    }
    ::freeifaddrs(list);
    return true;
}

bool ParseArpTable(const std::string& arpText, const std::string& ip, MacBytes& mac)
{
    // IP address       HW type     Flags       HW address            Mask     Device
    std::istringstream lines(arpText);
    std::string line;
    std::getline(lines, line); // heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, hwType, flags, hw;
        if (!(fields >> address >> hwType >> flags >> hw) || address != ip)
            continue;
        unsigned long flagBits = std::strtoul(flags.c_str(), nullptr, 16);
        if (!(flagBits & ATF_COM))
            continue;
        unsigned b[6];
        char tail;
        if (hw.size() != 17 ||
            std::sscanf(hw.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6)
            continue;
        MacBytes found{};
        bool allZero = true;
        for (int i = 0; i < 6; ++i) {
            found[i] = static_cast<uint8_t>(b[i]);
            allZero = allZero && b[i] == 0;
        }
        if (allZero)
            continue;
        mac = found;
        return true;
    }
    return false;
}

namespace {

bool ReadArpCache(std::string& text)
{
    std::ifstream in("/proc/net/arp");
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

void NudgeAddress(const std::string& ip)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9); // discard
    if (::inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1)
        return;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const char byte = 0;
    (void)::sendto(fd, &byte, 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
}

} // namespace

bool SourceAddressFor(const std::string& ip, uint16_t port, std::string& source, std::string* error)
{
    auto fail = [error](const char* call, int code) {
        if (error)
            *error = std::string(call) + ": " + std::strerror(code);
        return false;
    };
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1)
        return fail("inet_pton", EINVAL);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket", errno);
    // A connected datagram socket only fixes the route and the source; nothing goes out.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const char* failed = nullptr;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        failed = "connect";
    else if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        failed = "getsockname";
    const int code = errno;
    ::close(fd);
    if (failed)
        return fail(failed, code);
    char text[INET_ADDRSTRLEN] = {};
    if (local.sin_addr.s_addr == htonl(INADDR_ANY) || !::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text))
        return fail("getsockname", EADDRNOTAVAIL);
    source = text;
    return true;
}

bool ParseDefaultRouteInterface(const std::string& routeText, std::string& interfaceName)
{
    // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT; numbers in hexadecimal
    // (the metric in decimal).
    constexpr unsigned long kRouteUp = 0x1;
    std::istringstream lines(routeText);
    std::string line;
    std::getline(lines, line); // heading
    bool found = false;
    unsigned long best = std::numeric_limits<unsigned long>::max();
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask))
            continue;
        char* end = nullptr;
        const unsigned long flagBits = std::strtoul(flags.c_str(), &end, 16);
        if (*end || !(flagBits & kRouteUp))
            continue;
        const bool everywhere = std::strtoul(destination.c_str(), &end, 16) == 0 && !*end &&
                                std::strtoul(mask.c_str(), &end, 16) == 0 && !*end;
        if (!everywhere)
            continue;
        const unsigned long m = std::strtoul(metric.c_str(), &end, 10);
        if (*end || (found && m >= best))
            continue;
        found = true;
        best = m;
        interfaceName = name;
    }
    return found;
}

namespace {

bool IsLoopback(const std::string& ipv4)
{
    in_addr a{};
    return ::inet_pton(AF_INET, ipv4.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

} // namespace

bool ChoosePrimaryAddress(const std::string& routeText, const std::vector<InterfaceAddress>& interfaces,
                          std::string& address)
{
    std::string routed;
    if (ParseDefaultRouteInterface(routeText, routed))
        for (const InterfaceAddress& a : interfaces)
            if (a.interfaceName == routed && !IsLoopback(a.ipv4)) {
                address = a.ipv4;
                return true;
            }
    for (const InterfaceAddress& a : interfaces)
        if (!IsLoopback(a.ipv4)) {
            address = a.ipv4;
            return true;
        }
    return false;
}

bool PrimaryAddress(std::string& address)
{
    std::string routes;
    std::ifstream in("/proc/net/route");
    if (in) {
        std::ostringstream all;
        all << in.rdbuf();
        routes = all.str();
    }
    std::vector<InterfaceAddress> interfaces;
    return ListInterfaceAddresses(interfaces) && ChoosePrimaryAddress(routes, interfaces, address);
}

bool LookupRemoteMac(const std::string& ip, MacBytes& mac, int timeoutMs)
{
    std::string text;
    if (ReadArpCache(text) && ParseArpTable(text, ip, mac))
        return true;
    NudgeAddress(ip);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (ReadArpCache(text) && ParseArpTable(text, ip, mac))
            return true;
    }
    return false;
}

} // namespace vgplat
