#include "platform/EventLog.h"

#include <map>
#include <mutex>
#include <syslog.h>

namespace vgplat {

namespace {

// The engine's messages ("vgmsg"): event 100 carries its text as it is.
class EngineMessageTable : public EventMessageTable {
public:
    std::string Format(unsigned eventId, const std::string& text) const override
    {
        static const std::map<unsigned, std::string> kFormats = {{100, "%1"}};
        auto it = kFormats.find(eventId);
        if (it == kFormats.end())
            return "Event " + std::to_string(eventId) + ": " + text;
        std::string out;
        const std::string& format = it->second;
        for (size_t i = 0; i < format.size(); ++i) {
            if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '1') {
                out += text;
                ++i;
            } else {
                out += format[i];
            }
        }
        return out;
    }
};

class SyslogEventWriter : public EventLogWriter {
public:
    bool Write(const std::string& source, EventLogType type, unsigned, const std::string& text) override
    {
        int priority = type == kEventError ? LOG_ERR : type == kEventWarning ? LOG_WARNING : LOG_INFO;
        // The ident must live while the log is open: it is closed before the string goes. One event at a
        // time, so that no other writer closes the log between our open and our line.
        static std::mutex guard;
        std::lock_guard<std::mutex> lock(guard);
        openlog(source.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
        syslog(priority, "%s", text.c_str());
        closelog();
        return true;
    }
};

} // namespace

std::unique_ptr<EventMessageTable> OpenEventMessageTable(const std::string& name)
{
    if (name == "vgmsg")
        return std::make_unique<EngineMessageTable>();
    return nullptr;
}

std::unique_ptr<EventLogWriter> MakeSyslogEventWriter()
{
    return std::make_unique<SyslogEventWriter>();
}

} // namespace vgplat
