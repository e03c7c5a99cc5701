#pragma once
// SimAgentProcess: a test's handle on one simulated UPS agent (vg_simagent) running as a child on a
// 127.0.0.x address (or in a test host, on its address) and a port it chose itself. Scenario lines go to its standard input; its output
// lines (ready, ok, set ...) are collected by a reader thread and waited for by condition.
//
// Threads: Start, Send, WaitFor and the destructor belong to the test's thread; the reader thread only
// appends lines under the mutex.

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vgtest {

struct SimAgentOptions {
    std::string address = "127.0.0.2";
    int generation = 3;
    int devices = 1;
    std::string mac = "02:00:00:00:00:02";
    std::string community = "public";
    int port = 0;  // 0: the agent picks a free one
    // A command prefix that runs the agent elsewhere (TestHost::Launcher: inside a test host); empty: here.
    std::vector<std::string> launcher;
};

class SimAgentProcess {
public:
    SimAgentProcess() = default;
    ~SimAgentProcess();
    SimAgentProcess(const SimAgentProcess&) = delete;
    SimAgentProcess& operator=(const SimAgentProcess&) = delete;

    // Starts the agent and waits for its "ready" line; false when it did not come within 10 s.
    bool Start(const SimAgentOptions& options);
    // Sends one scenario line and waits for its "ok" (false on "error" or after 10 s).
    bool Send(const std::string& line);
    // Waits until an output line begins with prefix; the line, or "" after timeoutMs.
    std::string WaitFor(const std::string& prefix, int timeoutMs = 10000);
    // Every output line so far.
    std::vector<std::string> Lines();
    void Stop();
    int Port() const { return m_port; }
    const std::string& Address() const { return m_options.address; }
    const SimAgentOptions& Options() const { return m_options; }

private:
    void ReadLoop();

    SimAgentOptions m_options;
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_port = 0;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    size_t m_acked = 0;
    bool m_closed = false;
};

}  // namespace vgtest
