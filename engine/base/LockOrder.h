#pragma once
// The lock order of the whole engine, in one place.
//
// A thread that holds a lock may take only locks of a later rank (a recursive mutex may be taken again
// by its holder). Locks of one rank are not held together unless the line says how. Every header that
// declares a lock names its rank here; a new lock gets a line here before it is used.
//
// rank  lock (name, owner)                                   what may be taken while it is held
// ----  ---------------------------------------------------  ---------------------------------------
//  1    creation mutexes ("CServerCreationMutex",            anything: they guard the building of the
//       "MervaneAppCreationMutex", "AppLogCreationMutex")    one object of their kind
//  2    engine server slot ("EngineServerSlot#",             the server's locks (a power event runs in
//       EngineServerHooks.h)                                 the server under it)
//  3    service host status ("ServiceHostStatus#")           the log only (the status sink)
//  4    settings: the record's critical-state mutex, then    then whatever the hooks reach (ranks 5-13,
//       the user extension's file mutex, then the trap       the server's managers and the facade)
//       table's rows mutex
//  5    remote agents: the worker's mutex, then              in that order; the device list's locks
//       "RemoteAgentThreadMutex", then an entry's mutex,     come after an entry's mutex; the results'
//       then the store's MIB-row mutex (SyncMibRows),        and the pool's mutexes, an entry's session
//       then "RemoteAgentAccessMutex", then an entry's       mutex and a client session's mutexes are
//       identity mutex, then the store's save mutex          leaves
//  6    devices: the list's file mutex, then the list lock   in that order, one device lock at a time;
//       "DevicesRWSemaphore", then one device's lock, then   then consoles (a device notifies them
//       the list's leaf mutexes (pending, shutdown)          under the list lock) and data blocks
//  7    consoles: the file mutex, then the registry mutex,   then data blocks (rank 8); the fan-out
//       then an entry's state mutex                          mutex is taken alone
//  8    data: a string table's key mutex                     the blocks, one at a time, except record or
//       ("StringTableKeyMutex#", held from adding a text     table block before the string table; the
//       to storing its key, and by the sweep of unused       key mutex is never taken with a block lock
//       texts), then the blocks (CDataHeader's read-write    held
//       lock): a record or table block, then the string
//       table
//  9    leaves of the core: the timer list, the system       the log only (the timer list: nothing, not
//       queue, the server's text mutex, the INI path, the    even the log); the host reports' mutex:
//       host layer's "CServerExMutex#" and                   the message-table mutex, then the log
//       "CServerExMessagesMutex#", its reports mutex
//       (ServerEx.h), the remote trap queue's
//       "RemoteTrapQLock#"
//  10   SNMP facade "MervaneSnmpMutex" (CMervaneSnmp and     the row counts' mutexes (leaves), then
//       the MIB tables' row changes)                         rank 11: a trap or a function is handed to
//                                                            the SNMP thread's queue under it; nothing
//                                                            waits for that thread while it is held
//  11   agent loop slot ("AgentLoopSlot#", AgentRun)         the SNMP thread's queue mutex (rank 12)
//  12   SNMP thread's queue and request mutexes              the log only; never held while net-snmp
//       (SnmpThread.h), trap session leaves                  runs or a caller waits
//  13   log hub "AppLogMutex", then a sink's own mutex;      nothing else
//       the line limiter's "AppLogLimitMutex" is taken alone
//
// Code on the SNMP thread (MIB handlers) takes the facade mutex only for short row changes and never
// waits for another thread while it holds a lock; an engine thread that holds the facade mutex only
// queues work for the SNMP thread (rank 11 and 12 never wait), so the two cannot wait on each other.
//
// The named mutexes are POSIX recursive mutexes (platform/NamedObjects.h), held for the whole nesting,
// so ThreadSanitizer checks this order in the threaded tests.
