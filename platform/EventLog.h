#pragma once
// The system event log: events go to syslog (the journal) with the event source as the ident. The
// message texts of the events live in a table in code; a source opens its table by name, as it would
// load a message library, and an unknown name fails the same way a missing library would.
//
// Threads: every function is safe from any thread (syslog serialises itself).

#include <memory>
#include <string>

namespace vgplat {

enum EventLogType : int { kEventError = 1, kEventWarning = 2, kEventInformation = 4 };

// One message table: the format of each event id, "%1" standing for the event's text.
class EventMessageTable {
public:
    virtual ~EventMessageTable() = default;
    // The event text for an id; the id and the text when the table has no entry for it.
    virtual std::string Format(unsigned eventId, const std::string& text) const = 0;
};

// The table of a message library by name ("vgmsg" is the engine's); null for an unknown name.
std::unique_ptr<EventMessageTable> OpenEventMessageTable(const std::string& name);

// Where events are written. The system writer sends them to syslog; tests put a recorder in its place.
class EventLogWriter {
public:
    virtual ~EventLogWriter() = default;
    // false when the event could not be written.
    virtual bool Write(const std::string& source, EventLogType type, unsigned eventId,
                       const std::string& text) = 0;
};

// The syslog writer: ident = source, facility daemon, priority by the type, the text as one argument.
std::unique_ptr<EventLogWriter> MakeSyslogEventWriter();

} // namespace vgplat
