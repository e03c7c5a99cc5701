#pragma once
// Power facts of the host.
//
// Threads: every function is safe from any thread.

#include <string>

namespace vgplat {

constexpr const char* kPowerStatePath = "/sys/power/state";

// true when the kernel's power-state file (kPowerStatePath unless given) lists "disk", that is, the
// host can hibernate. A missing or unreadable file answers false.
bool IsHibernateAllowed(const std::string& statePath = kPowerStatePath);

// The host's full name (gethostname, not cut); empty when it cannot be had.
std::string GetComputerName();

} // namespace vgplat
