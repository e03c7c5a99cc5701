// The engine-boots file: statuses of the reader, stores that keep other engines' lines.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "engine/agent/EngineBoots.h"
#include "support/TestSupport.h"

namespace {

const std::string kId = "80001f8804686f73743a33363634";

TEST(EngineBoots, ParseStatuses)
{
    struct Case {
        std::string content;
        int status;
        uint32_t boots;
    } cases[] = {
        {kId + " 7\n", kBootsOk, 7},
        {"8000aa 3\n" + kId + " 12\n", kBootsOk, 12},
        {"8000AA 3\n", kBootsNoEntry, 0},
        {"", kBootsNoEntry, 0},
        {"\n\n" + kId + " 1\n", kBootsOk, 1},
        {kId + " 7", kBootsCorrupt, 0},                // torn last line
        {kId + "7\n", kBootsCorrupt, 0},               // no blank
        {kId + " -7\n", kBootsCorrupt, 0},
        {kId + " 2147483648\n", kBootsCorrupt, 0},     // above the RFC's latch value
        {kId + " 99999999999999999999\n", kBootsCorrupt, 0},
        {"xyz 1\n", kBootsCorrupt, 0},                 // not hexadecimal
        {"abc 1\n", kBootsCorrupt, 0},                 // odd length
        {std::string(66, 'a') + " 1\n", kBootsCorrupt, 0},  // longer than an engine ID
        {kId + " 7 8\n", kBootsCorrupt, 0},
        {std::string(70000, '\n'), kBootsCorrupt, 0},  // larger than any boots file
    };
    for (const Case& c : cases) {
        uint32_t boots = 99;
        EXPECT_EQ(ParseEngineBoots(c.content, kId, boots), c.status) << c.content.substr(0, 80);
        EXPECT_EQ(boots, c.boots) << c.content.substr(0, 80);
    }
}

TEST(EngineBoots, NextValueLatchesAtTheLimit)
{
    EXPECT_EQ(NextEngineBoots(0), 1u);
    EXPECT_EQ(NextEngineBoots(41), 42u);
    EXPECT_EQ(NextEngineBoots(kMaxEngineBoots - 1), kMaxEngineBoots);
    EXPECT_EQ(NextEngineBoots(kMaxEngineBoots), kMaxEngineBoots);
}

TEST(EngineBoots, ReadAndStore)
{
    vgtest::TempDir dir;
    std::string path = dir.Path() + "/" + kEngineBootsFileName;
    uint32_t boots = 5;
    EXPECT_EQ(ReadEngineBoots(path, kId, boots), kBootsNoFile);
    EXPECT_EQ(boots, 0u);
    std::ofstream(path) << "8000aa 41\n";
    EXPECT_EQ(ReadEngineBoots(path, kId, boots), kBootsNoEntry);
    EXPECT_EQ(StoreEngineBoots(path, kId, 1), kBootsOk);
    EXPECT_EQ(StoreEngineBoots(path, kId, 2), kBootsOk);
    EXPECT_EQ(ReadEngineBoots(path, kId, boots), kBootsOk);
    EXPECT_EQ(boots, 2u);
    EXPECT_EQ(ReadEngineBoots(path, "8000aa", boots), kBootsOk);
    EXPECT_EQ(boots, 41u);

    // A corrupt file is reported, and a store replaces it with a sound one.
    std::ofstream(path) << "garbage";
    EXPECT_EQ(ReadEngineBoots(path, kId, boots), kBootsCorrupt);
    EXPECT_EQ(StoreEngineBoots(path, kId, 3), kBootsOk);
    EXPECT_EQ(ReadEngineBoots(path, kId, boots), kBootsOk);
    EXPECT_EQ(boots, 3u);

    // A folder that cannot be written: the store fails and says so.
    EXPECT_EQ(StoreEngineBoots(dir.Path() + "/missing/" + kEngineBootsFileName, kId, 1), kBootsWriteError);
    if (geteuid() != 0) {
        chmod(path.c_str(), 0);
        EXPECT_EQ(ReadEngineBoots(path, kId, boots), kBootsReadError);
    }
}

}  // namespace
