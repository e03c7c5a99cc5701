#include "engine/agent/EngineBoots.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/base/AppLog.h"
#include "platform/AtomicFile.h"

namespace {

constexpr size_t kMaxFileSize = 64 * 1024;
constexpr size_t kMaxEngineIdHex = 64;  // 32 bytes

bool IsHex(const std::string& text)
{
    if (text.empty() || text.size() > kMaxEngineIdHex || text.size() % 2)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

struct BootsLine {
    std::string engineId;
    uint32_t boots = 0;
};

// Parses the whole file; kBootsCorrupt on any malformed line.
int ParseFile(const std::string& content, std::vector<BootsLine>& lines)
{
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos)
            return kBootsCorrupt;  // every line ends with its line end: a torn line is not ours
        std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty())
            continue;
        size_t blank = line.find(' ');
        if (blank == std::string::npos)
            return kBootsCorrupt;
        BootsLine entry;
        entry.engineId = line.substr(0, blank);
        std::string number = line.substr(blank + 1);
        if (!IsHex(entry.engineId) || number.empty() || number.size() > 10)
            return kBootsCorrupt;
        uint64_t value = 0;
        for (char c : number) {
            if (c < '0' || c > '9')
                return kBootsCorrupt;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (value > kMaxEngineBoots)
            return kBootsCorrupt;
        entry.boots = static_cast<uint32_t>(value);
        lines.push_back(entry);
    }
    return kBootsOk;
}

int ReadLines(const std::string& path, std::vector<BootsLine>& lines)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? kBootsNoFile : kBootsReadError;
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize)
        return kBootsCorrupt;
    std::string content;
    std::string error;
    if (!vgplat::ReadWholeFile(path, content, kMaxFileSize, &error)) {
        AppLog::Instance()->Printf(kLogError, "ReadEngineBoots: %s", error.c_str());
        return kBootsReadError;
    }
    return ParseFile(content, lines);
}

int FindEntry(const std::vector<BootsLine>& lines, const std::string& engineIdHex, uint32_t& boots)
{
    for (const BootsLine& line : lines) {
        if (strcasecmp(line.engineId.c_str(), engineIdHex.c_str()) == 0) {
            boots = line.boots;
            return kBootsOk;
        }
    }
    return kBootsNoEntry;
}

}  // namespace

int ParseEngineBoots(const std::string& content, const std::string& engineIdHex, uint32_t& boots)
{
    boots = 0;
    if (content.size() > kMaxFileSize)
        return kBootsCorrupt;
    std::vector<BootsLine> lines;
    int status = ParseFile(content, lines);
    if (status != kBootsOk)
        return status;
    return FindEntry(lines, engineIdHex, boots);
}

int ReadEngineBoots(const std::string& path, const std::string& engineIdHex, uint32_t& boots)
{
    boots = 0;
    std::vector<BootsLine> lines;
    int status = ReadLines(path, lines);
    if (status != kBootsOk)
        return status;
    return FindEntry(lines, engineIdHex, boots);
}

int StoreEngineBoots(const std::string& path, const std::string& engineIdHex, uint32_t boots)
{
    if (!IsHex(engineIdHex) || boots > kMaxEngineBoots)
        return kBootsWriteError;
    std::vector<BootsLine> lines;
    if (ReadLines(path, lines) != kBootsOk)
        lines.clear();
    std::string content;
    bool written = false;
    for (const BootsLine& line : lines) {
        if (strcasecmp(line.engineId.c_str(), engineIdHex.c_str()) == 0) {
            if (written)
                continue;
            content += engineIdHex + " " + std::to_string(boots) + "\n";
            written = true;
        } else {
            content += line.engineId + " " + std::to_string(line.boots) + "\n";
        }
    }
    if (!written)
        content += engineIdHex + " " + std::to_string(boots) + "\n";
    std::string error;
    if (!vgplat::WriteFileAtomically(path, content.data(), content.size(), 0644, &error)) {
        AppLog::Instance()->Printf(kLogError, "StoreEngineBoots: %s", error.c_str());
        return kBootsWriteError;
    }
    return kBootsOk;
}
