// The real test display: Xvfb servers on free displays, an X client for the
// test itself, the seamless-session helper, real xpra sessions, and the
// recorder run as a subprocess.  Everything started here is stopped and
// reaped by the destructors, also when a test fails half way.
//
// Nothing here sleeps for a guessed time: waits are on X round trips,
// property-change events, process exits and pipe output; the guard timeout
// only turns a hang into a test failure (an exception with a message).
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zel.h"

namespace xtest {

// The failure guard of every wait in this harness.
constexpr std::chrono::milliseconds kGuard{30000};

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the process that made it exits.
std::string temp_dir();

// ---------------------------------------------------------------- processes

struct ProcessOptions {
    std::vector<std::string> env; // "NAME=value" entries added to the environment
    bool pipe_stdin = false;      // give the child a pipe as standard input
    bool capture = true;          // collect stdout and stderr (else they go to log_file)
    std::string log_file;         // with capture false: stdout+stderr appended here ("" = /dev/null)
    bool own_group = true;        // own process group; the destructor kills the group
    std::vector<int> keep_fds;    // descriptors the child keeps open (same numbers)
    int stdout_fd = -1;           // with capture false: the child's stdout (stderr to log_file)
};

// A child process.  Killed (with its process group) and reaped by the
// destructor if it is still running.
class Process {
  public:
    explicit Process(std::vector<std::string> argv, ProcessOptions options = {});
    virtual ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running(); // not yet exited
    void write_stdin(const std::string& data);
    void close_stdin();
    void signal(int sig); // to the process itself
    // Waits for the exit: the exit status, or 128 + signal number.  Throws
    // after the guard (the child is then killed).
    int wait(std::chrono::milliseconds guard = kGuard);
    std::optional<int> status() const { return status_; }
    // Copies of what the child wrote so far.
    std::string out() const;
    std::string err() const;
    // Waits until the child's stdout (or stderr) contains needle; false when
    // the child closed it first.  Throws after the guard.
    bool wait_for_output(const std::string& needle, bool on_stderr = false,
                         std::chrono::milliseconds guard = kGuard);

  private:
    struct Capture;
    void kill_all();
    void reap(std::chrono::milliseconds guard);
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stdin_fd_ = -1;
    bool own_group_ = true;
    std::optional<int> status_;
    std::unique_ptr<Capture> capture_;
};

// ---------------------------------------------------------------- Xvfb

struct XvfbOptions {
    std::string screen = "640x480x24";   // -screen 0 <screen>
    std::vector<std::string> extra_args; // e.g. {"-extension", "XTEST"}
};

// Xvfb on a free display chosen by the server itself (-displayfd), with a
// black root (-br), no TCP, no reset.  Stopped and reaped by the destructor.
class Xvfb {
  public:
    explicit Xvfb(XvfbOptions options = {});
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    const std::string& display() const { return display_; } // ":N"
    int number() const { return number_; }
    pid_t pid() const;
    void kill_server(); // SIGKILL now and reap (fault tests)

  private:
    std::string log_;
    std::unique_ptr<Process> process_;
    std::string display_;
    int number_ = -1;
};

// An X display of its own that forwards every connection to a real server
// (tests/support/x-proxy.cpp) and lies where asked: hide = extension names
// whose QueryExtension reply says "not present" (as the client spells them:
// "Composite", "DAMAGE", "RANDR", "RECORD", "XFIXES", "XTEST"); broken =
// {name, minor opcode} pairs whose requests the server answers with an error.
class XProxy {
  public:
    XProxy(const std::string& upstream, std::vector<std::string> hide,
           std::vector<std::pair<std::string, int>> broken = {});
    ~XProxy();
    XProxy(const XProxy&) = delete;
    XProxy& operator=(const XProxy&) = delete;
    const std::string& display() const { return display_; }

