#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/res.h>

#include <algorithm>
#include <array>
#include <atomic>
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

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

struct TempDirs {
    std::mutex mutex;
    std::vector<std::string> dirs;
    pid_t owner = getpid();
    ~TempDirs()
    {
        if (getpid() != owner) return;
        for (const auto& d : dirs) {
            std::error_code ec;
            std::filesystem::remove_all(d, ec);
        }
    }
};

// Reads from fd up to a newline or end of file, within the guard.
std::string read_line(int fd)
{
    std::string got;
    auto deadline = Clock::now() + kGuard;
    while (got.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[64];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Starts argv with its standard output on a pipe and reads one line from
// it: servers and helpers announce themselves that way.
std::pair<std::unique_ptr<Process>, std::string> start_and_read_line(std::vector<std::string> argv,
                                                                     ProcessOptions po, bool line_on_fd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) fail_errno("pipe");
    Fd reader(fds[0]);
    if (line_on_fd) {
        for (auto& a : argv)
            if (auto at = a.find("@FD@"); at != std::string::npos) a.replace(at, 4, std::to_string(fds[1]));
        po.keep_fds.push_back(fds[1]);
    } else {
        po.stdout_fd = fds[1];
    }
    po.capture = false;
    std::unique_ptr<Process> p;
    try {
        p = std::make_unique<Process>(argv, po);
    } catch (...) {
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    return {std::move(p), read_line(reader.fd)};
}

} // namespace

std::string temp_dir()
{
    static TempDirs dirs;
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/pelk-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) fail_errno("mkdtemp " + templ);
    std::lock_guard lock(dirs.mutex);
    dirs.dirs.emplace_back(buf.data());
    return dirs.dirs.back();
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---------------------------------------------------------------- Process

// Collects a child's stdout and stderr on a thread of its own, so that a
// chatty child never blocks on a full pipe.
struct Process::Capture {
    std::mutex mutex;
    std::condition_variable changed;
    std::string text[2];
    bool open[2] = {true, true};
    int fds[2];
    int stop_fd;
    std::thread thread;

    Capture(int out, int err) : fds{out, err}
    {
        stop_fd = eventfd(0, EFD_CLOEXEC);
        for (int fd : fds) fcntl(fd, F_SETFL, O_NONBLOCK);
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
    bool drain(int i)
    {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(fds[i], buf, sizeof buf);
            if (n > 0) {
                std::lock_guard lock(mutex);
                text[i].append(buf, static_cast<size_t>(n));
                changed.notify_all();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && errno == EAGAIN;
        }
    }
    void finish(int i)
    {
        close(fds[i]);
        fds[i] = -1;
        std::lock_guard lock(mutex);
        open[i] = false;
        changed.notify_all();
    }
    void run()
    {
        for (bool stopping = false; fds[0] >= 0 || fds[1] >= 0;) {
            pollfd p[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {stop_fd, POLLIN, 0}};
            if (!stopping && poll(p, 3, -1) < 0 && errno == EINTR) continue;
            stopping = stopping || p[2].revents;
            for (int i = 0; i < 2; ++i)
                if (fds[i] >= 0 && (stopping || p[i].revents) && (!drain(i) || stopping)) finish(i);
        }
    }
};

namespace {

std::vector<std::string> environment_with(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto& o : extra) replaced |= o.compare(0, name.size(), name) == 0;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// In the child, before exec: a mount namespace of its own in which the
// journal's socket is the given one.  Only system calls (async-signal-safe).
void use_journal_socket(const char* socket)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        _exit(126);
    mkdir("/run/systemd", 0755);
    if (mount("tmpfs", "/run/systemd", "tmpfs", 0, "size=64k,mode=0755") != 0) _exit(126);
    mkdir("/run/systemd/journal", 0755);
    int fd = open("/run/systemd/journal/socket", O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) _exit(126);
    close(fd);
    if (mount(socket, "/run/systemd/journal/socket", nullptr, MS_BIND, nullptr) != 0) _exit(126);
}

} // namespace

Process::Process(std::vector<std::string> argv, ProcessOptions options)
{
    if (argv.empty()) fail("Process: no program");
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env = environment_with(options.env);
    std::vector<char*> cenv;
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (options.pipe_stdin && pipe2(in, O_CLOEXEC) < 0) fail_errno("pipe");
    if (options.capture && (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)) fail_errno("pipe");
    const char* log = options.log_file.empty() ? "/dev/null" : options.log_file.c_str();
    int log_fd = options.capture ? -1 : open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();

    pid_ = fork();
    if (pid_ < 0) fail_errno("fork");
    if (pid_ == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) ::signal(s, SIG_DFL);
        if (!options.journal_socket.empty()) use_journal_socket(options.journal_socket.c_str());
        if (options.file_size_limit > 0) {
            rlimit limit{options.file_size_limit, options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        dup2(options.pipe_stdin ? in[0] : null_fd, 0);
        dup2(options.capture ? out[1] : options.stdout_fd >= 0 ? options.stdout_fd : log_fd, 1);
        dup2(options.capture ? err[1] : log_fd, 2);
        for (int fd : options.keep_fds) fcntl(fd, F_SETFD, 0);
        execvpe(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    setpgid(pid_, pid_); // also here, so that no signal can miss the group
    close(null_fd);
    if (log_fd >= 0) close(log_fd);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) fail_errno("pidfd_open");
    if (options.pipe_stdin) {
        close(in[0]);
        stdin_fd_ = in[1];
    }
    if (options.capture) {
        close(out[1]);
        close(err[1]);
        capture_ = std::make_unique<Capture>(out[0], err[0]);
    }
}

Process::~Process()
{
    close_stdin();
    if (!status_) {
        kill(-pid_, SIGKILL);
        try {
            reap(kGuard);
        } catch (...) {
        }
    }
    // stragglers of the group; those orphaned to us (a subreaper) are reaped here
    kill(-pid_, SIGKILL);
    int st;
    while (waitpid(-pid_, &st, 0) > 0 || errno == EINTR) {}
    capture_.reset();
    if (pidfd_ >= 0) close(pidfd_);
}

void Process::reap(std::chrono::milliseconds guard)
{
    pollfd p{pidfd_, POLLIN, 0};
    int r;
    do r = poll(&p, 1, static_cast<int>(guard.count()));
    while (r < 0 && errno == EINTR);
    int st = 0;
    if (r == 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, &st, 0);
        status_ = 128 + SIGKILL;
        if (capture_) capture_->stop();
        fail("process " + std::to_string(pid_) + " did not exit in time; killed");
    }
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
    if (stdin_fd_ < 0) fail("write_stdin: no pipe");
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(stdin_fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail_errno("write to the child's standard input");
        done += static_cast<size_t>(n);
    }
}

void Process::wait_stdin_taken()
{
    const auto deadline = Clock::now() + kGuard;
    for (int queued = 1; queued > 0;) {
        if (ioctl(stdin_fd_, FIONREAD, &queued) != 0) fail_errno("FIONREAD on the child's standard input");
        if (!running()) return;
        if (Clock::now() > deadline) fail("the child did not read its standard input");
        if (queued > 0) std::this_thread::yield();
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
    return capture_->text[0];
}

std::string Process::err() const
{
    if (!capture_) return {};
    std::lock_guard lock(capture_->mutex);
    return capture_->text[1];
}

bool Process::wait_for_output(const std::string& needle, std::chrono::milliseconds guard)
{
    if (!capture_) fail("wait_for_output: output is not captured");
    std::unique_lock lock(capture_->mutex);
    auto has = [&] { return capture_->text[0].find(needle) != std::string::npos; };
    if (!capture_->changed.wait_for(lock, guard, [&] { return has() || !capture_->open[0]; }))
        fail("timed out waiting for \"" + needle + "\" from process " + std::to_string(pid_));
    return has();
}

RunResult run(std::vector<std::string> argv, ProcessOptions options)
{
    Process p(std::move(argv), std::move(options));
    RunResult r;
    r.status = p.wait(std::chrono::milliseconds(120000));
    r.out = p.out();
    r.err = p.err();
    return r;
}

int zeldump_verify(const std::string& path, std::string* output)
{
#ifdef ZELDUMP_PATH
    auto r = run({ZELDUMP_PATH, "--verify", path});
    if (output) *output = r.out + r.err;
    return r.status;
#else
    (void)path;
    (void)output;
    fail("zeldump is not built");
#endif
}

// ---------------------------------------------------------------- journal

bool Journal::available()
{
    static const bool ok = geteuid() == 0 && run({"unshare", "-m", "true"}).status == 0;
    return ok;
}

Journal::Journal()
{
    path_ = temp_dir() + "/journal.socket";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) fail_errno("journal socket");
    int size = 16 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail_errno("bind " + path_);
    chmod(path_.c_str(), 0666);
}

Journal::~Journal()
{
    close(fd_);
}

namespace {

// The MESSAGE field of one datagram of the native protocol: "FIELD=value\n",
// or "FIELD\n", a 64-bit little-endian length, the value and "\n".
std::string message_of(const char* p, size_t n)
{
    for (size_t i = 0; i < n;) {
        size_t nl = i;
        while (nl < n && p[nl] != '\n') ++nl;
        const std::string line(p + i, nl - i);
        if (auto eq = line.find('='); eq != std::string::npos) {
            if (line.compare(0, eq, "MESSAGE") == 0) return line.substr(eq + 1);
            i = nl + 1;
            continue;
        }
        uint64_t len = 0;
        if (nl + 9 > n) break;
        std::memcpy(&len, p + nl + 1, 8);
        if (len > n - nl - 9) break;
        if (line == "MESSAGE") return std::string(p + nl + 9, len);
        i = nl + 10 + len;
    }
    return {};
}

} // namespace

const std::vector<std::string>& Journal::messages()
{
    std::vector<char> buf(256 * 1024);
    for (ssize_t n; (n = recv(fd_, buf.data(), buf.size(), 0)) > 0;)
        messages_.push_back(message_of(buf.data(), static_cast<size_t>(n)));
    return messages_;
}

void Journal::wait_for(const std::string& text, std::chrono::milliseconds guard)
{
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (count(text) == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0)
            fail("timed out waiting for a journal entry with \"" + text + "\"");
    }
}

size_t Journal::count(const std::string& text)
{
    size_t n = 0;
    for (const auto& m : messages()) n += m.find(text) != std::string::npos;
    return n;
}

// ---------------------------------------------------------------- X servers

namespace {

// Xorg with the dummy driver at 640x480, resizable through RandR up to 1024x768.
std::string dummy_xorg_config(const std::string& dir)
{
    const std::string path = dir + "/xorg.conf";
    std::ofstream(path)
        << "Section \"ServerFlags\"\n Option \"AutoAddDevices\" \"false\"\nEndSection\n"
           "Section \"Device\"\n Identifier \"d\"\n Driver \"dummy\"\n VideoRam 64000\n"
           "EndSection\nSection \"Monitor\"\n Identifier \"m\"\n HorizSync 5.0-1000.0\n"
           " VertRefresh 5.0-200.0\n Modeline \"640x480\" 25.18 640 656 752 800 480 490 492 525\n"
           "EndSection\nSection \"Screen\"\n Identifier \"s\"\n Device \"d\"\n Monitor \"m\"\n"
           " DefaultDepth 24\n SubSection \"Display\"\n  Depth 24\n  Modes \"640x480\"\n"
           "  Virtual 1024 768\n EndSubSection\nEndSection\n";
    return path;
}

} // namespace

XServer::XServer(XServerOptions options)
{
    static const std::string logs = temp_dir();
    static int counter = 0;
    const std::string log = logs + "/x-" + std::to_string(++counter);
    std::vector<std::string> argv;
    if (options.xorg_dummy)
        argv = {"Xorg",         "-config",  dummy_xorg_config(logs), "-configdir",
                logs + "/none", "-logfile", log + ".xorg.log"};
    else
        argv = {"Xvfb", "-screen", "0", options.screen};
    argv.insert(argv.end(), {"-displayfd", "@FD@", "-br", "-nolisten", "tcp", "-noreset"});
    argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
    ProcessOptions po;
    po.log_file = log + ".log";
    auto [p, line] = start_and_read_line(argv, po, true);
    process_ = std::move(p);
    if (line.find('\n') == std::string::npos) fail(argv[0] + " did not start: " + read_file(log + ".log"));
    display_ = ":" + std::to_string(std::stoi(line));
}

XServer::~XServer()
{
    process_->signal(SIGTERM);
    try {
        process_->wait();
    } catch (...) {
    }
}

void XServer::kill_server()
{
    process_->signal(SIGKILL);
    process_->wait();
}

// ---------------------------------------------------------------- images

uint32_t Image::pixel(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width || y >= height) fail("Image::pixel outside the image");
    const uint8_t* p =
        data.data() + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * (bits_per_pixel / 8);
    uint32_t v = 0;
    for (int i = bits_per_pixel / 8 - 1; i >= 0; --i) v = (v << 8) | p[i];
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
    for (auto it = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c)); it.rem; xcb_format_next(&it))
        if (it.data->depth == depth) return {it.data->bits_per_pixel, it.data->scanline_pad};
    fail("no pixmap format for depth " + std::to_string(depth));
}

