#include "engine/agent/OptionParser.h"

OptionParser::OptionParser(int argc, const char* const* argv, const OptionEntry* table, int flags)
    : m_table(table)
{
    (void)flags;
    for (int i = 0; i < argc && argv != nullptr; ++i)
        m_args.emplace_back(argv[i] != nullptr ? argv[i] : "");
}

int OptionParser::LookupOption(const OptionEntry* table, const char* text)
{
    if (table == nullptr || text == nullptr)
        return kErrorUnknown;
    int best = -1;
    int bestLength = -1;
    int previousBestLength = -1;
    for (int row = 0; table[row].id != -1; ++row) {
        const char* option = table[row].text;
        const char* arg = text;
        if (option == nullptr)
            continue;
        while (*option == '-' && *arg == '-') {
            ++option;
            ++arg;
        }
        if (*option == '-' || *arg == '-')
            continue;
        int length = 0;
        bool partial = false;
        for (;;) {
            if (*option == '\0' && *arg == '\0')
                return row;
            if (*option == '\0' || (*arg != '\0' && *option != *arg))
                break;
            if (*arg == '\0') {
                partial = true;
                break;
            }
            ++option;
            ++arg;
            ++length;
        }
        if (partial && length >= bestLength) {
            previousBestLength = bestLength;
            bestLength = length;
            best = row;
        }
    }
    if (best < 0)
        return kErrorUnknown;
    return bestLength > previousBestLength ? best : kErrorAmbiguous;
}

bool OptionParser::Next()
{
    while (m_next < m_args.size()) {
        std::string arg = m_args[m_next++];
        if (arg.size() >= 2 && arg[0] == '/' && arg[1] != '-')
            arg[0] = '-';
        if (arg.empty() || arg[0] != '-')
            continue; // a bare word: not an option

        size_t equals = arg.find('=');
        m_hasValue = equals != std::string::npos;
        m_optionValue = m_hasValue ? arg.substr(equals + 1) : std::string();
        std::string name = m_hasValue ? arg.substr(0, equals) : arg;

        int row = LookupOption(m_table, name.c_str());
        if (row < 0) {
            m_error = row;
            m_optionId = -1;
            m_optionText = name;
            return true;
        }
        m_optionId = m_table[row].id;
        m_optionText = m_table[row].text;
        m_error = kErrorNone;
        if (m_table[row].kind == kOptionNoValue && m_hasValue)
            m_error = kErrorValueGiven;
        else if (m_table[row].kind == kOptionJoined && !m_hasValue)
            m_error = kErrorNoValue;
        return true;
    }
    return false;
}
