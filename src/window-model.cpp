// The windows a recording shows, from the X server's window tree.
#include "window-model.h"

#include <xcb/composite.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "debugging.h"
#include "timer.h"
#include "x-errors.h"
#include "x-reply.h"

namespace {

constexpr size_t BATCH = 256;   // windows probed, or frames read, per step of the loop
constexpr int ANCESTRY_MAX = 8; // levels between a window and the root's child
constexpr int FRAME_DEPTH_MAX = 3;
// structure (stale pixmaps), visibility, and properties (titles)
constexpr uint32_t WINDOW_EVENTS =
    XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_PROPERTY_CHANGE;
constexpr uint32_t FRAME_EVENTS = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;

// The attributes, each asked for without waiting, that may fail with the
// window gone meanwhile.
void quietly(xcb_void_cookie_t cookie)
{
    x_expect(cookie.sequence, {XErrorMeaning::QUIET, 0});
}

} // namespace

// What one pipelined probe learns of a window.
struct WindowModel::Probe {
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

// ---------------------------------------------------------------- the manager

uint32_t WindowModel::owner_base(xcb_window_t owner) const
{
    return owner == XCB_NONE ? 0 : owner & ~id_mask_;
}

bool WindowModel::managers(xcb_window_t win) const
{
    return manager_base_ != 0 && (win & ~id_mask_) == manager_base_;
}

void WindowModel::read_manager()
{
    const auto owner =
        xcb_reply(xcb_get_selection_owner_reply, c_, xcb_get_selection_owner(c_, manager_selection_));
    manager_base_ = owner ? owner_base(owner->owner) : 0;
}

void WindowModel::manager_changed()
{
    const uint32_t before = manager_base_;
    read_manager();
    if (manager_base_ == before) return;
    char detail[160];
    std::snprintf(detail, sizeof detail,
                  "the window-manager selection is now held by client 0x%x (was 0x%x): whose windows are the "
                  "manager's is decided anew",
                  manager_base_, before);
    manager_change_ = ManagerChange{time_in_us(), detail}; // journaled with the gap it makes
    forget_all();
    for (const RootChild& child : root_children_) classify_root_child(child);
}

std::optional<ManagerChange> WindowModel::take_manager_change()
{
    auto out = manager_change_;
    manager_change_.reset();
    return out;
}

// ---------------------------------------------------------------- set-up

void WindowModel::setup(xcb_connection_t* c, xcb_window_t root, int screen)
{
    c_ = c;
    root_ = root;
    id_mask_ = xcb_get_setup(c)->resource_id_mask;
    const std::string name = "WM_S" + std::to_string(screen);
    const auto atom = xcb_reply(xcb_intern_atom_reply, c,
                                xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()));
    manager_selection_ = atom ? atom->atom : XCB_NONE;
    xcb_xfixes_select_selection_input(c, root, manager_selection_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    read_manager();
    read_root_children();
    for (int step = 0; step < 8 && work(); ++step) {}
}

void WindowModel::reset()
{
    for (auto& [id, w] : windows_)
        if (w.previous.mapped)
            vanished_.add(w.previous.x_root, w.previous.y_root, w.previous.width, w.previous.height);
    windows_.clear();
    frames_.clear();
    root_children_.clear();
    pending_.clear();
    queued_.clear();
    stack_.clear();
    stack_dirty_ = true;
    c_ = nullptr;
}

void WindowModel::read_root_children()
{
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr));
    if (!tree) return;
    const std::span<const xcb_window_t> ids(xcb_query_tree_children(tree.get()),
                                            static_cast<size_t>(xcb_query_tree_children_length(tree.get())));
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (xcb_window_t w : ids) cookies.push_back(xcb_get_window_attributes(c_, w));
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_generic_error_t* e = nullptr;
        XcbReply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c_, cookies[i], &e));
        std::free(e);
        if (!a) continue;
        root_children_.push_back(
            {ids[i], a->override_redirect != 0, a->map_state != XCB_MAP_STATE_UNMAPPED, {}, 0});
        classify_root_child(root_children_.back());
    }
}

