#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "engine/base/AppLog.h"

namespace {

class AppLogTest : public ::testing::Test {
protected:
    void SetUp() override { AppLog::Instance()->ResetForTest(); }
    void TearDown() override { AppLog::Instance()->ResetForTest(); }
    AppLog& Log() { return *AppLog::Instance(); }
};

} // namespace

TEST_F(AppLogTest, StreamSinkWritesTheLineFormat)
{
    std::ostringstream out;
    AppStreamLogger sink(&out);
    Log().AddLogger(&sink);
    Log().Log(kLogError, "CIniFile::Open - null or empty file path rejected.");
    EXPECT_TRUE(std::regex_match(out.str(),
                                 std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \[ERROR\] )"
                                            R"(CIniFile::Open - null or empty file path rejected\.\n)")))
        << out.str();
}

TEST_F(AppLogTest, FileSinkWritesTheLineFormatAndTruncates)
{
    std::string path = ::testing::TempDir() + "applog_file_sink.log";
    {
        std::ofstream old(path);
        old << "previous content\n";
    }
    AppFileLogger sink(path, "AppFileLoggerTest#");
    Log().AddLogger(&sink);
    Log().Printf(kLogError, "value %d of %s", 7, "x");
    Log().Log(kLogWarning, "below the file threshold");
    sink.Shutdown();
    const std::string text = vgtest::ReadAll(path);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d \[ERROR\] value 7 of x\n)")))
        << text;
}

TEST_F(AppLogTest, PendingLinesKeepTheLast64AndReplayToTheFirstSinkOnly)
{
    EXPECT_TRUE(Log().IsEnabled(kLogTrace)) << "without sinks every level is pending";
    for (int i = 1; i <= 70; ++i)
        Log().Printf(i % 2 ? kLogTrace : kLogError, "line %d", i);
    Log().Log(kLogError, "with\bbackspace");

    CaptureLogger first;
    CaptureLogger second;
    ASSERT_EQ(Log().AddLogger(&first), 1);
    ASSERT_EQ(Log().AddLogger(&second), 1);
    EXPECT_EQ(Log().AddLogger(&first), 0) << "registered twice";
    EXPECT_EQ(Log().AddLogger(nullptr), 0);

    auto lines = first.Lines();
    ASSERT_EQ(lines.size(), 63u) << "64 kept, the one with a backspace is not replayed";
    EXPECT_EQ(lines.front().message, "line 8");
    EXPECT_EQ(lines.back().message, "line 70");
    EXPECT_EQ(lines.front().level, kLogError);
    EXPECT_EQ(lines[1].level, kLogTrace);
    EXPECT_TRUE(second.Lines().empty());
}

TEST_F(AppLogTest, ThresholdsDecideWhatIsEnabled)
{
    CaptureLogger file(kLogError), console(kLogInfo);
    Log().AddLogger(&file);
    Log().AddLogger(&console);
    EXPECT_TRUE(Log().IsEnabled(kLogInfo));
    EXPECT_FALSE(Log().IsEnabled(kLogDebug));
    EXPECT_EQ(Log().Printf(kLogDebug, "%s", "not formatted"), 0);
    EXPECT_EQ(Log().Log(kLogError, ""), 0);
    EXPECT_EQ(Log().Printf(kLogError, "%s", "both"), 1);
    EXPECT_EQ(Log().Log(kLogInfo, "console only"), 1);
    EXPECT_EQ(file.Lines().size(), 1u);
    EXPECT_EQ(console.Lines().size(), 2u);
}

TEST_F(AppLogTest, UnknownLevelHasAnEmptyName)
{
    std::ostringstream out;
    AppStreamLogger sink(&out);
    sink.SetThreshold(9);
    Log().AddLogger(&sink);
    Log().Log(9, "odd level");
    EXPECT_NE(out.str().find(" [] odd level"), std::string::npos) << out.str();
}

TEST_F(AppLogTest, RecordGoesWholeToEachSinkInTurn)
{
    CaptureLogger a, b;
    Log().AddLogger(&a);
    Log().AddLogger(&b);
    AppLogRecord record;
    record.SetTitle("title");
    record.AddLine("line 1");
    record.AddLine("");
    record.AddLine("line 2");
    EXPECT_EQ(Log().LogRecord(kLogError, record), 1);
    for (CaptureLogger* sink : {&a, &b}) {
        auto lines = sink->Lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].message, "title");
        EXPECT_EQ(lines[2].message, "line 2");
        EXPECT_EQ(lines[0].stamp, lines[2].stamp);
    }
    AppLogRecord untitled;
    EXPECT_EQ(Log().LogRecord(kLogError, untitled), 0);
}

