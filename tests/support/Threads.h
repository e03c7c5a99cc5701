#pragma once
// Seeing from a test that another thread has reached a wait: a thread records its kernel id with
// CurrentThreadId(), and the test waits (WaitUntil) for ThreadIsBlocked(id) before it checks what
// must hold while that thread waits. Only meaningful for a thread whose code has no other wait before
// the one the test is after.

#include <sys/types.h>

namespace vgtest {

// The kernel's id of the calling thread.
pid_t CurrentThreadId();
// Whether the thread of this process is asleep in the kernel (a wait on a condition, a lock, a poll
// or a sleep); false for a thread that runs or has ended.
bool ThreadIsBlocked(pid_t tid);

}  // namespace vgtest