// PutImage of w x h pixels value(x, y), cut to fit the maximum request.
void put_pixels(xcb_connection_t* c, xcb_window_t win, uint8_t depth, uint16_t w, uint16_t h,
                const std::function<uint32_t(int, int)>& value)
{
    const PixmapFormat f = format_of(c, depth);
    const uint32_t bytes = f.bpp / 8, stride = (w * f.bpp + f.pad - 1) / f.pad * (f.pad / 8);
    const uint32_t max_bytes = std::min<uint32_t>(xcb_get_maximum_request_length(c) * 4u - 64u, 1u << 20);
    const uint32_t rows_per_request = std::max<uint32_t>(1, max_bytes / std::max<uint32_t>(stride, 1));
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, win, 0, nullptr);
    std::vector<uint8_t> buf;
    for (uint32_t y0 = 0; y0 < h; y0 += rows_per_request) {
        const uint32_t rows = std::min<uint32_t>(rows_per_request, h - y0);
        buf.assign(static_cast<size_t>(stride) * rows, 0);
        for (uint32_t y = 0; y < rows; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const uint32_t v = value(static_cast<int>(x), static_cast<int>(y0 + y));
                uint8_t* p = buf.data() + static_cast<size_t>(y) * stride + x * bytes;
                for (uint32_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
            }
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, win, gc, w, static_cast<uint16_t>(rows), 0,
                      static_cast<int16_t>(y0), 0, depth, static_cast<uint32_t>(buf.size()), buf.data());
    }
    xcb_free_gc(c, gc);
}

} // namespace

