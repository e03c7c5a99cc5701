#pragma once
// The engine program's run settings and their command line, the usage and version texts.
//
// ParseRunSettings is a pure function of the arguments: it never prints and never ends the process;
// RunAgent and main act on its outcome.
//
// Threads: everything here is safe from any thread.

#include <string>

#include "engine/agent/OptionParser.h"
#include "engine/base/AppLog.h"

constexpr const char* kVigilonVersionText = "12.04.0059";
constexpr const char* kVigilonWebAddress = "https://www.vigilon.example";

constexpr int kRunModeService = 2;
constexpr int kRunModeConsole = 3;

enum RunOptionId : int {
    kOptHelp = 100,
    kOptNoFork = 101,
    kOptConsole = 102,
    kOptPort = 103,
    kOptSnmpVersion = 104,
    kOptTrapPort = 105,
    kOptVersion = 106,
    kOptCommunity = 107,
    kOptLogLevel = 108,
    kOptPause = 109,
};

// Longest community accepted from "-y" (a longer one is ignored).
constexpr size_t kMaxCommunityLength = 127;

struct RunSettings {
    int agentPort = 3664;
    int snmpVersion = 1;
    int trapPort = 3665;
    std::string community = "wendolmar";
    LogLevel fileLogLevel = kLogError;
    LogLevel consoleLogLevel = kLogInfo;
    int mode = kRunModeService;
    bool pause = false;
};

enum class ParseOutcome {
    kRun,     // settings filled; go on
    kUsage,   // print the usage text, exit code 1
    kVersion, // print the version text, exit code 0
    kInvalid, // print the invalid-argument line for the text given, then the usage text
};

// The full option table of RunAgent and the two-row table of main (console and help only).
const OptionEntry* RunAgentOptionTable();
const OptionEntry* MainOptionTable();

// Reads the arguments in order and stops at the first option that ends the run (help, version or an
// invalid argument). invalidText receives the argument to name in the invalid-argument line. "-p" and
// "-t" take a port 1-65535 written in decimal digits only; anything else is invalid.
ParseOutcome ParseRunSettings(int argc, const char* const* argv, RunSettings& settings, std::string& invalidText);

// main's choice: kRunModeConsole when "-n", "--noservice", "--console" or the version option ("-v",
// "--version") is given, else kRunModeService.
// help is set when "-h", "-?" or "--help" is given without error.
int ChooseRunMode(int argc, const char* const* argv, bool& help);

// The value's leading decimal digits as an integer, 0 when there are none (saturates at INT_MAX).
int LeadingDecimal(const char* text);
// A port 1-65535 written in decimal digits only (no sign, no blanks); false otherwise.
bool ParsePortValue(const char* text, int& port);

std::string FormatUsage(const char* programName);
std::string FormatVersion();
std::string FormatInvalidArgument(const char* programName, const std::string& text);

// Prints the usage to standard output and ends the process with code 1.
[[noreturn]] void PrintUsage(const char* programName);
