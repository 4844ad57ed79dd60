// The one test harness: processes, temporary directories, the journal
// through its real socket, real X servers (Xvfb, Xorg with the dummy
// driver), an X client for the test itself, the seamless-session helper,
// real xpra sessions, the recorder as a subprocess, and recordings read
// and replayed through libzel.  Everything started here is stopped and
// reaped by the destructors, also when a test fails half way.
//
// Nothing here sleeps for a guessed time: waits are on X round trips,
// property-change events, process exits, pipe output and inotify; the
// guard only turns a hang into a failure (an exception with a message).
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

// A failure guard only: no test waits for it to pass.  Sanitized builds run
// several times slower, two tests at a time on two cores.
#ifdef PELK_SANITIZED
constexpr std::chrono::milliseconds kGuard{90000};
#else
constexpr std::chrono::milliseconds kGuard{30000};
#endif

// A fresh directory, removed with its contents when the test program exits.
std::string temp_dir();
std::string read_file(const std::string& path);

// ---------------------------------------------------------------- processes

struct ProcessOptions {
    std::vector<std::string> env; // "NAME=value" added to the environment
    bool pipe_stdin = false;      // a pipe as standard input (else /dev/null)
    bool capture = true;          // collect stdout and stderr (else to log_file or /dev/null)
    std::string log_file;
    int stdout_fd = -1;           // with capture false: the child's standard output
    std::vector<int> keep_fds;    // descriptors the child keeps, same numbers
    std::string journal_socket;   // run in a private mount namespace logging here (Journal)
    uint64_t file_size_limit = 0; // RLIMIT_FSIZE in bytes: writes past it fail (a full disk)
};

// A child in its own process group; the group is killed and reaped by the
// destructor if it still runs.
class Process {
  public:
    explicit Process(std::vector<std::string> argv, ProcessOptions options = {});
    virtual ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void write_stdin(const std::string& data);
    // Until the child has read everything written to its standard input.
    void wait_stdin_taken();
    void close_stdin();
    void signal(int sig);
    // The exit status, or 128 + the signal number; throws after the guard.
    int wait(std::chrono::milliseconds guard = kGuard);
    std::string out() const;
    std::string err() const;
    // Waits until standard output holds needle; false when it closed first.
    bool wait_for_output(const std::string& needle, std::chrono::milliseconds guard = kGuard);

  private:
    struct Capture;
    void reap(std::chrono::milliseconds guard);
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stdin_fd_ = -1;
    std::optional<int> status_;
    std::unique_ptr<Capture> capture_;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};
RunResult run(std::vector<std::string> argv, ProcessOptions options = {});

// Exit status of `zeldump --verify path`, its output in *output.
int zeldump_verify(const std::string& path, std::string* output = nullptr);

// ---------------------------------------------------------------- journal

// A socket that speaks the journal's native protocol; a process run with
// ProcessOptions::journal_socket set to path() logs here.  Needs root (a
// private mount namespace); available() says whether it can be used.
class Journal {
  public:
    Journal();
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    static bool available();
    const std::string& path() const { return path_; }
    const std::vector<std::string>& messages(); // the entries' messages so far
    size_t count(const std::string& text);      // messages that contain text
    // Until a message contains text; throws after the guard.
    void wait_for(const std::string& text, std::chrono::milliseconds guard = kGuard);

  private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};

// ---------------------------------------------------------------- X servers

struct XServerOptions {
    std::string screen = "640x480x24"; // WxHxD
    std::vector<std::string> extra_args;
    bool xorg_dummy = false; // Xorg with the dummy driver: a root that RandR can resize
};

