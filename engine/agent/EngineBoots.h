#pragma once
// The engine-boots counter file "snmpv3_boot_counter" in the program directory: one line per engine ID,
// "<engine ID in hexadecimal> <boots>\n". The file is ours alone (the SNMP library keeps no state);
// it is written whole through a temporary file, and read as untrusted input.
//
// Threads: the functions keep no state; saves of one file must not run at the same time (the engine
// boots once per process, on the start-up thread).

#include <cstdint>
#include <string>

constexpr const char* kEngineBootsFileName = "snmpv3_boot_counter";

// Read statuses. 0, -1 and -2 are normal; anything below -2 is fatal for the engine's start.
constexpr int kBootsOk = 0;
constexpr int kBootsNoEntry = -1;     // the file holds no line for this engine ID
constexpr int kBootsNoFile = -2;      // no file yet
constexpr int kBootsReadError = -3;   // the file exists but cannot be read
constexpr int kBootsCorrupt = -4;     // a line is malformed, or the file is too large
// Store status.
constexpr int kBootsWriteError = -5;

// The largest boots value (RFC 3414: the counter latches there).
constexpr uint32_t kMaxEngineBoots = 2147483647u;

// The boots value of this start: the stored one plus one, latched at kMaxEngineBoots.
inline uint32_t NextEngineBoots(uint32_t stored)
{
    return stored < kMaxEngineBoots ? stored + 1 : kMaxEngineBoots;
}

// The boots of engineIdHex in a file's content (kBootsOk, kBootsNoEntry or kBootsCorrupt).
int ParseEngineBoots(const std::string& content, const std::string& engineIdHex, uint32_t& boots);
// boots gets the stored value, 0 when none.
int ReadEngineBoots(const std::string& path, const std::string& engineIdHex, uint32_t& boots);
// Replaces (or adds) the line of this engine ID, keeping the lines of other engine IDs. 0 or
// kBootsWriteError (logged with the failing call). A file that cannot be read or parsed is replaced by
// this one line.
int StoreEngineBoots(const std::string& path, const std::string& engineIdHex, uint32_t boots);
