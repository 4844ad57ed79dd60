// One frame tick: the areas that changed, and the tickets that repaint them.
#include "tick.h"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "debugging.h"
#include "display.h"
#include "image-room.h"
#include "receiver.h"
#include "region.h"
#include "window-model.h"
#include "window-records.h"
#include "x-errors.h"

namespace {

uint16_t composed_width;
uint16_t composed_height;
std::vector<xcb_window_t> composed; // the windows shown at the last tick, bottom first
bool cursor_changed;

bool shown(const WindowState& w)
{
    return w.mapped && w.pixmap != 0;
}

void add_rect(Region& r, int x, int y, int w, int h)
{
    r.add(x, y, w, h, root_width(), root_height());
}

void send(const RequestTicket& t, const char* what)
{
    if (!send_to_receiver(&t))
        JOURNAL_AS("process_frame_tick", LOG_ERR,
                   "failed to send ticket for %s request at %ux%u+%d+%d to image receiver", what, t.r.width,
                   t.r.height, t.r.x, t.r.y);
}

// A window that moved without changing size: its pixels move with it, which
// the compressor turns into a copy record instead of new blocks.
void send_move(const WindowState& w)
{
    RequestTicket t{};
    t.type = REQUESTED_COPY;
    t.r = {w.previous.x_root, w.previous.y_root, w.width, w.height};
    t.to_x = w.x_root;
    t.to_y = w.y_root;
    send(t, "copy");
}

// The change of one window since the last tick, in root coordinates.
void add_window_damage(Region& damage, WindowState& w)
{
    const bool now = shown(w), before = w.previous.mapped;
    const bool moved = w.x_root != w.previous.x_root || w.y_root != w.previous.y_root;
    const bool resized = w.width != w.previous.width || w.height != w.previous.height;
    if (before && (!now || moved || resized))
        add_rect(damage, w.previous.x_root, w.previous.y_root, w.previous.width, w.previous.height);
    if (now && (!before || moved || resized)) add_rect(damage, w.x_root, w.y_root, w.width, w.height);
    if (now && before && moved && !resized) send_move(w);
    if (now && !w.accumulator.empty()) {
        Region moved_damage = w.accumulator;
        moved_damage.translate(w.x_root, w.y_root);
        damage.add(moved_damage);
    }
    w.accumulator.clear();
    w.previous = {now, w.x_root, w.y_root, w.width, w.height};
}

Region window_area(const WindowState& w)
{
    Region r;
    add_rect(r, w.x_root, w.y_root, w.width, w.height);
    return r;
}

// A restack moves no window and damages no contents, yet it changes which
// window shows where two overlap: the overlaps of every pair whose order
// changed are repainted.
void add_restacking_damage(Region& damage, const std::vector<WindowState*>& now)
{
    std::vector<xcb_window_t> ids;
    for (const WindowState* w : now) ids.push_back(w->win);
    if (ids == composed) return;
    std::unordered_map<xcb_window_t, size_t> before; // position at the last tick
    for (size_t i = 0; i < composed.size(); ++i) before.emplace(composed[i], i);
    for (size_t i = 0; i < now.size(); ++i) {
        const auto at_i = before.find(now[i]->win);
        if (at_i == before.end()) continue; // newly shown: damaged whole already
        for (size_t j = i + 1; j < now.size(); ++j) {
            const auto at_j = before.find(now[j]->win);
            if (at_j == before.end() || at_j->second > at_i->second) continue;
            Region overlap = window_area(*now[i]);
            overlap.intersect(window_area(*now[j]));
            damage.add(overlap);
        }
    }
    composed = std::move(ids);
}

// Everything that changed since the last tick; the moved windows' copies
// are sent on the way.
Region collect_damage(WindowModel& windows, const std::vector<WindowState*>& now)
{
    Region damage = windows.take_vanished();
    if (root_width() != composed_width || root_height() != composed_height) {
        DEBUG_AS("process_frame_tick", "screen is now %ux%u -> repainting all of it", root_width(),
                 root_height());
        composed_width = root_width();
        composed_height = root_height();
        add_rect(damage, 0, 0, composed_width, composed_height);
    }
    for (auto& [id, w] : windows.windows()) add_window_damage(damage, w);
    add_restacking_damage(damage, now);
    return damage;
}

// Damage is reported again only once emptied; emptying it before the images
// are asked for means no change can fall between the two.
void subtract_damage(WindowModel& windows)
{
    for (auto& [id, w] : windows.windows())
        if (w.damaged) {
            x_expect(xcb_damage_subtract(display_connection(), w.damage, XCB_NONE, XCB_NONE).sequence,
                     {XErrorMeaning::DAMAGE_CHECK, id});
            w.damaged = false;
        }
}

// One request for the rectangle r of a window's named pixmap (whose origin
// is the outer corner: it holds the border too), with room taken for it.
void request_part(const WindowState& w, xcb_rectangle_t r)
{
    xcb_connection_t* c = display_connection();
    RequestTicket t{};
    t.type = REQUESTED_IMAGE;
    t.r = r;
    t.release_to = image_room_take(c, r.width, r.height);
    if (t.release_to == 0) return; // the connection broke
    const auto x = static_cast<int16_t>(r.x - w.x_root), y = static_cast<int16_t>(r.y - w.y_root);
    t.cookie.sequence =
        xcb_get_image_unchecked(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w.pixmap, x, y, r.width, r.height, 0xFFFFFFFFu)
            .sequence;
    x_expect(t.cookie.sequence, {XErrorMeaning::IMAGE, w.win});
    send(t, "image");
}

// A box of a window, in stripes that each fit into the room for images.
void request_image(const WindowState& w, const pixman_box16_t& box)
{
    xcb_rectangle_t r = rectangle_of(box);
    const uint16_t rows = image_room_rows_per_request(r.width);
    for (uint16_t done = 0; done < r.height;) {
        const auto n = static_cast<uint16_t>(std::min<int>(rows, r.height - done));
        request_part(w, {r.x, static_cast<int16_t>(r.y + done), r.width, n});
        done = static_cast<uint16_t>(done + n);
    }
}

// Bottom of the stack first: each window paints over what lies under it.
void request_images(const Region& damage, const std::vector<WindowState*>& stack)
{
    for (const WindowState* w : stack) {
        if (!shown(*w)) continue;
        Region area = window_area(*w);
        area.intersect(damage);
        for (const pixman_box16_t& box : area.boxes()) request_image(*w, box);
    }
}

void send_clears(const Region& damage)
{
    for (const pixman_box16_t& box : damage.boxes()) {
        RequestTicket t{};
        t.type = REQUESTED_CLEAR;
        t.r = rectangle_of(box);
        send(t, "clear");
    }
}

} // namespace

