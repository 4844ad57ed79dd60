// Last-input arbitration among cooperating member clients.
//
// Member messages are ClientMessages of format 32 sent to the root window
// with the message type LAST_INPUT.  The root receives ClientMessages of
// every window-manager protocol all the time (EWMH, ICCCM, XEMBED, ...):
// none of them is ever taken for a member's, and none costs a round trip.
//
// Members are other clients of the recorded display, one per participant.
// They announce themselves with a root property (name, a zero byte, tfn)
// named by their atom, keep themselves alive with heartbeats, and report
// every key or button press they see as a vote: with their own atom when the
// input was theirs, with atom 0 when it was not.  A vote that names a member
// credits it at once; an input that every member disclaims goes to the
// recorder's own user.  Everything here runs on the main thread; only the
// quorum is read from the input recording thread.
#include "last-input.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "args.h"
#include "console.h"
#include "debugging.h"
#include "display.h"
#include "timer.h"
#include "writer.h"
#include "x-reply.h"
#include "zel.h"

namespace {

constexpr size_t MEMBERS_MAX = 32; // entry 0 (own user) and 31 members
constexpr size_t VOTES_MAX = 32;   // at most 31 pending
constexpr uint32_t MEMBER_TIMEOUT_MS = 2500;
constexpr uint32_t PROPERTY_LENGTH = 1024; // 32-bit units: 4096 bytes
constexpr xcb_timestamp_t EMPTY_TIME = UINT32_MAX;

} // namespace

typedef struct last_input_member {
    xcb_atom_t atom;
    const char* name;
    const char* tfn;
    xcb_timestamp_t time;
} Member;

typedef struct last_input_vote {
    xcb_timestamp_t time;
    int type;
    int votes_left;
} Vote;

struct last_input_last_vote {
    xcb_atom_t member;
    xcb_timestamp_t time;
    bool decided; // any vote decided yet
};

static Member members[MEMBERS_MAX];
// Written here on the main thread, read by the record thread without a lock.
static std::atomic<size_t> quorum;
static Vote votes[VOTES_MAX];
static size_t votes_pending;
static last_input_last_vote last_vote;
// The tfn last announced on standard output, whole (a member's tfn may be as
// long as its property, 4096 bytes).
static std::string last_input_name;

static last_input_clock_fn clock_fn = time_in_ms;
// The message type of the members' messages; interned at set-up.
static xcb_atom_t member_message_type = XCB_NONE;

void last_input_clock_set(last_input_clock_fn clock)
{
    clock_fn = clock != nullptr ? clock : time_in_ms;
}

static uint32_t now_in_ms()
{
    return clock_fn();
}

static const char* text(const char* s)
{
    return s != nullptr ? s : "(null)";
}

// Member and vote times are 32-bit milliseconds that wrap (like the X
// server's, after 49.7 days): a is later than b when the signed difference
// says so.
static bool later(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) > 0;
}

// A name or tfn with a control character (a line end above all) could
// forge a second announcement line.
static bool has_control_character(const char* s)
{
    for (; s != nullptr && *s != '\0'; ++s)
        if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7f) return true;
    return false;
}

static const char* message_type_name(uint32_t type)
{
    switch (type) {
    case LI_MEMBER_REGISTER: return "MEMBER_REGISTER";
    case LI_MEMBER_HEARTBEAT: return "MEMBER_HEARTBEAT";
    case LI_MEMBER_LEAVE: return "MEMBER_LEAVE";
    case LI_KEY_PRESS: return "KEY_PRESS";
    case LI_BUTTON_PRESS: return "BUTTON_PRESS";
    default: return "unknown";
    }
}

static void member_clear(Member* m)
{
    *m = Member{0, nullptr, nullptr, EMPTY_TIME};
}

static void member_release(Member* m)
{
    free(const_cast<char*>(m->name));
    free(const_cast<char*>(m->tfn));
    member_clear(m);
}

static void vote_clear(Vote* v)
{
    *v = Vote{EMPTY_TIME, -1, -1};
}

static bool vote_less(const Vote& a, const Vote& b)
{
    // Empty entries are all ones and sort behind every pending vote; compare
    // the type as unsigned so that its all-ones value does too.
    if (a.time != b.time) return a.time < b.time;
    return static_cast<unsigned>(a.type) < static_cast<unsigned>(b.type);
}

