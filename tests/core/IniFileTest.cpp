#include "engine/core/config/IniFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "engine/core/config/ConfigFileInterface.h"
#include "tests/support/Sandbox.h"
#include "tests/core/DataFileTestSupport.h"

using vgtest::Sandbox;

namespace {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

KeyValues ReadSection(CIniFile& ini, const char* section)
{
    KeyValues out;
    if (!ini.SeekSection(section))
        return out;
    while (ini.ReadNextKey())
        out.emplace_back(ini.GetKey(), ini.GetValue());
    return out;
}

} // namespace

TEST(IniFile, LineCleaningKeysAndValues)
{
    Sandbox box;
    std::string path = box.Write("a.ini",
                                 "Orphan=1\n"
                                 "[Main] # comment after the header\n"
                                 "  Key = a=b  # trailing comment\r\n"
                                 "\tSpaced\t=\t x \t\r\n"
                                 "no equals sign here\n"
                                 "# whole line comment\n"
                                 "\n"
                                 "Empty=\n"
                                 "=novalue\n"
                                 "[Other]\n"
                                 "Second=2\n"
                                 "Last=no line end");
    CIniFile ini;
    ASSERT_TRUE(ini.Open(path.c_str()));
    KeyValues main = ReadSection(ini, "[Main]");
    EXPECT_EQ(main, (KeyValues {{"Key", "a=b"}, {"Spaced", "x"}, {"Empty", ""}, {"", "novalue"}}));

    // A last line without a line end is read like any other.
    EXPECT_EQ(ReadSection(ini, "[Other]"), (KeyValues {{"Second", "2"}, {"Last", "no line end"}}));
    // Seeking again starts at the top: an earlier section is found after a later one was read.
    EXPECT_EQ(ReadSection(ini, "[Main]").size(), 4u);

    // Section names match exactly, letter case included; keys ignore letter case.
    CaptureLogger& log = ProgramLogCapture();
    log.Clear();
    EXPECT_FALSE(ini.SeekSection("[main]"));
    EXPECT_TRUE(log.Contains(kLogWarning, "CIniFile::SeekSection - failed to find section '[main]'."));
    ASSERT_TRUE(ini.SeekSection("[Other]"));
    ASSERT_TRUE(ini.ReadNextKey());
    EXPECT_TRUE(ini.IsKey("SECOND"));
    EXPECT_FALSE(ini.IsKey(nullptr));
    EXPECT_TRUE(ini.Close());
}

TEST(IniFile, OpenAndSeekRefusals)
{
    Sandbox box;
    CaptureLogger& log = ProgramLogCapture();
    log.Clear();
    CIniFile ini;
    EXPECT_FALSE(ini.SeekSection("[A]"));
    EXPECT_TRUE(log.Contains(kLogError, "CIniFile::SeekSection - cannot seek on a non-open file."));
    EXPECT_FALSE(ini.ReadNextKey());
    EXPECT_FALSE(ini.Open(nullptr));
    EXPECT_FALSE(ini.Open(""));
    EXPECT_TRUE(log.Contains(kLogError, "CIniFile::Open - null or empty file path rejected."));
    EXPECT_FALSE(ini.Open(box.Path("missing.ini").c_str()));
    EXPECT_TRUE(ini.Close());

    std::string path = box.Write("b.ini", "[A]\nk=v\n");
    ASSERT_TRUE(ini.Open(path.c_str()));
    EXPECT_FALSE(ini.Open(path.c_str()));
    EXPECT_TRUE(log.Contains(kLogError, "CIniFile::Open - there is an open file associated with this instance."));
    EXPECT_FALSE(ini.SeekSection(""));
    EXPECT_TRUE(log.Contains(kLogError, "CIniFile::SeekSection - null or empty section requested."));
    // A section at the end of the file ends there; reading on stays false.
    ASSERT_TRUE(ini.SeekSection("[A]"));
    EXPECT_TRUE(ini.ReadNextKey());
    EXPECT_FALSE(ini.ReadNextKey());
    EXPECT_FALSE(ini.ReadNextKey());
    EXPECT_TRUE(ini.SeekSection("[A]"));
}

TEST(IniFile, WriterTextChecks)
{
    struct Case {
        std::string text;
        bool value;
        bool section;
    };
    const Case cases[] = {
        {"plain text", true, true},
        {"a=b,c", true, true},
        {"", true, false},
        {"with#hash", false, false},
        {"cr\rin", false, false},
        {"lf\nin", false, false},
        {std::string("nul\0in", 6), false, false},
        {"tab\tin", false, false},
        {" lead", false, false},
        {"trail ", false, false},
        {"Remote]Event", true, false},
        {"Remote[Event", true, false},
        {"RemoteEvent:On Battery", true, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsIniValueSafe(c.text), c.value) << c.text;
        EXPECT_EQ(IsIniSectionNameSafe(c.text), c.section) << c.text;
    }
    // Every accepted value reads back unchanged through a key line.
    Sandbox box;
    std::string content = "[S]\n";
    std::vector<std::string> accepted;
    for (const Case& c : cases)
        if (c.value) {
            accepted.push_back(c.text);
            content += "K=" + c.text + "\n";
        }
    std::string path = box.Write("c.ini", content);
    CIniFile ini;
    ASSERT_TRUE(ini.Open(path.c_str()));
    KeyValues read = ReadSection(ini, "[S]");
    ASSERT_EQ(read.size(), accepted.size());
    for (size_t i = 0; i < read.size(); ++i)
        EXPECT_EQ(read[i].second, accepted[i]);
}

