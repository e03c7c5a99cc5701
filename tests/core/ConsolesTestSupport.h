#pragma once
// Fixtures of the console tests: a host with a sandbox folder for vgcnsext, a recording trap sender, and
// helpers that build console files by hand.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/consoles/Consoles.h"
#include "engine/core/data/DataFile.h"
#include "platform/AtomicFile.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "tests/support/Wait.h"

namespace consoletest {

using Clock = std::chrono::steady_clock;

// Records every trap handed to it: destination, port, community, trap OID, varbinds and the time.
class RecordingTrapSender : public ITrapSender {
public:
    struct Sent {
        std::string peername;
        int port;
        std::string community;
        std::string agent;
        std::vector<uint32_t> trapOid;
        std::vector<TrapVarbind> varbinds;
        int version;
        int type;
        int specific;
        Clock::time_point at;
    };

    int SendTrap(TrapData& trap) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.push_back({trap.peername, trap.port, trap.community, trap.agent, trap.trapOid, trap.varbinds,
                          trap.version, trap.type, trap.specific, Clock::now()});
        return 0;
    }
    std::vector<Sent> Sends()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sent;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Sent> m_sent;
};

class FakeConsoleHost : public IConsoleHost {
public:
    explicit FakeConsoleHost(const std::string& dir) : m_dir(dir) {}

    int GetTrapPort() override { return trapPort; }
    std::string GetCommunity() override { return community; }
    std::string GetEngineName() override { return "enginehost"; }
    uint32_t GetDataFileVersion() override { return dataVersion; }
    std::vector<uint32_t> GetDeviceKeys() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return deviceKeys;
    }
    int GetDeviceCount() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(deviceKeys.size());
    }
    ITrapSender* GetTrapSender() override { return &sender; }
    std::string GetConsoleFilePath() override { return m_dir + "/vgcnsext.dat"; }
    std::string GetConsoleBackupPath() override { return m_dir + "/vgcnsext.bak"; }
    std::string GetConsoleSafePointPath() override { return m_dir + "/vgcnsext.safe"; }

    void SetDevices(std::vector<uint32_t> keys)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        deviceKeys = std::move(keys);
    }

    int trapPort = 16200;
    uint32_t dataVersion = kEngineDataVersion;
    std::string community = "public";
    RecordingTrapSender sender;

private:
    std::string m_dir;
    std::mutex m_mutex;
    std::vector<uint32_t> deviceKeys{0x00010001u, 0x00010002u};
};

inline uint32_t Ip(int a, int b, int c, int d)
{
    return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 | static_cast<uint32_t>(c) << 16 |
           static_cast<uint32_t>(d) << 24;
}

inline uint32_t RowWord(const std::vector<uint8_t>& row, int index)
{
    return LoadWord(row.data() + 4 * index);
}

inline void PutWord(std::vector<uint8_t>& bytes, size_t wordIndex, uint32_t value)
{
    if (bytes.size() < 4 * (wordIndex + 1))
        bytes.resize(4 * (wordIndex + 1), 0);
    StoreWord(bytes.data() + 4 * wordIndex, value);
}

inline void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// A data file of the given blocks (key, image), directory in that order.
inline std::string MakeDataFile(uint32_t fileId, uint32_t version,
                                const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& blocks)
{
    std::string out;
    const uint32_t n = static_cast<uint32_t>(blocks.size());
    for (uint32_t w : {28u, fileId, 28u, 16 * n, n, version, 0u})
        AppendWord(out, w);
    uint32_t offset = 16 * n;
    for (const auto& block : blocks) {
        for (uint32_t w : {16u, block.first, offset, static_cast<uint32_t>(block.second.size())})
            AppendWord(out, w);
        offset += static_cast<uint32_t>(block.second.size());
    }
    for (const auto& block : blocks)
        out.append(reinterpret_cast<const char*>(block.second.data()), block.second.size());
    return out;
}

// A table block {20, key, 20, bytes, count} with the rows.
inline std::vector<uint8_t> MakeTable(uint32_t key, const std::vector<std::vector<uint8_t>>& rows)
{
    std::vector<uint8_t> block(20, 0);
    size_t bytes = 0;
    for (const auto& row : rows)
        bytes += row.size();
    PutWord(block, 0, 20);
    PutWord(block, 1, key);
    PutWord(block, 2, 20);
    PutWord(block, 3, static_cast<uint32_t>(bytes));
    PutWord(block, 4, static_cast<uint32_t>(rows.size()));
    for (const auto& row : rows)
        Append(block, row);
    return block;
}