Client::Client(const std::string& display)
{
    int screen_nbr = 0;
    c_ = xcb_connect(display.c_str(), &screen_nbr);
    if (int e = xcb_connection_has_error(c_)) {
        xcb_disconnect(c_);
        fail("cannot connect to " + display + " (xcb error " + std::to_string(e) + ")");
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screen_nbr && it.rem; ++i) xcb_screen_next(&it);
    screen_ = it.data;
}

Client::~Client()
{
    xcb_disconnect(c_);
}

xcb_atom_t Client::atom(const std::string& name)
{
    if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
    Owned<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
    if (!r) fail("InternAtom " + name + " failed");
    return atoms_[name] = r->atom;
}

void Client::sync()
{
    Owned<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    if (!r || xcb_connection_has_error(c_)) fail("the test client's X connection broke");
}

xcb_window_t Client::create_window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t border,
                                   bool override_redirect, xcb_window_t parent)
{
    xcb_window_t win = xcb_generate_id(c_);
    const uint32_t values[] = {0, 0x808080u & (depth() >= 32 ? ~0u : (1u << depth()) - 1), override_redirect};
    auto cookie =
        xcb_create_window_checked(c_, XCB_COPY_FROM_PARENT, win, parent ? parent : root(), x, y, w, h, border,
                                  XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                                  XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
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
    const uint32_t v[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y), width, height};
    xcb_configure_window(
        c_, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
        v);
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

void Client::draw_pattern(xcb_window_t w, uint32_t seed)
{
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
    if (!g) fail("draw_pattern: no such window");
    const uint8_t d = g->depth;
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

void Client::scroll(xcb_window_t w, int dy)
{
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
    if (!g || std::abs(dy) >= g->height) fail("scroll: no such window or too far");
    xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, w, 0, nullptr);
    const auto h = static_cast<uint16_t>(g->height - std::abs(dy));
    xcb_copy_area(c_, w, w, gc, 0, static_cast<int16_t>(dy < 0 ? -dy : 0), 0,
                  static_cast<int16_t>(dy > 0 ? dy : 0), g->width, h);
    xcb_free_gc(c_, gc);
    sync();
}

Image Client::get_image(xcb_drawable_t d, int16_t x, int16_t y, uint16_t w, uint16_t h)
{
    xcb_generic_error_t* e = nullptr;
    Owned<xcb_get_image_reply_t> r(
        xcb_get_image_reply(c_, xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, d, x, y, w, h, ~0u), &e));
    if (!r) {
        const int code = e ? e->error_code : -1;
        std::free(e);
        fail("GetImage failed with error " + std::to_string(code));
    }
    Image img;
    img.width = w;
    img.height = h;
    img.depth = r->depth;
    img.bits_per_pixel = format_of(c_, r->depth).bpp;
    const auto len = static_cast<size_t>(xcb_get_image_data_length(r.get()));
    img.stride = h ? static_cast<uint32_t>(len / h) : 0;
    img.data.assign(xcb_get_image_data(r.get()), xcb_get_image_data(r.get()) + len);
    return img;
}

