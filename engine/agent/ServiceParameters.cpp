#include "engine/agent/ServiceParameters.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sys/stat.h>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"
#include "platform/AtomicFile.h"

namespace {

// The number of a "ParamN" name, or 0 when the name is not one.
int ParameterNumber(const std::string& name)
{
    static const std::string kPrefix = "Param";
    if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 4)
        return 0;
    if (!EqualsNoCase(name.substr(0, kPrefix.size()), kPrefix))
        return 0;
    int number = 0;
    for (size_t i = kPrefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        number = number * 10 + (name[i] - '0');
    }
    if (name[kPrefix.size()] == '0' || number > kMaxParameterNumber)
        return 0;
    return number;
}

} // namespace

std::vector<std::string> ParseServiceParameters(const std::string& text, std::vector<std::string>& warnings)
{
    std::map<int, std::string> byNumber;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        TrimString(line);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        size_t equals = line.find('=');
        std::string name = line.substr(0, equals == std::string::npos ? line.size() : equals);
        TrimString(name);
        int number = equals == std::string::npos ? 0 : ParameterNumber(name);
        if (number == 0) {
            warnings.push_back("line " + std::to_string(lineNumber) + " is not a ParamN=value line");
            continue;
        }
        std::string value = line.substr(equals + 1);
        TrimString(value);
        if (byNumber.count(number) != 0)
            warnings.push_back("Param" + std::to_string(number) + " given twice; the last one is used");
        byNumber[number] = value;
    }

    std::vector<std::string> values(byNumber.size());
    for (size_t i = 0; i < values.size(); ++i) {
        auto found = byNumber.find(static_cast<int>(i + 1));
        if (found == byNumber.end()) {
            warnings.push_back("Param" + std::to_string(i + 1) + " is missing; an empty argument is used");
            continue;
        }
        if (found->second.size() > kMaxParameterValueLength) {
            warnings.push_back("Param" + std::to_string(i + 1) + " is longer than " +
                               std::to_string(kMaxParameterValueLength) + " bytes; an empty argument is used");
            continue;
        }
        values[i] = found->second;
    }
    for (const auto& [number, value] : byNumber)
        if (static_cast<size_t>(number) > values.size())
            warnings.push_back("Param" + std::to_string(number) + " is beyond the " +
                               std::to_string(values.size()) + " values given; it is not used");
    return values;
}

std::string ServiceParametersPath(const std::string& installDirectory)
{
    const char* overridden = std::getenv(kParametersFileVariable);
    if (overridden != nullptr && *overridden != '\0')
        return overridden;
    return installDirectory + kParametersFileName;
}

std::vector<std::string> BuildServiceArguments(const std::vector<std::string>& managerArgs, const std::string& path)
{
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return managerArgs; // no parameters file: the manager's command line
    std::string text;
    std::string error;
    if (!vgplat::ReadWholeFile(path, text, kMaxParametersFileSize, &error)) {
        AppLog::Instance()->Printf(kLogWarning, "[BuildServiceArguments]: parameters file %s not used: %s",
                                   path.c_str(), error.c_str());
        return managerArgs;
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        AppLog::Instance()->Printf(kLogWarning,
                                   "[BuildServiceArguments]: parameters file %s is open to other users (mode %03o); "
                                   "it may hold a community: make it 0600",
                                   path.c_str(), static_cast<unsigned>(info.st_mode & 0777));
    std::vector<std::string> warnings;
    std::vector<std::string> values = ParseServiceParameters(text, warnings);
    for (const auto& w : warnings)
        AppLog::Instance()->Printf(kLogWarning, "[BuildServiceArguments]: %s: %s", path.c_str(), w.c_str());
    if (values.empty())
        return managerArgs;
    std::vector<std::string> args;
    args.push_back(managerArgs.empty() ? std::string("vgnsa") : managerArgs[0]);
    args.insert(args.end(), values.begin(), values.end());
    return args;
}
