#include "x-harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace xtest {

namespace {

using Clock = std::chrono::steady_clock;

void trace(const std::string& what)
{
    static const bool on = std::getenv("XTEST_VERBOSE") != nullptr;
    if (!on) return;
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    std::fprintf(stderr, "[xtest %lld.%03lld] %s\n", static_cast<long long>(now.count() / 1000),
                 static_cast<long long>(now.count() % 1000), what.c_str());
}

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

template <typename T>
struct FreeDeleter {
    void operator()(T* p) const noexcept { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter<T>>;

// ---------------------------------------------------------------- temp dirs

struct TempDirs {
    std::mutex mutex;
    std::vector<std::string> dirs;
    pid_t owner = getpid();
    ~TempDirs()
    {
        if (getpid() != owner) return; // a forked child leaves them to its parent
        for (const auto& d : dirs) {
            std::error_code ec;
            std::filesystem::remove_all(d, ec);
        }
    }
};

TempDirs& temp_dirs()
{
    static TempDirs dirs;
    return dirs;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

std::string temp_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/pelk-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) fail_errno("mkdtemp " + templ);
    auto& td = temp_dirs();
    std::lock_guard lock(td.mutex);
    td.dirs.emplace_back(buf.data());
    return td.dirs.back();
}

// ---------------------------------------------------------------- Process

// Collects a child's stdout and stderr on a thread of its own, so that a
// chatty child never blocks on a full pipe.
struct Process::Capture {
    std::mutex mutex;
    std::condition_variable changed;
    std::string out, err;
    bool out_open = true, err_open = true;
    int out_fd = -1, err_fd = -1, stop_fd = -1;
    std::thread thread;

    Capture(int o, int e) : out_fd(o), err_fd(e)
    {
        stop_fd = eventfd(0, EFD_CLOEXEC);
        if (stop_fd < 0) fail_errno("eventfd");
        fcntl(out_fd, F_SETFL, O_NONBLOCK);
        fcntl(err_fd, F_SETFL, O_NONBLOCK);
        thread = std::thread([this] { run(); });
    }
    ~Capture()
    {
        stop();
        close(stop_fd);
    }
    void stop()
    {
        if (!thread.joinable()) return;
        uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(stop_fd, &one, sizeof one);
        thread.join();
    }
    // Reads what is there; false at end of file.
    bool drain(int fd, std::string& into)
    {
        std::array<char, 65536> buf{};
        for (;;) {
            ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n > 0) {
                std::lock_guard lock(mutex);
                into.append(buf.data(), static_cast<size_t>(n));
                changed.notify_all();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return true;
            return false;
        }
    }
    void close_stream(int& fd, bool& open)
    {
        close(fd);
        fd = -1;
        std::lock_guard lock(mutex);
        open = false;
        changed.notify_all();
    }
    void run()
    {
        bool stopping = false;
        while (out_fd >= 0 || err_fd >= 0) {
            std::array<pollfd, 3> p{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}}};
            if (!stopping && poll(p.data(), p.size(), -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (p[2].revents) stopping = true;
            if (out_fd >= 0 && (stopping || p[0].revents) && !drain(out_fd, out))
                close_stream(out_fd, out_open);
            if (err_fd >= 0 && (stopping || p[1].revents) && !drain(err_fd, err))
                close_stream(err_fd, err_open);
            if (stopping) break;
        }
        if (out_fd >= 0) close_stream(out_fd, out_open);
        if (err_fd >= 0) close_stream(err_fd, err_open);
    }
};

Process::Process(std::vector<std::string> argv, ProcessOptions options) : own_group_(options.own_group)
{
    if (argv.empty()) fail("Process: no program");
    // Everything the child needs is built before the fork.
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto name = entry.substr(0, entry.find('=') + 1);
        bool overridden = false;
        for (const auto& o : options.env)
            if (o.compare(0, name.size(), name) == 0) overridden = true;
        if (!overridden) env_store.push_back(entry);
    }
    for (const auto& o : options.env) env_store.push_back(o);
    std::vector<char*> cenv;
    for (auto& e : env_store) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (options.pipe_stdin && pipe2(in_pipe, O_CLOEXEC) < 0) fail_errno("pipe");
    if (options.capture && (pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0))
        fail_errno("pipe");
    int log_fd = -1;
    if (!options.capture) {
        const char* path = options.log_file.empty() ? "/dev/null" : options.log_file.c_str();
        log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log_fd < 0) fail_errno(std::string("open ") + path);
    }
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t parent = getpid();

