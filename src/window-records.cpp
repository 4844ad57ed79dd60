// What the recording says about each window.
#include "window-records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/res.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "debugging.h"
#include "timer.h"
#include "writer.h"
#include "x-reply.h"
#include "zel.h"

namespace {

constexpr size_t TITLE_MAX = 1024;
constexpr size_t COMMAND_MAX = 4096;
constexpr size_t CLASS_MAX = 256;
constexpr uint64_t CHANGE_PERIOD_US = 1000000; // at most one title and one geometry record a second

struct Atoms {
    xcb_atom_t net_wm_name = XCB_NONE;
    xcb_atom_t utf8_string = XCB_NONE;
} atoms;

// What the file last said of a shown window.
struct Told {
    int16_t x = 0, y = 0;
    uint16_t width = 0, height = 0, z = 0;
    std::string title;
    bool title_dirty = false;
    uint64_t title_at = 0;    // when the last title record was written
    uint64_t geometry_at = 0; // likewise, geometry
};
std::unordered_map<xcb_window_t, Told> told;

xcb_atom_t intern(xcb_connection_t* c, const char* name)
{
    const auto r =
        xcb_reply(xcb_intern_atom_reply, c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name));
    return r ? r->atom : xcb_atom_t{XCB_NONE};
}

// A bytes field of the record (null for an empty optional).
ZelBytes bytes_of(const std::string* s, size_t max)
{
    if (s == nullptr) return {0, nullptr};
    const size_t n = std::min(s->size(), max);
    auto* data = static_cast<uint8_t*>(std::malloc(n > 0 ? n : 1));
    if (data) std::memcpy(data, s->data(), n);
    return {data ? static_cast<uint32_t>(n) : 0, data};
}

// ---- what the server and the host know of a window's client ----

struct Facts {
    uint32_t client = 0;
    int32_t pid = -1;
    uint32_t uid = UINT32_MAX;
    bool has_command = false;
    std::string command;
};

void read_process(Facts& f)
{
    const std::string dir = "/proc/" + std::to_string(f.pid);
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) f.uid = st.st_uid;
    const int fd = open((dir + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[COMMAND_MAX];
    size_t n = 0;
    for (ssize_t k; n < sizeof buf && (k = read(fd, buf + n, sizeof buf - n)) > 0;)
        n += static_cast<size_t>(k);
    close(fd);
    f.command.assign(buf, n);
    while (!f.command.empty() && f.command.back() == '\0') f.command.pop_back();
    f.has_command = true;
}

// ---- what the client claims ----

struct Claims {
    bool has_title = false;
    std::string title;
    bool has_class = false;
    std::string instance, class_name;
    xcb_window_t transient_for = 0;
};

struct ClaimCookies {
    xcb_get_property_cookie_t net_name, name, wm_class, transient;
};

std::string value_of(const xcb_get_property_reply_t* r)
{
    return {static_cast<const char*>(xcb_get_property_value(r)),
            static_cast<size_t>(xcb_get_property_value_length(r))};
}

xcb_get_property_cookie_t ask(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type,
                              uint32_t longs)
{
    return xcb_get_property(c, 0, w, property, type, 0, longs);
}

XcbReply<xcb_get_property_reply_t> answer(xcb_connection_t* c, xcb_get_property_cookie_t cookie)
{
    xcb_generic_error_t* e = nullptr;
    XcbReply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, cookie, &e));
    std::free(e);
    if (r && (r->format == 0 || r->type == XCB_NONE)) r.reset(); // no such property
    return r;
}

ClaimCookies ask_title(xcb_connection_t* c, xcb_window_t w)
{
    constexpr uint32_t longs = (TITLE_MAX + 3) / 4;
    return {ask(c, w, atoms.net_wm_name, atoms.utf8_string, longs),
            ask(c, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, longs),
            {},
            {}};
}

