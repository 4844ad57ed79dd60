// The tracked client windows, kept in step with the root's _NET_CLIENT_LIST,
// and the last copy of _NET_CLIENT_LIST_STACKING.  Main thread only.
#include "window-list.h"

#include <err.h>
#include <xcb/composite.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "debugging.h"
#include "display.h"
#include "frontend.h"
#include "misc.h"

WindowList list_of_windows;
xcb_window_t* window_stack;
size_t window_stack_size;
xcb_atom_t A_NET_CLIENT_LIST;
xcb_atom_t A_NET_CLIENT_LIST_STACKING;

// Work arrays of the reconciliation up to this many ids live on the stack.
static constexpr size_t WORK_ARRAY_ON_STACK = 512;

// ---- the sorted array ----

void list_init(WindowList* list)
{
    list->capacity = 0;
    list->size = 0;
    list->ws = nullptr;
}

void list_destroy(WindowList* list)
{
    std::free(list->ws);
    list_init(list);
}

size_t list_lower_bound(const WindowList* list, xcb_window_t win)
{
    size_t lo = 0;
    size_t hi = list->size;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (list->ws[mid].win < win)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

WindowState* list_find(WindowList* list, xcb_window_t win)
{
    size_t i = list_lower_bound(list, win);
    if (i < list->size && list->ws[i].win == win) return &list->ws[i];
    return nullptr;
}

bool list_reserve(WindowList* list, size_t new_capacity)
{
    if (new_capacity < list->size || new_capacity > SIZE_MAX / sizeof(WindowState)) return false;
    void* p = std::realloc(list->ws, new_capacity * sizeof(WindowState));
    if (p == nullptr && new_capacity != 0) return false;
    list->ws = static_cast<WindowState*>(p);
    list->capacity = new_capacity;
    return true;
}

WindowState* list_add(WindowList* list, WindowState item)
{
    size_t i = list_lower_bound(list, item.win);
    if (i < list->size && list->ws[i].win == item.win) return nullptr;
    if (list->size == list->capacity) {
        size_t grown = list->capacity == 0 ? 8 : list->capacity * 2;
        if (!list_reserve(list, grown)) return nullptr;
    }
    // entries are plain bytes (the region's rectangles live apart), so a move is a memmove
    std::memmove(static_cast<void*>(&list->ws[i + 1]), static_cast<const void*>(&list->ws[i]),
                 (list->size - i) * sizeof(WindowState));
    list->ws[i] = item;
    list->size++;
    return &list->ws[i];
}

bool list_remove(WindowList* list, xcb_window_t win)
{
    size_t i = list_lower_bound(list, win);
    if (i >= list->size || list->ws[i].win != win) return false;
    std::memmove(static_cast<void*>(&list->ws[i]), static_cast<const void*>(&list->ws[i + 1]),
                 (list->size - i - 1) * sizeof(WindowState));
    list->size--;
    return true;
}

int win_cmp(const void* a, const void* b)
{
    xcb_window_t x = *static_cast<const xcb_window_t*>(a);
    xcb_window_t y = *static_cast<const xcb_window_t*>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

const char* map_state_name(uint8_t s)
{
    switch (s) {
    case XCB_MAP_STATE_UNMAPPED: return "UNMAPPED";
    case XCB_MAP_STATE_UNVIEWABLE: return "UNVIEWABLE";
    case XCB_MAP_STATE_VIEWABLE: return "VIEWABLE";
    default: return "UNKNOWN";
    }
}

// ---- server state of one window ----

xcb_window_t* get_root_window_list_property(xcb_connection_t* c, xcb_window_t root, xcb_atom_t prop,
                                            size_t* n_out)
{
    *n_out = 0;
    auto reply = xcb_reply(xcb_get_property_reply, c,
                           xcb_get_property(c, 0, root, prop, XCB_ATOM_WINDOW, 0, 0xFFFFFFFF));
    if (!reply) return nullptr;
    int length = xcb_get_property_value_length(reply.get());
    if (length <= 0) return nullptr;
    size_t bytes = static_cast<size_t>(length) / 4 * 4;
    if (bytes == 0) return nullptr;
    auto* ids = static_cast<xcb_window_t*>(std::malloc(bytes));
    if (ids == nullptr) return nullptr;
    std::memcpy(ids, xcb_get_property_value(reply.get()), bytes);
    *n_out = bytes / 4;
    return ids;
}

void name_window_pixmap(xcb_connection_t* c, WindowState* st)
{
    if (st->pixmap != 0) {
        xcb_free_pixmap(c, st->pixmap);
        st->pixmap = 0;
    }
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    XcbReply<xcb_generic_error_t> error(
        xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, st->win, pixmap)));
    if (error) {
        DEBUG("NameWindowPixmap failed for window 0x%0x", st->win);
        return;
    }
    DEBUG("got NameWindowPixmap 0x%0x for window 0x%0x", pixmap, st->win);
    st->pixmap = pixmap;
}