class TimeStampSection : public ::testing::Test {
protected:
    void SetUp() override { timeStampConfigFileInterface::ClearAll(); }
    void TearDown() override
    {
        timeStampConfigFileInterface::ClearAll();
        genericConfigFileInterface::SetEngineIniPath("");
    }
    void Import(const std::string& content)
    {
        genericConfigFileInterface::SetEngineIniPath(m_box.Write("vgconfig.ini", content));
        timeStampConfigFileInterface section;
        section.Process();
    }
    static std::string Text(timeStampConfigFileInterface::Field f) { return timeStampConfigFileInterface::GetText(f); }
    Sandbox m_box;
};

TEST_F(TimeStampSection, ImportInOrderAndCuts)
{
    using T = timeStampConfigFileInterface;
    Import("[VG_Engine]\nSourceName=wrong section\n"
           "[ConfigFileVersion]\n"
           "SourceTimeStamp=Sun, 1 Mar 2026 07:05:09 GMT\n"
           "sourcename=" + std::string(100, 'h') + "\n"
           "ServerTimeStamp=" + std::string(40, 't') + "\n");
    EXPECT_EQ(Text(T::kSourceTimeStamp), "Sun, 1 Mar 2026 07:05:09 GMT");
    EXPECT_EQ(Text(T::kSourceName), std::string(66, 'h'));
    EXPECT_EQ(Text(T::kServerTimeStamp), std::string(31, 't'));
    EXPECT_EQ(Text(T::kServerName), "");

    T::SetText(T::kFileVersionName, std::string(200, 'v'));
    EXPECT_EQ(Text(T::kFileVersionName), std::string(127, 'v'));
}

TEST_F(TimeStampSection, KeyOutOfOrderClearsEverything)
{
    using T = timeStampConfigFileInterface;
    T::SetText(T::kServerName, "kept until the bad key");
    testing::internal::CaptureStdout();
    Import("[ConfigFileVersion]\nSourceName=host\nSourceTimeStamp=x\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Invalid time stamp config section keyword: \"SourceName\", clearing values and ignoring section\n");
    for (int f = 0; f < T::kFieldCount; ++f)
        EXPECT_EQ(Text(static_cast<T::Field>(f)), "") << f;

    // An empty key ends the reading and keeps what was read.
    Import("[ConfigFileVersion]\nSourceTimeStamp=first\n=orphan value\nSourceName=never read\n");
    EXPECT_EQ(Text(T::kSourceTimeStamp), "first");
    EXPECT_EQ(Text(T::kSourceName), "");
}

TEST_F(TimeStampSection, ExportFormat)
{
    using T = timeStampConfigFileInterface;
    EXPECT_EQ(T::FormatTimeStamp(1772348709), "Sun, 1 Mar 2026 07:05:09 GMT");
    EXPECT_EQ(T::FormatTimeStamp(0), "Thu, 1 Jan 1970 00:00:00 GMT");

    std::ostringstream out;
    T section(&out);
    section.Process();
    std::string host = T::HostName();
    EXPECT_TRUE(IsIniValueSafe(host));
    EXPECT_LE(host.size(), 66u);
    std::string text = out.str();
    std::string expectedTail = "\nSourceName=" + host + "\n\n\n";
    ASSERT_EQ(text.rfind("[ConfigFileVersion]\nSourceTimeStamp=", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - expectedTail.size()), expectedTail);
    EXPECT_NE(Text(T::kSourceTimeStamp).find(" GMT"), std::string::npos);

    // What was exported imports again.
    std::string stamp = Text(T::kSourceTimeStamp);
    T::ClearAll();
    Import(text);
    EXPECT_EQ(Text(T::kSourceTimeStamp), stamp);
    EXPECT_EQ(Text(T::kSourceName), host);
}

TEST_F(TimeStampSection, UnsafeSectionNameIsRefused)
{
    CaptureLogger& log = ProgramLogCapture();
    log.Clear();
    std::ostringstream out;
    genericConfigFileInterface section(&out, "Bad]Name");
    section.Process();
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(log.Contains(kLogError, "section name \"Bad]Name\" refused"));
}

// Request threads read the [ConfigFileVersion] values while the system-queue thread rewrites the file.
TEST(TimeStampThreads, ValuesAreReadWhileExported)
{
    using T = timeStampConfigFileInterface;
    T::SetText(T::kFileVersionName, "12.04.0059");
    std::atomic<bool> stop {false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                std::string stamp = T::GetText(T::kSourceTimeStamp);
                if (!stamp.empty() && stamp.find(" GMT") == std::string::npos)
                    ADD_FAILURE() << stamp;
                if (T::GetText(T::kFileVersionName) != "12.04.0059")
                    ADD_FAILURE() << "the export touched FileVersionName";
            }
        });
    for (int i = 0; i < 300; ++i) {
        std::ostringstream out;
        T section(&out);
        section.Process();
    }
    stop = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(T::GetText(T::kFileVersionName), "12.04.0059");
}