static void votes_sort()
{
    std::sort(votes, votes + VOTES_MAX, vote_less);
}

static void members_sort_by_atom()
{
    std::sort(members + 1, members + 1 + quorum,
              [](const Member& a, const Member& b) { return a.atom < b.atom; });
}

static void members_dump()
{
    if (!debugging()) return;
    size_t q = quorum;
    debug_printf("-- %s: quorum=%zu\n", __func__, q);
    for (size_t i = 0; i <= q; i++)
        debug_printf("\tmembers[%zu]: atom=%u name=%s tfn=%s time=%u\n", i, members[i].atom,
                     text(members[i].name), text(members[i].tfn), members[i].time);
}

static void votes_dump()
{
    if (!debugging()) return;
    debug_printf("-- %s: votes_pending=%zu\n", __func__, votes_pending);
    for (size_t i = 0; i < votes_pending; i++)
        debug_printf("\tvotes[%zu]: time=%u type=%d votes_left=%d\n", i, votes[i].time, votes[i].type,
                     votes[i].votes_left);
}

static Member* member_find(xcb_atom_t atom)
{
    Member* first = members;
    Member* last = members + quorum + 1;
    Member* m = std::lower_bound(first, last, atom, [](const Member& e, xcb_atom_t a) { return e.atom < a; });
    return m != last && m->atom == atom ? m : nullptr;
}

// Splits a member property into its name (up to the first zero byte) and its
// tfn (every byte after it, with a zero byte added).  False, with nothing
// allocated, for an empty value, a value without a zero byte, or no memory.
static bool get_info_from_atom(const uint8_t* value, size_t length, char** name, char** tfn)
{
    if (length == 0) return false;
    const void* zero = memchr(value, 0, length);
    if (zero == nullptr) return false;
    size_t name_length = static_cast<size_t>(static_cast<const uint8_t*>(zero) - value);
    size_t tfn_length = length - name_length - 1;

    char* n = static_cast<char*>(malloc(name_length + 1));
    char* t = static_cast<char*>(malloc(tfn_length + 1));
    if (n == nullptr || t == nullptr) {
        free(n);
        free(t);
        return false;
    }
    memcpy(n, value, name_length + 1);
    memcpy(t, value + name_length + 1, tfn_length);
    t[tfn_length] = '\0';
    *name = n;
    *tfn = t;
    return true;
}

static bool differs(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr) return a != b;
    return strcmp(a, b) != 0;
}

// Takes ownership of name and tfn.
static void member_update(Member* m, char* name, char* tfn)
{
    // Entry 0 keeps the option strings, which are not ours to release.
    if (m == members) {
        free(name);
        free(tfn);
        m->time = now_in_ms();
        return;
    }
    if (differs(m->name, name)) {
        free(const_cast<char*>(m->name));
        m->name = name;
    } else {
        free(name);
    }
    if (differs(m->tfn, tfn)) {
        free(const_cast<char*>(m->tfn));
        m->tfn = tfn;
    } else {
        free(tfn);
    }
    m->time = now_in_ms();
}

static bool members_max_reached(const char* name, const char* tfn)
{
    size_t q = quorum;
    if (q + 1 <= MEMBERS_MAX - 1) return false;
    JOURNAL_ERROR("can't add member name=<%s> tfn=<%s>: quorum=%zu", name, tfn, q);
    return true;
}

// Takes ownership of name and tfn.
static void member_add(xcb_atom_t atom, char* name, char* tfn)
{
    if (members_max_reached(name, tfn)) {
        free(name);
        free(tfn);
        return;
    }
    size_t q = quorum + 1;
    members[q] = Member{atom, name, tfn, now_in_ms()};
    quorum = q;
    DEBUG("member name=%s tfn=%s joined -> new quorum=%zu", name, tfn, q);
    members_sort_by_atom();
    members_dump();
}

