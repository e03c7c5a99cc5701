#include "engine/agent/ControlSignals.h"

#include <cerrno>
#include <ctime>
#include <exception>
#include <pthread.h>
#include <unistd.h>

#include "engine/base/AppLog.h"

int PauseSignal() { return SIGUSR1; }
int ContinueSignal() { return SIGUSR2; }
int InterrogateSignal() { return SIGHUP; }
int SuspendSignal() { return SIGRTMIN + 1; }
int ResumeSignal() { return SIGRTMIN + 2; }

sigset_t ControlSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, PauseSignal(), ContinueSignal(), InterrogateSignal(), SuspendSignal(),
                       ResumeSignal()})
        sigaddset(&set, signal);
    return set;
}

bool BlockControlSignals()
{
    sigset_t set = ControlSignalSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VG_SANITIZER_OWNS_SIGSEGV 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VG_SANITIZER_OWNS_SIGSEGV 1
#endif

#ifndef VG_SANITIZER_OWNS_SIGSEGV
namespace {

void FaultHandler(int)
{
    static const char kText[] = "\nSegmentation fault, aborting.\n";
    ssize_t written = ::write(STDOUT_FILENO, kText, sizeof kText - 1);
    (void)written;
    ::_exit(1);
}

} // namespace
#endif

void InstallFaultHandler()
{
#ifndef VG_SANITIZER_OWNS_SIGSEGV // else the sanitizer's own report of the fault is worth more than our line
    struct sigaction action {};
    action.sa_handler = FaultHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGSEGV, &action, nullptr);
#endif
}

bool ControlSignalThread::Start(Handler handler)
{
    if (m_thread)
        return false;
    m_handler = std::move(handler);
    m_stop = false;
    auto thread = std::make_unique<vgplat::OsThread>();
    if (!thread->Start([this] { Run(); }))
        return false;
    m_thread = std::move(thread);
    return true;
}

void ControlSignalThread::Stop()
{
    if (!m_thread)
        return;
    m_stop = true;
    m_thread->Join(-1);
    m_thread.reset();
}

void ControlSignalThread::Run()
{
    // The set is blocked here too, whatever the creating thread did: a signal sent to the process then
    // waits for this thread.
    sigset_t set = ControlSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const timespec poll{0, kPollMs * 1000L * 1000L};
    while (!m_stop.load()) {
        siginfo_t info{};
        int signal = sigtimedwait(&set, &info, &poll);
        if (signal < 0)
            continue; // time-out (EAGAIN) or interrupted
        try {
            m_handler(signal);
        } catch (const std::exception& e) {
            AppLog::Instance()->Printf(kLogError, "[ControlSignalThread]: handling signal %d failed: %s", signal,
                                       e.what());
        } catch (...) {
            AppLog::Instance()->Printf(kLogError, "[ControlSignalThread]: handling signal %d failed", signal);
        }
    }
}