// A row of an older layout: a fixed part of fixedSize bytes and one slot per entry of slotValues, each
// with that many value words.
inline std::vector<uint8_t> MakeOldRow(uint32_t key, uint32_t address, uint32_t fixedSize,
                                       const std::vector<std::vector<uint32_t>>& slotValues)
{
    std::vector<uint8_t> row(fixedSize, 0);
    PutWord(row, 1, key);
    PutWord(row, 4, static_cast<uint32_t>(slotValues.size()));
    PutWord(row, 5, fixedSize);
    PutWord(row, 7, 1);
    PutWord(row, 8, address);
    PutWord(row, 10, 50);
    PutWord(row, 18, 50);
    PutWord(row, 25, 17000 + (address >> 24));
    PutWord(row, 26, 3664);
    uint32_t device = 0x00010001u;
    for (const auto& values : slotValues) {
        std::vector<uint8_t> slot(20 + 4 * values.size(), 0);
        PutWord(slot, 0, static_cast<uint32_t>(slot.size()));
        PutWord(slot, 1, device++);
        PutWord(slot, 4, static_cast<uint32_t>(values.size()));
        for (size_t i = 0; i < values.size(); ++i)
            PutWord(slot, 5 + i, values[i]);
        Append(row, slot);
    }
    PutWord(row, 0, static_cast<uint32_t>(row.size()));
    return row;
}

inline std::vector<uint8_t> CurrentRow(uint32_t key, uint32_t address, size_t slots)
{
    return MakeOldRow(key, address, 128, std::vector<std::vector<uint32_t>>(slots, std::vector<uint32_t>(4, 0)));
}

// A sandbox folder with a host and a registry over it (keep-alive period and bound as given).
class ConsolesTest : public ::testing::Test {
protected:
    void SetUp() override { host = std::make_unique<FakeConsoleHost>(m_dir); }
    void TearDown() override { consoles.reset(); }
    CConsoles& Make(ConsoleOptions options = {})
    {
        consoles = std::make_unique<CConsoles>(*host, options);
        EXPECT_EQ(consoles->Initialize(), 1);
        return *consoles;
    }
    std::string FilePath() const { return host->GetConsoleFilePath(); }
    void WriteFile(const std::string& content)
    {
        ASSERT_TRUE(vgplat::WriteFileAtomically(FilePath(), content.data(), content.size(), 0600));
    }
    // The console block of the file on disk, or empty.
    std::vector<uint8_t> StoredBlock(uint32_t* version = nullptr)
    {
        CMasterFileTable file;
        if (file.Read(FilePath()) != CMasterFileTable::Result::kOk)
            return {};
        if (version)
            *version = file.Header().dataVersion;
        const DataFileDirectoryEntry* entry = file.FindBlock(CConsoles::kConsoleTableKey);
        if (!entry || !file.IsInside(*entry))
            return {};
        const uint8_t* data = file.BlockData(*entry);
        return std::vector<uint8_t>(data, data + entry->length);
    }
    uint32_t GetInt(uint32_t key, uint32_t address)
    {
        EngineValue value;
        EXPECT_EQ(consoles->GetValue(key, address, value), 1);
        EXPECT_EQ(value.type, kValueInteger);
        return value.integer;
    }
    std::string GetText(uint32_t key, uint32_t address)
    {
        EngineValue value;
        EXPECT_EQ(consoles->GetValue(key, address, value), 1);
        EXPECT_EQ(value.type, kValueOctetString);
        return value.bytes;
    }
    void SetInt(uint32_t key, uint32_t address, uint32_t value)
    {
        consoles->SetValue(key, address, kValueInteger, &value, sizeof value);
    }
    void SetText(uint32_t key, uint32_t address, const std::string& text)
    {
        consoles->SetValue(key, address, kValueOctetString, text.data(), text.size());
    }

    vgtest::Sandbox m_box{"vgconsoles"};
    std::string m_dir = m_box.Dir();
    std::unique_ptr<FakeConsoleHost> host;
    std::unique_ptr<CConsoles> consoles;
};

using vgtest::WaitUntil;

} // namespace consoletest