// _NET_WM_NAME, else WM_NAME, bytes as given.
void take_title(xcb_connection_t* c, const ClaimCookies& k, Claims& out)
{
    const auto net = answer(c, k.net_name);
    const auto plain = answer(c, k.name);
    const auto* r = net ? net.get() : plain.get();
    out.has_title = r != nullptr;
    if (r) out.title = value_of(r).substr(0, TITLE_MAX);
}

ClaimCookies ask_claims(xcb_connection_t* c, xcb_window_t w)
{
    ClaimCookies k = ask_title(c, w);
    k.wm_class = ask(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, (2 * CLASS_MAX + 3) / 4);
    k.transient = ask(c, w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
    return k;
}

Claims take_claims(xcb_connection_t* c, const ClaimCookies& k)
{
    Claims out;
    take_title(c, k, out);
    if (const auto r = answer(c, k.wm_class)) {
        const std::string v = value_of(r.get()); // instance NUL class NUL
        const size_t nul = v.find('\0');
        out.has_class = true;
        out.instance = v.substr(0, std::min(nul, CLASS_MAX));
        if (nul != std::string::npos) out.class_name = v.substr(nul + 1, CLASS_MAX);
        out.class_name = out.class_name.substr(0, out.class_name.find('\0'));
    }
    if (const auto r = answer(c, k.transient); r && xcb_get_property_value_length(r.get()) >= 4)
        std::memcpy(&out.transient_for, xcb_get_property_value(r.get()), 4);
    return out;
}

// ---- the records ----

Owned<ZelWindow> record(const WindowState& w, uint8_t event)
{
    auto r = new_record<ZelWindow>(ZEL_WINDOW, time_in_us());
    if (r) r->window = w.win, r->event = event;
    return r;
}

void send(Owned<ZelWindow> r, const char* what)
{
    if (!r)
        JOURNAL_ERROR("failed to allocate a window record (%s)", what);
    else
        (void)send_to_writer(std::move(r)); // a refusal is journaled by the writer
}

void write_shown(const WindowState& w, uint16_t z, const Facts& f, const Claims& k)
{
    auto r = record(w, ZEL_WINDOW_SHOWN);
    if (r) {
        r->flags = static_cast<uint8_t>((w.override_redirect ? ZEL_WINDOW_OVERRIDE_REDIRECT : 0) |
                                        (w.frame != 0 ? ZEL_WINDOW_MANAGED : 0));
        r->x = w.x_root, r->y = w.y_root, r->width = w.width, r->height = w.height, r->z = z;
        r->transient_for = k.transient_for;
        r->client = f.client, r->pid = f.pid, r->uid = f.uid;
        r->command = bytes_of(f.has_command ? &f.command : nullptr, COMMAND_MAX);
        r->title = bytes_of(k.has_title ? &k.title : nullptr, TITLE_MAX);
        r->instance = bytes_of(k.has_class ? &k.instance : nullptr, CLASS_MAX);
        r->class_name = bytes_of(k.has_class ? &k.class_name : nullptr, CLASS_MAX);
    }
    send(std::move(r), "shown");
}

// Newly shown windows: their facts and claims, every request sent before
// the first answer is read.
void show(xcb_connection_t* c, const std::vector<std::pair<WindowState*, uint16_t>>& fresh)
{
    const uint32_t mask = xcb_get_setup(c)->resource_id_mask;
    std::vector<xcb_res_query_client_ids_cookie_t> pids;
    std::vector<ClaimCookies> claims;
    for (const auto& [w, z] : fresh) {
        const xcb_res_client_id_spec_t pid_of{w->win, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        pids.push_back(xcb_res_query_client_ids(c, 1, &pid_of));
        claims.push_back(ask_claims(c, w->win));
    }
    for (size_t i = 0; i < fresh.size(); ++i) {
        const auto& [w, z] = fresh[i];
        Facts f;
        f.client = w->win & ~mask;
        XcbReply<xcb_res_query_client_ids_reply_t> ids(xcb_res_query_client_ids_reply(c, pids[i], nullptr));
        if (ids)
            for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem;
                 xcb_res_client_id_value_next(&it))
                if (xcb_res_client_id_value_value_length(it.data) == 1)
                    f.pid = static_cast<int32_t>(*xcb_res_client_id_value_value(it.data));
        if (f.pid > 0) read_process(f);
        const Claims k = take_claims(c, claims[i]);
        Told& t = told[w->win];
        t = Told{w->x_root, w->y_root, w->width, w->height, z, k.title, false, time_in_us(), time_in_us()};
        write_shown(*w, z, f, k);
    }
}

void write_geometry(const WindowState& w, uint16_t z, Told& t)
{
    auto r = record(w, ZEL_WINDOW_GEOMETRY);
    if (r) r->x = w.x_root, r->y = w.y_root, r->width = w.width, r->height = w.height, r->z = z;
    send(std::move(r), "geometry");
    t.x = w.x_root, t.y = w.y_root, t.width = w.width, t.height = w.height, t.z = z;
    t.geometry_at = time_in_us();
}

// Titles that changed, read again (pipelined), at most once a second each.
void retitle(xcb_connection_t* c, const std::vector<WindowState*>& shown)
{
    const uint64_t now = time_in_us();
    std::vector<std::pair<WindowState*, ClaimCookies>> asked;
    for (WindowState* w : shown)
        if (Told& t = told[w->win]; t.title_dirty && now - t.title_at >= CHANGE_PERIOD_US)
            asked.emplace_back(w, ask_title(c, w->win));
    for (auto& [w, cookies] : asked) {
        Told& t = told[w->win];
        t.title_dirty = false;
        Claims k;
        take_title(c, cookies, k);
        if (k.title == t.title) continue;
        auto r = record(*w, ZEL_WINDOW_TITLE);
        if (r) r->title = bytes_of(k.has_title ? &k.title : nullptr, TITLE_MAX);
        send(std::move(r), "title");
        t.title = k.title;
        t.title_at = now;
    }
}

} // namespace