// A child of the root is one of the manager's frames, or a window to record
// while it is mapped.
void WindowModel::classify_root_child(const RootChild& child)
{
    if (managers(child.win))
        add_frame(child.win, 1);
    else if (child.mapped)
        queue(child.win, 0);
}

// ---------------------------------------------------------------- frames

void WindowModel::add_frame(xcb_window_t win, int depth)
{
    if (frames_.contains(win) || depth > FRAME_DEPTH_MAX) return;
    frames_[win] = Frame{depth, true, {}};
    quietly(xcb_change_window_attributes_checked(c_, win, XCB_CW_EVENT_MASK, &FRAME_EVENTS));
}

void WindowModel::drop_frame(xcb_window_t win, bool destroyed)
{
    auto it = frames_.find(win);
    if (it == frames_.end()) return;
    const std::vector<xcb_window_t> children = it->second.children;
    frames_.erase(it);
    if (!destroyed && c_) {
        const uint32_t none = 0;
        quietly(xcb_change_window_attributes_checked(c_, win, XCB_CW_EVENT_MASK, &none));
    }
    for (xcb_window_t child : children) {
        if (WindowState* w = find(child); w && w->frame == win) forget(*w, false);
        drop_frame(child, false);
    }
    stack_dirty_ = true;
}

// The frame's children as the server lists them now.
void WindowModel::frame_read(xcb_window_t win, const std::vector<xcb_window_t>& children)
{
    Frame& f = frames_[win];
    const int depth = f.depth;
    const std::vector<xcb_window_t> before = f.children;
    f.children = children;
    f.dirty = false;
    for (xcb_window_t child : children) {
        if (managers(child)) {
            add_frame(child, depth + 1);
            continue;
        }
        // moved here from another frame: tracked anew
        if (WindowState* w = find(child); w && w->frame != win) forget(*w, false);
        if (!windows_.contains(child)) queue(child, win);
    }
    for (xcb_window_t gone : before) {
        if (std::ranges::find(children, gone) != children.end()) continue;
        if (WindowState* w = find(gone); w && w->frame == win) forget(*w, false);
        drop_frame(gone, false);
    }
    stack_dirty_ = true;
}

// Dirty frames' children, read again, pipelined.
void WindowModel::read_frames()
{
    std::vector<std::pair<xcb_window_t, xcb_query_tree_cookie_t>> asked;
    for (auto& [id, f] : frames_)
        if (f.dirty && asked.size() < BATCH) asked.emplace_back(id, xcb_query_tree(c_, id));
    for (auto& [id, cookie] : asked) {
        xcb_generic_error_t* e = nullptr;
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, cookie, &e));
        std::free(e);
        if (!frames_.contains(id)) continue;
        if (!tree) { // gone: its DestroyNotify is on its way
            drop_frame(id, true);
            continue;
        }
        const xcb_window_t* ids = xcb_query_tree_children(tree.get());
        frame_read(id, {ids, ids + xcb_query_tree_children_length(tree.get())});
    }
}

void WindowModel::frame_changed(xcb_window_t frame, xcb_window_t child, bool pixmap_replaced)
{
    if (auto it = frames_.find(frame); it != frames_.end()) it->second.dirty = true;
    structure_changed(child, pixmap_replaced);
}

// ---------------------------------------------------------------- probing windows

void WindowModel::queue(xcb_window_t win, xcb_window_t frame)
{
    if (queued_.insert(win).second) pending_.push_back({win, frame});
}

