#pragma once
// Local interface addresses and MAC addresses, remote MAC addresses from the ARP cache, the source
// address the kernel picks to reach a peer and the interface of the default route.
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

// The local IPv4 address the kernel uses as source for datagrams to ip:port (a UDP socket connected to
// the peer, then getsockname; nothing is sent). false, with the failing call and errno in error, when ip
// is not a dotted IPv4 address or the kernel has no route to it.
bool SourceAddressFor(const std::string& ip, uint16_t port, std::string& source, std::string* error = nullptr);

// The interface of the default IPv4 route in the text of /proc/net/route: the route that is up with
// destination and mask 0, the lowest metric when there are several. false when there is none.
bool ParseDefaultRouteInterface(const std::string& routeText, std::string& interfaceName);

// The address this host shows to the network when its name gives only a loopback address: the first
// IPv4 address of the default route's interface (routeText as in /proc/net/route), else the first
// IPv4 address that is not on 127.0.0.0/8. false when there is none but loopback.
bool ChoosePrimaryAddress(const std::string& routeText, const std::vector<InterfaceAddress>& interfaces,
                          std::string& address);

// ChoosePrimaryAddress over this host's /proc/net/route and interface list.
bool PrimaryAddress(std::string& address);

} // namespace vgplat
