// Fuzzes the remote extension file loader: any file content must be loaded or refused without a crash,
// a hang or an overrun; a loaded table is re-laid to the current rows, keeps its invariants (rows
// numbered 1..count, the count in the head), answers every column, and survives a save and a load.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/remote/RemoteAgentStore.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

const std::string& InputPath()
{
    static const std::string path = [] {
        vgfuzz::SilenceLog();
        return vgfuzz::MakeScratchFile("fuzz_remote_file");
    }();
    return path;
}

RemoteStorePaths Paths()
{
    RemoteStorePaths p;
    p.data = InputPath();
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vgfuzz::WriteFile(InputPath(), data, size);
    CRemoteAgentStore store(Paths());
    bool relaid = false;
    if (!store.Load(relaid))
        return 0;
    CRemoteAgentTable& table = store.Table();
    if (!table.HasBlock() || table.NeedsResize() || table.GetCount() != table.CountEntries())
        std::abort();
    const uint32_t count = static_cast<uint32_t>(table.GetCount());
    for (uint32_t row = 1; row <= count; ++row) {
        RemoteAgentRow r;
        if (!table.GetRow(row, r) || r.key != kRemoteRowKeyBase + row || r.entrySize != RemoteAgentRow::kSize)
            std::abort();
    }
    for (uint32_t row = 0; row <= count + 1 && row < 8; ++row)
        for (uint32_t column = 0; column <= 13; ++column)
            (void)table.GetValue(kRemoteRowKeyBase | column << 12 | row, 0);
    if (!store.Save())
        std::abort();
    CRemoteAgentStore again(Paths());
    if (!again.Load(relaid) || relaid || again.Table().GetCount() != table.GetCount())
        std::abort();
    return 0;
}
