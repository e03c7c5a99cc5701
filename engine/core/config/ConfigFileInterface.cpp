#include "engine/core/config/ConfigFileInterface.h"

#include <cstdio>
#include <unistd.h>

#include "engine/base/AppLog.h"
#include "engine/base/Mutex.h"

namespace {

// Created on first use and never destroyed: threads may still ask while the process ends.
Mutex& IniPathMutex()
{
    static Mutex* mutex = new Mutex("EngineIniPathMutex");
    return *mutex;
}

std::string& IniPath()
{
    static std::string* path = new std::string;
    return *path;
}

struct TimeStampValues {
    Mutex mutex {"ConfigFileVersionMutex"};
    std::string values[timeStampConfigFileInterface::kFieldCount];
};

TimeStampValues& Values()
{
    static TimeStampValues* values = new TimeStampValues;
    return *values;
}

constexpr const char* kKeyNames[timeStampConfigFileInterface::kFieldCount] = {
    "SourceTimeStamp", "SourceName", "ServerTimeStamp", "ServerName", "FileVersionName"};
constexpr size_t kBufferSizes[timeStampConfigFileInterface::kFieldCount] = {32, 67, 32, 32, 128};

bool ValidField(int field)
{
    return field >= 0 && field < timeStampConfigFileInterface::kFieldCount;
}

} // namespace

genericConfigFileInterface::genericConfigFileInterface(std::ostream* out, const char* sectionName)
    : m_out(out), m_sectionName(sectionName ? sectionName : ""), m_import(false)
{
}

genericConfigFileInterface::genericConfigFileInterface(const char* sectionName)
    : m_sectionName(sectionName ? sectionName : ""), m_import(true)
{
}

genericConfigFileInterface::~genericConfigFileInterface()
{
    if (m_iniFile.IsOpen())
        m_iniFile.Close();
}

void genericConfigFileInterface::SetEngineIniPath(const std::string& path)
{
    MutexLock lock(IniPathMutex());
    IniPath() = path;
}

std::string genericConfigFileInterface::GetEngineIniPath()
{
    MutexLock lock(IniPathMutex());
    return IniPath();
}

void genericConfigFileInterface::Process()
{
    if (!IsIniSectionNameSafe(m_sectionName)) {
        AppLog::Instance()->Printf(kLogError,
                                   "genericConfigFileInterface::Process - section name \"%s\" refused: it "
                                   "would not read back from the INI file.",
                                   m_sectionName.c_str());
        return;
    }
    std::string bracketed = "[" + m_sectionName + "]";
    if (!m_import) {
        if (m_out && m_out->good()) {
            *m_out << bracketed << "\n";
            WriteKeys();
        }
        return;
    }
    std::string path = GetEngineIniPath();
    if (!m_iniFile.Open(path.c_str(), std::ios_base::in))
        return;
    if (m_iniFile.SeekSection(bracketed.c_str()))
        ReadKeys();
    m_iniFile.Close();
}

size_t timeStampConfigFileInterface::MaxLength(Field field)
{
    return ValidField(field) ? kBufferSizes[field] - 1 : 0;
}

std::string timeStampConfigFileInterface::GetText(Field field)
{
    if (!ValidField(field))
        return {};
    TimeStampValues& v = Values();
    MutexLock lock(v.mutex);
    return v.values[field];
}

void timeStampConfigFileInterface::SetText(Field field, const std::string& text)
{
    if (!ValidField(field))
        return;
    TimeStampValues& v = Values();
    MutexLock lock(v.mutex);
    v.values[field] = text.substr(0, MaxLength(field));
}

void timeStampConfigFileInterface::ClearAll()
{
    TimeStampValues& v = Values();
    MutexLock lock(v.mutex);
    for (auto& value : v.values)
        value.clear();
}

void timeStampConfigFileInterface::ReadKeys()
{
    for (int field = 0; field < kFieldCount; ++field) {
        if (!m_iniFile.ReadNextKey())
            return;
        if (m_iniFile.IsKey(kKeyNames[field])) {
            SetText(static_cast<Field>(field), m_iniFile.GetValue());
            continue;
        }
        if (m_iniFile.GetKey().empty())
            return;
        std::printf("Invalid time stamp config section keyword: \"%s\", clearing values and ignoring section\n",
                    m_iniFile.GetKey().c_str());
        std::fflush(stdout);
        ClearAll();
        return;
    }
}

std::string timeStampConfigFileInterface::FormatTimeStamp(std::time_t t)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm utc {};
    if (!gmtime_r(&t, &utc)) {
        std::time_t zero = 0;
        gmtime_r(&zero, &utc);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d GMT", days[utc.tm_wday % 7], utc.tm_mday,
                  months[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string timeStampConfigFileInterface::HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "localhost";
    std::string host = std::string(name).substr(0, MaxLength(kSourceName));
    return IsIniValueSafe(host) ? host : "localhost";
}

void timeStampConfigFileInterface::WriteKeys()
{
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1))
        now = 0;
    SetText(kSourceTimeStamp, FormatTimeStamp(now));
    SetText(kSourceName, HostName());
    if (!m_out)
        return;
    *m_out << kKeyNames[kSourceTimeStamp] << "=" << GetText(kSourceTimeStamp) << "\n";
    m_out->flush();
    *m_out << kKeyNames[kSourceName] << "=" << GetText(kSourceName) << "\n";
    m_out->flush();
    *m_out << "\n\n";
}
