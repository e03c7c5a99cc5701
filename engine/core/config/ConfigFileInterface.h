#pragma once
// INI sections that are both imported and exported.
//
// genericConfigFileInterface is the base: built for export over an output stream, or for import from
// the engine INI file whose path the server sets at its start (SetEngineIniPath). Process() writes
// the bracketed section name and the keys (export) or finds the section and reads its keys (import).
//
// timeStampConfigFileInterface is the [ConfigFileVersion] section: when and on which host the INI
// file was written. Its five values are process-wide (one copy shared by every instance); they are
// guarded by one mutex, since request threads read them while the system-queue thread rewrites the
// file. Keys, in their fixed order, with their limits (characters kept):
//   SourceTimeStamp 31 (exported: the current UTC time), SourceName 66 (exported: this host's name),
//   ServerTimeStamp 31, ServerName 31, FileVersionName 127 (never exported).
//
// Threads: an interface object belongs to one thread; the static accessors are safe from any thread.

#include <ctime>
#include <ostream>
#include <string>

#include "engine/core/config/IniFile.h"

class genericConfigFileInterface {
public:
    // Export form.
    genericConfigFileInterface(std::ostream* out, const char* sectionName);
    // Import form.
    explicit genericConfigFileInterface(const char* sectionName);
    virtual ~genericConfigFileInterface();
    genericConfigFileInterface(const genericConfigFileInterface&) = delete;
    genericConfigFileInterface& operator=(const genericConfigFileInterface&) = delete;

    virtual void ReadKeys() {}
    virtual void WriteKeys() {}

    // Export: writes "[name]\n" and the keys when the stream is usable. A section name that would
    // not read back (see IsIniSectionNameSafe) is refused and logged: nothing is written or read.
    // Import: opens the engine INI file, seeks the section, reads its keys, closes the file.
    void Process();

    bool IsImport() const { return m_import; }
    const std::string& GetSectionName() const { return m_sectionName; }

    // The engine INI file read by every import (the server sets it at start).
    static void SetEngineIniPath(const std::string& path);
    static std::string GetEngineIniPath();

protected:
    CIniFile m_iniFile;
    std::ostream* m_out = nullptr;
    std::string m_sectionName;
    bool m_import;
};

class timeStampConfigFileInterface : public genericConfigFileInterface {
public:
    enum Field : int {
        kSourceTimeStamp = 0,
        kSourceName = 1,
        kServerTimeStamp = 2,
        kServerName = 3,
        kFileVersionName = 4,
        kFieldCount = 5,
    };

    static constexpr const char* kSectionName = "ConfigFileVersion";

    explicit timeStampConfigFileInterface(std::ostream* out) : genericConfigFileInterface(out, kSectionName) {}
    timeStampConfigFileInterface() : genericConfigFileInterface(kSectionName) {}

    // Keys in table order, one per key line; a key out of order clears all five values (with a
    // message on standard output) and an empty key ends the reading.
    void ReadKeys() override;
    // Fills SourceTimeStamp and SourceName, writes both key lines and two empty lines.
    void WriteKeys() override;

    // Characters a value keeps (its buffer size less the terminating NUL).
    static size_t MaxLength(Field field);
    // Copies of the process-wide values; an unknown field gives the empty text.
    static std::string GetText(Field field);
    // Stores text cut to MaxLength (the server's SET of the file version name uses it).
    static void SetText(Field field, const std::string& text);
    static void ClearAll();

    // "%s, %d %s %d %02d:%02d:%02d GMT" of the UTC time t, such as "Sun, 1 Mar 2026 07:05:09 GMT".
    static std::string FormatTimeStamp(std::time_t t);
    // This host's name cut to 66 characters, or "localhost" when it cannot be had or would not read
    // back from the INI file.
    static std::string HostName();
};
