#include "engine/base/Helpers.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/base/AppLog.h"
#include "platform/AtomicFile.h"
#include "platform/NetInterfaces.h"

void TrimString(std::string& text, int /*mode*/)
{
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    auto last = text.find_last_not_of(blanks);
    text = text.substr(first, last - first + 1);
}

void ToLowerString(std::string& text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void SplitString(const std::string& text, const char* delimiters, std::vector<std::string>& parts)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t start = text.find_first_not_of(delimiters, pos);
        if (start == std::string::npos)
            break;
        size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos)
            end = text.size();
        parts.push_back(text.substr(start, end - start));
        pos = end;
    }
}

std::string& FormatString(std::string& out, const char* format, ...)
{
    out.clear();
    if (!format || !*format)
        return out;
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n >= 0 && n < static_cast<int>(sizeof buffer))
        out.assign(buffer, static_cast<size_t>(n));
    return out;
}

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
