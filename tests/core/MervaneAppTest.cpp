#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/LogCapture.h"
#include "engine/base/Helpers.h"
#include "engine/core/config/MervaneApp.h"

TEST(AppConfig, DirectoriesFollowTheExecutable)
{
    AppConfig config("/A/B/vgnsa");
    EXPECT_EQ(config.ProgramDirectory(), "/A/B/");
    EXPECT_EQ(config.InstallDirectory(), "/A/");
    EXPECT_EQ(config.DataDirectory(), "/A/data/");
    EXPECT_EQ(config.LogDirectory(), "/A/log/");
}

TEST(AppConfig, PathWithoutAFolderKeepsTheDefaults)
{
    AppConfig config("vgnsa");
    EXPECT_EQ(config.DataDirectory(), AppConfig::kDefaultDataDirectory);
    EXPECT_EQ(config.LogDirectory(), AppConfig::kDefaultLogDirectory);
    EXPECT_EQ(config.InstallDirectory(), "");
}

TEST(FileNames, EveryTypeWithAndWithoutTheBackupFlag)
{
    AppConfig config("/A/B/vgnsa");
    struct Case {
        int type;
        const char* name;
        const char* path;
        const char* backup;
    } cases[] = {
        {VG_FILE_CONFIG, "VG_FILE_CONFIG", "/A/vgconfig.ini", "/A/vgconfig.bak"},
        {VG_FILE_DRIVER, "VG_FILE_DRIVER", "/A/B/vigilon.dat", "/A/B/vigilon.bak"},
        {VG_FILE_DATA_DEVICE_TEMPLATE, "VG_FILE_DATA_DEVICE_TEMPLATE", "/A/data/vgdvctpl.dat", "/A/data/vgdvctpl.bak"},
        {VG_FILE_DATA_REMOTE_TEMPLATE, "VG_FILE_DATA_REMOTE_TEMPLATE", "/A/data/vgrmttpl.dat", "/A/data/vgrmttpl.bak"},
        {VG_FILE_DATA_USER_TEMPLATE, "VG_FILE_DATA_USER_TEMPLATE", "/A/data/vgusrtpl.dat", "/A/data/vgusrtpl.bak"},
        {VG_FILE_EXT_CONSOLE, "VG_FILE_EXT_CONSOLE", "/A/data/vgcnsext.dat", "/A/data/vgcnsext.bak"},
        {VG_FILE_EXT_DEVICE, "VG_FILE_EXT_DEVICE", "/A/data/vgdvcext.dat", "/A/data/vgdvcext.bak"},
        {VG_FILE_EXT_REMOTE, "VG_FILE_EXT_REMOTE", "/A/data/vgrmtext.dat", "/A/data/vgrmtext.bak"},
        {VG_FILE_EXT_USER, "VG_FILE_EXT_USER", "/A/data/vgusrext.dat", "/A/data/vgusrext.bak"},
        {VG_FILE_LOG_APP, "VG_FILE_LOG_APP", "/A/log/vigilon.log", "/A/log/vigilon.bak"},
        {VG_FILE_LOG_DEVICE_EVENT, "VG_FILE_LOG_DEVICE_EVENT", "/A/data/vgdlog", "/A/data/vgdlog"},
        {VG_FILE_LOG_EVENT, "VG_FILE_LOG_EVENT", "/A/data/vglog.dat", "/A/data/vglog.bak"},
        {VG_FILE_LOG_EVENT_TXT, "VG_FILE_LOG_EVENT_TXT", "/A/data/vgelog.txt", "/A/data/vgelog.bak"},
        {VG_FILE_LOG_EVENT_EMAIL, "VG_FILE_LOG_EVENT_EMAIL", "/A/log/eventlog.txt", "/A/log/eventlog.txt"},
        {VG_FILE_LOG_NETEVENT, "VG_FILE_LOG_NETEVENT", "/A/data/vgnlog.dat", "/A/data/vgnlog.bak"},
        {VG_FILE_LOG_NETEVENT_TXT, "VG_FILE_LOG_NETEVENT_TXT", "/A/data/vgnelog.txt", "/A/data/vgnelog.bak"},
    };
    std::string out;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(FileTypeName(c.type), c.name);
        EXPECT_EQ(BuildFileName(config, out, c.type, false), 0);
        EXPECT_EQ(out, c.path);
        EXPECT_EQ(BuildFileName(config, out, c.type, true), 0);
        EXPECT_EQ(out, c.backup);
    }
    out = "x";
    EXPECT_EQ(BuildFileName(config, out, 16, false), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(BuildFileName(config, out, -1, false), 1);
}

TEST(FileNames, SafePointsOnlyForExtensionFiles)
{
    AppConfig config("/A/B/vgnsa");
    std::string out;
    const char* expected[] = {"/A/data/vgcnsext.safepoint", "/A/data/vgdvcext.safepoint",
                              "/A/data/vgrmtext.safepoint", "/A/data/vgusrext.safepoint"};
    for (int type = VG_FILE_EXT_CONSOLE; type <= VG_FILE_EXT_USER; ++type) {
        EXPECT_EQ(BuildSafePointFileName(config, out, type), 0);
        EXPECT_EQ(out, expected[type - VG_FILE_EXT_CONSOLE]);
    }
    out = "x";
    EXPECT_EQ(BuildSafePointFileName(config, out, VG_FILE_DATA_USER_TEMPLATE), 1);
    EXPECT_EQ(out, "");
}

TEST(MervaneApp, SingletonLogsItsFileNamesAndCreatesEachSinkOnce)
{
    AppLog::Instance()->ResetForTest();
    MervaneApp* app = MervaneApp::Instance();
    EXPECT_EQ(app, MervaneApp::Instance());

    // The test program lives in <build>/tests/, so its install directory is the build folder.
    std::string logDir = app->Config().LogDirectory();
    ::mkdir(logDir.c_str(), 0755);
    std::string logPath, backupPath;
    ASSERT_EQ(app->GetFileName(logPath, VG_FILE_LOG_APP), 0);
    ASSERT_EQ(app->GetFileName(backupPath, VG_FILE_LOG_APP, true), 0);
    std::ofstream(logPath) << "the previous run\n";

    ASSERT_EQ(app->CreateFileLogger(logPath, kLogDebug), 1);
    std::string discovery;
    EXPECT_EQ(app->GetDiscoveryErrorLogName(discovery), 0);
    EXPECT_EQ(discovery, logDir + "VGNMSDiscoveryError.log");

    // The previous run's log survives as the backup; the new log got the start-up lines.
    std::ifstream backup(backupPath);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(backup), {}), "the previous run\n");
    AppFileLogger* first = app->FileLogger();
    EXPECT_EQ(app->CreateFileLogger(logDir + "other.log", kLogError), 1);
    EXPECT_EQ(app->FileLogger(), first);
    first->Shutdown();
    std::ifstream current(logPath);
    std::string text(std::istreambuf_iterator<char>(current), {});
    EXPECT_NE(text.find("[DEBUG] MervaneApp instance created"), std::string::npos) << text;
    EXPECT_NE(text.find("VG_FILE_LOG_NETEVENT_TXT = " + app->Config().DataDirectory() + "vgnelog.txt"),
              std::string::npos);
    EXPECT_FALSE(FileExists((logDir + "other.log").c_str()));
    AppLog::Instance()->ResetForTest();
}