// The root's child holding each probe's window, a few pipelined levels up.
void WindowModel::find_tops(std::vector<Probe>& probes)
{
    std::vector<Probe*> climbing;
    std::vector<xcb_window_t> at;
    for (Probe& p : probes) {
        if (!p.ok) continue;
        if (p.parent == root_) {
            p.top = p.win;
            continue;
        }
        climbing.push_back(&p);
        at.push_back(p.parent);
    }
    for (int level = 0; level < ANCESTRY_MAX && !climbing.empty(); ++level) {
        std::vector<xcb_query_tree_cookie_t> cookies;
        for (xcb_window_t w : at) cookies.push_back(xcb_query_tree(c_, w));
        std::vector<Probe*> next;
        std::vector<xcb_window_t> next_at;
        for (size_t i = 0; i < climbing.size(); ++i) {
            xcb_generic_error_t* e = nullptr;
            XcbReply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c_, cookies[i], &e));
            std::free(e);
            const xcb_window_t parent = r ? r->parent : 0;
            if (parent == root_) climbing[i]->top = at[i];
            if (parent == root_ || parent == 0) continue;
            next.push_back(climbing[i]);
            next_at.push_back(parent);
        }
        climbing.swap(next);
        at.swap(next_at);
    }
}

// Attributes, geometry, parent and root position of every window, pipelined.
std::vector<WindowModel::Probe> WindowModel::probe(const std::vector<xcb_window_t>& ids)
{
    struct Cookies {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_query_tree_cookie_t tree;
        xcb_translate_coordinates_cookie_t position;
    };
    std::vector<Cookies> cookies;
    for (xcb_window_t w : ids)
        cookies.push_back({xcb_get_window_attributes(c_, w), xcb_get_geometry(c_, w), xcb_query_tree(c_, w),
                           xcb_translate_coordinates(c_, w, root_, 0, 0)});
    std::vector<Probe> probes(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        xcb_generic_error_t* e[4] = {};
        XcbReply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c_, cookies[i].attributes, &e[0]));
        XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, cookies[i].geometry, &e[1]));
        XcbReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c_, cookies[i].tree, &e[2]));
        XcbReply<xcb_translate_coordinates_reply_t> p(
            xcb_translate_coordinates_reply(c_, cookies[i].position, &e[3]));
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

// A child of the root is recorded while it is viewable; a child of a frame
// while it is there.  The manager's own windows never are.
bool WindowModel::acceptable(const Probe& p, const Pending& why) const
{
    if (!p.ok || !p.input_output || p.top == 0 || managers(p.win)) return false;
    if (why.frame == 0) return p.parent == root_ && p.viewable;
    return p.parent == why.frame && frames_.contains(why.frame);
}

void WindowModel::apply(WindowState& w, const Probe& p)
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
    if (w.top != p.top) stack_dirty_ = true;
    w.top = p.top;
}

WindowState& WindowModel::start_tracking(const Probe& p, xcb_window_t frame)
{
    WindowState& w = windows_[p.win];
    w.win = p.win;
    w.frame = frame;
    w.override_redirect = p.override_redirect;
    quietly(xcb_change_window_attributes_checked(c_, p.win, XCB_CW_EVENT_MASK, &WINDOW_EVENTS));
    w.damage = xcb_generate_id(c_);
    quietly(xcb_damage_create_checked(c_, w.damage, p.win, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES));
    apply(w, p);
    w.stale = true;
    stack_dirty_ = true;
    return w;
}

void WindowModel::probe_pending()
{
    const size_t n = std::min(pending_.size(), BATCH);
    if (n == 0) return;
    const std::vector<Pending> batch(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(n));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(n));
    std::vector<xcb_window_t> ids;
    for (const Pending& q : batch) {
        queued_.erase(q.win);
        ids.push_back(q.win);
    }
    const std::vector<Probe> probes = probe(ids);
    std::vector<WindowState*> added;
    for (size_t i = 0; i < probes.size(); ++i)
        if (!windows_.contains(probes[i].win) && acceptable(probes[i], batch[i]))
            added.push_back(&start_tracking(probes[i], batch[i].frame));
    name_pixmaps(added);
}

// ---------------------------------------------------------------- pixmaps and damage

void WindowModel::release_pixmap(WindowState& w)
{
    if (w.pixmap != 0 && c_) quietly(xcb_free_pixmap_checked(c_, w.pixmap));
    w.pixmap = 0;
}