    pid_ = fork();
    if (pid_ < 0) fail_errno("fork");
    if (pid_ == 0) {
        if (options.own_group) setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) ::signal(s, SIG_DFL);
        dup2(options.pipe_stdin ? in_pipe[0] : null_fd, 0);
        dup2(options.capture ? out_pipe[1] : options.stdout_fd >= 0 ? options.stdout_fd : log_fd, 1);
        dup2(options.capture ? err_pipe[1] : log_fd, 2);
        for (int fd : options.keep_fds) fcntl(fd, F_SETFD, 0);
        execvpe(cargv[0], cargv.data(), cenv.data());
        const char msg[] = "exec failed\n";
        [[maybe_unused]] auto n = ::write(2, msg, sizeof msg - 1);
        _exit(127);
    }
    if (options.own_group) setpgid(pid_, pid_); // also here, so no signal can miss the group
    close(null_fd);
    if (log_fd >= 0) close(log_fd);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) fail_errno("pidfd_open");
    if (options.pipe_stdin) {
        close(in_pipe[0]);
        stdin_fd_ = in_pipe[1];
    }
    if (options.capture) {
        close(out_pipe[1]);
        close(err_pipe[1]);
        capture_ = std::make_unique<Capture>(out_pipe[0], err_pipe[0]);
    }
}

Process::~Process()
{
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
    if (!status_) {
        kill_all();
        try {
            reap(kGuard);
        } catch (...) {
        }
    }
    if (own_group_) {
        // stragglers of the group; those orphaned to us (the test process is
        // a subreaper once an xpra session ran) are reaped here
        kill(-pid_, SIGKILL);
        int st;
        while (waitpid(-pid_, &st, 0) > 0 || errno == EINTR) {}
    }
    capture_.reset();
    if (pidfd_ >= 0) close(pidfd_);
}

void Process::kill_all()
{
    if (own_group_) kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
}

void Process::reap(std::chrono::milliseconds guard)
{
    pollfd p{pidfd_, POLLIN, 0};
    int r;
    do r = poll(&p, 1, static_cast<int>(guard.count()));
    while (r < 0 && errno == EINTR);
    if (r == 0) {
        kill_all();
        int st;
        waitpid(pid_, &st, 0);
        status_ = 128 + SIGKILL;
        if (capture_) capture_->stop();
        fail("process " + std::to_string(pid_) + " did not exit in time; killed");
    }
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {}
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (capture_) capture_->stop();
}

bool Process::running()
{
    if (status_) return false;
    pollfd p{pidfd_, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

void Process::write_stdin(const std::string& data)
{
    if (stdin_fd_ < 0) fail("write_stdin: standard input is not a pipe or was closed");
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(stdin_fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail_errno("write to child's standard input");
        done += static_cast<size_t>(n);
    }
}

void Process::close_stdin()
{
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
}

void Process::signal(int sig)
{
    if (!status_) kill(pid_, sig);
}

int Process::wait(std::chrono::milliseconds guard)
{
    if (!status_) reap(guard);
    return *status_;
}

std::string Process::out() const
{
    if (!capture_) return {};
    std::lock_guard lock(capture_->mutex);
    return capture_->out;
}

std::string Process::err() const
{
    if (!capture_) return {};
    std::lock_guard lock(capture_->mutex);
    return capture_->err;
}

bool Process::wait_for_output(const std::string& needle, bool on_stderr, std::chrono::milliseconds guard)
{
    if (!capture_) fail("wait_for_output: output is not captured");
    std::unique_lock lock(capture_->mutex);
    const std::string& text = on_stderr ? capture_->err : capture_->out;
    const bool& open = on_stderr ? capture_->err_open : capture_->out_open;
    bool found = capture_->changed.wait_for(lock, guard,
                                            [&] { return text.find(needle) != std::string::npos || !open; });
    if (!found) fail("timed out waiting for \"" + needle + "\" from process " + std::to_string(pid_));
    return text.find(needle) != std::string::npos;
}

pid_t child_named(pid_t parent, const std::string& prefix)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 > line.size()) continue;
        std::string comm = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && comm.rfind(prefix, 0) == 0) return std::stoi(line);
    }
    return -1;
}

