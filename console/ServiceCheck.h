#pragma once
// Whether the engine's service runs: systemd's state of the unit "vigilon-agent" (or "vgagent").
// Threads: any; it waits for systemctl (at most a few seconds).

bool IsEngineServiceRunning();
