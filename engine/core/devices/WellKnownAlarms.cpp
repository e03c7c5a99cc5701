#include "engine/core/devices/WellKnownAlarms.h"

#include <cctype>

uint32_t WellKnownAlarmNumber(const std::string& description)
{
    // Descriptions are compared by their letters and digits alone, in lower case, so "On Battery",
    // "ON_BATTERY" and "onBattery" are one alarm. The RFC's own names (without "upsAlarm") come first,
    // then the wordings UPS cards and the engine use for the same condition.
    static const struct {
        const char* name;
        uint32_t number;
    } kNames[] = {
        {"batterybad", 1},           {"replacebattery", 1},       {"onbattery", kWellKnownOnBattery},
        {"lowbattery", kWellKnownLowBattery},                     {"batterylow", kWellKnownLowBattery},
        {"depletedbattery", 4},      {"batterydepleted", 4},      {"batteryexhausted", 4},
        {"tempbad", 5},              {"temperaturebad", 5},       {"overtemperature", 5},
        {"inputbad", 6},             {"outputbad", 7},            {"outputoverload", 8},
        {"overload", 8},             {"onbypass", 9},             {"bypassbad", 10},
        {"outputoffasrequested", 11}, {"upsoffasrequested", 12},  {"chargerfailed", 13},
        {"chargerfailure", 13},      {"upsoutputoff", 14},        {"outputoff", 14},
        {"upssystemoff", 15},        {"systemoff", 15},           {"fanfailure", 16},
        {"fanfailed", 16},           {"fusefailure", 17},         {"fusefailed", 17},
        {"generalfault", kWellKnownGeneralFault},                 {"diagnostictestfailed", 19},
        {"selftestfailed", 19},      {"communicationslost", kWellKnownCommunicationsLost},
        {"communicationlost", kWellKnownCommunicationsLost},      {"offline", kWellKnownCommunicationsLost},
        {"awaitingpower", 21},       {"shutdownpending", 22},     {"shutdownimminent", 23},
        {"testinprogress", 24},
    };
    std::string key;
    for (char c : description)
        if (std::isalnum(static_cast<unsigned char>(c)))
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key.compare(0, 8, "upsalarm") == 0)
        key.erase(0, 8);
    for (const auto& entry : kNames)
        if (key == entry.name)
            return entry.number;
    return kWellKnownGeneralFault;
}
