// The windows a recording shows, their state and their stacking order.
#include "window-list.h"

#include <err.h>
#include <xcb/composite.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "debugging.h"
#include "display.h"
#include "frontend.h"
#include "timer.h"
#include "x-reply.h"

WindowList list_of_windows;
xcb_atom_t A_NET_CLIENT_LIST;
xcb_atom_t A_NET_CLIENT_LIST_STACKING;
xcb_atom_t A_NET_SUPPORTING_WM_CHECK;

namespace {

constexpr size_t BATCH = 256;            // windows probed per step of the loop
constexpr size_t REJECTED_MAX = 1 << 20; // ids remembered as no window of ours
constexpr int ANCESTRY_MAX = 8;          // levels between a window and the root's child
constexpr uint32_t WINDOW_EVENTS = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_VISIBILITY_CHANGE;

struct RootChild {
    xcb_window_t win;
    bool override_redirect;
    xcb_rectangle_t geometry; // unknown (0 x 0) until the first ConfigureNotify
    uint16_t border;
};

struct Pending {
    xcb_window_t win;
    bool popup; // an override-redirect child of the root, else a listed window
};

std::vector<RootChild> root_children;      // bottom to top
std::vector<xcb_window_t> client_stacking; // _NET_CLIENT_LIST_STACKING
std::unordered_set<xcb_window_t> listed;   // _NET_CLIENT_LIST as last read
std::unordered_set<xcb_window_t> rejected;
std::deque<Pending> pending;
// Listed ids refused since the queue last ran dry (told once, then).
unsigned long refused = 0;
xcb_window_t first_refused = 0;
std::unordered_set<xcb_window_t> queued[2]; // what pending holds: listed windows, pop-ups
uint32_t server_base;                       // resource-id base of the xpra server's own windows, 0 unknown
std::vector<WindowState*> stack;
bool stack_dirty = true;
Region vanished;

xcb_connection_t* conn()
{
    return display_connection();
}

bool is_servers_own(xcb_window_t win)
{
    const uint32_t mask = xcb_get_setup(conn())->resource_id_mask;
    return server_base != 0 && (win & ~mask) == server_base;
}

// What one pipelined probe learns of a window.
struct Probe {
    xcb_window_t win = 0;
    bool ok = false;
    bool input_output = false;
    bool viewable = false;
    bool override_redirect = false;
    xcb_window_t parent = 0;
    xcb_window_t top = 0;
    int16_t x_root = 0, y_root = 0;
    uint16_t width = 0, height = 0, border = 0;
};

// Parent of every window, all requests sent before the first reply is read.
std::vector<xcb_window_t> parents_of(std::span<const xcb_window_t> ids)
{
    std::vector<xcb_query_tree_cookie_t> cookies;
    for (xcb_window_t w : ids) cookies.push_back(xcb_query_tree(conn(), w));
    std::vector<xcb_window_t> parents;
    for (auto cookie : cookies) {
        xcb_generic_error_t* e = nullptr;
        XcbReply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(conn(), cookie, &e));
        std::free(e);
        parents.push_back(r ? r->parent : 0);
    }
    return parents;
}

// The root's child holding each probe's window, a few pipelined levels up.
void find_tops(std::vector<Probe>& probes)
{
    std::vector<Probe*> climbing;
    std::vector<xcb_window_t> at;
    for (Probe& p : probes) {
        if (!p.ok) continue;
        if (p.parent == display_root()) {
            p.top = p.win;
            continue;
        }
        climbing.push_back(&p);
        at.push_back(p.parent);
    }
    for (int level = 0; level < ANCESTRY_MAX && !climbing.empty(); ++level) {
        const std::vector<xcb_window_t> parents = parents_of(at);
        std::vector<Probe*> next;
        std::vector<xcb_window_t> next_at;
        for (size_t i = 0; i < climbing.size(); ++i) {
            if (parents[i] == display_root()) climbing[i]->top = at[i];
            if (parents[i] == display_root() || parents[i] == 0) continue;
            next.push_back(climbing[i]);
            next_at.push_back(parents[i]);
        }
        climbing.swap(next);
        at.swap(next_at);
    }
}

