#include "console/ConsoleOptions.h"

namespace {

bool ReadPort(const QString& text, int minimum, int& out)
{
    bool ok = false;
    int v = text.toInt(&ok);
    if (!ok || v < minimum || v > 65535)
        return false;
    out = v;
    return true;
}

}  // namespace

ConsoleOptions ConsoleOptions::Parse(const QStringList& arguments)
{
    ConsoleOptions o;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == "-noservice" || a == "--noservice") {
            o.noService = true;
        } else if (a == "--nocenter") {
            o.noCenter = true;
        } else if (a.startsWith("-p=")) {
            if (!ReadPort(a.mid(3), 1, o.enginePort))
                o.errors << a;
        } else if (a.startsWith("-t=")) {
            if (!ReadPort(a.mid(3), 0, o.trapPort))
                o.errors << a;
        } else if (a.startsWith("-a")) {
            QString address = a.mid(2).trimmed();
            // Blanks after "-a": the address is the next argument.
            while (address.isEmpty() && i + 1 < arguments.size())
                address = arguments[++i].trimmed();
            if (address.isEmpty()) {
                o.errors << a;
                continue;
            }
            o.haveAddress = true;
            o.engineAddress = address.left(kMaxAddress);
        } else {
            o.errors << a;
        }
    }
    return o;
}
