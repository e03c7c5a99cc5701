#include "SimAgentProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

extern char** environ;

namespace vgtest {

SimAgentProcess::~SimAgentProcess()
{
    Stop();
}

bool SimAgentProcess::Start(const SimAgentOptions& options)
{
    m_options = options;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args = options.launcher;
    const std::vector<std::string> own = {VG_SIMAGENT, "--address", options.address, "--gen",
                                          std::to_string(options.generation), "--devices",
                                          std::to_string(options.devices), "--mac", options.mac, "--community",
                                          options.community, "--port", std::to_string(options.port)};
    args.insert(args.end(), own.begin(), own.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int rc = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
    if (rc != 0) {
        m_pid = -1;
        return false;
    }
    m_reader = std::thread([this] { ReadLoop(); });
    std::string ready = WaitFor("ready ");
    if (ready.empty())
        return false;
    m_port = std::atoi(ready.c_str() + 6);
    return m_port > 0;
}

void SimAgentProcess::ReadLoop()
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t eol;
        std::lock_guard<std::mutex> lock(m_mutex);
        while ((eol = pending.find('\n')) != std::string::npos) {
            m_lines.push_back(pending.substr(0, eol));
            pending.erase(0, eol + 1);
        }
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_changed.notify_all();
}

bool SimAgentProcess::Send(const std::string& line)
{
    std::string text = line + "\n";
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_in < 0 || write(m_in, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return false;
    // Each line is answered by exactly one "ok" or "error" line, in order.
    bool ok = false;
    bool answered = m_changed.wait_for(lock, std::chrono::seconds(10), [&] {
        size_t seen = 0;
        for (const std::string& l : m_lines) {
            if (l == "ok" || l.rfind("error", 0) == 0) {
                if (++seen > m_acked) {
                    ok = l == "ok";
                    return true;
                }
            }
        }
        return m_closed;
    });
    if (answered && !m_closed)
        ++m_acked;
    return answered && ok;
}

std::string SimAgentProcess::WaitFor(const std::string& prefix, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    std::string found;
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const std::string& l : m_lines)
            if (l.rfind(prefix, 0) == 0) {
                found = l;
                return true;
            }
        return m_closed;
    });
    return found;
}

std::vector<std::string> SimAgentProcess::Lines()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

void SimAgentProcess::Stop()
{
    if (m_in >= 0) {
        close(m_in);
        m_in = -1;
    }
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    if (m_reader.joinable())
        m_reader.join();
    if (m_out >= 0) {
        close(m_out);
        m_out = -1;
    }
}

}  // namespace vgtest