// Attributes, geometry, parent and root position of every window, pipelined.
std::vector<Probe> probe(std::span<const xcb_window_t> ids)
{
    struct Cookies {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_query_tree_cookie_t tree;
        xcb_translate_coordinates_cookie_t position;
    };
    xcb_connection_t* c = conn();
    std::vector<Cookies> cookies;
    for (xcb_window_t w : ids)
        cookies.push_back({xcb_get_window_attributes(c, w), xcb_get_geometry(c, w), xcb_query_tree(c, w),
                           xcb_translate_coordinates(c, w, display_root(), 0, 0)});
    std::vector<Probe> probes(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_generic_error_t* e[4] = {};
        XcbReply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c, cookies[i].attributes, &e[0]));
        XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, cookies[i].geometry, &e[1]));
        XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, cookies[i].tree, &e[2]));
        XcbReply<xcb_translate_coordinates_reply_t> p(
            xcb_translate_coordinates_reply(c, cookies[i].position, &e[3]));
        for (auto* error : e) std::free(error);
        Probe& r = probes[i];
        r.win = ids[i];
        r.ok = a && g && t && p;
        if (!r.ok) continue;
        r.input_output = a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
        r.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
        r.override_redirect = a->override_redirect;
        r.parent = t->parent;
        r.border = g->border_width;
        r.width = static_cast<uint16_t>(g->width + 2 * g->border_width);
        r.height = static_cast<uint16_t>(g->height + 2 * g->border_width);
        r.x_root = static_cast<int16_t>(p->dst_x - g->border_width);
        r.y_root = static_cast<int16_t>(p->dst_y - g->border_width);
    }
    find_tops(probes);
    return probes;
}

void apply(WindowState& w, const Probe& p)
{
    // a new size, border or map state comes with new backing storage
    if (p.width != w.width || p.height != w.height || p.border != w.border_width || p.viewable != w.mapped)
        w.rename = true;
    w.mapped = p.viewable;
    w.x_root = p.x_root;
    w.y_root = p.y_root;
    w.width = p.width;
    w.height = p.height;
    w.border_width = p.border;
    if (w.top != p.top) stack_dirty = true;
    w.top = p.top;
}

void release_pixmap(WindowState& w)
{
    if (w.pixmap != 0) xcb_free_pixmap(conn(), w.pixmap);
    w.pixmap = 0;
}

// Names the backing pixmap of every viewable window given, pipelined.  A
// window whose naming fails (a pop-up is redirected only just after it is
// mapped) stays stale and is tried again at the next tick.
void name_pixmaps(const std::vector<WindowState*>& windows)
{
    std::vector<std::pair<WindowState*, xcb_void_cookie_t>> named;
    for (WindowState* w : windows) {
        release_pixmap(*w);
        w->stale = w->rename = false;
        if (!w->mapped) continue;
        w->pixmap = xcb_generate_id(conn());
        named.emplace_back(w, xcb_composite_name_window_pixmap_checked(conn(), w->win, w->pixmap));
    }
    for (auto& [w, cookie] : named) {
        XcbReply<xcb_generic_error_t> error(xcb_request_check(conn(), cookie));
        w->stale = w->rename = error != nullptr;
        if (error) w->pixmap = 0;
        DEBUG_AS("name_window_pixmap", "window 0x%0x: pixmap 0x%0x%s", w->win, w->pixmap,
                 error ? " (failed)" : "");
    }
}

void reject(const Probe& p)
{
    if (rejected.size() >= REJECTED_MAX) rejected.clear();
    rejected.insert(p.win);
    if (refused++ == 0) first_refused = p.win;
}

// One journal entry for the refusals of a whole list, however many batches
// it took: a hostile list must not flood the journal.
void tell_refused()
{
    if (refused > 0)
        JOURNAL_ERROR("ignoring %lu ids of _NET_CLIENT_LIST that are no client windows (the first: 0x%x)",
                      refused, first_refused);
    refused = 0;
}

