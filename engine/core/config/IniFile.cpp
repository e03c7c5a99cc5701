#include "engine/core/config/IniFile.h"

#include <cstring>

#include "engine/base/AppLog.h"
#include "engine/base/Helpers.h"

CIniFile::~CIniFile()
{
    Close();
}

bool CIniFile::Open(const char* path, std::ios_base::openmode mode)
{
    m_path = path ? path : "";
    if (m_stream.is_open()) {
        AppLog::Instance()->Log(kLogError, "CIniFile::Open - there is an open file associated with this instance.");
        return false;
    }
    if (!path || !*path) {
        AppLog::Instance()->Log(kLogError, "CIniFile::Open - null or empty file path rejected.");
        return false;
    }
    // The reader only ever reads: of the mode asked only the binary flag is kept.
    m_stream.clear();
    m_stream.open(path, std::ios_base::in | (mode & std::ios_base::binary));
    if (!m_stream.is_open()) {
        m_stream.clear();
        return false;
    }
    return m_stream.good();
}

bool CIniFile::Close()
{
    if (!m_stream.is_open())
        return true;
    m_stream.clear();
    m_stream.close();
    if (m_stream.fail()) {
        m_stream.clear();
        AppLog::Instance()->Log(kLogError, "CIniFile::Close - an I/O error occured during file close.");
        return false;
    }
    return true;
}

void CIniFile::CleanLine(std::string& line)
{
    TrimString(line);
    auto hash = line.find('#');
    if (hash != std::string::npos) {
        line.erase(hash);
        TrimString(line);
    }
}

bool CIniFile::SeekSection(const char* section)
{
    if (!m_stream.is_open()) {
        AppLog::Instance()->Log(kLogError, "CIniFile::SeekSection - cannot seek on a non-open file.");
        return false;
    }
    if (!section || !*section) {
        AppLog::Instance()->Log(kLogError, "CIniFile::SeekSection - null or empty section requested.");
        return false;
    }
    m_stream.clear();
    m_stream.seekg(0, std::ios_base::beg);
    if (m_stream.fail()) {
        m_stream.clear();
        AppLog::Instance()->Log(kLogError, "CIniFile::SeekSection - failed to seek to beginning of file.");
        return false;
    }
    std::string line;
    // getline also hands out a last line that has no line end.
    while (std::getline(m_stream, line)) {
        CleanLine(line);
        if (!line.empty() && line == section)
            return true;
    }
    AppLog::Instance()->Printf(kLogWarning, "CIniFile::SeekSection - failed to find section '%s'.", section);
    return false;
}

bool CIniFile::ReadNextKey()
{
    m_key.clear();
    m_value.clear();
    if (!m_stream.is_open())
        return false;
    std::string line;
    while (std::getline(m_stream, line)) {
        CleanLine(line);
        if (line.empty())
            continue;
        if (line[0] == '[')
            return false;
        auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        m_key = line.substr(0, equals);
        m_value = line.substr(equals + 1);
        TrimString(m_key);
        TrimString(m_value);
        return true;
    }
    return false;
}

bool CIniFile::IsKey(const char* name) const
{
    return EqualsNoCase(m_key, name ? name : "");
}

bool IsIniValueSafe(const char* data, size_t length)
{
    if (length == 0)
        return true;
    if (!data)
        return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 || c == 0x7F || c == '#')
            return false;
    }
    return data[0] != ' ' && data[length - 1] != ' ';
}

bool IsIniValueSafe(const std::string& text)
{
    return IsIniValueSafe(text.data(), text.size());
}

bool IsIniSectionNameSafe(const std::string& name)
{
    return !name.empty() && IsIniValueSafe(name) && name.find_first_of("[]") == std::string::npos;
}
