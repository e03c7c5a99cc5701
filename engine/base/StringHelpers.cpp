#include "engine/base/StringHelpers.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

void TrimString(std::string& text, int /*mode*/)
{
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    auto last = text.find_last_not_of(blanks);
    text = text.substr(first, last - first + 1);
}

void ToLowerString(std::string& text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void SplitString(const std::string& text, const char* delimiters, std::vector<std::string>& parts)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t start = text.find_first_not_of(delimiters, pos);
        if (start == std::string::npos)
            break;
        size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos)
            end = text.size();
        parts.push_back(text.substr(start, end - start));
        pos = end;
    }
}

std::string& FormatString(std::string& out, const char* format, ...)
{
    out.clear();
    if (!format || !*format)
        return out;
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n >= 0 && n < static_cast<int>(sizeof buffer))
        out.assign(buffer, static_cast<size_t>(n));
    return out;
}