TEST_F(AppLogTest, NetworkTextIsNeverAFormat)
{
    CaptureLogger sink;
    Log().AddLogger(&sink);
    const std::string remote = "device %s%n%x";
    Log().Printf(kLogError, "[%s] name", remote.c_str());
    Log().Log(kLogError, remote);
    auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "[device %s%n%x] name");
    EXPECT_EQ(lines[1].message, remote);
}

TEST(ParseLogLevel, NamesTrimmedAnyCaseElseTheDefault)
{
    struct Case {
        const char* text;
        LogLevel expected;
    } cases[] = {
        {" Debug\r\n", 7}, {"verbose", 3}, {nullptr, 3}, {"", 3},     {"EMERGENCY", 0},
        {"alert", 1},      {"critical", 2}, {"error", 3}, {"warning", 4}, {"notice", 5},
        {"info", 6},       {"trace", 8},   {"debug2", 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseLogLevel(c.text, 3), c.expected) << (c.text ? c.text : "(null)");
}

TEST(StringToInt, ReadsALeadingInteger)
{
    int v = 0;
    EXPECT_TRUE(StringToInt("  42", v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(StringToInt("-7x", v));
    EXPECT_EQ(v, -7);
    EXPECT_FALSE(StringToInt("x1", v));
}

TEST_F(AppLogTest, LimitedLinesKeepABurstPerWindowAndCountTheRest)
{
    std::ostringstream out;
    AppStreamLogger sink(&out);
    Log().AddLogger(&sink);
    int64_t now = 1000;
    Log().SetLineLimit(3, 10000, [&] { return now; });
    int written = 0;
    for (int i = 0; i < 50; ++i)
        written += Log().PrintfLimited(kLogError, "flood", "bad packet %d", i);
    written += Log().PrintfLimited(kLogError, "other", "another kind");
    EXPECT_EQ(written, 4);
    now += 10000; // the next window: the count first, then the line
    EXPECT_EQ(Log().PrintfLimited(kLogError, "flood", "bad packet again"), 1);
    const std::string text = out.str();
    EXPECT_NE(text.find("bad packet 2\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("bad packet 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("flood: 47 similar lines suppressed\n"), std::string::npos) << text;
    EXPECT_LT(text.find("suppressed"), text.find("bad packet again"));
    Log().SetLineLimit(10, 60000);
}

TEST_F(AppLogTest, LimitedLineIsBuiltOnlyWhenItIsWritten)
{
    std::ostringstream out;
    AppStreamLogger sink(&out);
    Log().AddLogger(&sink);
    int64_t now = 1000;
    Log().SetLineLimit(2, 10000, [&] { return now; });
    int built = 0, written = 0;
    for (int i = 0; i < 5; ++i)
        written += Log().LogLimited(kLogError, "dear", [&] { return "dear line " + std::to_string(++built); });
    EXPECT_EQ(built, 2);
    EXPECT_EQ(written, 2);
    EXPECT_EQ(Log().LogLimited(kLogDebug, "quiet", [&] { return std::to_string(++built); }), 0); // below threshold
    EXPECT_EQ(built, 2);
    now += 10000;
    EXPECT_EQ(Log().LogLimited(kLogError, "dear", [&] { return "dear line " + std::to_string(++built); }), 1);
    const std::string text = out.str();
    EXPECT_NE(text.find("dear: 3 similar lines suppressed\n"), std::string::npos) << text;
    EXPECT_NE(text.find("dear line 3\n"), std::string::npos) << text;
    Log().SetLineLimit(10, 60000);
}

TEST_F(AppLogTest, FullFileRollsOverToItsBackup)
{
    const std::string path = ::testing::TempDir() + "applog_roll.log", backup = path + ".bak";
    std::remove(backup.c_str());
    AppFileLogger sink(path, "AppFileLoggerRoll#");
    sink.SetRollOver(4096, backup);
    Log().AddLogger(&sink);
    const std::string line(100, 'y');
    for (int i = 0; i < 200; ++i)
        Log().Printf(kLogError, "%04d %s", i, line.c_str());
    sink.Shutdown();
    auto size = [](const std::string& p) {
        std::ifstream in(p, std::ios::binary | std::ios::ate);
        return in ? static_cast<long>(in.tellg()) : -1L;
    };
    EXPECT_LE(size(path), 4096 + 200);
    EXPECT_GE(size(backup), 4096);
    EXPECT_LE(size(backup), 4096 + 200);
    const std::string text = vgtest::ReadAll(path);
    EXPECT_NE(text.find("0199 "), std::string::npos); // the newest lines are in the file
}

TEST_F(AppLogTest, ARollOverWhoseRenameFailsKeepsWhatWasLogged)
{
    // The backup's folder does not exist: every rename fails.
    const std::string path = ::testing::TempDir() + "applog_roll_fails.log";
    const std::string backup = ::testing::TempDir() + "applog_no_backup_folder/engine.log.bak";
    vgtest::EventRecorder systemLog;
    AppFileLogger sink(path, "AppFileLoggerRollFails#", systemLog.Writer());
    sink.SetRollOver(1024, backup);
    Log().AddLogger(&sink);
    const std::string line(100, 'z');
    for (int i = 0; i < 25; ++i)
        Log().Printf(kLogError, "%04d %s", i, line.c_str());
    sink.Shutdown();
    const std::string text = vgtest::ReadAll(path);
    EXPECT_NE(text.find("0000 "), std::string::npos) << "the first lines were truncated away";
    EXPECT_NE(text.find("0024 "), std::string::npos);
    ASSERT_FALSE(systemLog.Events().empty());
    EXPECT_NE(systemLog.Events().front().find("Log file " + path + " -> " + backup +
                                              " cannot be rolled over: No such file or directory"),
              std::string::npos)
        << systemLog.Events().front();
    EXPECT_LE(systemLog.Events().size(), 3u); // about once per bound, never once per line
}

TEST_F(AppLogTest, AFailedRollOverKeepsLoggingWhenItsPathCannotBeOpenedAgain)
{
    // The open file is moved aside and a folder takes its name: neither a rename nor an open of the
    // path can succeed any more, and the lines must still reach the open file.
    const vgtest::Sandbox box("applog-reopen");
    const std::string path = box.Path("engine.log"), moved = box.Path("engine.log.moved");
    const std::string backup = box.Path("no-such-folder/engine.log.bak");
    vgtest::EventRecorder systemLog;
    AppFileLogger sink(path, "AppFileLoggerRollReopen#", systemLog.Writer());
    sink.SetRollOver(1024, backup);
    Log().AddLogger(&sink);
    Log().Printf(kLogError, "first line");
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    ASSERT_TRUE(std::filesystem::create_directory(path));
    const std::string line(100, 'r');
    for (int i = 0; i < 25; ++i)
        Log().Printf(kLogError, "%04d %s", i, line.c_str());
    EXPECT_EQ(sink.Log(kLogError, "stamp", "still logging"), 1);
    sink.Shutdown();
    const std::string all = vgtest::ReadAll(moved);
    EXPECT_NE(all.find("0024 "), std::string::npos);
    EXPECT_NE(all.find("still logging"), std::string::npos);
    EXPECT_FALSE(systemLog.Events().empty());
}

TEST_F(AppLogTest, AFileThatCannotBeOpenedOrWrittenIsToldOnceToTheSystemLog)
{
    const std::string missing = ::testing::TempDir() + "applog_no_such_folder/engine.log";
    const std::string program = program_invocation_short_name;
    struct Case {
        std::string path;
        std::string event;
    } cases[] = {
        {missing, program + " 1 100 Log file " + missing + " cannot be opened: No such file or directory"},
        // A full disk: every write fails.
        {"/dev/full", program + " 1 100 Log file /dev/full cannot be written: No space left on device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Log().ResetForTest();
        vgtest::EventRecorder systemLog;
        AppFileLogger sink(c.path, "AppFileLoggerFailing#", systemLog.Writer());
        Log().AddLogger(&sink);
        for (int i = 0; i < 3; ++i)
            Log().Printf(kLogError, "line %d", i);
        EXPECT_EQ(systemLog.Events(), std::vector<std::string>{c.event});
        Log().ResetForTest();
    }
}

TEST_F(AppLogTest, AFileThatWorksAgainHasItsNextFailureToldAgain)
{
    const std::string good = ::testing::TempDir() + "applog_works_again.log";
    vgtest::EventRecorder systemLog;
    AppFileLogger sink("/dev/full", "AppFileLoggerAgain#", systemLog.Writer());
    sink.Log(kLogError, "stamp", "lost");
    sink.Log(kLogError, "stamp", "lost too");
    ASSERT_EQ(systemLog.Events().size(), 1u);
    ASSERT_EQ(sink.Open(good), 1);
    EXPECT_EQ(sink.Log(kLogError, "stamp", "kept"), 1);
    ASSERT_EQ(sink.Open("/dev/full"), 1);
    sink.Log(kLogError, "stamp", "lost again");
    EXPECT_EQ(systemLog.Events().size(), 2u);
    EXPECT_NE(systemLog.Events().back().find("/dev/full cannot be written"), std::string::npos)
        << systemLog.Events().back();
    const std::string text = vgtest::ReadAll(good);
    EXPECT_EQ(text, "stamp [ERROR] kept\n");
}
