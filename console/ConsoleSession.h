#pragma once
// IConsoleSession: what the main window needs of the console's start-up: whether the user logged in, the
// engine that was found and the community its requests use, and the login dialog. CHaltwatchApp is the one
// the program runs with.
//
// Threads: GUI thread only.

#include <QString>
#include <QStringList>

#include <functional>

class IConsoleSession {
public:
    virtual ~IConsoleSession() = default;

    virtual bool LoggedIn() const = 0;
    virtual QString EngineAddress() const = 0;
    virtual QString RequestCommunity() const = 0;
    // After the engine took a new community.
    virtual void SetRequestCommunity(const QString& community) = 0;
    // Runs the login dialog (one at a time); done(logged in).
    virtual void PromptLogin(std::function<void(bool)> done) = 0;
};

// 127.0.0.1, then the host's own IPv4 addresses.
QStringList HostAddresses();
// A loopback address (127.x.x.x) or one of HostAddresses(): an address of this host.
bool IsHostAddress(const QString& address);