  private:
    std::unique_ptr<Process> process_;
    std::string display_;
};

// ---------------------------------------------------------------- images

// A ZPixmap image as the server delivered it.
struct Image {
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t depth = 0;
    uint8_t bits_per_pixel = 0;
    uint32_t stride = 0; // bytes per line
    std::vector<uint8_t> data;
    // The pixel at (x, y) in host order, masked to the depth.
    uint32_t pixel(int x, int y) const;
};

// The value the pattern of seed has at (x, y) of a window, masked to depth.
uint32_t pattern_pixel(uint32_t seed, int x, int y, uint8_t depth);

// ---------------------------------------------------------------- client

// One xcb connection for the test itself.
class Client {
  public:
    explicit Client(const std::string& display);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    xcb_connection_t* c() const { return c_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    uint8_t depth() const { return screen_->root_depth; }

    xcb_atom_t atom(const std::string& name);
    std::string atom_name(xcb_atom_t atom);
    void sync(); // GetInputFocus round trip; throws if the connection broke

    // A top-level InputOutput window of the root depth and visual, black
    // inside, border of colour border_pixel; not mapped.
    xcb_window_t create_window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t bw = 0,
                               bool override_redirect = false, uint32_t border_pixel = 0x808080);
    void map(xcb_window_t w);
    void unmap(xcb_window_t w);
    void destroy(xcb_window_t w);
    void move_resize(xcb_window_t w, int16_t x, int16_t y, uint16_t width, uint16_t height);
    void raise(xcb_window_t w);
    void lower(xcb_window_t w);
    // 0 unmapped, 1 unviewable, 2 viewable; nullopt when the window is gone.
    std::optional<uint8_t> map_state(xcb_window_t w);
    bool window_exists(xcb_window_t w);

    // Fills the window's inside with pattern_pixel(seed, x, y) (PutImage), then syncs.
    void draw_pattern(xcb_window_t w, uint32_t seed);
    // Fills the window's inside with one pixel value, then syncs.
    void fill(xcb_window_t w, uint32_t pixel);
    Image get_image(xcb_drawable_t d, int16_t x, int16_t y, uint16_t w, uint16_t h);
    Image root_image(); // the whole screen as the server composes it

    // Root-window properties.
    void set_root_property(const std::string& name, const std::string& type,
                           const std::string& value); // format 8
    void set_root_window_list(const std::string& name, const std::vector<xcb_window_t>& ids);
    void delete_root_property(const std::string& name);
    // The value and type name of a root property; nullopt when absent.
    std::optional<std::pair<std::string, std::string>> root_property(const std::string& name);
    std::vector<xcb_window_t> root_window_list(const std::string& name);
    // Waits (on PropertyNotify events of the root, no sleeping) until pred
    // holds on the window list in the root property name.
    void wait_for_root_list(const std::string& name,
                            const std::function<bool(const std::vector<xcb_window_t>&)>& pred,
                            std::chrono::milliseconds guard = kGuard);
    void wait_for_client_list(const std::function<bool(const std::vector<xcb_window_t>&)>& pred,
                              std::chrono::milliseconds guard = kGuard);
    void wait_for_stacking(const std::function<bool(const std::vector<xcb_window_t>&)>& pred,
                           std::chrono::milliseconds guard = kGuard);
    // Waits (on the window's visibility and structure events) until the
    // window is viewable.
    void wait_for_viewable(xcb_window_t w, std::chrono::milliseconds guard = kGuard);
    // Waits until the root property name exists (any type).
    void wait_for_root_property(const std::string& name, std::chrono::milliseconds guard = kGuard);

  private:
    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    bool root_events_selected_ = false;
    std::map<std::string, xcb_atom_t> atoms_;
    void select_root_property_events();
    bool wait_event(std::chrono::steady_clock::time_point deadline);
};

// ---------------------------------------------------------------- seamless helper

enum class ModeType { Utf8String, String, Absent };

struct SeamlessOptions {
    ModeType mode_type = ModeType::Utf8String;
    std::string mode_value = "seamless";
    bool list_from_create = false; // list windows from creation instead of first map
    bool redirect = true;          // keep top-level windows redirected (COMPOSITE, automatic)
};

// The seamless-session helper program (tests/support/seamless-helper.cpp)
// on a display: it sets XPRA_SERVER_MODE as asked, keeps every top-level
// window redirected off-screen, and keeps _NET_CLIENT_LIST (listing order)
// and _NET_CLIENT_LIST_STACKING (bottom to top) up to date.  Windows are
// listed from their first map (or creation) until they are destroyed;
// override-redirect windows are never listed.  The constructor returns once
// the helper said "ready"; the destructor stops it with SIGTERM, after which
// its root properties are gone.
class SeamlessSession {
  public:
    explicit SeamlessSession(const std::string& display, SeamlessOptions options = {});
    SeamlessSession(const std::string& display, ModeType type, std::string value = "seamless");
    ~SeamlessSession();
    SeamlessSession(const SeamlessSession&) = delete;
    SeamlessSession& operator=(const SeamlessSession&) = delete;
    pid_t pid() const { return process_->pid(); }
    // SIGTERM and wait; the exit status (0 when it stopped cleanly).
    int stop();

