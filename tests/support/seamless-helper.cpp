// seamless-helper: a window-managing X client that makes a plain Xvfb look,
// to the recorder, like an xpra server in seamless mode.
//
//   seamless-helper DISPLAY [--mode-type=utf8|string|absent] [--mode-value=VALUE]
//                           [--list-from-create] [--no-redirect]
//
// - sets XPRA_SERVER_MODE on the root (UTF8_STRING or STRING), or deletes it;
// - keeps every top-level window redirected off-screen with COMPOSITE
//   automatic redirection (the server still composes the screen, so the
//   expected picture can be read from the root window);
// - keeps _NET_CLIENT_LIST (in listing order) and _NET_CLIENT_LIST_STACKING
//   (bottom to top) up to date: a window is listed from its first map (or,
//   with --list-from-create, from its creation) until it is destroyed or
//   leaves the root; override-redirect windows are never listed;
// - owns the window-manager selection WM_S<screen> (with an unmapped window
//   of its own), as a window manager that does not reparent;
// - prints "ready" once all of this is in place;
// - on SIGTERM, SIGINT or SIGHUP deletes its root properties, makes a round
//   trip so the deletion has happened, and exits 0.  It exits 1 when the
//   server goes away.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

enum class ModeType { Utf8, String, Absent };

struct Options {
    const char* display = nullptr;
    ModeType mode_type = ModeType::Utf8;
    std::string mode_value = "seamless";
    bool list_from_create = false;
    bool redirect = true;
};

struct Known {
    bool override_redirect = false;
};

xcb_connection_t* c;
xcb_window_t root;
xcb_atom_t a_mode, a_client_list, a_stacking, a_utf8;
Options opt;
std::map<xcb_window_t, Known> known; // the root's children
std::vector<xcb_window_t> listed;    // in listing order
std::vector<xcb_window_t> published_list, published_stacking;
bool published_once = false;
bool debug = std::getenv("SEAMLESS_HELPER_DEBUG") != nullptr;

[[noreturn]] void die(const char* msg)
{
    std::fprintf(stderr, "seamless-helper: %s\n", msg);
    std::exit(1);
}

xcb_atom_t intern(const char* name)
{
    Owned<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    if (!r) die("InternAtom failed");
    return r->atom;
}

void round_trip()
{
    Owned<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!r) die("lost the X connection");
}

bool is_listed(xcb_window_t w)
{
    return std::find(listed.begin(), listed.end(), w) != listed.end();
}

void list(xcb_window_t w)
{
    auto it = known.find(w);
    if (it == known.end() || it->second.override_redirect || is_listed(w)) return;
    listed.push_back(w);
}

void forget(xcb_window_t w)
{
    known.erase(w);
    listed.erase(std::remove(listed.begin(), listed.end(), w), listed.end());
}

// The listed windows in the root's stacking order, bottom to top.
std::vector<xcb_window_t> stacking()
{
    std::vector<xcb_window_t> out;
    Owned<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    if (!r) die("QueryTree failed");
    const xcb_window_t* children = xcb_query_tree_children(r.get());
    int n = xcb_query_tree_children_length(r.get());
    for (int i = 0; i < n; ++i)
        if (is_listed(children[i])) out.push_back(children[i]);
    return out;
}

void set_window_list(xcb_atom_t prop, const std::vector<xcb_window_t>& ids)
{
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, prop, XCB_ATOM_WINDOW, 32,
                        static_cast<uint32_t>(ids.size()), ids.data());
}

void publish()
{
    auto stack = stacking();
    // the stacking order lists what the client list lists (a window whose
    // destruction is still queued is left out of both)
    std::vector<xcb_window_t> now;
    for (auto w : listed)
        if (std::find(stack.begin(), stack.end(), w) != stack.end()) now.push_back(w);
    if (!published_once || now != published_list) set_window_list(a_client_list, now);
    if (!published_once || stack != published_stacking) set_window_list(a_stacking, stack);
    published_list = now;
    published_stacking = stack;
    published_once = true;
    xcb_flush(c);
}

// Returns whether the lists may have changed.
bool handle(const xcb_generic_event_t* ev)
{
    if (debug) std::fprintf(stderr, "event %d\n", ev->response_type);
    switch (ev->response_type & 0x7f) {
    case 0: {
        auto* e = reinterpret_cast<const xcb_generic_error_t*>(ev);
        // windows vanish between an event and a query: not worth a word
        if (e->error_code != XCB_WINDOW)
            std::fprintf(stderr, "seamless-helper: X error %d (request %d)\n", e->error_code, e->major_code);
        return false;
    }
    case XCB_CREATE_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(ev);
        if (e->parent != root) return false;
        known[e->window].override_redirect = e->override_redirect;
        if (opt.list_from_create) list(e->window);
        return true;
    }
    case XCB_MAP_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(ev);
        if (e->event != root) return false;
        known[e->window].override_redirect = e->override_redirect;
        list(e->window);
        return true;
    }
    case XCB_DESTROY_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_destroy_notify_event_t*>(ev);
        if (e->event != root) return false;
        forget(e->window);
        return true;
    }
    case XCB_REPARENT_NOTIFY: {
        auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(ev);
        if (e->parent == root) {
            known[e->window].override_redirect = e->override_redirect;
            if (opt.list_from_create) list(e->window);
        } else {
            forget(e->window);
        }
        return true;
    }
    case XCB_CONFIGURE_NOTIFY:
    case XCB_CIRCULATE_NOTIFY: return true; // restacking
    default: return false;
    }
}

