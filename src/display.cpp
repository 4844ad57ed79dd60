// The main connection to the recorded display.
#include "display.h"

#include <err.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "args.h"
#include "debugging.h"
#include "x-errors.h"
#include "x-reply.h"

namespace {

struct source_display {
    xcb_connection_t* connection;
    int screen_nbr;
    xcb_screen_t* screen;
    xcb_window_t root;
    uint16_t width;
    uint16_t height;
};

source_display src = {};
// Held while the connection changes, so that breaking it from another
// thread never touches a closed descriptor.
std::mutex closing;
// One connection is made at a time (libXau keeps a static buffer).
std::mutex connecting_lock;
std::condition_variable connecting_done;
bool connecting = false;

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    const auto r =
        xcb_reply(xcb_intern_atom_reply, c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name));
    return r ? r->atom : xcb_atom_t{XCB_NONE};
}

// The root property as text (of type UTF8_STRING or STRING), or "" when
// absent or of another type.
std::string root_text(xcb_connection_t* c, xcb_window_t root, const char* name)
{
    const xcb_atom_t property = atom(c, name);
    const auto reply = xcb_reply(xcb_get_property_reply, c,
                                 xcb_get_property(c, 0, root, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024));
    if (!reply || reply->format != 8) return "";
    if (reply->type != XCB_ATOM_STRING && reply->type != atom(c, "UTF8_STRING")) return "";
    return {static_cast<const char*>(xcb_get_property_value(reply.get())),
            static_cast<size_t>(xcb_get_property_value_length(reply.get()))};
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Why the display is no xpra seamless session, or "".
std::string not_seamless(xcb_connection_t* c, xcb_window_t root)
{
    std::string mode = root_text(c, root, "XPRA_SERVER_MODE");
    mode = mode.substr(0, mode.find('\0'));
    if (ends_with(mode, "seamless")) return "";
    return "not an xpra seamless session (XPRA_SERVER_MODE=" + (mode.empty() ? "(missing)" : mode) + ")";
}

// Takes the new connection's screen and root, and its root's events: the
// screen size, its children, and the window-manager selection's owner.
bool adopt(xcb_connection_t* c, int screen_nbr)
{
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_nbr && it.rem; ++i) xcb_screen_next(&it);
    if (screen_nbr < 0 || !it.rem) return false;
    {
        std::lock_guard<std::mutex> held(closing);
        src.connection = c;
    }
    src.screen_nbr = screen_nbr;
    src.screen = it.data;
    src.root = src.screen->root;
    const uint32_t events =
        XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, src.root, XCB_CW_EVENT_MASK, &events);
    xcb_flush(c);
    return true;
}

// Whether a server still listens on the display's local socket (for names
// of the form ":N" or "unix:N"; others cannot be told and count as gone).
bool display_answers()
{
    std::string name = display_name();
    if (name.rfind("unix:", 0) == 0) name = name.substr(4);
    if (name.empty() || name[0] != ':') return false;
    const std::string number = name.substr(1, name.find('.') - 1);
    const std::string path = "/tmp/.X11-unix/X" + number;
    for (bool abstract : {true, false}) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path + (abstract ? 1 : 0), path.data(),
                    std::min(path.size(), sizeof a.sun_path - 2));
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
        const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), length) == 0;
        if (fd >= 0) close(fd);
        if (ok) return true;
    }
    return false;
}

// One connection attempt on a thread of its own: a stalled server holds it
// in xcb_connect, and a stop must not wait for that.
struct Attempt {
    std::mutex lock;
    xcb_connection_t* c = nullptr;
    int screen = 0;
    bool abandoned = false;
    int done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Attempt()
    {
        if (done_fd >= 0) close(done_fd);
    }
};

std::shared_ptr<Attempt> start_attempt()
{
    auto a = std::make_shared<Attempt>();
    std::thread([a] {
        int screen = 0;
        xcb_connection_t* c = display_connect(&screen);
        std::lock_guard<std::mutex> held(a->lock);
        if (a->abandoned) {
            xcb_disconnect(c);
            return;
        }
        a->c = c;
        a->screen = screen;
        (void)!eventfd_write(a->done_fd, 1);
    }).detach();
    return a;
}

