#pragma once
// Seeing from a test that another thread has reached a wait: a thread records its kernel id with
// CurrentThreadId(), and the test waits (WaitUntil) for ThreadIsBlocked(id) before it checks what
// must hold while that thread waits. Only meaningful for a thread whose code has no other wait before
// the one the test is after.

#include <sys/types.h>

#include <vector>

namespace vgtest {

// The kernel's id of the calling thread.
pid_t CurrentThreadId();
// The ids of this process's threads now, in increasing order: the ids a call adds are the threads it
// started.
std::vector<pid_t> ThreadIds();
// The ids of after that are not in before (a sanitizer may add a thread of its own the first time
// the program starts one).
std::vector<pid_t> NewThreadIds(const std::vector<pid_t>& before, const std::vector<pid_t>& after);
// Whether the thread of this process is asleep in the kernel (a wait on a condition, a lock, a poll
// or a sleep); false for a thread that runs or has ended.
bool ThreadIsBlocked(pid_t tid);
// Whether every one of them is (none: false).
bool ThreadsAreBlocked(const std::vector<pid_t>& tids);

}  // namespace vgtest
