#pragma once
// The string helpers: trimming, letter case, splitting and bounded formatting. They use nothing of the
// log, so the log itself can use them.
//
// Threads: every function is safe from any thread.

#include <string>
#include <vector>

// Removes blanks, tabs, CRs and LFs from both ends (mode 0, the only one).
void TrimString(std::string& text, int mode = 0);
void ToLowerString(std::string& text);
bool EqualsNoCase(const std::string& a, const std::string& b);
// Appends every maximal run of characters not in delimiters; no empty parts.
void SplitString(const std::string& text, const char* delimiters, std::vector<std::string>& parts);
// Formats into out through a 1024-byte buffer; a result of 1024 characters or more leaves out empty.
std::string& FormatString(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