  private:
    std::unique_ptr<Process> process_;
    std::string log_; // the helper's standard error
};

// ---------------------------------------------------------------- xpra

// A real xpra 3.1 seamless server with its own Xvfb, sockets and
// configuration in a temporary directory, XPRA_SERVER_MODE set on its root
// (xprop 8u, UTF8_STRING), and optionally an xpra client attached from a
// second Xvfb so that its windows become viewable.
class XpraSession {
  public:
    explicit XpraSession(bool attach = true, std::string screen = "1280x800x24+32");
    ~XpraSession();
    XpraSession(const XpraSession&) = delete;
    XpraSession& operator=(const XpraSession&) = delete;

    const std::string& display() const { return display_; }
    const std::string& dir() const { return dir_; }
    pid_t server_pid() const { return server_ ? server_->pid() : -1; }
    pid_t x_server_pid() const { return x_server_pid_; } // the Xvfb xpra runs
    // Starts a program on the session's display (killed in the destructor).
    Process& start(std::vector<std::string> argv);
    // Attaches an xpra client (from the client Xvfb); waits until it is connected.
    void attach();
    bool attached() const { return client_ != nullptr; }
    // Orderly end: programs, client, server; every process reaped.
    void stop();

  private:
    std::string dir_;
    std::string display_;
    std::vector<std::string> env_;
    std::unique_ptr<Process> server_;
    pid_t x_server_pid_ = -1;
    std::unique_ptr<Xvfb> client_display_;
    std::unique_ptr<Process> client_;
    std::vector<std::unique_ptr<Process>> programs_;
};

// ---------------------------------------------------------------- recorder

#ifdef RECORDER_PATH
// The recorder (RECORDER_PATH) as a subprocess; args follow argv[0].
class Recorder : public Process {
  public:
    explicit Recorder(std::vector<std::string> args, bool keep_stdin_open = true);
};
#endif

// ---------------------------------------------------------------- recordings

struct ZelRecordFree {
    void operator()(ZelRecord* r) const noexcept { zel_record_free(r); }
};
using RecordPtr = std::unique_ptr<ZelRecord, ZelRecordFree>;
using Records = std::vector<RecordPtr>;

// Every record of a recording as it is now, and how the reading ended
// (ZEL_READ_END for a complete file, ZEL_READ_TRUNCATED while it is still
// being written; problem tells what went wrong otherwise).
struct Recording {
    Records records;
    ZelReadStatus status = ZEL_READ_ERROR;
    std::string problem;
    // the records of one type, in file order
    std::vector<const ZelRecord*> of_type(ZelRecordType type) const;
    template <typename T>
    const T* first(ZelRecordType type) const
    {
        auto v = of_type(type);
        return v.empty() ? nullptr : reinterpret_cast<const T*>(v.front());
    }
};
Recording read_recording(const std::string& path);

// Re-reads the recording each time the file changes (inotify, no polling)
// until pred holds on the records read so far; returns that reading.
// Throws after the guard, and when the file turns out corrupt.
Recording wait_for_records(const std::string& path, const std::function<bool(const Records&)>& pred,
                           std::chrono::milliseconds guard = kGuard);

// A child of parent whose command name starts with prefix, or -1.
pid_t child_named(pid_t parent, const std::string& prefix);

// A subprocess of any program with captured output; the whole run.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};
RunResult run(std::vector<std::string> argv, std::vector<std::string> env = {},
              std::chrono::milliseconds guard = kGuard);

} // namespace xtest