RunResult run(std::vector<std::string> argv, std::vector<std::string> env, std::chrono::milliseconds guard)
{
    ProcessOptions o;
    o.env = std::move(env);
    Process p(std::move(argv), o);
    RunResult r;
    r.status = p.wait(guard);
    r.out = p.out();
    r.err = p.err();
    return r;
}

#ifdef RECORDER_PATH
Recorder::Recorder(std::vector<std::string> args, bool keep_stdin_open)
    : Process(
          [&] {
              args.insert(args.begin(), RECORDER_PATH);
              return args;
          }(),
          [&] {
              ProcessOptions o;
              o.pipe_stdin = keep_stdin_open;
              return o;
          }())
{
}
#endif

// ---------------------------------------------------------------- recordings

std::vector<const ZelRecord*> Recording::of_type(ZelRecordType type) const
{
    std::vector<const ZelRecord*> out;
    for (const auto& r : records)
        if (r->type == type) out.push_back(r.get());
    return out;
}

Recording read_recording(const std::string& path)
{
    Recording rec;
    ZelReader* reader = zel_reader_open(path.c_str());
    if (!reader) {
        rec.problem = std::string("cannot open: ") + std::strerror(errno);
        return rec;
    }
    for (;;) {
        ZelRecord* r = nullptr;
        rec.status = zel_reader_next(reader, &r);
        if (rec.status != ZEL_READ_RECORD) break;
        rec.records.emplace_back(r);
    }
    rec.problem = zel_reader_problem(reader);
    zel_reader_close(reader);
    return rec;
}

Recording wait_for_records(const std::string& path, const std::function<bool(const Records&)>& pred,
                           std::chrono::milliseconds guard)
{
    // watch the directory: the file may not exist yet
    std::filesystem::path p(path);
    std::string dir = p.has_parent_path() ? p.parent_path().string() : ".";
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) fail_errno("inotify_init1");
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    if (inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO) < 0)
        fail_errno("inotify_add_watch " + dir);
    auto deadline = Clock::now() + guard;
    for (;;) {
        Recording rec = read_recording(path);
        if (rec.status == ZEL_READ_CORRUPT) fail("recording " + path + " is corrupt: " + rec.problem);
        if (pred(rec.records)) return rec;
        pollfd pf{fd, POLLIN, 0};
        int r = poll(&pf, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0)
            fail("timed out waiting for records in " + path + " (" + std::to_string(rec.records.size()) +
                 " read, " + zel_read_status_to_string(rec.status) + ")");
        std::array<char, 4096> buf{};
        while (::read(fd, buf.data(), buf.size()) > 0) {}
    }
}

// ---------------------------------------------------------------- Xvfb

namespace {

// Reads from fd until a newline or end of file, within the guard.  The
// text read, possibly without a newline when the writer went away.
std::string read_line(int fd)
{
    std::string got;
    auto deadline = Clock::now() + kGuard;
    while (got.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[32];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

} // namespace

Xvfb::Xvfb(XvfbOptions options)
{
    static const std::string dir = temp_dir();
    static int counter = 0;
    log_ = dir + "/xvfb-" + std::to_string(++counter) + ".log";

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) fail_errno("pipe");
    std::vector<std::string> argv{
        "Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", options.screen, "-br", "-nolisten",
        "tcp",  "-noreset"};
    argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
    ProcessOptions po;
    po.capture = false;
    po.log_file = log_;
    po.keep_fds = {fds[1]};
    try {
        process_ = std::make_unique<Process>(argv, po);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]); // the server's copy is the only writer left: end of file if it dies
    std::string got = read_line(fds[0]);
    close(fds[0]);
    if (got.find('\n') == std::string::npos) {
        process_.reset();
        fail("Xvfb did not start (" + options.screen + "): " + read_file(log_));
    }
    number_ = std::stoi(got);
    display_ = ":" + std::to_string(number_);
}

Xvfb::~Xvfb()
{
    if (!process_) return;
    process_->signal(SIGTERM);
    try {
        process_->wait();
    } catch (...) {
    }
}

pid_t Xvfb::pid() const
{
    return process_->pid();
}

void Xvfb::kill_server()
{
    process_->signal(SIGKILL);
    process_->wait();
}

// ---------------------------------------------------------------- XProxy

#ifndef X_PROXY_PATH
#define X_PROXY_PATH "x-proxy"
#endif

