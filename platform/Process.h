#pragma once
// Facts about the running process.

#include <string>

namespace vgplat {

// Full path of the running executable (from /proc/self/exe). false when it cannot be read or does not
// fit: a truncated path is never answered.
bool GetExecutablePath(std::string& path);

} // namespace vgplat
