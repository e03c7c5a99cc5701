#pragma once
// The command-line parser of the engine program.
//
// An option table is an array of OptionEntry rows ended by a row with id -1. An option text begins with
// "-" (short form) or "--" (long form). An argument of kind kOptionJoined takes its value in the same
// argument after "=" (-p=3664, --port=3664). An argument "/x..." (second character not "-") is read as
// "-x...". Long options may be abbreviated as long as the abbreviation is unambiguous (--vers is
// --version). Arguments that do not begin with "-" (bare words) are skipped and never reported.
//
// Threads: one parser belongs to one thread. The parser works on its own copies of the arguments, so a
// second parser over the same argument vector sees them unchanged.

#include <string>
#include <vector>

constexpr int kOptionNoValue = 0;
constexpr int kOptionJoined = 2;

struct OptionEntry {
    int id;
    const char* text;
    int kind;
};

class OptionParser {
public:
    static constexpr int kErrorNone = 0;
    static constexpr int kErrorUnknown = -1;   // begins with "-" but matches no option
    static constexpr int kErrorAmbiguous = -2; // abbreviation of two or more options
    static constexpr int kErrorValueGiven = -3; // value given to an option that takes none
    static constexpr int kErrorNoValue = -5;    // option that takes a value has none

    // The first argument (the program name) is skipped. flags is kept for callers; no flag is defined.
    OptionParser(int argc, const char* const* argv, const OptionEntry* table, int flags = 0);

    // true while there is a further option to report; the accessors then describe it.
    bool Next();

    // The table id of the option found; meaningful only when LastError() is 0.
    int OptionId() const { return m_optionId; }
    // The table's text for a found option, otherwise the argument as typed without its "=" and value.
    const char* OptionText() const { return m_optionText.c_str(); }
    // The value after "=", or null when none was given.
    const char* OptionArg() const { return m_hasValue ? m_optionValue.c_str() : nullptr; }
    int LastError() const { return m_error; }

    // Index of the table row that the text names: exact match, else the unique longest abbreviation;
    // kErrorUnknown or kErrorAmbiguous otherwise.
    static int LookupOption(const OptionEntry* table, const char* text);

private:
    std::vector<std::string> m_args;
    const OptionEntry* m_table;
    size_t m_next = 1;
    int m_optionId = -1;
    std::string m_optionText;
    std::string m_optionValue;
    bool m_hasValue = false;
    int m_error = kErrorNone;
};
