// The service's parameters file and the command line it becomes: any file text gives arguments within
// their bounds, and any argument list gives run settings within theirs (ports 1-65535, a community of
// at most 127 bytes) or one of the outcomes that end the run.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/agent/RunSettings.h"
#include "engine/agent/ServiceParameters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> warnings;
    std::vector<std::string> values = ParseServiceParameters(text, warnings);
    for (const auto& v : values)
        if (v.size() > kMaxParameterValueLength)
            std::abort();

    std::vector<const char*> argv{"vgnsa"};
    for (const auto& v : values)
        argv.push_back(v.c_str());
    RunSettings settings;
    std::string invalid;
    ParseOutcome outcome = ParseRunSettings(static_cast<int>(argv.size()), argv.data(), settings, invalid);
    if (outcome == ParseOutcome::kRun) {
        if (settings.agentPort < 1 || settings.agentPort > 65535 || settings.trapPort < 1 ||
            settings.trapPort > 65535 || settings.community.size() > kMaxCommunityLength)
            std::abort();
    }
    bool help = false;
    ChooseRunMode(static_cast<int>(argv.size()), argv.data(), help);
    return 0;
}
