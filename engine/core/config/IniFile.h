#pragma once
// CIniFile: a forward-only reader of the engine's INI file (vgconfig.ini), plus the checks that keep
// the INI writers from emitting texts that would read back differently.
//
// File format as read:
// - lines end with LF (the last line may lack it); a CR before it and blanks and tabs at both ends
//   of every line are removed;
// - "#" starts a comment anywhere in a line: the line is cut at its first "#" and trimmed again;
// - a section starts with a line that, after this cleaning, equals "[" + name + "]" exactly;
// - inside a section a line with "=" is a key line: the key is the trimmed text before the first
//   "=", the value the trimmed text after it (it may hold further "="); other lines are skipped;
// - a section ends at the next line starting with "[" or at the end of the file.
//
// Threads: one CIniFile belongs to one thread at a time; the free functions are safe from any thread.

#include <fstream>
#include <ios>
#include <string>

class CIniFile {
public:
    CIniFile() = default;
    ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    // Opens the file for reading (the only mode the engine uses); false when a file is already open,
    // the path is null or empty, or the file cannot be opened. Each refusal is logged.
    bool Open(const char* path, std::ios_base::openmode mode = std::ios_base::in);
    // true when no file is open or it closed cleanly.
    bool Close();
    bool IsOpen() const { return m_stream.is_open(); }

    // section is the whole bracketed line, such as "[VG_Engine]". Every seek starts from the top, so
    // sections can be visited in any order. After true the reader stands after the section's line.
    bool SeekSection(const char* section);
    // The next key line of the current section: false at the end of the file or at the next section.
    bool ReadNextKey();
    // The current key equals name, letter case ignored (null counts as the empty text).
    bool IsKey(const char* name) const;

    const std::string& GetKey() const { return m_key; }
    const std::string& GetValue() const { return m_value; }
    const std::string& GetPath() const { return m_path; }

    // Trim, cut at the first "#", trim again.
    static void CleanLine(std::string& line);

private:
    std::string m_path;
    std::string m_key;
    std::string m_value;
    std::ifstream m_stream;
};

// Texts that the INI writers may emit. A value that fails these would come back changed or would
// break the file (a line end could even start a new section), so the writers refuse it.
//
// A value of a key line reads back unchanged when it holds no control character (CR, LF, NUL, tab,
// ...) and no "#", and has no blank at either end.
bool IsIniValueSafe(const std::string& text);
bool IsIniValueSafe(const char* data, size_t length);
// A section name ("[" + name + "]" in the file): a safe value that is not empty and holds neither
// "[" nor "]".
bool IsIniSectionNameSafe(const std::string& name);