void own_manager_selection(int screen_nbr)
{
    const xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, 0, w, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0,
                      nullptr);
    const xcb_atom_t selection = intern(("WM_S" + std::to_string(screen_nbr)).c_str());
    xcb_set_selection_owner(c, w, selection, XCB_CURRENT_TIME);
    Owned<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
    if (!owner || owner->owner != w) die("cannot own the window-manager selection");
}

void setup()
{
    int screen_nbr = 0;
    c = xcb_connect(opt.display, &screen_nbr);
    if (xcb_connection_has_error(c)) die("cannot connect to the display");
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_nbr && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) die("no such screen");
    root = it.data->root;

    a_mode = intern("XPRA_SERVER_MODE");
    a_client_list = intern("_NET_CLIENT_LIST");
    a_stacking = intern("_NET_CLIENT_LIST_STACKING");
    a_utf8 = intern("UTF8_STRING");

    // events first, then the tree: nothing created in between is missed
    const uint32_t mask[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
    if (Owned<xcb_generic_error_t> e{
            xcb_request_check(c, xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, mask))})
        die("cannot select the root window's substructure events");
    if (opt.redirect) {
        Owned<xcb_composite_query_version_reply_t> v(
            xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
        if (!v) die("no COMPOSITE extension");
        if (Owned<xcb_generic_error_t> e{xcb_request_check(
                c, xcb_composite_redirect_subwindows_checked(c, root, XCB_COMPOSITE_REDIRECT_AUTOMATIC))})
            die("cannot redirect the root window's children");
    }
    switch (opt.mode_type) {
    case ModeType::Utf8:
    case ModeType::String:
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, a_mode,
                            opt.mode_type == ModeType::Utf8 ? a_utf8 : xcb_atom_t{XCB_ATOM_STRING}, 8,
                            static_cast<uint32_t>(opt.mode_value.size()), opt.mode_value.data());
        break;
    case ModeType::Absent: xcb_delete_property(c, root, a_mode); break;
    }

    Owned<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    if (!tree) die("QueryTree failed");
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    int n = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < n; ++i) {
        Owned<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
        if (!a) continue;
        known[children[i]].override_redirect = a->override_redirect;
        if (opt.list_from_create || a->map_state != XCB_MAP_STATE_UNMAPPED) list(children[i]);
    }
    own_manager_selection(screen_nbr);
    publish();
    round_trip();
}

void teardown()
{
    xcb_delete_property(c, root, a_mode);
    xcb_delete_property(c, root, a_client_list);
    xcb_delete_property(c, root, a_stacking);
    round_trip();
    xcb_disconnect(c);
}

void parse(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--mode-type=utf8")
            opt.mode_type = ModeType::Utf8;
        else if (a == "--mode-type=string")
            opt.mode_type = ModeType::String;
        else if (a == "--mode-type=absent")
            opt.mode_type = ModeType::Absent;
        else if (a.rfind("--mode-value=", 0) == 0)
            opt.mode_value = a.substr(13);
        else if (a == "--list-from-create")
            opt.list_from_create = true;
        else if (a == "--no-redirect")
            opt.redirect = false;
        else if (a[0] != '-' && !opt.display)
            opt.display = argv[i];
        else {
            std::fprintf(stderr, "usage: seamless-helper DISPLAY [--mode-type=utf8|string|absent] "
                                 "[--mode-value=VALUE] [--list-from-create] [--no-redirect]\n");
            std::exit(2);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    parse(argc, argv);
    prctl(PR_SET_PDEATHSIG, SIGTERM);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    int sfd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (sfd < 0) die("signalfd failed");

    setup();
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        bool changed = false;
        while (Owned<xcb_generic_event_t> ev{xcb_poll_for_event(c)}) changed |= handle(ev.get());
        if (xcb_connection_has_error(c)) die("lost the X connection");
        if (changed) {
            // publishing waits for replies, which may queue further events
            // inside xcb where poll cannot see them: look again first
            publish();
            continue;
        }
        pollfd p[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {sfd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) die("poll failed");
        if (p[1].revents) break;
    }
    teardown();
    return 0;
}
