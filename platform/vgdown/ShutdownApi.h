#pragma once
// The interface of the shutdown library libvgdown.so, which the engine loads with dlopen from its
// program directory and calls through its one export "StartShutdown".
//
// Modes (flag in brackets as the engine passes it):
//   kShutdownWarn (1, 1)      tell the logged-in users that the host is about to go down
//   kShutdownPowerOff (2, 0)  power the host off
//   kShutdownHibernate (4, 0) hibernate the host
//   kShutdownForced (8, 0)    power the host off (the engine's last-resort call)
// The result is 1 when the request was handed to the system, 0 otherwise; the engine does not use it.
//
// Threads: the engine calls it from its timer thread only.

extern "C" {

constexpr int kShutdownWarn = 1;
constexpr int kShutdownPowerOff = 2;
constexpr int kShutdownHibernate = 4;
constexpr int kShutdownForced = 8;

typedef int (*StartShutdownFunction)(int mode, int flag);

__attribute__((visibility("default"))) int StartShutdown(int mode, int flag);

} // extern "C"