Image Client::root_image()
{
    Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, root()), nullptr));
    if (!g) fail("root_image: no root geometry");
    return get_image(root(), 0, 0, g->width, g->height);
}

void Client::set_root_property(const std::string& name, const std::string& type, const std::string& value,
                               uint8_t format)
{
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, root(), atom(name), atom(type), format,
                        static_cast<uint32_t>(value.size() / (format / 8)), value.data());
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

std::vector<xcb_window_t> Client::root_window_list(const std::string& name)
{
    Owned<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, root(), atom(name), XCB_ATOM_WINDOW, 0, 0x1000000), nullptr));
    if (!r || r->format != 32) return {};
    auto* v = static_cast<const xcb_window_t*>(xcb_get_property_value(r.get()));
    return {v, v + xcb_get_property_value_length(r.get()) / 4};
}

std::vector<uint32_t> Client::client_bases(pid_t pid)
{
    xcb_res_client_id_spec_t every_pid{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    Owned<xcb_res_query_client_ids_reply_t> r(
        xcb_res_query_client_ids_reply(c_, xcb_res_query_client_ids(c_, 1, &every_pid), nullptr));
    std::vector<uint32_t> bases;
    if (!r) return bases;
    for (auto it = xcb_res_query_client_ids_ids_iterator(r.get()); it.rem; xcb_res_client_id_value_next(&it))
        if (xcb_res_client_id_value_value_length(it.data) == 1 &&
            static_cast<pid_t>(*xcb_res_client_id_value_value(it.data)) == pid)
            bases.push_back(it.data->spec.client);
    return bases;
}

void Client::send_root_message(const std::string& type, const std::vector<uint32_t>& data32)
{
    xcb_client_message_event_t e{};
    e.response_type = XCB_CLIENT_MESSAGE;
    e.format = 32;
    e.window = root();
    e.type = atom(type);
    for (size_t i = 0; i < data32.size() && i < 5; ++i) e.data.data32[i] = data32[i];
    xcb_send_event(c_, 0, root(), XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char*>(&e));
    sync();
}

bool Client::wait_event(Clock::time_point deadline)
{
    for (;;) {
        if (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(c_)}) return true;
        if (xcb_connection_has_error(c_)) fail("the test client's X connection broke");
        pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
        const int r = poll(&p, 1, remaining_ms(deadline));
        if (r == 0) return false;
    }
}

void Client::wait_for_root_list(const std::string& name,
                                const std::function<bool(const std::vector<xcb_window_t>&)>& pred)
{
    if (!root_events_) {
        const uint32_t mask[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
        xcb_change_window_attributes(c_, root(), XCB_CW_EVENT_MASK, mask);
        root_events_ = true;
    }
    const auto deadline = Clock::now() + kGuard;
    while (!pred(root_window_list(name))) // a round trip: later changes bring an event
        if (!wait_event(deadline)) fail("timed out waiting for the root's " + name);
}

void Client::wait_for_listed(xcb_window_t w)
{
    auto has = [w](const std::vector<xcb_window_t>& l) {
        return std::find(l.begin(), l.end(), w) != l.end();
    };
    wait_for_root_list("_NET_CLIENT_LIST", has);
    wait_for_root_list("_NET_CLIENT_LIST_STACKING", has);
}

xcb_window_t Client::wait_for_map(const std::function<bool(xcb_window_t, bool)>& pred)
{
    const uint32_t mask[] = {XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
    xcb_change_window_attributes(c_, root(), XCB_CW_EVENT_MASK, mask);
    root_events_ = true;
    Owned<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, root()), nullptr));
    const xcb_window_t* kids = tree ? xcb_query_tree_children(tree.get()) : nullptr;
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
        Owned<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, kids[i]), nullptr));
        if (a && a->map_state == XCB_MAP_STATE_VIEWABLE && a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT &&
            pred(kids[i], a->override_redirect != 0))
            return kids[i];
    }
    const auto deadline = Clock::now() + kGuard;
    for (;;) {
        while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(c_)}) {
            const auto* m = reinterpret_cast<const xcb_map_notify_event_t*>(ev.get());
            if ((ev->response_type & 0x7f) == XCB_MAP_NOTIFY && m->event == root() &&
                pred(m->window, m->override_redirect != 0))
                return m->window;
        }
        if (xcb_connection_has_error(c_)) fail("the test client's X connection broke");
        pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) == 0) fail("timed out waiting for a window to be mapped");
    }
}