// GetWindowAttributes: `mapped` becomes whether the window is viewable; kept
// when the server gives no reply.  Logged under the caller's name.
static void query_map_state(const char* caller, xcb_connection_t* c, WindowState* st)
{
    auto reply = xcb_reply(xcb_get_window_attributes_reply, c, xcb_get_window_attributes(c, st->win));
    if (!reply) return;
    DEBUG_AS(caller, "window 0x%0x: map_state=%s", st->win, map_state_name(reply->map_state));
    st->mapped = reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

void window_map_state_update(WindowState* st)
{
    query_map_state(__func__, display_connection(), st);
    if (st->mapped && !st->previous.mapped) {
        DEBUG("renew NameWindowPixmap");
        name_window_pixmap(display_connection(), st);
    }
}

void window_root_coordinates_update(WindowState* st)
{
    xcb_connection_t* c = display_connection();
    auto reply = xcb_reply(xcb_translate_coordinates_reply, c,
                           xcb_translate_coordinates(c, st->win, display_root(), 0, 0));
    if (!reply) {
        DEBUG("failed to get coordinates in root window for window 0x%0x", st->win);
        return;
    }
    st->x_root = reply->dst_x;
    st->y_root = reply->dst_y;
    DEBUG("window=0x%0x x_root=%d y_root=%d", st->win, st->x_root, st->y_root);
}

void window_map_and_geometry_update(xcb_connection_t* c, WindowState* st)
{
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    query_map_state(__func__, c, st);
    clock_gettime(CLOCK_MONOTONIC, &end);
    DEBUG("duration: %.3f ms", static_cast<double>(end.tv_sec - start.tv_sec) * 1000.0 +
                                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1000000.0);

    auto geometry = xcb_reply(xcb_get_geometry_reply, c, xcb_get_geometry(c, st->win));
    if (geometry) {
        st->width = geometry->width;
        st->height = geometry->height;
        // the named pixmap includes the border: the inside starts at (bw, bw) in it
        st->border_width = geometry->border_width;
        DEBUG("window 0x%0x: width=%d height=%d", st->win, st->width, st->height);
    } else {
        DEBUG("failed to get geometry of window 0x%0x", st->win);
    }
    window_root_coordinates_update(st);
}

// ---- the list ----

void window_list_dump()
{
    if (!debugging()) return;
    debug_puts(__func__, "#windows=%zu", list_of_windows.size);
    for (size_t i = 0; i < list_of_windows.size; i++) {
        const WindowState& w = list_of_windows.ws[i];
        debug_printf("\t[%zu] 0x%0x mapped=%s pixmap=0x%0x\n", i + 1, w.win, w.mapped ? "yes" : "no",
                     w.pixmap);
    }
}

void window_list_add(xcb_connection_t* c, xcb_window_t win)
{
    WindowState item;
    std::memset(static_cast<void*>(&item), 0, sizeof item);
    item.win = win;
    WindowState* st = list_add(&list_of_windows, item);
    if (st == nullptr) {
        DEBUG("failed to add window 0x%0x to window list", win);
        return;
    }
    // an entry in the list always holds an initialised region
    pixman_region_init(&st->accumulator);

    const uint32_t events = XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, win, XCB_CW_EVENT_MASK, &events);
    window_map_and_geometry_update(c, st);

    st->damage = xcb_generate_id(c);
    xcb_damage_create(c, st->damage, win, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES);
    if (st->mapped) name_window_pixmap(c, st);

    DEBUG("added window=0x%0x", win);
    window_list_dump();
}

void window_list_remove(WindowState* st)
{
    xcb_connection_t* c = display_connection();
    const xcb_window_t win = st->win;
    DEBUG("removing window 0x%0x", win);
    pixman_region_fini(&st->accumulator);
    if (st->pixmap != 0) {
        xcb_free_pixmap(c, st->pixmap);
        st->pixmap = 0;
    }
    if (st->damage != 0) {
        xcb_damage_destroy(c, st->damage);
        st->damage = 0;
    }
    list_remove(&list_of_windows, win);
    window_list_dump();
}