XProxy::XProxy(const std::string& upstream, std::vector<std::string> hide,
               std::vector<std::pair<std::string, int>> broken)
{
    // no output thread: tests fork for their death tests
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) fail_errno("pipe");
    std::vector<std::string> argv{X_PROXY_PATH, upstream, "--displayfd", std::to_string(fds[1])};
    for (auto& h : hide) argv.insert(argv.end(), {"--hide", h});
    for (auto& [name, minor] : broken)
        argv.insert(argv.end(), {"--break", name + ":" + std::to_string(minor)});
    ProcessOptions po;
    po.capture = false;
    po.keep_fds = {fds[1]};
    try {
        process_ = std::make_unique<Process>(argv, po);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    std::string got = read_line(fds[0]);
    close(fds[0]);
    if (got.find('\n') == std::string::npos) fail("x-proxy did not start");
    display_ = got.substr(0, got.find('\n'));
}

XProxy::~XProxy()
{
    process_->signal(SIGTERM);
    try {
        process_->wait();
    } catch (...) {
    }
}

// ---------------------------------------------------------------- images

uint32_t Image::pixel(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width || y >= height) fail("Image::pixel outside the image");
    const uint8_t* p =
        data.data() + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * (bits_per_pixel / 8);
    uint32_t v = 0;
    for (int i = bits_per_pixel / 8 - 1; i >= 0; --i) v = (v << 8) | p[i]; // LSBFirst
    return depth >= 32 ? v : v & ((1u << depth) - 1);
}

uint32_t pattern_pixel(uint32_t seed, int x, int y, uint8_t depth)
{
    uint32_t v =
        seed * 0x9E3779B1u ^ static_cast<uint32_t>(x) * 0x85EBCA77u ^ static_cast<uint32_t>(y) * 0xC2B2AE3Du;
    v ^= v >> 15;
    v *= 0x2C1B3C6Du;
    v ^= v >> 12;
    v *= 0x297A2D39u;
    v ^= v >> 15;
    return depth >= 32 ? v : v & ((1u << depth) - 1);
}

// ---------------------------------------------------------------- Client

namespace {

struct PixmapFormat {
    uint8_t bpp;
    uint8_t pad;
};

PixmapFormat format_of(xcb_connection_t* c, uint8_t depth)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    auto it = xcb_setup_pixmap_formats_iterator(setup);
    for (; it.rem; xcb_format_next(&it))
        if (it.data->depth == depth) return {it.data->bits_per_pixel, it.data->scanline_pad};
    fail("no pixmap format for depth " + std::to_string(depth));
}

} // namespace

Client::Client(const std::string& display)
{
    int screen_nbr = 0;
    c_ = xcb_connect(display.c_str(), &screen_nbr);
    if (int e = xcb_connection_has_error(c_)) {
        xcb_disconnect(c_);
        c_ = nullptr;
        fail("cannot connect to " + display + " (xcb error " + std::to_string(e) + ")");
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screen_nbr && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        xcb_disconnect(c_);
        c_ = nullptr;
        fail("no screen " + std::to_string(screen_nbr) + " on " + display);
    }
    screen_ = it.data;
}

Client::~Client()
{
    if (c_) xcb_disconnect(c_);
}

xcb_atom_t Client::atom(const std::string& name)
{
    if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
    Owned<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    if (!r) fail("InternAtom " + name + " failed");
    atoms_[name] = r->atom;
    return r->atom;
}

std::string Client::atom_name(xcb_atom_t a)
{
    if (a == XCB_ATOM_NONE) return "None";
    Owned<xcb_get_atom_name_reply_t> r(xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, a), nullptr));
    if (!r) return "?";
    return std::string(xcb_get_atom_name_name(r.get()),
                       static_cast<size_t>(xcb_get_atom_name_name_length(r.get())));
}

void Client::sync()
{
    Owned<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    if (!r || xcb_connection_has_error(c_)) fail("X connection of the test client broke");
}