static void member_register(xcb_atom_t atom)
{
    xcb_connection_t* c = display_connection();
    auto reply = xcb_reply(
        xcb_get_property_reply, c,
        xcb_get_property(c, 0, display_root(), atom, XCB_GET_PROPERTY_TYPE_ANY, 0, PROPERTY_LENGTH));
    if (!reply) {
        JOURNAL_ERROR("failed to get property for atom %d", static_cast<int>(atom));
        return;
    }
    int length = xcb_get_property_value_length(reply.get());
    if (length <= 0) return;

    char* name = nullptr;
    char* tfn = nullptr;
    if (!get_info_from_atom(static_cast<const uint8_t*>(xcb_get_property_value(reply.get())),
                            static_cast<size_t>(length), &name, &tfn))
        return;
    if (has_control_character(name) || has_control_character(tfn)) {
        JOURNAL_ERROR("refusing member of atom %u: its name or tfn holds control characters", atom);
        free(name);
        free(tfn);
        return;
    }

    Member* m = member_find(atom);
    if (m != nullptr)
        member_update(m, name, tfn);
    else
        member_add(atom, name, tfn);
}

static void member_heartbeat(xcb_atom_t atom)
{
    Member* m = member_find(atom);
    if (m != nullptr)
        m->time = now_in_ms();
    else
        member_register(atom);
}

static void members_purge_scan(uint32_t now, size_t* removed)
{
    size_t q = quorum;
    for (size_t i = 1; i <= q; i++) {
        Member* m = &members[i];
        if (later(now, m->time + MEMBER_TIMEOUT_MS)) {
            DEBUG("purging member name=%s tfn=%s", text(m->name), text(m->tfn));
            member_release(m);
            ++*removed;
        }
    }
}

static void members_purge()
{
    members_dump();
    uint32_t now = now_in_ms();
    size_t q = quorum;
    if (q == 0) return;

    size_t removed = 0;
    members_purge_scan(now, &removed);
    if (removed == 0) return;

    // Cleared entries (atom 0) go behind the remaining members.
    std::stable_partition(members + 1, members + 1 + q, [](const Member& m) { return m.atom != 0; });
    q -= removed;
    quorum = q;
    DEBUG("new quorum=%zu", q);
    members_sort_by_atom();
}

static void member_leave(xcb_atom_t atom)
{
    Member* m = member_find(atom);
    if (m == nullptr) return;
    DEBUG("member name=%s tfn=%s left", text(m->name), text(m->tfn));
    m->time = now_in_ms() - MEMBER_TIMEOUT_MS - 1; // silent for longer than allowed: purged now
    members_purge();
}

Owned<ZelLastInput> last_input_record(const char* user, const char* tfn)
{
    auto record = new_record<ZelLastInput>(ZEL_LAST_INPUT, time_in_us());
    if (!record) return nullptr;
    if (user != nullptr && (record->user = reinterpret_cast<uint8_t*>(strdup(user))) == nullptr)
        return nullptr;
    if (tfn != nullptr && (record->tfn = reinterpret_cast<uint8_t*>(strdup(tfn))) == nullptr) return nullptr;
    return record;
}

static void record_last_input(xcb_atom_t atom)
{
    const Member* m = member_find(atom);
    if (m == nullptr) {
        JOURNAL_ERROR("failed to find member entry for atom=%d", static_cast<int>(atom));
        return;
    }
    Owned<ZelLastInput> record = last_input_record(m->name, m->tfn);
    if (!record) {
        JOURNAL_ERROR("failed to allocate LAST INPUT record for name=%s tfn=%s", text(m->name), text(m->tfn));
        return;
    }
    if (send_to_writer(std::move(record))) DEBUG("last input user=%s tfn=%s", text(m->name), text(m->tfn));
}

// Announces a change of the deciding participant on standard output.
static void emit_event(xcb_atom_t atom)
{
    const Member* m = member_find(atom);
    if (m == nullptr || m->tfn == nullptr) return;
    if (last_input_name == m->tfn || has_control_character(m->tfn)) return;
    last_input_name = m->tfn;
    console_announce("##lastInputBy " + last_input_name);
}

static void votes_purge(xcb_timestamp_t time)
{
    size_t removed = 0;
    for (size_t i = 0; i < votes_pending; i++) {
        if (!later(votes[i].time, time)) {
            vote_clear(&votes[i]);
            removed++;
        }
    }
    votes_sort();
    votes_pending -= removed;
}

static void vote_concluded(xcb_atom_t atom, xcb_timestamp_t time)
{
    last_vote.member = atom;
    last_vote.time = time;
    last_vote.decided = true;
    votes_purge(time);
}

