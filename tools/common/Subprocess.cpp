#include "Subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace cli {

namespace {

void CloseIfOpen(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

}  // namespace

Subprocess::~Subprocess() {
    CloseIfOpen(&m_input);
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    CloseIfOpen(&m_output);
}

bool Subprocess::Start(const std::string& program, const std::vector<std::string>& args, std::string* error,
                       bool withErrors) {
    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        CloseIfOpen(&toChild[0]);
        CloseIfOpen(&toChild[1]);
        return false;
    }
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    if (withErrors) posix_spawn_file_actions_adddup2(&actions, fromChild[1], 2);
    pid_t pid = -1;
    int result = program.find('/') == std::string::npos
                     ? posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ)
                     : posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CloseIfOpen(&toChild[0]);
    CloseIfOpen(&fromChild[1]);
    m_input = toChild[1];
    m_output = fromChild[0];
    if (result != 0) {
        *error = "cannot start " + program + ": " + std::strerror(result);
        return false;
    }
    m_pid = pid;
    return true;
}

bool Subprocess::ReadMore(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (m_output < 0 || left.count() <= 0) return false;
    pollfd ready{m_output, POLLIN, 0};
    int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno != EINTR) return false;
    if (polled <= 0) return true;   // the deadline is looked at next time
    char chunk[4096];
    ssize_t count = read(m_output, chunk, sizeof chunk);
    if (count <= 0) {
        CloseIfOpen(&m_output);
        return false;
    }
    m_buffer.append(chunk, static_cast<std::size_t>(count));
    return true;
}

bool Subprocess::ReadLine(std::string* line, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto newline = m_buffer.find('\n');
        if (newline != std::string::npos) {
            *line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return true;
        }
        if (m_output < 0) {
            if (m_buffer.empty()) return false;
            line->swap(m_buffer);   // a last line without its newline
            m_buffer.clear();
            return true;
        }
        if (!ReadMore(deadline) && m_output >= 0) return false;
    }
}

std::string Subprocess::ReadAll(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadMore(deadline)) continue;
    std::string all;
    all.swap(m_buffer);
    return all;
}

void Subprocess::Signal(int signalNumber) {
    if (m_pid > 0 && !m_reaped) kill(m_pid, signalNumber);
}

void Subprocess::CloseInput() { CloseIfOpen(&m_input); }

int Subprocess::Wait(std::chrono::milliseconds timeout) {
    if (m_reaped) return m_status;
    if (m_pid <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t result = waitpid(m_pid, &status, WNOHANG);
        if (result == m_pid) {
            m_reaped = true;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (result < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string Subprocess::SelfPath() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "";
    return std::string(path, static_cast<std::size_t>(length));
}

}  // namespace cli
