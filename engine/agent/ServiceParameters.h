#pragma once
// The service's parameters file: the command line that the service runs with when it is started by
// the service manager.
//
// Format: one "ParamN=value" line per argument, N counting from 1 ("Param" in any letter case), each
// value one argument of at most 127 bytes, for example
//     Param1=-p=4664
//     Param2=-l=debug
// Blank lines and lines beginning with "#" or ";" are comments; blanks around names and values are
// dropped. With N values the arguments are Param1..ParamN in number order; a missing number, or a value
// that is too long, yields an empty argument, which the command line skips. A file that is missing,
// empty of values, unreadable or larger than kMaxParametersFileSize leaves the service with the command
// line the service manager gave it. A file open to group or others is used with a warning in the log
// (it may hold a community).
//
// Path: the environment variable VG_PARAMETERS_FILE when set, else "vgnsa.parameters" in the install
// directory (beside vgconfig.ini; /opt/vigilon/vgnsa.parameters when installed).
//
// Threads: every function is safe from any thread.

#include <string>
#include <vector>

constexpr const char* kParametersFileName = "vgnsa.parameters";
constexpr const char* kParametersFileVariable = "VG_PARAMETERS_FILE";
constexpr size_t kMaxParametersFileSize = 64 * 1024;
constexpr size_t kMaxParameterValueLength = 127;
constexpr int kMaxParameterNumber = 1000;

// The values of the file's text, by the rules above. warnings receives one line per value not used.
std::vector<std::string> ParseServiceParameters(const std::string& text, std::vector<std::string>& warnings);

// The path of the parameters file for an install directory (ending in "/").
std::string ServiceParametersPath(const std::string& installDirectory);

// The service's arguments: argument 0 of the manager's list followed by the file's values, or the
// manager's own list when the file gives none. Problems are logged as warnings.
std::vector<std::string> BuildServiceArguments(const std::vector<std::string>& managerArgs, const std::string& path);