static void dump_window_ids(const char* function, const char* title, const xcb_window_t* ids, size_t n)
{
    if (!debugging()) return;
    debug_puts(function, "%s", title);
    for (size_t i = 0; i < n; i++) debug_printf(" 0x%0x", ids[i]);
    debug_printf("\n");
}

void window_list_update()
{
    xcb_connection_t* c = display_connection();
    size_t n = 0;
    xcb_window_t* ids = get_root_window_list_property(c, display_root(), A_NET_CLIENT_LIST, &n);
    dump_window_ids(__func__, "_NET_CLIENT_LIST:", ids, n);
    if (n > 1) std::qsort(ids, n, sizeof *ids, win_cmp);

    xcb_window_t add_buffer[WORK_ARRAY_ON_STACK];
    xcb_window_t remove_buffer[WORK_ARRAY_ON_STACK];
    const size_t n_listed = list_of_windows.size;
    xcb_window_t* to_add = add_buffer;
    xcb_window_t* to_remove = remove_buffer;
    if (n > WORK_ARRAY_ON_STACK) {
        to_add = static_cast<xcb_window_t*>(std::malloc(n * sizeof *to_add));
        if (to_add == nullptr) {
            INVARIANT(to_add != nullptr, "to_add != 0 && \"to_add should not be NULL\"");
            std::abort();
        }
    }
    if (n_listed > WORK_ARRAY_ON_STACK) {
        to_remove = static_cast<xcb_window_t*>(std::malloc(n_listed * sizeof *to_remove));
        if (to_remove == nullptr) {
            INVARIANT(to_remove != nullptr, "to_remove != 0 && \"to_remove should not be NULL\"");
            std::abort();
        }
    }

    // one merge of two ascending sequences
    size_t n_add = 0;
    size_t n_remove = 0;
    size_t i = 0;
    size_t j = 0;
    while (i < n || j < n_listed) {
        xcb_window_t a = i < n ? ids[i] : 0xFFFFFFFF;
        xcb_window_t b = j < n_listed ? list_of_windows.ws[j].win : 0xFFFFFFFF;
        if (a == b) {
            i++;
            j++;
        } else if (a < b) {
            to_add[n_add++] = a;
            i++;
        } else {
            to_remove[n_remove++] = b;
            j++;
        }
    }

    DEBUG("before...");
    window_list_dump();
    for (size_t k = 0; k < n_remove; k++) {
        WindowState* st = list_find(&list_of_windows, to_remove[k]);
        if (st != nullptr)
            window_list_remove(st);
        else
            DEBUG("failed to find window 0x%0x for removal", to_remove[k]);
    }
    for (size_t k = 0; k < n_add; k++) window_list_add(c, to_add[k]);
    DEBUG("... after");
    window_list_dump();

    if (to_add != add_buffer) std::free(to_add);
    if (to_remove != remove_buffer) std::free(to_remove);
    std::free(ids);
}

void window_stack_retrieve()
{
    std::free(window_stack);
    window_stack = get_root_window_list_property(display_connection(), display_root(),
                                                 A_NET_CLIENT_LIST_STACKING, &window_stack_size);
    dump_window_ids(__func__, "_NET_CLIENT_LIST_STACKING:", window_stack, window_stack_size);
}

void window_list_setup()
{
    xcb_connection_t* c = display_connection();
    A_NET_CLIENT_LIST = intern_atom(c, "_NET_CLIENT_LIST");
    if (A_NET_CLIENT_LIST == 0) errx(1, "intern_atom _NET_CLIENT_LIST failed");
    A_NET_CLIENT_LIST_STACKING = intern_atom(c, "_NET_CLIENT_LIST_STACKING");
    if (A_NET_CLIENT_LIST_STACKING == 0) errx(1, "intern_atom _NET_CLIENT_LIST_STACKING failed");
    list_init(&list_of_windows);
    window_list_update();
    window_stack_retrieve();
}

void window_list_teardown()
{
    // the pixmaps and damage objects go with the connection; the regions' storage is ours
    for (size_t i = 0; i < list_of_windows.size; i++) pixman_region_fini(&list_of_windows.ws[i].accumulator);
    list_destroy(&list_of_windows);
    std::free(window_stack);
    window_stack = nullptr;
    window_stack_size = 0;
}