// An X server on a free display (-displayfd), black root, no TCP, no reset.
class XServer {
  public:
    explicit XServer(XServerOptions options = {});
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    const std::string& display() const { return display_; }
    pid_t pid() const { return process_->pid(); }
    void kill_server(); // SIGKILL and reap

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
    uint32_t stride = 0;
    std::vector<uint8_t> data;
    uint32_t pixel(int x, int y) const; // host order, masked to the depth
};

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
    void sync(); // a round trip; throws when the connection broke

    // A window of the root depth, black, not mapped.
    xcb_window_t create_window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t border = 0,
                               bool override_redirect = false, xcb_window_t parent = XCB_NONE);
    void map(xcb_window_t w);
    void unmap(xcb_window_t w);
    void destroy(xcb_window_t w);
    void move_resize(xcb_window_t w, int16_t x, int16_t y, uint16_t width, uint16_t height);
    void raise(xcb_window_t w);
    void lower(xcb_window_t w);
    void draw_pattern(xcb_window_t w, uint32_t seed); // pattern_pixel over the inside
    void fill(xcb_window_t w, uint32_t pixel);
    // Copies rows of the window's inside down (dy > 0) or up, as a terminal scrolls.
    void scroll(xcb_window_t w, int dy);
    Image get_image(xcb_drawable_t d, int16_t x, int16_t y, uint16_t w, uint16_t h);
    Image root_image(); // the screen as the server composes it

    void set_root_property(const std::string& name, const std::string& type, const std::string& value,
                           uint8_t format = 8);
    void set_root_window_list(const std::string& name, const std::vector<xcb_window_t>& ids);
    void delete_root_property(const std::string& name);
    std::vector<xcb_window_t> root_window_list(const std::string& name);
    // The resource-id bases of the connections of a local process (X-Resource).
    std::vector<uint32_t> client_bases(pid_t pid);
    uint32_t id_mask() const { return xcb_get_setup(c_)->resource_id_mask; }
    // A client message to the root (the last-input members' protocol).
    void send_root_message(const std::string& type, const std::vector<uint32_t>& data32);
    // Waits on property events of the root until pred holds on the list.
    void wait_for_root_list(const std::string& name,
                            const std::function<bool(const std::vector<xcb_window_t>&)>& pred);
    void wait_for_listed(xcb_window_t w); // in _NET_CLIENT_LIST and _NET_CLIENT_LIST_STACKING
    void wait_for_viewable(xcb_window_t w);
    // A viewable child of the root for which pred(window, override_redirect)
    // holds: one there already, or the next one mapped.
    xcb_window_t wait_for_map(const std::function<bool(xcb_window_t, bool)>& pred);

  private:
    bool wait_event(std::chrono::steady_clock::time_point deadline);
    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    bool root_events_ = false;
    std::map<std::string, xcb_atom_t> atoms_;
};

// A thread with a connection of its own that repaints a window with a new
// pattern (or random pixels) over and over until it is destroyed.
class Painter {
  public:
    Painter(const std::string& display, xcb_window_t window, bool random = false);
    ~Painter();
    Painter(const Painter&) = delete;
    Painter& operator=(const Painter&) = delete;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------- sessions

// The seamless-session helper (tests/support/seamless-helper.cpp): sets
// XPRA_SERVER_MODE, keeps every child of the root redirected (automatic: the
// root still shows the composed screen), keeps _NET_CLIENT_LIST and
// _NET_CLIENT_LIST_STACKING of the managed (not override-redirect) windows.
struct SeamlessOptions {
    std::string mode_type = "utf8"; // utf8, string or absent
    std::string mode_value = "seamless";
};

class SeamlessSession {
  public:
    explicit SeamlessSession(const std::string& display, SeamlessOptions options = {});
    ~SeamlessSession();
    SeamlessSession(const SeamlessSession&) = delete;
    SeamlessSession& operator=(const SeamlessSession&) = delete;

  private:
    std::unique_ptr<Process> process_;
};

// An X server, the seamless helper on it, and a client: the usual display.
struct Display {
    explicit Display(XServerOptions options = {}, SeamlessOptions seamless = {});
    XServer server;
    SeamlessSession session;
    Client client;
    const std::string& name() const { return server.display(); }
    // A mapped, listed window of the pattern seed, drawn and synced.
    xcb_window_t window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t seed, uint16_t border = 0);
};

// A real xpra 3.1 seamless server in a temporary directory with
// XPRA_SERVER_MODE set, and an xpra client attached from a second Xvfb so
// that its windows become viewable.
class XpraSession {
  public:
    explicit XpraSession(std::string screen = "1280x800x24+32");
    ~XpraSession();
    XpraSession(const XpraSession&) = delete;
    XpraSession& operator=(const XpraSession&) = delete;
    const std::string& display() const { return display_; }
    pid_t x_server_pid() const { return x_server_pid_; }
    Process& start(std::vector<std::string> argv); // a program on the session
    void attach();                                 // an xpra client; returns once it runs
    void detach();                                 // kills the client
    void stop();

