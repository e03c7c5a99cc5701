#include "engine/base/Helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/base/AppLog.h"
#include "platform/AtomicFile.h"
#include "platform/NetInterfaces.h"

bool FileCopy(const char* from, const char* to, bool failIfExists)
{
    if (!from || !*from || !to || !*to)
        return false;
    return vgplat::CopyFileAtomically(from, to, failIfExists);
}

bool FileExists(const char* path)
{
    struct stat st {};
    return path && *path && ::stat(path, &st) == 0;
}

bool FileDelete(const char* path)
{
    return path && *path && ::unlink(path) == 0;
}

bool FileRename(const char* from, const char* to)
{
    if (!from || !*from || !to || !*to)
        return false;
    return ::rename(from, to) == 0;
}

bool ParseIpv4(const char* text, uint32_t& address)
{
    if (!text)
        return false;
    uint32_t result = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.')
                return false;
            ++p;
        }
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
        unsigned value = 0;
        int digits = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            if (++digits > 3)
                return false;
            value = value * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        if (value > 255)
            return false;
        result |= value << (8 * part);
    }
    if (*p != '\0')
        return false;
    address = result;
    return true;
}

void IpAddressToString(uint32_t address, char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return;
    std::snprintf(buffer, size, "%u.%u.%u.%u", address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 24) & 0xFF);
}

std::string IpAddressToString(uint32_t address)
{
    char text[16];
    IpAddressToString(address, text, sizeof text);
    return text;
}

uint32_t StringToIpAddress(const char* text)
{
    uint32_t address = 0;
    return ParseIpv4(text, address) ? address : 0;
}

void SplitDottedNumbers(const char* text, int* numbers, int capacity, int& count)
{
    count = 0;
    if (!text || !numbers)
        return;
    const char* p = text;
    while (*p && count < capacity) {
        numbers[count++] = std::atoi(p);
        const char* dot = std::strchr(p, '.');
        if (!dot)
            break;
        p = dot + 1;
    }
}

bool IsValidIpAddress(const char* text)
{
    if (!text || std::strlen(text) >= 16)
        return false;
    uint32_t address = 0;
    if (!ParseIpv4(text, address))
        return false;
    return (address & 0xFF) >= 1 && (address >> 24) >= 1;
}

bool IsLocalIpAddress(const char* text)
{
    if (!text || !*text)
        return false;
    std::vector<vgplat::InterfaceAddress> addresses;
    if (!vgplat::ListInterfaceAddresses(addresses))
        return false;
    for (const auto& a : addresses)
        if (a.ipv4 == text)
            return true;
    return false;
}

bool GetLocalMacAddress(const char* address, char* buffer, size_t size)
{
    if (!address || !*address) {
        AppLog::Instance()->Log(kLogError, "[GetLocalMacAddress] invalid IP address passed");
        return false;
    }
    std::vector<vgplat::InterfaceAddress> addresses;
    if (!vgplat::ListInterfaceAddresses(addresses)) {
        AppLog::Instance()->Log(kLogError, "[GetLocalMacAddress] could not get adapter buffer");
        return false;
    }
    bool found = false;
    for (const auto& a : addresses) {
        if (!a.ethernet || !a.hasMac || a.ipv4 != address)
            continue;
        if (buffer && size > 0)
            std::snprintf(buffer, size, "%s", vgplat::FormatMac(a.mac).c_str());
        found = true;
    }
    if (!found)
        AppLog::Instance()->Printf(kLogError, "[GetLocalMacAddress] failed to find MAC address for %s", address);
    return found;
}

bool GetRemoteMacAddress(const char* address, char* buffer, size_t size)
{
    uint32_t ip = 0;
    if (!ParseIpv4(address, ip))
        return false;
    vgplat::MacBytes mac{};
    if (!vgplat::LookupRemoteMac(address, mac))
        return false;
    if (buffer && size > 0)
        std::snprintf(buffer, size, "%s", vgplat::FormatMac(mac).c_str());
    return true;
}