xcb_window_t Client::create_window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t bw,
                                   bool override_redirect, uint32_t border_pixel)
{
    uint32_t mask_of_depth = depth() >= 32 ? 0xFFFFFFFFu : (1u << depth()) - 1;
    xcb_window_t win = xcb_generate_id(c_);
    const uint32_t values[] = {0, border_pixel & mask_of_depth, override_redirect ? 1u : 0u};
    auto cookie = xcb_create_window_checked(
        c_, XCB_COPY_FROM_PARENT, win, root(), x, y, w, h, bw, XCB_WINDOW_CLASS_INPUT_OUTPUT,
        screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    if (Owned<xcb_generic_error_t> e{xcb_request_check(c_, cookie)})
        fail("CreateWindow failed with error " + std::to_string(e->error_code));
    return win;
}

void Client::map(xcb_window_t w)
{
    xcb_map_window(c_, w);
    sync();
}

void Client::unmap(xcb_window_t w)
{
    xcb_unmap_window(c_, w);
    sync();
}

void Client::destroy(xcb_window_t w)
{
    xcb_destroy_window(c_, w);
    sync();
}

void Client::move_resize(xcb_window_t w, int16_t x, int16_t y, uint16_t width, uint16_t height)
{
    const uint32_t values[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y), width, height};
    xcb_configure_window(
        c_, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
        values);
    sync();
}

void Client::raise(xcb_window_t w)
{
    const uint32_t v[] = {XCB_STACK_MODE_ABOVE};
    xcb_configure_window(c_, w, XCB_CONFIG_WINDOW_STACK_MODE, v);
    sync();
}

void Client::lower(xcb_window_t w)
{
    const uint32_t v[] = {XCB_STACK_MODE_BELOW};
    xcb_configure_window(c_, w, XCB_CONFIG_WINDOW_STACK_MODE, v);
    sync();
}

std::optional<uint8_t> Client::map_state(xcb_window_t w)
{
    xcb_generic_error_t* e = nullptr;
    Owned<xcb_get_window_attributes_reply_t> r(
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), &e));
    std::free(e);
    if (!r) return std::nullopt;
    return r->map_state;
}

bool Client::window_exists(xcb_window_t w)
{
    return map_state(w).has_value();
}

namespace {

// PutImage of a w x h ZPixmap filled by value(x, y), cut into requests
// that fit the server's maximum request length.
void put_pixels(xcb_connection_t* c, xcb_window_t win, uint8_t depth, uint16_t w, uint16_t h,
                const std::function<uint32_t(int, int)>& value)
{
    PixmapFormat f = format_of(c, depth);
    uint32_t bpp = f.bpp;
    uint32_t stride = ((w * bpp + f.pad - 1) / f.pad) * (f.pad / 8);
    uint32_t max_bytes = xcb_get_maximum_request_length(c) * 4u - 64u;
    if (max_bytes > (1u << 20)) max_bytes = 1u << 20;
    uint32_t rows_per_request = std::max<uint32_t>(1, max_bytes / std::max<uint32_t>(stride, 1));
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, win, 0, nullptr);
    std::vector<uint8_t> buf;
    for (uint32_t y0 = 0; y0 < h; y0 += rows_per_request) {
        uint32_t rows = std::min<uint32_t>(rows_per_request, h - y0);
        buf.assign(static_cast<size_t>(stride) * rows, 0);
        for (uint32_t y = 0; y < rows; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t v = value(static_cast<int>(x), static_cast<int>(y0 + y));
                uint8_t* p = buf.data() + static_cast<size_t>(y) * stride + x * (bpp / 8);
                for (uint32_t i = 0; i < bpp / 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
            }
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, win, gc, w, static_cast<uint16_t>(rows), 0,
                      static_cast<int16_t>(y0), 0, depth, static_cast<uint32_t>(buf.size()), buf.data());
    }
    xcb_free_gc(c, gc);
}

} // namespace

void Client::draw_pattern(xcb_window_t w, uint32_t seed)
{
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
    if (!g) fail("draw_pattern: no such window");
    uint8_t d = g->depth;
    put_pixels(c_, w, d, g->width, g->height, [&](int x, int y) { return pattern_pixel(seed, x, y, d); });
    sync();
}

void Client::fill(xcb_window_t w, uint32_t pixel)
{
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
    if (!g) fail("fill: no such window");
    put_pixels(c_, w, g->depth, g->width, g->height, [&](int, int) { return pixel; });
    sync();
}

