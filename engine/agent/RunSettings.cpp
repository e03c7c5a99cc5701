#include "engine/agent/RunSettings.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

const OptionEntry kRunAgentOptions[] = {
    {kOptNoFork, "-f", kOptionNoValue},
    {kOptNoFork, "--nofork", kOptionNoValue},
    {kOptHelp, "-h", kOptionNoValue},
    {kOptHelp, "-?", kOptionNoValue},
    {kOptHelp, "--help", kOptionNoValue},
    {kOptConsole, "-n", kOptionNoValue},
    {kOptConsole, "--noservice", kOptionNoValue},
    {kOptConsole, "--console", kOptionNoValue},
    {kOptPause, "--pause", kOptionNoValue},
    {kOptPort, "-p", kOptionJoined},
    {kOptPort, "--port", kOptionJoined},
    {kOptSnmpVersion, "-s", kOptionJoined},
    {kOptSnmpVersion, "--snmpversion", kOptionJoined},
    {kOptTrapPort, "-t", kOptionJoined},
    {kOptTrapPort, "--trapport", kOptionJoined},
    {kOptVersion, "-v", kOptionNoValue},
    {kOptVersion, "--version", kOptionNoValue},
    {kOptCommunity, "-y", kOptionJoined},
    {kOptCommunity, "--community", kOptionJoined},
    {kOptLogLevel, "-l", kOptionJoined},
    {kOptLogLevel, "--loglevel", kOptionJoined},
    {-1, nullptr, 0},
};

const OptionEntry kMainOptions[] = {
    {kOptConsole, "-n", kOptionNoValue},
    {kOptConsole, "--noservice", kOptionNoValue},
    {kOptConsole, "--console", kOptionNoValue},
    {kOptHelp, "-h", kOptionNoValue},
    {kOptHelp, "-?", kOptionNoValue},
    {kOptHelp, "--help", kOptionNoValue},
    {kOptVersion, "-v", kOptionNoValue},
    {kOptVersion, "--version", kOptionNoValue},
    {-1, nullptr, 0},
};

} // namespace

const OptionEntry* RunAgentOptionTable() { return kRunAgentOptions; }
const OptionEntry* MainOptionTable() { return kMainOptions; }

int LeadingDecimal(const char* text)
{
    long long value = 0;
    for (const char* p = text; p != nullptr && *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(value);
}

bool ParsePortValue(const char* text, int& port)
{
    if (text == nullptr || *text == '\0')
        return false;
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (*p - '0');
        if (value > 65535)
            return false;
    }
    if (value < 1)
        return false;
    port = static_cast<int>(value);
    return true;
}

ParseOutcome ParseRunSettings(int argc, const char* const* argv, RunSettings& settings, std::string& invalidText)
{
    OptionParser parser(argc, argv, RunAgentOptionTable(), 0);
    while (parser.Next()) {
        if (parser.LastError() != OptionParser::kErrorNone) {
            invalidText = parser.OptionText();
            return ParseOutcome::kInvalid;
        }
        const char* value = parser.OptionArg();
        switch (parser.OptionId()) {
        case kOptNoFork:
            break;
        case kOptHelp:
            return ParseOutcome::kUsage;
        case kOptConsole:
            settings.mode = kRunModeConsole;
            break;
        case kOptPause:
            settings.pause = true;
            break;
        case kOptPort:
        case kOptTrapPort: {
            int port = 0;
            if (!ParsePortValue(value, port)) {
                invalidText = std::string(parser.OptionText()) + "=" + value;
                return ParseOutcome::kInvalid;
            }
            (parser.OptionId() == kOptPort ? settings.agentPort : settings.trapPort) = port;
            break;
        }
        case kOptSnmpVersion:
            settings.snmpVersion = LeadingDecimal(value);
            break;
        case kOptVersion:
            return ParseOutcome::kVersion;
        case kOptCommunity:
            if (std::string(value).size() <= kMaxCommunityLength)
                settings.community = value;
            break;
        case kOptLogLevel:
            settings.fileLogLevel = ParseLogLevel(value, kLogError);
            settings.consoleLogLevel = settings.fileLogLevel;
            break;
        default:
            return ParseOutcome::kUsage;
        }
    }
    return ParseOutcome::kRun;
}

int ChooseRunMode(int argc, const char* const* argv, bool& help)
{
    help = false;
    int mode = kRunModeService;
    OptionParser parser(argc, argv, MainOptionTable(), 0);
    while (parser.Next()) {
        if (parser.LastError() != OptionParser::kErrorNone)
            continue; // options only RunAgent knows
        // The version is asked of the program, not of a service: the console run prints it.
        if (parser.OptionId() == kOptConsole || parser.OptionId() == kOptVersion)
            mode = kRunModeConsole;
        else if (parser.OptionId() == kOptHelp)
            help = true;
    }
    return mode;
}

std::string FormatUsage(const char* programName)
{
    // Each line is its option column followed by its description.
    static const struct {
        const char* option;
        const char* text;
    } kLines[] = {
        {"   -h | -? | --help                       ", "Display this Help Message"},
        {"   -n | --noservice | --console           ", "Run application from the console"},
        {"   --pause                                ", "Console Waits for Keypress on Startup"},
        {"   -s=SNMPV | --snmpversion=SNMPV         ", "Set SNMP version to use"},
        {"   -p=PORT | --port=PORT                  ", "Set SNMP listener port"},
        {"   -t=TRAPPORT | --trapport=TRAPPORT      ", "Set SNMP trap port"},
        {"   -v | --version                         ", "Display Version Information"},
        {"   -y=COMMUNITY | --community=COMMUNITY   ", "SNMPv1 Community string"},
        {"   -l=LEVEL | --loglevel=LEVEL            ", "Application Logging Level"},
    };
    std::string out = "\nUsage: ";
    out += programName != nullptr ? programName : "";
    out += " [OPTIONS]\n\n";
    out += std::string("   Version:  ") + kVigilonVersionText + "; ";
    out += std::string("   WWW: ") + kVigilonWebAddress + "\n\n";
    for (const auto& line : kLines)
        out += std::string(line.option) + line.text + "\n";
    out += "\n";
    return out;
}

std::string FormatVersion()
{
    return std::string("\nVigilon Version:  ") + kVigilonVersionText + "; WWW: " + kVigilonWebAddress + "\n";
}

std::string FormatInvalidArgument(const char* programName, const std::string& text)
{
    std::string out = programName != nullptr ? programName : "";
    out += " : Invalid Argument '";
    out += text;
    out += "'\n\n";
    return out;
}

void PrintUsage(const char* programName)
{
    std::fputs(FormatUsage(programName).c_str(), stdout);
    std::fflush(stdout);
    std::exit(1);
}
