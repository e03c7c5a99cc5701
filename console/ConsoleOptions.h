#pragma once
// The console's command line.
//   -noservice (also --noservice)  skip the check that the engine's service runs
//   --nocenter                     keep the shutdown alert at the top of the screen
//   -a ADDRESS, -aADDRESS          talk to the engine at ADDRESS instead of probing the host's addresses
//   -p=PORT                        the engine's SNMP port (3664)
//   -t=PORT                        the console's trap port (3665; 0: any free port, told to the engine)
// Threads: any.

#include <QString>
#include <QStringList>

struct ConsoleOptions {
    bool noService = false;
    bool noCenter = false;
    bool haveAddress = false;
    QString engineAddress;  // at most kMaxAddress characters
    int enginePort = 3664;
    int trapPort = 3665;
    QStringList errors;     // arguments that could not be read

    static constexpr int kMaxAddress = 31;
    // arguments without the program name.
    static ConsoleOptions Parse(const QStringList& arguments);
};
