#pragma once
// File and IPv4-address helpers used across the engine (and, through StringHelpers.h, the string
// helpers). These log their failures; the string helpers do not, so the log uses those alone.
//
// An IPv4 address held as a number is an unsigned 32-bit value whose lowest byte is the first octet.
// A MAC address text is six lower-case hexadecimal pairs joined by colons (17 characters).
//
// Threads: every function is safe from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/StringHelpers.h"


bool FileCopy(const char* from, const char* to, bool failIfExists);
bool FileExists(const char* path);
bool FileDelete(const char* path);
// Renames over an existing target in one step: the target is either the old or the new file.
bool FileRename(const char* from, const char* to);

// Strict dotted-quad parser shared by the address helpers: exactly four decimal numbers 0-255 joined
// by single dots, nothing else.
bool ParseIpv4(const char* text, uint32_t& address);

void IpAddressToString(uint32_t address, char* buffer, size_t size);
std::string IpAddressToString(uint32_t address);
// 0 for a text that is not a strict dotted quad.
uint32_t StringToIpAddress(const char* text);
// Reads up to capacity dot-separated decimal numbers; count is the number read.
void SplitDottedNumbers(const char* text, int* numbers, int capacity, int& count);
// A strict dotted quad of fewer than 16 characters whose first and fourth numbers are at least 1.
bool IsValidIpAddress(const char* text);
// true when text is the address of one of this host's interfaces.
bool IsLocalIpAddress(const char* text);
bool GetLocalMacAddress(const char* address, char* buffer, size_t size);
bool GetRemoteMacAddress(const char* address, char* buffer, size_t size);
