// Helpers for tests that need a process of their own: a forked child whose
// standard output the test reads, a subprocess run of a program with given
// standard input, and a wait for a thread to sleep in the kernel.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace test_support {

// Failure guard for everything that waits on another process or thread.
inline constexpr std::chrono::seconds generous_timeout{60};

struct ChildResult {
    bool timed_out = false;
    int status = -1; // exit status, or -1 when it did not exit normally
    int signal = 0;  // terminating signal, 0 when it exited
    std::string out; // standard output
    std::string err; // standard error
};

// Reads both descriptors to their end, or until the deadline passes.
inline bool drain(int out_fd, int err_fd, std::string& out, std::string& err,
                  std::chrono::steady_clock::time_point deadline)
{
    std::vector<pollfd> fds;
    if (out_fd >= 0) fds.push_back({out_fd, POLLIN, 0});
    if (err_fd >= 0) fds.push_back({err_fd, POLLIN, 0});
    while (!fds.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        int rc = poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        for (size_t i = 0; i < fds.size();) {
            if (fds[i].revents == 0) {
                i++;
                continue;
            }
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            (fds[i].fd == out_fd ? out : err).append(buffer, static_cast<size_t>(n));
            i++;
        }
    }
    return true;
}

inline void collect(pid_t pid, ChildResult& result, int out_fd, int err_fd)
{
    auto deadline = std::chrono::steady_clock::now() + generous_timeout;
    if (!drain(out_fd, err_fd, result.out, result.err, deadline)) {
        result.timed_out = true;
        kill(pid, SIGKILL);
    }
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
    // A child that leaves through _exit keeps the sanitizers from changing
    // its status: their reports are caught here instead.
    for (const char* report :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
        if (result.err.find(report) != std::string::npos) ADD_FAILURE() << "child process: " << result.err;
}

// Standard output line by line, as the recorder has it.  Given after output
// has already been written, the mode takes effect only with a buffer of its
// own.
inline void line_buffered_stdout()
{
    static char buffer[BUFSIZ];
    fflush(stdout);
    setvbuf(stdout, buffer, _IOLBF, sizeof buffer);
}

// Runs body in a forked child with standard output and standard error on
// pipes; the child exits with body's result.
inline ChildResult run_in_child(const std::function<int()>& body)
{
    fflush(stdout);
    fflush(stderr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) abort();
    pid_t pid = fork();
    if (pid < 0) abort();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        line_buffered_stdout();
        int status = body();
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    close(out[1]);
    close(err[1]);
    ChildResult result;
    collect(pid, result, out[0], err[0]);
    return result;
}

// Runs a program with the given arguments (argv[0] included) and standard
// input taken from stdin_fd (or /dev/null when it is -1).  prepare runs in
// the child just before the exec.
inline ChildResult run_program(const std::string& path, const std::vector<std::string>& args,
                               int stdin_fd = -1, const std::function<void()>& prepare = {},
                               pid_t* started = nullptr, const std::function<void(pid_t)>& while_running = {})
{
    fflush(stdout);
    fflush(stderr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) abort();
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) abort();
    if (pid == 0) {
        int in = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (prepare) prepare();
        execv(path.c_str(), argv.data());
        dprintf(STDERR_FILENO, "execv %s: %s\n", path.c_str(), strerror(errno));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (started) *started = pid;
    if (while_running) while_running(pid);
    ChildResult result;
    collect(pid, result, out[0], err[0]);
    return result;
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The scheduling state letter of a thread of this process ('S' while it
// sleeps in the kernel, for instance on a futex).
inline char thread_state(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close_paren = content.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= content.size()) return '?';
    return content[close_paren + 2];
}

// Waits until the thread sleeps in the kernel; false after the failure guard.
inline bool wait_until_sleeping(pid_t tid)
{
    auto deadline = std::chrono::steady_clock::now() + generous_timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (thread_state(tid) == 'S') return true;
        sched_yield();
    }
    return false;
}

// Inside a child process: takes over standard output so that the child can
// wait for lines that its own threads print, then hands everything on.
class OutputTap {
  public:
    OutputTap()
    {
        line_buffered_stdout();
        saved_ = dup(STDOUT_FILENO);
        if (pipe2(fd_, O_CLOEXEC) != 0) abort();
        fcntl(fd_[1], F_SETPIPE_SZ, 1 << 20);
        dup2(fd_[1], STDOUT_FILENO);
    }

    // Reads until a line containing wanted has arrived after the lines that
    // earlier calls took; false when none came within the given time (by
    // default the failure guard; zero only looks at what is there).
    bool wait_for(const std::string& wanted,
                  std::chrono::milliseconds within =
                      std::chrono::duration_cast<std::chrono::milliseconds>(generous_timeout))
    {
        auto deadline = std::chrono::steady_clock::now() + within;
        for (;;) {
            auto found = text_.find(wanted, searched_);
            if (found != std::string::npos) {
                auto end = text_.find('\n', found);
                if (end != std::string::npos) {
                    searched_ = end + 1;
                    return true;
                }
            }
            auto left = std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                              deadline - std::chrono::steady_clock::now())
                                              .count());
            pollfd p{fd_[0], POLLIN, 0};
            int rc = poll(&p, 1, static_cast<int>(left));
            if (rc > 0) {
                char buffer[4096];
                ssize_t n = read(fd_[0], buffer, sizeof buffer);
                if (n > 0) text_.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (rc == 0 && left == 0) return false;
        }
    }

    // Gives standard output back and returns all that was printed.
    std::string finish()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        close(fd_[1]);
        char buffer[4096];
        for (ssize_t n; (n = read(fd_[0], buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            text_.append(buffer, static_cast<size_t>(n));
        }
        close(fd_[0]);
        return text_;
    }

  private:
    int saved_ = -1;
    int fd_[2] = {-1, -1};
    std::string text_;
    size_t searched_ = 0;
};

} // namespace test_support