Image Client::get_image(xcb_drawable_t d, int16_t x, int16_t y, uint16_t w, uint16_t h)
{
    xcb_generic_error_t* e = nullptr;
    Owned<xcb_get_image_reply_t> r(
        xcb_get_image_reply(c_, xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, d, x, y, w, h, ~0u), &e));
    if (!r) {
        int code = e ? e->error_code : -1;
        std::free(e);
        fail("GetImage failed with error " + std::to_string(code));
    }
    Image img;
    img.width = w;
    img.height = h;
    img.depth = r->depth;
    img.bits_per_pixel = format_of(c_, r->depth).bpp;
    auto len = static_cast<size_t>(xcb_get_image_data_length(r.get()));
    img.stride = h ? static_cast<uint32_t>(len / h) : 0;
    const uint8_t* p = xcb_get_image_data(r.get());
    img.data.assign(p, p + len);
    return img;
}

Image Client::root_image()
{
    return get_image(root(), 0, 0, screen_->width_in_pixels, screen_->height_in_pixels);
}

void Client::set_root_property(const std::string& name, const std::string& type, const std::string& value)
{
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, root(), atom(name), atom(type), 8,
                        static_cast<uint32_t>(value.size()), value.data());
    sync();
}

void Client::set_root_window_list(const std::string& name, const std::vector<xcb_window_t>& ids)
{
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, root(), atom(name), XCB_ATOM_WINDOW, 32,
                        static_cast<uint32_t>(ids.size()), ids.data());
    sync();
}

void Client::delete_root_property(const std::string& name)
{
    xcb_delete_property(c_, root(), atom(name));
    sync();
}

std::optional<std::pair<std::string, std::string>> Client::root_property(const std::string& name)
{
    Owned<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, root(), atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 0x1000000), nullptr));
    if (!r || r->type == XCB_ATOM_NONE) return std::nullopt;
    const char* v = static_cast<const char*>(xcb_get_property_value(r.get()));
    std::string value(v, static_cast<size_t>(xcb_get_property_value_length(r.get())));
    return std::make_pair(value, atom_name(r->type));
}

std::vector<xcb_window_t> Client::root_window_list(const std::string& name)
{
    Owned<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, root(), atom(name), XCB_ATOM_WINDOW, 0, 0x1000000), nullptr));
    if (!r || r->format != 32) return {};
    auto* v = static_cast<const xcb_window_t*>(xcb_get_property_value(r.get()));
    return {v, v + xcb_get_property_value_length(r.get()) / 4};
}

void Client::select_root_property_events()
{
    if (root_events_selected_) return;
    const uint32_t mask[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_change_window_attributes(c_, root(), XCB_CW_EVENT_MASK, mask);
    sync();
    root_events_selected_ = true;
}

// Waits for the next event (any) until the deadline; false at the deadline.
bool Client::wait_event(Clock::time_point deadline)
{
    for (;;) {
        if (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(c_)}) return true;
        if (xcb_connection_has_error(c_)) fail("X connection of the test client broke");
        pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
        int r = poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return false;
    }
}

void Client::wait_for_root_list(const std::string& name,
                                const std::function<bool(const std::vector<xcb_window_t>&)>& pred,
                                std::chrono::milliseconds guard)
{
    select_root_property_events();
    auto deadline = Clock::now() + guard;
    for (;;) {
        auto list = root_window_list(name); // a round trip: later changes bring an event
        if (pred(list)) return;
        if (!wait_event(deadline)) {
            std::string ids;
            for (auto w : list) ids += " " + std::to_string(w);
            fail("timed out waiting for " + name + " (now:" + ids + ")");
        }
    }
}

void Client::wait_for_client_list(const std::function<bool(const std::vector<xcb_window_t>&)>& pred,
                                  std::chrono::milliseconds guard)
{
    wait_for_root_list("_NET_CLIENT_LIST", pred, guard);
}

void Client::wait_for_stacking(const std::function<bool(const std::vector<xcb_window_t>&)>& pred,
                               std::chrono::milliseconds guard)
{
    wait_for_root_list("_NET_CLIENT_LIST_STACKING", pred, guard);
}