  private:
    std::string dir_;
    std::string display_;
    std::vector<std::string> env_;
    std::unique_ptr<Process> server_;
    pid_t x_server_pid_ = -1;
    std::unique_ptr<XServer> client_display_;
    std::unique_ptr<Process> client_;
    std::vector<std::unique_ptr<Process>> programs_;
};

// ---------------------------------------------------------------- recorder

#ifdef RECORDER_PATH
// The recorder as a subprocess: RECORDER_PATH, then args; standard input a
// pipe kept open (its end stops the recording).
class Recorder : public Process {
  public:
    explicit Recorder(std::vector<std::string> args, ProcessOptions options = {});
    // Stops it with SIGTERM; the exit status.
    int stop();
};
#endif

// ---------------------------------------------------------------- object store

// A single-node Ceph object store on loopback: ceph-mon, ceph-osd with the
// memstore back end and the radosgw S3 gateway, with cephx, one user and one
// bucket created with Object Lock (so versioned).  Everything lives in a
// temporary directory and is stopped by the destructor.  One per test
// program: starting takes a few seconds.
class ObjectStore {
  public:
    ObjectStore();
    ~ObjectStore();
    ObjectStore(const ObjectStore&) = delete;
    ObjectStore& operator=(const ObjectStore&) = delete;
    static bool available();                                  // the Ceph programs are installed
    const std::string& endpoint() const { return endpoint_; } // http://127.0.0.1:PORT
    const std::string& bucket() const { return bucket_; }
    // AWS_ACCESS_KEY_ID=... and AWS_SECRET_ACCESS_KEY=... of the user.
    std::vector<std::string> credentials() const;
    void stop_gateway();  // SIGKILL: the store is unreachable
    void start_gateway(); // again on the same port; returns once it serves

  private:
    std::string dir_;
    std::string endpoint_;
    std::string bucket_ = "evidence";
    int gateway_starts_ = 0;
    std::unique_ptr<Process> monitor_;
    std::unique_ptr<Process> osd_;
    std::unique_ptr<Process> gateway_;
};

// ---------------------------------------------------------------- recordings

struct ZelRecordFree {
    void operator()(ZelRecord* r) const noexcept { zel_record_free(r); }
};
using RecordPtr = std::unique_ptr<ZelRecord, ZelRecordFree>;

struct Recording {
    std::vector<RecordPtr> records;
    ZelReadStatus status = ZEL_READ_ERROR; // ZEL_READ_END when complete
    std::string problem;
    std::vector<const ZelRecord*> of_type(ZelRecordType type) const;
    size_t images() const; // image records of every kind
    // Footer item values of one type, in order.
    std::vector<std::string> items(ZelRecordType type) const;
};
Recording read_recording(const std::string& path);

// Re-reads the recording on every change of the file (inotify) until pred
// holds.  Throws after the guard, when the file is corrupt, or when `alive`
// has ended first.
Recording wait_for_records(const std::string& path, const std::function<bool(const Recording&)>& pred,
                           Process* alive = nullptr, std::chrono::milliseconds guard = kGuard);

// The screen replayed from every record; no screen before a header.
struct Replayed {
    bool ok = false;
    Image image; // the canvas in the recorded layout
};
Replayed replay(const Recording& recording);

// Pixels of a differing from b inside the rectangle (the whole of a when
// width is 0); a and b must share depth and size.
size_t differing_pixels(const Image& a, const Image& b, xcb_rectangle_t r = {0, 0, 0, 0});

// Waits until the replayed recording shows the expected picture; fails
// with the count of pixels that still differ at the guard.
void wait_for_picture(const std::string& path, const Image& expected, Process* alive = nullptr,
                      std::chrono::milliseconds guard = kGuard);
// ... the picture `expected` gives, asked for again at every change of the
// file (for a screen that may still change while the recording follows it).
void wait_for_picture(const std::string& path, const std::function<Image()>& expected,
                      Process* alive = nullptr, std::chrono::milliseconds guard = kGuard);
// ... the screen as the server composes it now (automatic redirection).
void wait_for_screen(const std::string& path, Client& client, Process* alive = nullptr);
// The screen as the given windows' own pixels (their named pixmaps, borders
// included) show it, bottom first, over black, read under a server grab.
Image compose_windows(Client& client, const std::vector<xcb_window_t>& bottom_to_top);

} // namespace xtest
