// Fuzzes the INI reader and the section imports: any file content must be read without a crash, a hang
// or an overrun; every key and value handed out must be clean (trimmed, no comment, no line end); and
// what the [VG_Engine] and [IPAddresses] writers export from the imported tables must import again to
// the same settings.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <sstream>

#include "engine/base/AppLog.h"
#include "engine/core/config/ConfigFileInterface.h"
#include "engine/core/settings/DeviceEngineTable.h"
#include "engine/core/config/IniFile.h"
#include "engine/core/settings/SnmpIpTable.h"
#include "engine/core/data/StringTable.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

struct Imported {
    CStringTable strings;
    CDeviceEngineTable record {nullptr, &strings};
    CSnmpIpTable traps {nullptr, &strings};

    void Load(const std::string& ini)
    {
        genericConfigFileInterface::SetEngineIniPath(ini);
        strings.ReadFileBlock("/nonexistent", kStringTableBlockKey);
        record.ReadFileBlock("/nonexistent", kEngineConfigBlockKey);
        traps.ReadFileBlock("/nonexistent", kSnmpIpBlockKey);
    }
    std::string Export()
    {
        std::ostringstream out;
        record.WriteConfigurationValues(out);
        traps.WriteConfigurationValues(out);
        return out.str();
    }
};

const std::string& InputPath()
{
    static const std::string path = [] {
        vgfuzz::SilenceLog();
        return vgfuzz::MakeScratchFile("fuzz_ini_reader");
    }();
    return path;
}

void CheckClean(const std::string& text)
{
    if (text.find_first_of("#\n") != std::string::npos)
        std::abort();
    if (!text.empty() && (text.front() == ' ' || text.back() == ' ' || text.front() == '\t' || text.back() == '\t'))
        std::abort();
}

void WalkSection(CIniFile& ini, const std::string& section)
{
    if (!ini.SeekSection(section.c_str()))
        return;
    int keys = 0;
    while (ini.ReadNextKey()) {
        CheckClean(ini.GetKey());
        CheckClean(ini.GetValue());
        if (++keys > 1 << 20)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = InputPath();
    vgfuzz::WriteFile(path, data, size);

    CIniFile ini;
    if (!ini.Open(path.c_str()))
        return 0;
    // The sections the engine reads, then one named by the input's first line.
    for (const char* section : {"[VG_Engine]", "[IPAddresses]", "[ConfigFileVersion]", "[VG_Remote]"})
        WalkSection(ini, section);
    std::string first(reinterpret_cast<const char*>(data), size);
    first = first.substr(0, first.find('\n'));
    CIniFile::CleanLine(first);
    if (!first.empty())
        WalkSection(ini, first);
    ini.Close();

    genericConfigFileInterface::SetEngineIniPath(path);
    timeStampConfigFileInterface section;
    section.Process();
    for (int f = 0; f < timeStampConfigFileInterface::kFieldCount; ++f) {
        auto field = static_cast<timeStampConfigFileInterface::Field>(f);
        if (timeStampConfigFileInterface::GetText(field).size() > timeStampConfigFileInterface::MaxLength(field))
            std::abort();
    }

    Imported imported;
    imported.Load(path);
    std::string exported = imported.Export();
    vgfuzz::WriteFile(path, exported.data(), exported.size());
    Imported again;
    again.Load(path);
    if (again.Export() != exported)
        std::abort();
    return 0;
}
