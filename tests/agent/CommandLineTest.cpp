// The engine program's command line: the option parser's matching rules and the run settings that
// every accepted command line gives.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/agent/OptionParser.h"
#include "engine/agent/RunSettings.h"

namespace {

struct Argv {
    explicit Argv(std::vector<std::string> args) : texts(std::move(args))
    {
        texts.insert(texts.begin(), "vgnsa");
        for (auto& t : texts)
            pointers.push_back(t.c_str());
    }
    int argc() const { return static_cast<int>(pointers.size()); }
    const char* const* argv() const { return pointers.data(); }
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
};

struct Reported {
    int id;
    std::string text;
    const char* value; // nullptr: no value
    int error;
};

struct ParserCase {
    std::vector<std::string> args;
    std::vector<Reported> expected;
};

TEST(OptionParser, ReportsOptionsByTheMatchingRules)
{
    const ParserCase cases[] = {
        {{"-p=3664"}, {{kOptPort, "-p", "3664", 0}}},
        {{"--port=3664"}, {{kOptPort, "--port", "3664", 0}}},
        {{"/p=3664"}, {{kOptPort, "-p", "3664", 0}}},
        // Value in the next argument: -5 for -p, the bare word is skipped.
        {{"-p", "3664"}, {{kOptPort, "-p", nullptr, OptionParser::kErrorNoValue}}},
        {{"--vers"}, {{kOptVersion, "--version", nullptr, 0}}},
        {{"--co"}, {{-1, "--co", nullptr, OptionParser::kErrorAmbiguous}}},
        {{"--con"}, {{kOptConsole, "--console", nullptr, 0}}},
        {{"--com=x"}, {{kOptCommunity, "--community", "x", 0}}},
        {{"-x"}, {{-1, "-x", nullptr, OptionParser::kErrorUnknown}}},
        {{"--portx=1"}, {{-1, "--portx", "1", OptionParser::kErrorUnknown}}},
        {{"-p3664"}, {{-1, "-p3664", nullptr, OptionParser::kErrorUnknown}}},
        {{"-h=1"}, {{kOptHelp, "-h", "1", OptionParser::kErrorValueGiven}}},
        {{"-"}, {{-1, "-", nullptr, OptionParser::kErrorAmbiguous}}},
        {{"---p=1"}, {{-1, "---p", "1", OptionParser::kErrorUnknown}}},
        {{"start", "", "-n", "stop"}, {{kOptConsole, "-n", nullptr, 0}}},
        {{"-y=a=b"}, {{kOptCommunity, "-y", "a=b", 0}}},
        {{"-y="}, {{kOptCommunity, "-y", "", 0}}},
        {{"-n", "-l=debug", "-?"},
         {{kOptConsole, "-n", nullptr, 0}, {kOptLogLevel, "-l", "debug", 0}, {kOptHelp, "-?", nullptr, 0}}},
        {{"//p=1"}, {{-1, "-/p", "1", OptionParser::kErrorUnknown}}},
        {{"/-p=1"}, {}}, // "/-" is not rewritten: a bare word
    };
    for (const auto& c : cases) {
        Argv a(c.args);
        OptionParser parser(a.argc(), a.argv(), RunAgentOptionTable(), 0);
        std::string where = a.texts.size() > 1 ? a.texts[1] : "";
        for (const auto& e : c.expected) {
            ASSERT_TRUE(parser.Next()) << where;
            EXPECT_EQ(parser.LastError(), e.error) << where;
            if (e.error == 0) {
                EXPECT_EQ(parser.OptionId(), e.id) << where;
            }
            EXPECT_STREQ(parser.OptionText(), e.text.c_str()) << where;
            if (e.value == nullptr) {
                EXPECT_EQ(parser.OptionArg(), nullptr) << where;
            } else {
                EXPECT_STREQ(parser.OptionArg() ? parser.OptionArg() : "(null)", e.value) << where;
            }
        }
        EXPECT_FALSE(parser.Next()) << where;
        // The caller's argument vector is left untouched.
        EXPECT_EQ(std::string(a.pointers[1] ? a.pointers[1] : ""), where);
    }
}

TEST(OptionParser, SecondParserSeesTheSameArguments)
{
    Argv a({"/p=5", "-y=abc"});
    for (int round = 0; round < 2; ++round) {
        OptionParser parser(a.argc(), a.argv(), RunAgentOptionTable(), 0);
        ASSERT_TRUE(parser.Next());
        EXPECT_STREQ(parser.OptionArg(), "5");
        ASSERT_TRUE(parser.Next());
        EXPECT_STREQ(parser.OptionArg(), "abc");
        EXPECT_FALSE(parser.Next());
    }
}

struct SettingsCase {
    std::vector<std::string> args;
    ParseOutcome outcome;
    std::string invalidText; // for kInvalid
    RunSettings expected;    // for kRun
};

RunSettings With(void (*change)(RunSettings&))
{
    RunSettings s;
    change(s);
    return s;
}

TEST(RunSettings, CommandLineTable)
{
    const std::string community127(127, 'c');
    const std::string community128(128, 'c');
    const SettingsCase cases[] = {
        {{}, ParseOutcome::kRun, "", RunSettings{}},
        {{"-n"}, ParseOutcome::kRun, "", With([](RunSettings& s) { s.mode = kRunModeConsole; })},
        {{"--noservice", "--pause"}, ParseOutcome::kRun, "",
         With([](RunSettings& s) { s.mode = kRunModeConsole; s.pause = true; })},
        {{"-f", "--nofork", "start"}, ParseOutcome::kRun, "", RunSettings{}},
        {{"-p=4664", "--trapport=4665"}, ParseOutcome::kRun, "",
         With([](RunSettings& s) { s.agentPort = 4664; s.trapPort = 4665; })},
        {{"-p=1", "-t=65535"}, ParseOutcome::kRun, "",
         With([](RunSettings& s) { s.agentPort = 1; s.trapPort = 65535; })},
        {{"-p=0"}, ParseOutcome::kInvalid, "-p=0", {}},
        {{"-p=65536"}, ParseOutcome::kInvalid, "-p=65536", {}},
        {{"-p=99999999999999999999"}, ParseOutcome::kInvalid, "-p=99999999999999999999", {}},
        {{"--port=12ab"}, ParseOutcome::kInvalid, "--port=12ab", {}},
        {{"-t="}, ParseOutcome::kInvalid, "-t=", {}},
        {{"-t=-5"}, ParseOutcome::kInvalid, "-t=-5", {}},
        {{"-t= 5"}, ParseOutcome::kInvalid, "-t= 5", {}},
        {{"-p", "3664"}, ParseOutcome::kInvalid, "-p", {}},
        {{"-s=2c"}, ParseOutcome::kRun, "", With([](RunSettings& s) { s.snmpVersion = 2; })},
        {{"-s=v3"}, ParseOutcome::kRun, "", With([](RunSettings& s) { s.snmpVersion = 0; })},
        {{"-l=Debug"}, ParseOutcome::kRun, "",
         With([](RunSettings& s) { s.fileLogLevel = s.consoleLogLevel = kLogDebug; })},
        {{"-l=verbose"}, ParseOutcome::kRun, "",
         With([](RunSettings& s) { s.fileLogLevel = s.consoleLogLevel = kLogError; })},
        {{"-y=" + community127}, ParseOutcome::kRun, "",
         With([](RunSettings& s) { s.community = std::string(127, 'c'); })},
        {{"-y=" + community128}, ParseOutcome::kRun, "", RunSettings{}},
        {{"-h"}, ParseOutcome::kUsage, "", {}},
        {{"-n", "-?", "-x"}, ParseOutcome::kUsage, "", {}},
        {{"--vers"}, ParseOutcome::kVersion, "", {}},
        {{"-v", "-p=0"}, ParseOutcome::kVersion, "", {}},
        {{"--co"}, ParseOutcome::kInvalid, "--co", {}},
        {{"-x"}, ParseOutcome::kInvalid, "-x", {}},
        {{"-h=1"}, ParseOutcome::kInvalid, "-h", {}},
        {{"-p=0", "-h"}, ParseOutcome::kInvalid, "-p=0", {}},
    };
    for (const auto& c : cases) {
        Argv a(c.args);
        RunSettings s;
        std::string invalid;
        std::string where = a.texts.size() > 1 ? a.texts[1] : "(none)";
        ParseOutcome outcome = ParseRunSettings(a.argc(), a.argv(), s, invalid);
        ASSERT_EQ(static_cast<int>(outcome), static_cast<int>(c.outcome)) << where;
        if (outcome == ParseOutcome::kInvalid) {
            EXPECT_EQ(invalid, c.invalidText) << where;
        }
        if (outcome != ParseOutcome::kRun)
            continue;
        EXPECT_EQ(s.agentPort, c.expected.agentPort) << where;
        EXPECT_EQ(s.trapPort, c.expected.trapPort) << where;
        EXPECT_EQ(s.snmpVersion, c.expected.snmpVersion) << where;
        EXPECT_EQ(s.community, c.expected.community) << where;
        EXPECT_EQ(s.fileLogLevel, c.expected.fileLogLevel) << where;
        EXPECT_EQ(s.consoleLogLevel, c.expected.consoleLogLevel) << where;
        EXPECT_EQ(s.mode, c.expected.mode) << where;
        EXPECT_EQ(s.pause, c.expected.pause) << where;
    }
}

TEST(RunSettings, MainChoosesTheModeAndIgnoresOtherOptions)
{
    const struct {
        std::vector<std::string> args;
        int mode;
        bool help;
    } cases[] = {
        {{}, kRunModeService, false},
        {{"-p=4664", "-l=debug"}, kRunModeService, false},
        {{"-p=4664", "--console"}, kRunModeConsole, false},
        {{"--nos"}, kRunModeConsole, false},
        {{"-x", "-n", "-?"}, kRunModeConsole, true},
        {{"-h=1"}, kRunModeService, false},
        {{"-p=4664", "--version"}, kRunModeConsole, false}, // the console run prints the version
    };
    for (const auto& c : cases) {
        Argv a(c.args);
        bool help = true;
        EXPECT_EQ(ChooseRunMode(a.argc(), a.argv(), help), c.mode);
        EXPECT_EQ(help, c.help);
    }
}

TEST(RunSettings, Texts)
{
    EXPECT_EQ(FormatInvalidArgument("vgnsa", "--co"), "vgnsa : Invalid Argument '--co'\n\n");
    std::string usage = FormatUsage("vgnsa");
    EXPECT_EQ(usage.rfind("\nUsage: vgnsa [OPTIONS]\n\n   Version:  12.04.0059;    WWW: ", 0), 0u) << usage;
    EXPECT_NE(usage.find("   -p=PORT | --port=PORT                  Set SNMP listener port\n"), std::string::npos);
    EXPECT_NE(usage.find("   -l=LEVEL | --loglevel=LEVEL            Application Logging Level\n\n"),
              std::string::npos);
    EXPECT_EQ(usage.find("nofork"), std::string::npos);
    EXPECT_EQ(FormatVersion().rfind("\nVigilon Version:  12.04.0059; WWW: ", 0), 0u);
}

} // namespace
