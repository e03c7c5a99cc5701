#pragma once
// Helpers of the agent tests: the small test MIB, with the shared helpers (free loopback ports, child
// processes, a temporary folder, the log capture) of tests/support.

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/agent/mib/Mib.h"
#include "engine/base/AppLog.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Ports.h"
#include "tests/support/Process.h"
#include "tests/support/Sandbox.h"
#include "tests/support/Wait.h"

namespace vgtest {

// The one capture of the test process (ProgramLogCapture: added to AppLog on first use).
CaptureLogger& Log();

// The test MIB, E = 1.3.6.1.4.1.64950:
//   group "vgTestFirst" E.98: E.98.1.0 INTEGER read-only 98.
//   group "vgTestMain" E.99:
//     E.99.1.0 INTEGER read-write (stored),
//     E.99.2.0 OCTET STRING read-only "hello",
//     E.99.3.0 INTEGER read-write whose set fails (commitFailed),
//     E.99.4.0 INTEGER read-only: the requester's address as the framework passes it,
//     E.99.5.0 INTEGER not accessible,
//     E.99.6.0 IpAddress read-write (stored),
//     table E.99.10.1 (dense rows 1..n): column 1 INTEGER read-only (the row), 2 RowStatus read-create
//     (createAndWait/createAndGo at n+1 add a row, destroy of a row 1..n removes row n at the
//     request's commit, a restore adding it again; anything else at a missing row fails), 3 OCTET
//     STRING read-write (stored per row).
// The last SET requester seen by E.99.1.0 is kept in LastSetRequester(); SetDestroysFail makes the
// table's destroys fail at the commit.
void AddTestMib(Mib& mib);
uint32_t LastSetRequester();
void SetDestroysFail(bool fail);
std::string Enterprise(const std::string& tail);

}  // namespace vgtest