WindowState& start_tracking(const Probe& p)
{
    WindowState& w = list_of_windows[p.win];
    w.win = p.win;
    xcb_change_window_attributes(conn(), p.win, XCB_CW_EVENT_MASK, &WINDOW_EVENTS);
    w.damage = xcb_generate_id(conn());
    xcb_damage_create(conn(), w.damage, p.win, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES);
    apply(w, p);
    w.stale = true;
    stack_dirty = true;
    return w;
}

// Whether a probed window may be tracked as what it was queued for.
bool acceptable(const Probe& p, const Pending& why)
{
    if (!p.ok || !p.input_output || p.win == display_root() || p.top == 0) return false;
    if (why.popup) return p.override_redirect && p.parent == display_root() && !is_servers_own(p.win);
    return listed.contains(p.win);
}

void add_batch(std::span<const Pending> batch)
{
    std::vector<xcb_window_t> ids;
    for (const Pending& q : batch) ids.push_back(q.win);
    const std::vector<Probe> probes = probe(ids);
    std::vector<WindowState*> added;
    for (size_t i = 0; i < probes.size(); ++i) {
        const Probe& p = probes[i];
        if (!acceptable(p, batch[i])) {
            if (!batch[i].popup && p.win != 0 && listed.contains(p.win)) reject(p);
            continue;
        }
        WindowState& w = list_of_windows.contains(p.win) ? list_of_windows[p.win] : start_tracking(p);
        (batch[i].popup ? w.override_redirect : w.listed) = true;
        added.push_back(&w);
    }
    name_pixmaps(added);
}

void queue(xcb_window_t win, bool popup)
{
    if (queued[popup].insert(win).second) pending.push_back({win, popup});
}

// Stops tracking; the area last composed for it is repainted.  A destroyed
// window took its damage object and our event selection with it.
void forget(WindowState& w, bool destroyed = false)
{
    if (w.previous.mapped)
        vanished.add(w.previous.x_root, w.previous.y_root, w.previous.width, w.previous.height);
    release_pixmap(w);
    if (!destroyed) {
        const uint32_t none = 0;
        xcb_change_window_attributes(conn(), w.win, XCB_CW_EVENT_MASK, &none);
        xcb_damage_destroy(conn(), w.damage);
    }
    list_of_windows.erase(w.win);
    stack_dirty = true;
}

// A window property holding window ids (capped at what a reply can hold).
std::vector<xcb_window_t> root_window_list(xcb_atom_t property)
{
    XcbReply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        conn(), xcb_get_property(conn(), 0, display_root(), property, XCB_ATOM_WINDOW, 0, 1 << 22), nullptr));
    if (!r || r->format != 32) return {};
    const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(r.get()));
    return {ids, ids + xcb_get_property_value_length(r.get()) / 4};
}

std::vector<RootChild>::iterator root_child(xcb_window_t win)
{
    return std::find_if(root_children.begin(), root_children.end(),
                        [win](const RootChild& c) { return c.win == win; });
}

void query_root_children()
{
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(conn(), xcb_query_tree(conn(), display_root()), nullptr));
    if (!tree) return;
    const std::span<const xcb_window_t> ids(xcb_query_tree_children(tree.get()),
                                            static_cast<size_t>(xcb_query_tree_children_length(tree.get())));
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (xcb_window_t w : ids) cookies.push_back(xcb_get_window_attributes(conn(), w));
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_generic_error_t* e = nullptr;
        XcbReply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(conn(), cookies[i], &e));
        std::free(e);
        if (!a) continue;
        root_children.push_back({ids[i], a->override_redirect != 0, {}, 0});
        if (a->override_redirect && a->map_state != XCB_MAP_STATE_UNMAPPED) queue(ids[i], true);
    }
}

