#pragma once
// Loopback ports for tests: ports that were free a moment ago (chosen below the range the system
// hands to client sockets, so that no test's client takes them), and ports held busy on purpose.
// Tests use 127.0.0.0/8 only and never a fixed well-known port.

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace vgtest {

// A port on 127.0.0.1 that was free a moment ago (SOCK_DGRAM or SOCK_STREAM).
int FreePort(int type);
inline int FreeUdpPort() { return FreePort(SOCK_DGRAM); }
inline int FreeTcpPort() { return FreePort(SOCK_STREAM); }
// A port that was free on every address a moment ago (for a program that binds 0.0.0.0).
int FreePortOnEveryAddress(int type);
// A port free for both UDP and TCP on every address.
int FreeUdpTcpPort();

// A socket bound to address:port for the life of the object, so that whoever binds it next fails
// (a TCP one listens). Port 0 lets the system choose; Port() answers the one held, 0 when the bind
// failed (the port was busy already).
class BusyPort {
public:
    BusyPort(int type, int port = 0, const std::string& address = "127.0.0.1");
    ~BusyPort();
    BusyPort(const BusyPort&) = delete;
    BusyPort& operator=(const BusyPort&) = delete;
    int Port() const { return m_port; }
    bool Held() const { return m_port > 0; }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    int m_port = 0;
};

}  // namespace vgtest