void window_records_setup(xcb_connection_t* c)
{
    atoms.net_wm_name = intern(c, "_NET_WM_NAME");
    atoms.utf8_string = intern(c, "UTF8_STRING");
}

void window_title_changed(xcb_window_t win, xcb_atom_t property)
{
    if (property != XCB_ATOM_WM_NAME && property != atoms.net_wm_name) return;
    if (auto it = told.find(win); it != told.end()) it->second.title_dirty = true;
}

void window_records_tick(xcb_connection_t* c, const std::vector<WindowState*>& shown)
{
    std::unordered_map<xcb_window_t, bool> still;
    std::vector<std::pair<WindowState*, uint16_t>> fresh;
    const uint64_t now = time_in_us();
    for (size_t i = 0; i < shown.size(); ++i) {
        WindowState& w = *shown[i];
        const auto z = static_cast<uint16_t>(std::min<size_t>(i, UINT16_MAX));
        still[w.win] = true;
        const auto it = told.find(w.win);
        if (it == told.end()) {
            fresh.emplace_back(&w, z);
            continue;
        }
        Told& t = it->second;
        const bool moved = t.x != w.x_root || t.y != w.y_root || t.width != w.width || t.height != w.height;
        if ((moved || t.z != z) && now - t.geometry_at >= CHANGE_PERIOD_US) write_geometry(w, z, t);
    }
    for (auto it = told.begin(); it != told.end();) {
        if (still.contains(it->first)) {
            ++it;
            continue;
        }
        auto r = new_record<ZelWindow>(ZEL_WINDOW, now);
        if (r) r->window = it->first, r->event = ZEL_WINDOW_GONE;
        send(std::move(r), "gone");
        it = told.erase(it);
    }
    if (!fresh.empty()) show(c, fresh);
    retitle(c, shown);
}