void Client::wait_for_viewable(xcb_window_t w, std::chrono::milliseconds guard)
{
    const uint32_t mask[] = {XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_change_window_attributes(c_, w, XCB_CW_EVENT_MASK, mask);
    auto deadline = Clock::now() + guard;
    for (;;) {
        auto state = map_state(w); // a round trip after the selection
        if (!state) fail("wait_for_viewable: window " + std::to_string(w) + " is gone");
        if (*state == XCB_MAP_STATE_VIEWABLE) return;
        if (!wait_event(deadline))
            fail("timed out waiting for window " + std::to_string(w) + " to become viewable");
    }
}

void Client::wait_for_root_property(const std::string& name, std::chrono::milliseconds guard)
{
    select_root_property_events();
    auto deadline = Clock::now() + guard;
    while (!root_property(name))
        if (!wait_event(deadline)) fail("timed out waiting for root property " + name);
}

// ---------------------------------------------------------------- SeamlessSession

#ifndef SEAMLESS_HELPER_PATH
#define SEAMLESS_HELPER_PATH "seamless-helper"
#endif

SeamlessSession::SeamlessSession(const std::string& display, ModeType type, std::string value)
    : SeamlessSession(display, SeamlessOptions{type, std::move(value)})
{
}

SeamlessSession::SeamlessSession(const std::string& display, SeamlessOptions options)
{
    static const std::string logs = temp_dir();
    static int counter = 0;
    std::string log = logs + "/seamless-helper-" + std::to_string(++counter) + ".log";
    std::vector<std::string> argv{SEAMLESS_HELPER_PATH, display};
    switch (options.mode_type) {
    case ModeType::Utf8String: argv.emplace_back("--mode-type=utf8"); break;
    case ModeType::String: argv.emplace_back("--mode-type=string"); break;
    case ModeType::Absent: argv.emplace_back("--mode-type=absent"); break;
    }
    argv.push_back("--mode-value=" + options.mode_value);
    if (options.list_from_create) argv.emplace_back("--list-from-create");
    if (!options.redirect) argv.emplace_back("--no-redirect");
    // "ready" comes through a pipe read here, without an output thread:
    // tests fork for their death tests
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) fail_errno("pipe");
    ProcessOptions po;
    if (std::getenv("XTEST_VERBOSE")) po.env = {"SEAMLESS_HELPER_DEBUG=1"};
    po.capture = false;
    po.log_file = log;
    po.stdout_fd = fds[1];
    try {
        process_ = std::make_unique<Process>(argv, po);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    std::string got = read_line(fds[0]);
    close(fds[0]);
    if (got != "ready\n") fail("seamless helper did not start: " + read_file(log));
    log_ = log;
}

SeamlessSession::~SeamlessSession()
{
    try {
        stop();
    } catch (...) {
    }
    if (std::getenv("XTEST_VERBOSE")) std::fprintf(stderr, "seamless-helper:\n%s", read_file(log_).c_str());
}

int SeamlessSession::stop()
{
    if (process_->status()) return *process_->status();
    process_->signal(SIGTERM);
    return process_->wait();
}

// ---------------------------------------------------------------- XpraSession

XpraSession::XpraSession(bool attach_client, std::string screen)
{
    // xpra's helpers outlive xpra for a moment: they are reparented to the
    // test process, which reaps them, instead of lingering as zombies
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    dir_ = temp_dir();
    std::filesystem::create_directories(dir_ + "/sockets");
    std::filesystem::create_directories(dir_ + "/conf");
    std::filesystem::create_directories(dir_ + "/run");
    {
        std::ofstream conf(dir_ + "/conf/xpra.conf");
        conf << "start = \n";
    }
    env_ = {"XPRA_USER_CONF_DIRS=" + dir_ + "/conf", "HOME=" + dir_, "XDG_RUNTIME_DIR=" + dir_ + "/run",
            "XDG_CONFIG_HOME=" + dir_ + "/conf"};

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) fail_errno("pipe");
    std::vector<std::string> argv{"xpra",
                                  "start",
                                  "--daemon=no",
                                  "--socket-dirs=" + dir_ + "/sockets",
                                  "--socket-dir=" + dir_ + "/sockets",
                                  "--displayfd=" + std::to_string(fds[1]),
                                  "--resize-display=no",
                                  "--xvfb=Xvfb +extension Composite -screen 0 " + screen +
                                      " -nolisten tcp -noreset",
                                  "--mdns=no",
                                  "--pulseaudio=no",
                                  "--notifications=no",
                                  "--webcam=no",
                                  "--printing=no",
                                  "--file-transfer=no",
                                  "--dbus-launch=",
                                  "--dbus-proxy=no",
                                  "--dbus-control=no",
                                  "--html=off",
                                  "--speaker=off",
                                  "--microphone=off",
                                  "--clipboard=no",
                                  "--bell=no",
                                  "--systemd-run=no",
                                  "--tray=no",
                                  "--start-new-commands=no",
                                  "--exit-with-children=no",
                                  "--start-via-proxy=no",
                                  "--av-sync=no",
                                  "--xsettings=no",
                                  "--system-tray=no",
                                  "--video-encoders=none",
                                  "--csc-modules=none",
                                  "--proxy-video-encoders=none",
                                  "--encodings=rgb"};
    ProcessOptions po;
    po.capture = false;
    po.log_file = dir_ + "/server.log";
    po.env = env_;
    po.keep_fds = {fds[1]};
    try {
        server_ = std::make_unique<Process>(argv, po);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    std::string got = read_line(fds[0]);
    close(fds[0]);
    if (got.empty() || got.find_first_of("0123456789") == std::string::npos) {
        stop();
        fail("xpra did not start: " + read_file(dir_ + "/server.log"));
    }
    display_ = ":" + std::to_string(std::stoi(got.substr(got.find_first_of("0123456789"))));
    trace("xpra server on " + display_);
    env_.push_back("DISPLAY=" + display_);

    {
        // ready when the window manager check window is published
        Client client(display_);
        client.wait_for_root_property("_NET_SUPPORTING_WM_CHECK");
    }
    trace("xpra server ready");
    x_server_pid_ = child_named(server_->pid(), "Xvfb");
    RunResult r = run({"xprop", "-display", display_, "-root", "-f", "XPRA_SERVER_MODE", "8u", "-set",
                       "XPRA_SERVER_MODE", "seamless"});
    if (r.status != 0) fail("xprop failed: " + r.err);
    if (attach_client) attach();
    trace("xpra session set up");
}

void XpraSession::attach()
{
    if (client_) return;
    client_display_ = std::make_unique<Xvfb>(XvfbOptions{"1280x800x24", {}});
    std::vector<std::string> env = env_;
    env.back() = "DISPLAY=" + client_display_->display();
    ProcessOptions po;
    po.capture = false;
    po.log_file = dir_ + "/client.log";
    po.env = env;
    client_ = std::make_unique<Process>(std::vector<std::string>{"xpra",
                                                                 "attach",
                                                                 display_,
                                                                 "--socket-dirs=" + dir_ + "/sockets",
                                                                 "--tray=no",
                                                                 "--notifications=no",
                                                                 "--speaker=off",
                                                                 "--microphone=off",
                                                                 "--webcam=no",
                                                                 "--clipboard=no",
                                                                 "--printing=no",
                                                                 "--file-transfer=no",
                                                                 "--bell=no",
                                                                 "--opengl=no",
                                                                 "--mdns=no",
                                                                 "--modal-windows=no",
                                                                 "--pulseaudio=no",
                                                                 "--video-decoders=none",
                                                                 "--csc-modules=none",
                                                                 "--encodings=rgb",
                                                                 "--xsettings=no"},
                                        po);
}

Process& XpraSession::start(std::vector<std::string> argv)
{
    ProcessOptions po;
    po.capture = false;
    po.log_file = dir_ + "/programs.log";
    po.env = env_;
    programs_.push_back(std::make_unique<Process>(std::move(argv), po));
    return *programs_.back();
}

void XpraSession::stop()
{
    trace("stopping xpra session");
    for (auto& p : programs_) {
        p->signal(SIGTERM);
        try {
            p->wait();
        } catch (...) {
        }
    }
    programs_.clear();
    if (client_) {
        client_->signal(SIGTERM);
        try {
            client_->wait();
        } catch (...) {
        }
        client_.reset();
    }
    client_display_.reset();
    trace("xpra client stopped");
    if (server_) {
        server_->signal(SIGTERM);
        try {
            server_->wait();
        } catch (...) {
        }
        server_.reset();
    }
    // xpra's X server has a process group of its own; once xpra is gone it
    // is ours (subreaper): make sure it ends, and reap it
    if (x_server_pid_ > 0) {
        int fd = static_cast<int>(syscall(SYS_pidfd_open, x_server_pid_, 0));
        if (fd >= 0) {
            kill(x_server_pid_, SIGTERM);
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(kGuard.count())) <= 0) kill(x_server_pid_, SIGKILL);
            close(fd);
        }
        int st;
        waitpid(x_server_pid_, &st, 0);
        x_server_pid_ = -1;
    }
    trace("xpra session stopped");
}

XpraSession::~XpraSession()
{
    stop();
}

} // namespace xtest