void request_cursor_image()
{
    xcb_connection_t* c = display_connection();
    const xcb_xfixes_get_cursor_image_cookie_t cookie = xcb_xfixes_get_cursor_image(c);
    RequestTicket t{};
    t.type = REQUESTED_CURSOR_IMAGE;
    t.cookie.sequence = cookie.sequence;
    send(t, "cursor image");
}

void tick_cursor_changed()
{
    cursor_changed = true;
}

void tick_setup()
{
    composed_width = root_width();
    composed_height = root_height();
    composed.clear();
}

void tick_reset()
{
    composed.clear();
    cursor_changed = true;
}

void process_frame_tick(WindowModel& windows)
{
    windows.refresh();
    const std::vector<WindowState*>& stack = windows.stack();
    std::vector<WindowState*> now; // shown, bottom first
    for (WindowState* w : stack)
        if (shown(*w)) now.push_back(w);
    const Region damage = collect_damage(windows, now);
    window_records_tick(display_connection(), now);
    subtract_damage(windows);
    if (cursor_changed) request_cursor_image();
    cursor_changed = false;
    if (!damage.empty()) {
        send_clears(damage);
        request_images(damage, stack);
        RequestTicket frame{};
        frame.type = REQUESTED_FRAME;
        send(frame, "frame");
    }
    xcb_flush(display_connection());
}
