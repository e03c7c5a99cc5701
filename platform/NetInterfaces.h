#pragma once
// Local interface addresses and MAC addresses, and remote MAC addresses from the ARP cache.
//
// Threads: every function is safe from any thread.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vgplat {

using MacBytes = std::array<uint8_t, 6>;

struct InterfaceAddress {
    std::string interfaceName;
    std::string ipv4;      // dotted text
    bool ethernet = false; // the interface's hardware type is Ethernet
    MacBytes mac{};        // valid when hasMac
    bool hasMac = false;
};

// Every IPv4 address of this host's interfaces, with the interface's MAC address where it has one.
// false when the interface list cannot be read.
bool ListInterfaceAddresses(std::vector<InterfaceAddress>& out);

// Finds the hardware address of ip in the text of /proc/net/arp. Only complete entries with a 6-byte,
// not all-zero address count.
bool ParseArpTable(const std::string& arpText, const std::string& ip, MacBytes& mac);

// Sends a small UDP datagram to ip to make the kernel resolve it, then polls /proc/net/arp for at most
// timeoutMs.
bool LookupRemoteMac(const std::string& ip, MacBytes& mac, int timeoutMs = 2000);

std::string FormatMac(const MacBytes& mac);

} // namespace vgplat