enum class Connect { DONE, STOPPED };

// Waits for the attempt or the stop.
Connect wait_for(const std::shared_ptr<Attempt>& a, int stop_fd)
{
    pollfd fds[2] = {{a->done_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0 && errno == EINTR) {}
    std::lock_guard<std::mutex> held(a->lock);
    if (fds[0].revents != 0) return Connect::DONE;
    a->abandoned = true;
    return Connect::STOPPED;
}

bool stopped_within(int stop_fd, int ms)
{
    pollfd fd{stop_fd, POLLIN, 0};
    return poll(&fd, 1, ms) > 0;
}

} // namespace

void display_connection_setup()
{
    int screen_nbr = 0;
    xcb_connection_t* c = display_connect(&screen_nbr);
    if (int code = xcb_connection_has_error(c))
        errx(1, "failed to connect to display %s: %s", display_name(), xcb_error_code_to_string(code));
    if (!adopt(c, screen_nbr)) errx(1, "failed to retrieve screen for display %s", display_name());
    src.width = src.screen->width_in_pixels;
    src.height = src.screen->height_in_pixels;
    if (std::string why = not_seamless(c, src.root); !why.empty()) errx(1, "%s", why.c_str());
}

Reconnected display_reconnect(int stop_fd, std::string* why)
{
    for (int pause_ms = 10;; pause_ms = std::min(pause_ms * 2, 1000)) {
        const auto attempt = start_attempt();
        if (wait_for(attempt, stop_fd) == Connect::STOPPED) return Reconnected::STOPPED;
        xcb_connection_t* c = attempt->c;
        if (xcb_connection_has_error(c) == 0) {
            if (!adopt(c, attempt->screen)) {
                *why = "the display has no screen " + std::to_string(attempt->screen) + " any more";
                return Reconnected::GONE;
            }
            // the same display, whatever XPRA_SERVER_MODE claims now: said, not trusted
            *why = not_seamless(c, src.root);
            return Reconnected::YES;
        }
        xcb_disconnect(c);
        if (!display_answers()) {
            *why = std::string("the display ") + display_name() + " no longer answers";
            return Reconnected::GONE;
        }
        // it answers but does not let us in (all client slots taken?)
        if (stopped_within(stop_fd, pause_ms)) return Reconnected::STOPPED;
    }
}

xcb_connection_t* display_connect(int* screen, const std::function<bool()>& give_up)
{
    {
        std::unique_lock<std::mutex> held(connecting_lock);
        while (connecting) {
            if (give_up && give_up()) return nullptr;
            connecting_done.wait_for(held, std::chrono::milliseconds(50));
        }
        connecting = true;
    }
    xcb_connection_t* c = xcb_connect(display_name(), screen);
    {
        std::lock_guard<std::mutex> held(connecting_lock);
        connecting = false;
    }
    connecting_done.notify_all();
    return c;
}

xcb_connection_t* display_connection_release()
{
    std::lock_guard<std::mutex> held(closing);
    return std::exchange(src.connection, nullptr);
}

void display_connection_teardown()
{
    xcb_connection_t* c = display_connection_release();
    if (!c) return;
    // a broken connection cannot take a flush any more
    if (!xcb_connection_has_error(c)) xcb_flush(c);
    xcb_disconnect(c);
}

void display_connection_break()
{
    std::lock_guard<std::mutex> held(closing);
    if (src.connection) shutdown(xcb_get_file_descriptor(src.connection), SHUT_RDWR);
}

xcb_connection_t* display_connection()
{
    return src.connection;
}

int display_screen_nbr()
{
    return src.screen_nbr;
}

xcb_screen_t* display_screen()
{
    return src.screen;
}

xcb_window_t display_root()
{
    return src.root;
}

uint8_t root_depth()
{
    return src.screen->root_depth;
}

uint16_t root_width()
{
    return src.width;
}

uint16_t root_height()
{
    return src.height;
}

void root_size_changed(uint16_t width, uint16_t height)
{
    src.width = width;
    src.height = height;
}