void Client::wait_for_viewable(xcb_window_t w)
{
    const uint32_t mask[] = {XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_change_window_attributes(c_, w, XCB_CW_EVENT_MASK, mask);
    const auto deadline = Clock::now() + kGuard;
    for (;;) {
        xcb_generic_error_t* e = nullptr;
        Owned<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), &e));
        std::free(e);
        if (!a) fail("wait_for_viewable: the window is gone");
        if (a->map_state == XCB_MAP_STATE_VIEWABLE) return;
        if (!wait_event(deadline)) fail("timed out waiting for a window to become viewable");
    }
}

struct Painter::State {
    Client client;
    xcb_window_t window;
    bool random;
    std::atomic<bool> stop{false};
    std::thread thread;
    State(const std::string& display, xcb_window_t w, bool r) : client(display), window(w), random(r) {}
    void run()
    {
        Owned<xcb_get_geometry_reply_t> g(
            xcb_get_geometry_reply(client.c(), xcb_get_geometry(client.c(), window), nullptr));
        if (!g) return;
        uint32_t seed = 1, noise = 12345;
        while (!stop) {
            ++seed;
            put_pixels(client.c(), window, g->depth, g->width, g->height, [&](int x, int y) {
                noise = noise * 1664525u + 1013904223u;
                return random ? noise : pattern_pixel(seed, x, y, g->depth);
            });
            xcb_flush(client.c());
            Owned<xcb_get_input_focus_reply_t> r(
                xcb_get_input_focus_reply(client.c(), xcb_get_input_focus(client.c()), nullptr));
            if (!r) return;
        }
    }
};

Painter::Painter(const std::string& display, xcb_window_t window, bool random)
    : state_(std::make_unique<State>(display, window, random))
{
    state_->thread = std::thread([s = state_.get()] { s->run(); });
}

Painter::~Painter()
{
    state_->stop = true;
    state_->thread.join();
}

// ---------------------------------------------------------------- sessions

SeamlessSession::SeamlessSession(const std::string& display, SeamlessOptions options)
{
    const std::string log = temp_dir() + "/seamless-helper.log";
    ProcessOptions po;
    po.log_file = log;
    auto [p, line] = start_and_read_line({SEAMLESS_HELPER_PATH, display, "--mode-type=" + options.mode_type,
                                          "--mode-value=" + options.mode_value},
                                         po, false);
    process_ = std::move(p);
    if (line != "ready\n") fail("the seamless helper did not start: " + read_file(log));
}

SeamlessSession::~SeamlessSession()
{
    process_->signal(SIGTERM);
    try {
        process_->wait();
    } catch (...) {
    }
}

Display::Display(XServerOptions options, SeamlessOptions seamless)
    : server(std::move(options)), session(server.display(), std::move(seamless)), client(server.display())
{
}

xcb_window_t Display::window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t seed, uint16_t border)
{
    const xcb_window_t win = client.create_window(x, y, w, h, border);
    client.map(win);
    client.draw_pattern(win, seed);
    client.wait_for_listed(win);
    return win;
}

XpraSession::XpraSession(std::string screen)
{
    // xpra's helpers outlive it for a moment: reaped here instead of lingering
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    dir_ = temp_dir();
    for (const char* d : {"/sockets", "/conf", "/run"}) std::filesystem::create_directories(dir_ + d);
    std::ofstream(dir_ + "/conf/xpra.conf") << "start = \n";
    env_ = {"XPRA_USER_CONF_DIRS=" + dir_ + "/conf", "HOME=" + dir_, "XDG_RUNTIME_DIR=" + dir_ + "/run",
            "XDG_CONFIG_HOME=" + dir_ + "/conf"};
    std::vector<std::string> argv{"xpra",
                                  "start",
                                  "--daemon=no",
                                  "--socket-dirs=" + dir_ + "/sockets",
                                  "--socket-dir=" + dir_ + "/sockets",
                                  "--displayfd=@FD@",
                                  "--resize-display=no",
                                  "--xvfb=Xvfb +extension Composite -screen 0 " + screen +
                                      " -nolisten tcp -noreset"};
    for (const char* off :
         {"mdns", "pulseaudio", "notifications", "webcam", "printing", "file-transfer", "dbus-proxy",
          "dbus-control", "clipboard", "bell", "systemd-run", "tray", "start-new-commands",
          "exit-with-children", "start-via-proxy", "av-sync", "xsettings", "system-tray"})
        argv.push_back(std::string("--") + off + "=no");
    argv.insert(argv.end(),
                {"--dbus-launch=", "--html=off", "--speaker=off", "--microphone=off", "--video-encoders=none",
                 "--csc-modules=none", "--proxy-video-encoders=none", "--encodings=rgb"});
    ProcessOptions po;
    po.log_file = dir_ + "/server.log";
    po.env = env_;
    auto [p, line] = start_and_read_line(argv, po, true);
    server_ = std::move(p);
    if (line.find_first_of("0123456789") == std::string::npos)
        fail("xpra did not start: " + read_file(dir_ + "/server.log"));
    display_ = ":" + std::to_string(std::stoi(line.substr(line.find_first_of("0123456789"))));
    env_.push_back("DISPLAY=" + display_);
    {
        Client client(display_);
        client.wait_for_root_list("_NET_SUPPORTING_WM_CHECK", [](const auto& l) { return !l.empty(); });
        client.set_root_property("XPRA_SERVER_MODE", "UTF8_STRING", "seamless");
    }
    const std::string xvfb = run({"pgrep", "-P", std::to_string(server_->pid()), "-x", "Xvfb"}).out;
    x_server_pid_ = xvfb.empty() ? -1 : std::stoi(xvfb);
    attach();
}

