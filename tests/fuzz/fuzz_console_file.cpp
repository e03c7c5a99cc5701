// Fuzzes the console file loader: any file content, and any block image, must be loaded or refused
// without a crash, a hang or an overrun; a loaded block must upgrade to the current layout, and the
// current layout must survive a save and a load unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/base/AppLog.h"
#include "engine/core/data/BinaryFile.h"
#include "engine/core/consoles/ConsoleTable.h"
#include "engine/core/data/DataFile.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

const std::string& InputPath()
{
    static const std::string path = [] {
        vgfuzz::SilenceLog();
        return vgfuzz::MakeScratchFile("fuzz_console_file");
    }();
    return path;
}

std::vector<uint8_t> BlockOf(const CDataHeader& table)
{
    return std::vector<uint8_t>(table.GetBlock(), table.GetBlock() + table.GetSize());
}

void CheckTable(CConsoleTable& table)
{
    if (!table.HasBlock())
        std::abort(); // the loader always leaves a block
    if (table.NeedsUpgrade() && !table.Upgrade())
        return;
    if (table.NeedsUpgrade())
        std::abort();
    std::vector<uint8_t> copy;
    std::string why;
    if (!CConsoleTable::ParseStoredBlock(table.GetBlock(), static_cast<size_t>(table.GetSize()), copy, why) ||
        copy != BlockOf(table))
        std::abort();
    if (table.GetCount() != table.CountEntries())
        std::abort();

    // Save and load again: the same block.
    CBinaryFile file;
    std::string image;
    if (!file.AddBlock(&table, 0xA7000000u) || !file.BuildImage(kConsoleExtensionFileId, kEngineDataVersion, image))
        std::abort();
    vgfuzz::WriteFile(InputPath(), image.data(), image.size());
    CConsoleTable again;
    if (!again.ReadFileBlock(InputPath(), 0xA7000000u) || BlockOf(again) != BlockOf(table))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input as a whole file.
    vgfuzz::WriteFile(InputPath(), data, size);
    {
        CConsoleTable table;
        table.ReadFileBlock(InputPath(), 0xA7000000u);
        CheckTable(table);
    }
    // The input as one block image.
    std::vector<uint8_t> out;
    std::string why;
    if (CConsoleTable::ParseStoredBlock(data, size, out, why)) {
        std::string image;
        AppendWord(image, 28);
        AppendWord(image, kConsoleExtensionFileId);
        AppendWord(image, 28);
        AppendWord(image, 16);
        AppendWord(image, 1);
        AppendWord(image, kEngineDataVersion);
        AppendWord(image, 0);
        AppendWord(image, 16);
        AppendWord(image, 0xA7000000u);
        AppendWord(image, 16);
        AppendWord(image, static_cast<uint32_t>(size));
        image.append(reinterpret_cast<const char*>(data), size);
        vgfuzz::WriteFile(InputPath(), image.data(), image.size());
        CConsoleTable table;
        if (!table.ReadFileBlock(InputPath(), 0xA7000000u) || BlockOf(table) != out)
            std::abort();
        CheckTable(table);
    }
    return 0;
}