// Listed windows grouped by the root's child that holds them, each group in
// the session's stacking order.
std::unordered_map<xcb_window_t, std::vector<WindowState*>> listed_by_top()
{
    std::unordered_map<xcb_window_t, std::vector<WindowState*>> groups;
    std::unordered_set<xcb_window_t> seen;
    for (xcb_window_t id : client_stacking)
        if (WindowState* w = window_find(id);
            w && w->listed && !w->override_redirect && seen.insert(id).second)
            groups[w->top].push_back(w);
    for (auto& [id, w] : list_of_windows)
        if (w.listed && !w.override_redirect && !seen.contains(id)) groups[w.top].push_back(&w);
    return groups;
}

void build_stack()
{
    auto groups = listed_by_top();
    stack.clear();
    for (auto& [top, windows] : groups) // held by no child of the root we know: at the bottom
        if (root_child(top) == root_children.end()) stack.insert(stack.end(), windows.begin(), windows.end());
    for (const RootChild& child : root_children) {
        if (WindowState* w = window_find(child.win); w && w->override_redirect) stack.push_back(w);
        if (auto g = groups.find(child.win); g != groups.end())
            stack.insert(stack.end(), g->second.begin(), g->second.end());
    }
    stack_dirty = false;
}

} // namespace

WindowState* window_find(xcb_window_t win)
{
    auto it = list_of_windows.find(win);
    return it == list_of_windows.end() ? nullptr : &it->second;
}

void window_list_update()
{
    const std::vector<xcb_window_t> ids = root_window_list(A_NET_CLIENT_LIST);
    listed.clear();
    for (xcb_window_t id : ids)
        if (!rejected.contains(id)) listed.insert(id);
    std::vector<xcb_window_t> dropped;
    for (auto& [id, w] : list_of_windows)
        if (w.listed && !listed.contains(id)) dropped.push_back(id);
    for (xcb_window_t id : dropped) {
        WindowState& w = list_of_windows[id];
        w.listed = false;
        if (!w.override_redirect) forget(w);
    }
    for (xcb_window_t id : listed)
        if (!list_of_windows.contains(id) || !list_of_windows[id].listed) queue(id, false);
    stack_dirty = true;
}

void window_stack_retrieve()
{
    client_stacking = root_window_list(A_NET_CLIENT_LIST_STACKING);
    stack_dirty = true;
}

void window_list_server_check_update()
{
    const std::vector<xcb_window_t> check = root_window_list(A_NET_SUPPORTING_WM_CHECK);
    const uint32_t mask = xcb_get_setup(conn())->resource_id_mask;
    server_base = check.empty() ? 0 : check.front() & ~mask;
}

bool window_list_work()
{
    std::vector<Pending> batch;
    while (!pending.empty() && batch.size() < BATCH) {
        const Pending q = pending.front();
        pending.pop_front();
        queued[q.popup].erase(q.win);
        const WindowState* w = window_find(q.win);
        const bool done = w && (q.popup ? w->override_redirect : w->listed);
        if (!done && (q.popup || listed.contains(q.win))) batch.push_back(q);
    }
    if (!batch.empty()) add_batch(batch);
    if (pending.empty()) tell_refused();
    return !pending.empty();
}

void window_list_refresh()
{
    std::vector<xcb_window_t> ids;
    for (auto& [id, w] : list_of_windows)
        if (w.stale) ids.push_back(id);
    if (ids.empty()) return;
    const std::vector<Probe> probes = probe(ids);
    std::vector<WindowState*> renamed;
    for (const Probe& p : probes) {
        WindowState* w = window_find(p.win);
        if (!w) continue;
        if (!p.ok) { // gone: its DestroyNotify is on its way
            w->mapped = false;
            w->stale = false;
            release_pixmap(*w);
            continue;
        }
        apply(*w, p);
        w->stale = false;
        if (w->rename) renamed.push_back(w);
    }
    name_pixmaps(renamed);
}

const std::vector<WindowState*>& window_stack()
{
    if (stack_dirty) build_stack();
    return stack;
}