// Names the backing pixmap of every viewable window given, pipelined.  A
// window whose naming fails (a pop-up is redirected only just after it is
// mapped) stays stale and is tried again at the next tick.
void WindowModel::name_pixmaps(const std::vector<WindowState*>& windows)
{
    std::vector<std::pair<WindowState*, xcb_void_cookie_t>> named;
    for (WindowState* w : windows) {
        release_pixmap(*w);
        w->stale = w->rename = false;
        if (!w->mapped) continue;
        w->pixmap = xcb_generate_id(c_);
        named.emplace_back(w, xcb_composite_name_window_pixmap_checked(c_, w->win, w->pixmap));
    }
    for (auto& [w, cookie] : named) {
        XcbReply<xcb_generic_error_t> error(xcb_request_check(c_, cookie));
        w->stale = w->rename = error != nullptr;
        if (error) w->pixmap = 0;
        DEBUG_AS("name_window_pixmap", "window 0x%0x: pixmap 0x%0x%s", w->win, w->pixmap,
                 error ? " (failed)" : "");
    }
}

void WindowModel::repaint_whole(WindowState& w)
{
    w.accumulator.add(0, 0, w.width, w.height, w.width, w.height);
}

// An idle display sends no event that would let expectations go: each
// window keeps only its last check's.
void WindowModel::check_damage()
{
    for (auto& [id, w] : windows_) {
        if (w.damage_checked != 0) x_forget(w.damage_checked);
        w.damage_checked = xcb_damage_subtract(c_, w.damage, XCB_NONE, XCB_NONE).sequence;
        x_expect(w.damage_checked, {XErrorMeaning::DAMAGE_CHECK, id});
    }
}

void WindowModel::damage_lost(xcb_window_t win)
{
    WindowState* w = find(win);
    if (!w) return;
    w->damage = xcb_generate_id(c_);
    quietly(xcb_damage_create_checked(c_, w->damage, win, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES));
    repaint_whole(*w);
    ++resources_remade_;
}

void WindowModel::image_lost(xcb_window_t win)
{
    WindowState* w = find(win);
    if (!w) return;
    w->stale = w->rename = true;
    repaint_whole(*w);
    ++resources_remade_;
}

unsigned WindowModel::take_resources_remade()
{
    return std::exchange(resources_remade_, 0);
}

// Stops tracking; the area last composed for it is repainted.  A destroyed
// window took its damage object and our event selection with it.
void WindowModel::forget(WindowState& w, bool destroyed)
{
    if (w.previous.mapped)
        vanished_.add(w.previous.x_root, w.previous.y_root, w.previous.width, w.previous.height);
    release_pixmap(w);
    if (!destroyed && c_) {
        const uint32_t none = 0;
        quietly(xcb_change_window_attributes_checked(c_, w.win, XCB_CW_EVENT_MASK, &none));
        quietly(xcb_damage_destroy_checked(c_, w.damage));
    }
    windows_.erase(w.win);
    stack_dirty_ = true;
}

void WindowModel::forget_all()
{
    while (!windows_.empty()) forget(windows_.begin()->second, false);
    while (!frames_.empty()) drop_frame(frames_.begin()->first, false);
    pending_.clear();
    queued_.clear();
}

// ---------------------------------------------------------------- the root's children

std::vector<WindowModel::RootChild>::iterator WindowModel::root_child(xcb_window_t win)
{
    return std::find_if(root_children_.begin(), root_children_.end(),
                        [win](const RootChild& c) { return c.win == win; });
}

void WindowModel::root_child_created(xcb_window_t win, bool override_redirect)
{
    if (root_child(win) != root_children_.end()) return;
    root_children_.push_back({win, override_redirect, false, {}, 0});
    classify_root_child(root_children_.back());
    stack_dirty_ = true;
}

void WindowModel::root_child_gone(xcb_window_t win)
{
    if (auto it = root_child(win); it != root_children_.end()) root_children_.erase(it);
    if (WindowState* w = find(win); w && w->frame == 0) forget(*w, false);
    drop_frame(win, false);
    structure_changed(win, true);
    stack_dirty_ = true;
}