void XpraSession::attach()
{
    if (client_) return;
    if (!client_display_)
        client_display_ = std::make_unique<XServer>(XServerOptions{"1280x800x24", {}, false});
    std::vector<std::string> env = env_;
    env.back() = "DISPLAY=" + client_display_->display();
    ProcessOptions po;
    po.log_file = dir_ + "/client.log";
    po.env = env;
    std::vector<std::string> argv{"xpra", "attach", display_, "--socket-dirs=" + dir_ + "/sockets"};
    for (const char* off : {"tray", "notifications", "webcam", "clipboard", "printing", "file-transfer",
                            "bell", "opengl", "mdns", "modal-windows", "pulseaudio", "xsettings"})
        argv.push_back(std::string("--") + off + "=no");
    argv.insert(argv.end(), {"--speaker=off", "--microphone=off", "--video-decoders=none",
                             "--csc-modules=none", "--encodings=rgb"});
    po.capture = false;
    client_ = std::make_unique<Process>(argv, po);
}

void XpraSession::detach()
{
    client_.reset(); // killed and reaped
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
    auto end = [](std::unique_ptr<Process>& p) {
        if (!p) return;
        p->signal(SIGTERM);
        try {
            p->wait();
        } catch (...) {
        }
        p.reset();
    };
    for (auto& p : programs_) end(p);
    programs_.clear();
    end(client_);
    client_display_.reset();
    end(server_);
    // xpra's X server has a process group of its own; once xpra is gone it is ours
    if (x_server_pid_ > 0) {
        kill(x_server_pid_, SIGTERM);
        int fd = static_cast<int>(syscall(SYS_pidfd_open, x_server_pid_, 0));
        pollfd p{fd, POLLIN, 0};
        if (fd < 0 || poll(&p, 1, static_cast<int>(kGuard.count())) <= 0) kill(x_server_pid_, SIGKILL);
        if (fd >= 0) close(fd);
        int st;
        waitpid(x_server_pid_, &st, 0);
        x_server_pid_ = -1;
    }
}

XpraSession::~XpraSession()
{
    stop();
}

// ---------------------------------------------------------------- recorder

#ifdef RECORDER_PATH
Recorder::Recorder(std::vector<std::string> args, ProcessOptions options)
    : Process(
          [&] {
              args.insert(args.begin(), RECORDER_PATH);
              return args;
          }(),
          [&] {
              options.pipe_stdin = true;
              return options;
          }())
{
}

int Recorder::stop()
{
    signal(SIGTERM);
    return wait();
}
#endif

// ---------------------------------------------------------------- object store

