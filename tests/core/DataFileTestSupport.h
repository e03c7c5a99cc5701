#pragma once
// Shared fixtures of the data-file tests: a sandbox folder per test whose Log() is the program's
// capture sink (tests/support/LogCapture.h), cleared for each test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/AppLog.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Sandbox.h"
#include "platform/AtomicFile.h"

namespace vgtest {

// A fresh folder per test, removed afterwards.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override { ProgramLogCapture().Clear(); }
    std::string Path(const std::string& name) const { return m_box.Path(name); }
    static std::string ReadFile(const std::string& path)
    {
        std::string out;
        vgplat::ReadWholeFile(path, out, 1u << 28);
        return out;
    }
    static void WriteFile(const std::string& path, const std::string& content)
    {
        ASSERT_TRUE(vgplat::WriteFileAtomically(path, content.data(), content.size(), 0644));
    }
    CaptureLogger& Log() { return ProgramLogCapture(); }

    Sandbox m_box{"vgdata"};
    std::string m_dir = m_box.Dir();
};

// Builds little-endian images word by word.
class Image {
public:
    Image& W(uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes.push_back(static_cast<char>(value >> (8 * i)));
        return *this;
    }
    Image& Bytes(const std::string& bytes)
    {
        m_bytes += bytes;
        return *this;
    }
    const std::string& Str() const { return m_bytes; }
    size_t Size() const { return m_bytes.size(); }

private:
    std::string m_bytes;
};

inline uint32_t WordAt(const std::string& bytes, size_t offset)
{
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes.at(offset + i))); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

// A data file of one file id and version holding the given blocks (key, image) in order.
inline std::string MakeDataFile(uint32_t fileId, uint32_t version,
                                const std::vector<std::pair<uint32_t, std::string>>& blocks)
{
    Image file;
    uint32_t n = static_cast<uint32_t>(blocks.size());
    file.W(28).W(fileId).W(28).W(16 * n).W(n).W(version).W(0);
    uint32_t offset = 16 * n;
    for (const auto& [key, body] : blocks) {
        file.W(16).W(key).W(offset).W(static_cast<uint32_t>(body.size()));
        offset += static_cast<uint32_t>(body.size());
    }
    for (const auto& block : blocks)
        file.Bytes(block.second);
    return file.Str();
}

} // namespace vgtest