void window_list_structure_changed(xcb_window_t win, bool pixmap_replaced)
{
    for (auto& [id, w] : list_of_windows)
        if (id == win || w.top == win) {
            w.stale = true;
            w.rename = w.rename || pixmap_replaced;
        }
}

void root_child_created(xcb_window_t win, bool override_redirect)
{
    if (root_child(win) == root_children.end()) root_children.push_back({win, override_redirect, {}, 0});
    stack_dirty = true;
}

void root_child_gone(xcb_window_t win)
{
    if (auto it = root_child(win); it != root_children.end()) root_children.erase(it);
    if (WindowState* w = window_find(win); w && w->override_redirect) {
        w->override_redirect = false;
        if (!w->listed) forget(*w);
    }
    window_list_structure_changed(win, true);
    stack_dirty = true;
}

void root_child_mapped(xcb_window_t win, bool override_redirect)
{
    auto it = root_child(win);
    if (it == root_children.end()) return;
    it->override_redirect = override_redirect;
    window_list_structure_changed(win, true);
    const WindowState* w = window_find(win);
    if (override_redirect && !(w && w->override_redirect) && !is_servers_own(win)) queue(win, true);
}

void root_child_unmapped(xcb_window_t win)
{
    window_list_structure_changed(win, true);
    if (WindowState* w = window_find(win); w && w->override_redirect) {
        w->override_redirect = false;
        if (!w->listed) forget(*w);
    }
}

void root_child_restacked(xcb_window_t win, xcb_window_t above, bool on_top_when_none)
{
    auto it = root_child(win);
    if (it == root_children.end()) return;
    const RootChild moved = *it;
    root_children.erase(it);
    if (above == XCB_NONE) {
        root_children.insert(on_top_when_none ? root_children.end() : root_children.begin(), moved);
    } else {
        auto sibling = root_child(above);
        root_children.insert(sibling == root_children.end() ? root_children.end() : sibling + 1, moved);
    }
    stack_dirty = true;
}

void window_list_destroyed(xcb_window_t win)
{
    if (WindowState* w = window_find(win)) forget(*w, true);
    if (auto it = root_child(win); it != root_children.end()) root_children.erase(it);
}

void root_child_configured(const xcb_configure_notify_event_t* e)
{
    root_child_restacked(e->window, e->above_sibling, false);
    auto it = root_child(e->window);
    if (it == root_children.end()) return;
    const xcb_rectangle_t now{e->x, e->y, e->width, e->height};
    const bool moved = std::memcmp(&now, &it->geometry, sizeof now) != 0 || e->border_width != it->border;
    it->geometry = now;
    it->border = e->border_width;
    // a restack alone changes nothing of the windows it holds
    if (moved) window_list_structure_changed(e->window, false);
}

Region window_list_take_vanished()
{
    Region out = vanished;
    vanished.clear();
    return out;
}

void window_list_setup()
{
    xcb_connection_t* c = display_connection();
    A_NET_CLIENT_LIST = intern_atom(c, "_NET_CLIENT_LIST");
    if (A_NET_CLIENT_LIST == 0) errx(1, "intern_atom _NET_CLIENT_LIST failed");
    A_NET_CLIENT_LIST_STACKING = intern_atom(c, "_NET_CLIENT_LIST_STACKING");
    if (A_NET_CLIENT_LIST_STACKING == 0) errx(1, "intern_atom _NET_CLIENT_LIST_STACKING failed");
    A_NET_SUPPORTING_WM_CHECK = intern_atom(c, "_NET_SUPPORTING_WM_CHECK");
    window_list_server_check_update();
    query_root_children();
    window_list_update();
    window_stack_retrieve();
    for (int step = 0; step < 8 && window_list_work(); ++step) {}
}

void window_list_teardown()
{
    // the pixmaps and damage objects go with the connection
    list_of_windows.clear();
    root_children.clear();
    pending.clear();
    queued[0].clear();
    queued[1].clear();
    stack.clear();
}