namespace {

const char* const store_access_key = "zel-test";
const char* const store_secret_key = "zel-test-secret";
const char* const cluster_fsid = "5b0c3a8e-2f4d-4c1e-9a57-0d6e3f1b2c44";
const char* const empty_sha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

int free_tcp_port()
{
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (s.fd < 0 || bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s.fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        fail_errno("a free TCP port");
    return ntohs(a.sin_port);
}

void run_checked(const std::vector<std::string>& argv)
{
    RunResult r = run(argv);
    if (r.status != 0)
        fail(argv[0] + " failed with status " + std::to_string(r.status) + ": " + r.err + r.out);
}

size_t occurrences(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Waits (inotify on its folder) until the log file holds the text `count`
// times; fails when the daemon ends first.
void wait_for_log(const std::string& path, const std::string& text, size_t count, Process& daemon)
{
    Fd fd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const std::string dir = std::filesystem::path(path).parent_path();
    if (fd.fd < 0 || inotify_add_watch(fd.fd, dir.c_str(), IN_CREATE | IN_MODIFY) < 0)
        fail_errno("inotify on " + dir);
    const auto deadline = Clock::now() + kGuard;
    while (occurrences(read_file(path), text) < count) {
        if (!daemon.running()) fail("the daemon logging to " + path + " ended: " + read_file(path));
        pollfd p{fd.fd, POLLIN, 0};
        if (poll(&p, 1, std::min(remaining_ms(deadline), 1000)) == 0 && Clock::now() >= deadline)
            fail("timed out waiting for \"" + text + "\" in " + path);
        char buf[4096];
        while (::read(fd.fd, buf, sizeof buf) > 0) {}
    }
}

// One monitor, one OSD keeping objects in memory, pools of one copy and one
// placement group, quick monitor proposals: the cluster starts in seconds.
// The OSD forgets a killed gateway's watches after 2 s, so that a gateway
// started again does not wait for it.
void write_ceph_config(const std::string& dir, int monitor_port, int gateway_port)
{
    std::ofstream(dir + "/ceph.conf")
        << "[global]\nfsid = " << cluster_fsid << "\n"
        << "mon host = v2:127.0.0.1:" << monitor_port << "\npublic addr = 127.0.0.1\n"
        << "auth cluster required = cephx\nauth service required = cephx\nauth client required = cephx\n"
        << "keyring = " << dir << "/keyring\nrun dir = " << dir << "/run\n"
        << "admin socket = " << dir << "/run/$name.asok\nlog file = " << dir << "/log/$name.log\n"
        << "pid file =\nmon data = " << dir << "/mon\nosd data = " << dir << "/osd\n"
        << "osd objectstore = memstore\nmemstore device bytes = 1073741824\n"
        << "osd pool default size = 1\nosd pool default min size = 1\nosd pool default pg num = 1\n"
        << "osd pool default pgp num = 1\nosd pool default pg autoscale mode = off\n"
        << "mon allow pool size one = true\nmon warn on pool no redundancy = false\n"
        << "osd crush chooseleaf type = 0\nms bind ipv6 = false\nms bind msgr1 = false\n"
        << "paxos propose interval = 0.01\npaxos min wait = 0.001\nmgr initial modules =\n"
        << "rgw frontends = beast tcp_nodelay=1 endpoint=127.0.0.1:" << gateway_port << "\n"
        << "rgw data = " << dir << "/rgw\nrgw enable usage log = false\nosd client watch timeout = 2\n";
}

} // namespace

bool ObjectStore::available()
{
    for (const char* program : {"ceph-mon", "ceph-osd", "radosgw", "radosgw-admin", "ceph-authtool", "curl"})
        if (run({"sh", "-c", std::string("command -v ") + program}).status != 0) return false;
    return true;
}

ObjectStore::ObjectStore() : dir_(temp_dir())
{
    for (const char* sub : {"/mon", "/osd", "/run", "/log", "/rgw"})
        std::filesystem::create_directory(dir_ + sub);
    const int monitor_port = free_tcp_port(), gateway_port = free_tcp_port();
    write_ceph_config(dir_, monitor_port, gateway_port);
    endpoint_ = "http://127.0.0.1:" + std::to_string(gateway_port);
    const std::string conf = dir_ + "/ceph.conf", keyring = dir_ + "/keyring";
    run_checked(
        {"ceph-authtool", "--create-keyring", keyring, "--gen-key", "-n", "mon.", "--cap", "mon", "allow *"});
    for (auto [name, mon, osd] : {std::array<const char*, 3>{"client.admin", "allow *", "allow *"},
                                  {"osd.0", "allow profile osd", "allow *"},
                                  {"client.rgw", "allow rw", "allow rwx"}})
        run_checked(
            {"ceph-authtool", keyring, "--gen-key", "-n", name, "--cap", "mon", mon, "--cap", "osd", osd});
    run_checked({"monmaptool", "--create", "--fsid", cluster_fsid, "--addv", "a",
                 "[v2:127.0.0.1:" + std::to_string(monitor_port) + "]", dir_ + "/monmap"});
    run_checked(
        {"ceph-mon", "-c", conf, "--mkfs", "-i", "a", "--monmap", dir_ + "/monmap", "--keyring", keyring});
    ProcessOptions po;
    po.capture = false;
    po.log_file = dir_ + "/log/daemons.out";
    monitor_ =
        std::make_unique<Process>(std::vector<std::string>{"ceph-mon", "-c", conf, "-i", "a", "-f"}, po);
    run_checked({"ceph-osd", "-c", conf, "-i", "0", "--mkfs", "--osd-uuid",
                 "0e5e7c1a-6b0f-4f0e-8d8c-3b9b8f2a7d15", "--monmap", dir_ + "/monmap"});
    osd_ = std::make_unique<Process>(std::vector<std::string>{"ceph-osd", "-c", conf, "-i", "0", "-f"}, po);
    // A gateway that starts before the OSD is up waits for the objecter's next tick (5 s).
    wait_for_log(dir_ + "/log/osd.0.log", "state: booting -> active", 1, *osd_);
    start_gateway();
    run_checked({"radosgw-admin", "-c", conf, "-n", "client.admin", "user", "create", "--uid", "zel",
                 "--display-name", "zel", "--access-key", store_access_key, "--secret", store_secret_key});
    run_checked({"curl", "-sSf", "--aws-sigv4", "aws:amz:us-east-1:s3", "--user",
                 std::string(store_access_key) + ":" + store_secret_key, "-H",
                 std::string("x-amz-content-sha256: ") + empty_sha256, "-H",
                 "x-amz-bucket-object-lock-enabled: true", "-X", "PUT", endpoint_ + "/" + bucket_});
}

ObjectStore::~ObjectStore()
{
    gateway_.reset();
    osd_.reset();
    monitor_.reset();
}

std::vector<std::string> ObjectStore::credentials() const
{
    return {std::string("AWS_ACCESS_KEY_ID=") + store_access_key,
            std::string("AWS_SECRET_ACCESS_KEY=") + store_secret_key};
}

void ObjectStore::stop_gateway()
{
    gateway_->signal(SIGKILL);
    gateway_->wait();
}

void ObjectStore::start_gateway()
{
    ProcessOptions po;
    po.capture = false;
    po.log_file = dir_ + "/log/daemons.out";
    gateway_ = std::make_unique<Process>(
        std::vector<std::string>{"radosgw", "-c", dir_ + "/ceph.conf", "-n", "client.rgw", "-f"}, po);
    wait_for_log(dir_ + "/log/client.rgw.log", "starting handler: beast", ++gateway_starts_, *gateway_);
}

// ---------------------------------------------------------------- recordings

std::vector<const ZelRecord*> Recording::of_type(ZelRecordType type) const
{
    std::vector<const ZelRecord*> out;
    for (const auto& r : records)
        if (r->type == type) out.push_back(r.get());
    return out;
}

size_t Recording::images() const
{
    size_t n = 0;
    for (const auto& r : records)
        n += r->type == ZEL_COMPRESSED_IMAGE || r->type == ZEL_COMPRESSED_IMAGE_BLOCKS ||
             r->type == ZEL_IMAGE || r->type == ZEL_IMAGE_BLOCKS;
    return n;
}

std::vector<std::string> Recording::items(ZelRecordType type) const
{
    std::vector<std::string> out;
    for (const ZelRecord* r : of_type(type))
        out.emplace_back(reinterpret_cast<const char*>(reinterpret_cast<const ZelFooterItem*>(r)->item));
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

Recording wait_for_records(const std::string& path, const std::function<bool(const Recording&)>& pred,
                           Process* alive, std::chrono::milliseconds guard)
{
    const std::filesystem::path p(path);
    Fd fd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (fd.fd < 0 ||
        inotify_add_watch(fd.fd, p.parent_path().c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE) < 0)
        fail_errno("inotify on " + p.parent_path().string());
    const auto deadline = Clock::now() + guard;
    for (;;) {
        Recording rec = read_recording(path);
        if (rec.status == ZEL_READ_CORRUPT) fail("recording " + path + " is corrupt: " + rec.problem);
        if (pred(rec)) return rec;
        if (alive && !alive->running())
            fail("the recorder ended (status " + std::to_string(alive->wait()) +
                 ") before the recording held what was awaited; stderr: " + alive->err());
        // a process end brings no file event: look again at least every second
        pollfd pf{fd.fd, POLLIN, 0};
        if (poll(&pf, 1, std::min(remaining_ms(deadline), 1000)) == 0 && Clock::now() >= deadline)
            fail("timed out waiting for records in " + path + " (" + std::to_string(rec.records.size()) +
                 " read, " + zel_read_status_to_string(rec.status) + ")");
        char buf[4096];
        while (::read(fd.fd, buf, sizeof buf) > 0) {}
    }
}

Replayed replay(const Recording& recording)
{
    Replayed out;
    std::unique_ptr<ZelReplay, void (*)(ZelReplay*)> r(zel_replay_new(), zel_replay_free);
    for (const auto& rec : recording.records)
        if (zel_replay_apply(r.get(), rec.get()) != 0)
            fail(std::string("a ") + zel_record_type_to_string(static_cast<ZelRecordType>(rec->type)) +
                 " record does not apply");
    uint32_t stride = 0;
    const uint8_t* canvas = zel_replay_canvas(r.get(), &stride);
    if (!canvas) return out;
    const auto* header = reinterpret_cast<const ZelHeader*>(recording.of_type(ZEL_HEADER).front());
    out.ok = true;
    out.image.width = zel_replay_width(r.get());
    out.image.height = zel_replay_height(r.get());
    out.image.depth = header->depth;
    out.image.bits_per_pixel = static_cast<uint8_t>(pixel_format_bytes_per_pixel(header->pixel_format) * 8);
    out.image.stride = stride;
    out.image.data.assign(canvas, canvas + static_cast<size_t>(stride) * out.image.height);
    return out;
}

size_t differing_pixels(const Image& a, const Image& b, xcb_rectangle_t r)
{
    if (r.width == 0) r = {0, 0, a.width, a.height};
    if (a.width != b.width || a.height != b.height) return static_cast<size_t>(r.width) * r.height;
    size_t n = 0;
    for (int y = r.y; y < r.y + r.height; ++y)
        for (int x = r.x; x < r.x + r.width; ++x) n += a.pixel(x, y) != b.pixel(x, y);
    return n;
}

void wait_for_picture(const std::string& path, const Image& expected, Process* alive,
                      std::chrono::milliseconds guard)
{
    wait_for_picture(
        path, [&] { return expected; }, alive, guard);
}

void wait_for_picture(const std::string& path, const std::function<Image()>& expected, Process* alive,
                      std::chrono::milliseconds guard)
{
    size_t differing = 0;
    try {
        wait_for_records(
            path,
            [&](const Recording& rec) {
                const Replayed shown = replay(rec);
                differing = shown.ok ? differing_pixels(expected(), shown.image) : ~size_t{0};
                return differing == 0;
            },
            alive, guard);
    } catch (const std::runtime_error& e) {
        fail(std::string(e.what()) + "; " + std::to_string(differing) + " pixels differ from what is shown");
    }
}

void wait_for_screen(const std::string& path, Client& client, Process* alive)
{
    wait_for_picture(path, client.root_image(), alive);
}

Image compose_windows(Client& client, const std::vector<xcb_window_t>& bottom_to_top)
{
    xcb_connection_t* c = client.c();
    xcb_grab_server(c);
    Image screen = client.root_image();
    std::fill(screen.data.begin(), screen.data.end(), 0);
    const size_t bytes = screen.bits_per_pixel / 8;
    for (xcb_window_t w : bottom_to_top) {
        Owned<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr));
        Owned<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, w, client.root(), 0, 0), nullptr));
        if (!g || !t) fail("compose_windows: a window is gone");
        const xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_composite_name_window_pixmap(c, w, pixmap);
        const int bw = g->border_width, x0 = t->dst_x - bw, y0 = t->dst_y - bw;
        const Image own = client.get_image(pixmap, 0, 0, static_cast<uint16_t>(g->width + 2 * bw),
                                           static_cast<uint16_t>(g->height + 2 * bw));
        xcb_free_pixmap(c, pixmap);
        for (int y = std::max(0, -y0); y < own.height && y0 + y < screen.height; ++y)
            for (int x = std::max(0, -x0); x < own.width && x0 + x < screen.width; ++x)
                std::memcpy(&screen.data[static_cast<size_t>(y0 + y) * screen.stride +
                                         static_cast<size_t>(x0 + x) * bytes],
                            &own.data[static_cast<size_t>(y) * own.stride + static_cast<size_t>(x) * bytes],
                            bytes);
    }
    xcb_ungrab_server(c);
    client.sync();
    return screen;
}

} // namespace xtest
