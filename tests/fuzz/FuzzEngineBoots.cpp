// The engine-boots file reader on arbitrary content.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/agent/EngineBoots.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string content(reinterpret_cast<const char*>(data), size);
    uint32_t boots = 0;
    int status = ParseEngineBoots(content, "80001f8804686f73743a33363634", boots);
    if (status == kBootsOk && boots > kMaxEngineBoots)
        __builtin_trap();
    if (status != kBootsOk && boots != 0)
        __builtin_trap();
    return 0;
}