static void vote_consider(Vote* vote, xcb_atom_t atom)
{
    DEBUG("pending=%zu, vote: time=%u votes_left=%d, atom=%u", votes_pending, vote->time, vote->votes_left,
          atom);
    if (atom == 0 && vote->votes_left > 0) return;

    // Concluding clears and re-sorts the vote table: keep the time first.
    xcb_timestamp_t time = vote->time;
    emit_event(atom);
    if (!last_vote.decided || later(time, last_vote.time)) vote_concluded(atom, time);
    record_last_input(atom);
}

static Vote* vote_find(xcb_timestamp_t time, int type)
{
    Vote key{time, type, 0};
    Vote* first = votes;
    Vote* last = votes + votes_pending;
    Vote* v = std::lower_bound(first, last, key, vote_less);
    return v != last && v->time == time && v->type == type ? v : nullptr;
}

static void vote_update(Vote* vote, xcb_atom_t atom)
{
    vote->votes_left--;
    vote_consider(vote, atom);
}

static void vote_add(xcb_atom_t atom, int type, xcb_timestamp_t time)
{
    if (votes_pending + 1 > VOTES_MAX - 1) {
        JOURNAL_ERROR("can't add vote type=%d time=%d: maximum number of pending votes reached", type,
                      static_cast<int>(time));
        return;
    }
    Vote* vote = &votes[votes_pending];
    *vote = Vote{time, type, static_cast<int>(quorum.load()) - 1};
    votes_pending++;
    vote_consider(vote, atom);
    votes_sort();
}

// A vote about an input no later than the last decided one is stale (time 0
// is never an input's time).
static bool vote_is_stale(xcb_timestamp_t time)
{
    return time == 0 || (last_vote.decided && !later(time, last_vote.time));
}

static void member_vote(xcb_atom_t atom, int type, xcb_timestamp_t time)
{
    if (vote_is_stale(time)) {
        DEBUG("time %u < last_vote %u -> ignoring %s vote from %u", time, last_vote.time,
              message_type_name(static_cast<uint32_t>(type)), atom);
        return;
    }
    if (atom != 0) {
        Member* m = member_find(atom);
        if (m != nullptr)
            m->time = now_in_ms();
        else
            member_register(atom);
    }
    members_purge();

    Vote* vote = vote_find(time, type);
    if (vote != nullptr)
        vote_update(vote, atom);
    else
        vote_add(atom, type, time);
    votes_dump();
}

static void members_release_all()
{
    size_t q = quorum;
    for (size_t i = 1; i <= q; i++) member_release(&members[i]);
    quorum = 0;
}

bool last_input_is_member_message(const xcb_client_message_event_t* e)
{
    return member_message_type != XCB_NONE && e->type == member_message_type && e->format == 32 &&
           e->window == display_root();
}

void last_input_setup()
{
    if (xcb_connection_t* c = display_connection()) {
        const auto r = xcb_reply(xcb_intern_atom_reply, c, xcb_intern_atom(c, 0, 10, "LAST_INPUT"));
        member_message_type = r ? r->atom : XCB_NONE;
    }
    members_release_all();
    members[0] = Member{0, user(), tfn(), 0};
    for (size_t i = 1; i < MEMBERS_MAX; i++) member_clear(&members[i]);
    for (auto& v : votes) vote_clear(&v);
    votes_pending = 0;
    last_vote = last_input_last_vote{0, 0, false};
    last_input_name.clear();
}

void last_input_teardown()
{
    members_release_all();
}

void last_input_handle_message(const xcb_client_message_event_t* e)
{
    uint32_t type = e->data.data32[0];
    xcb_atom_t atom = e->data.data32[1];
    xcb_timestamp_t time = e->data.data32[2];
    DEBUG("type=%s atom=%u time=%u", message_type_name(type), atom, time);

    switch (type) {
    case LI_MEMBER_REGISTER: member_register(atom); break;
    case LI_MEMBER_HEARTBEAT: member_heartbeat(atom); break;
    case LI_MEMBER_LEAVE: member_leave(atom); break;
    case LI_KEY_PRESS:
    case LI_BUTTON_PRESS: member_vote(atom, static_cast<int>(type), time); break;
    default: break;
    }
}

size_t last_input_quorum()
{
    return quorum.load(std::memory_order_relaxed);
}