void WindowModel::root_child_mapped(xcb_window_t win, bool override_redirect)
{
    auto it = root_child(win);
    if (it == root_children_.end()) return;
    it->override_redirect = override_redirect;
    it->mapped = true;
    structure_changed(win, true);
    if (managers(win)) {
        if (auto f = frames_.find(win); f != frames_.end()) f->second.dirty = true;
    } else if (!windows_.contains(win)) {
        queue(win, 0);
    }
}

void WindowModel::root_child_unmapped(xcb_window_t win)
{
    if (auto it = root_child(win); it != root_children_.end()) it->mapped = false;
    structure_changed(win, true);
    if (WindowState* w = find(win); w && w->frame == 0) forget(*w, false);
}

void WindowModel::root_child_restacked(xcb_window_t win, xcb_window_t above, bool on_top_when_none)
{
    auto it = root_child(win);
    if (it == root_children_.end()) return;
    const RootChild moved = *it;
    root_children_.erase(it);
    if (above == XCB_NONE) {
        root_children_.insert(on_top_when_none ? root_children_.end() : root_children_.begin(), moved);
    } else {
        auto sibling = root_child(above);
        root_children_.insert(sibling == root_children_.end() ? root_children_.end() : sibling + 1, moved);
    }
    stack_dirty_ = true;
}

void WindowModel::root_child_configured(const xcb_configure_notify_event_t* e)
{
    root_child_restacked(e->window, e->above_sibling, false);
    auto it = root_child(e->window);
    if (it == root_children_.end()) return;
    const xcb_rectangle_t now{e->x, e->y, e->width, e->height};
    const bool moved = std::memcmp(&now, &it->geometry, sizeof now) != 0 || e->border_width != it->border;
    it->geometry = now;
    it->border = e->border_width;
    // a restack alone changes nothing of the windows it holds
    if (moved) structure_changed(e->window, false);
}

void WindowModel::structure_changed(xcb_window_t win, bool pixmap_replaced)
{
    for (auto& [id, w] : windows_)
        if (id == win || w.top == win || w.frame == win) {
            w.stale = true;
            w.rename = w.rename || pixmap_replaced;
        }
}

void WindowModel::destroyed(xcb_window_t win)
{
    if (WindowState* w = find(win)) forget(*w, true);
    drop_frame(win, true);
    if (auto it = root_child(win); it != root_children_.end()) root_children_.erase(it);
}

// ---------------------------------------------------------------- work and the stack

WindowState* WindowModel::find(xcb_window_t win)
{
    auto it = windows_.find(win);
    return it == windows_.end() ? nullptr : &it->second;
}

bool WindowModel::work()
{
    if (!c_) return false;
    read_frames();
    probe_pending();
    return !pending_.empty() || std::ranges::any_of(frames_, [](const auto& f) { return f.second.dirty; });
}

void WindowModel::refresh()
{
    std::vector<xcb_window_t> ids;
    for (auto& [id, w] : windows_)
        if (w.stale) ids.push_back(id);
    if (ids.empty()) return;
    const std::vector<Probe> probes = probe(ids);
    std::vector<WindowState*> renamed;
    for (const Probe& p : probes) {
        WindowState* w = find(p.win);
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

void WindowModel::append_frame(xcb_window_t frame)
{
    const auto it = frames_.find(frame);
    if (it == frames_.end()) return;
    for (xcb_window_t child : it->second.children) {
        if (WindowState* w = find(child); w && w->frame == frame) stack_.push_back(w);
        append_frame(child);
    }
}

// The root's children bottom to top, each frame replaced by what it holds.
void WindowModel::build_stack()
{
    stack_.clear();
    for (const RootChild& child : root_children_) {
        if (WindowState* w = find(child.win); w && w->frame == 0) stack_.push_back(w);
        append_frame(child.win);
    }
    stack_dirty_ = false;
}

const std::vector<WindowState*>& WindowModel::stack()
{
    if (stack_dirty_) build_stack();
    return stack_;
}

Region WindowModel::take_vanished()
{
    Region out = vanished_;
    vanished_.clear();
    return out;
}
