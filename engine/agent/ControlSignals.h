#pragma once
// The engine's control signals and the thread that receives them.
//
// Signals (the service manager sends them with `systemctl kill -s SIGNAL vigilon-agent`):
//   SIGTERM, SIGINT   stop
//   SIGUSR1           pause (the request loop stops answering the agent port)
//   SIGUSR2           continue
//   SIGHUP            interrogate (the current status is reported again); in console mode: stop
//   SIGRTMIN+1        power event: the system suspends
//   SIGRTMIN+2        power event: the system has resumed
// No handler runs in signal context for these: every thread blocks them (BlockControlSignals, called by
// main before any thread exists, so every later thread inherits the mask) and one thread takes them
// with sigtimedwait and calls an ordinary function. Only SIGSEGV has a real handler (InstallFaultHandler),
// which does async-signal-safe work only.
//
// Threads: ControlSignalThread's Start and Stop belong to its owner; the handler runs on its thread.

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>

#include "platform/OsThread.h"

int PauseSignal();
int ContinueSignal();
int InterrogateSignal();
int SuspendSignal();
int ResumeSignal();

// The set of every control signal above.
sigset_t ControlSignalSet();
// Blocks every control signal in the calling thread (and so in the threads it creates later).
bool BlockControlSignals();
// SIGSEGV: writes "\nSegmentation fault, aborting.\n" to standard output and ends the process with
// exit code 1.
void InstallFaultHandler();

class ControlSignalThread {
public:
    using Handler = std::function<void(int signal)>;

    ControlSignalThread() = default;
    ~ControlSignalThread() { Stop(); }
    ControlSignalThread(const ControlSignalThread&) = delete;
    ControlSignalThread& operator=(const ControlSignalThread&) = delete;

    // Starts taking the control signals and calling handler with each; false when already started or
    // the thread cannot be created.
    bool Start(Handler handler);
    // Ends the thread (within kPollMs) and waits for it; a handler still running is waited for.
    void Stop();

    static constexpr int kPollMs = 200;

private:
    void Run();

    Handler m_handler;
    std::atomic<bool> m_stop{false};
    std::unique_ptr<vgplat::OsThread> m_thread;
};
