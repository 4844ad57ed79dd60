// zeldump --events FILE: one line per event worth finding, for grep:
//
//   SECONDS UTC KIND FIELD=VALUE ...
//
// SECONDS since the recording's start (three decimals), UTC the same moment
// as 2024-05-01T09:30:12.345Z, KIND one of start, screen, input,
// window-shown, window-title, window-gone, gap, end, seal, damaged; text
// values are JSON strings (valid UTF-8, one line), window ids hex.
#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <string>

#include "zeldump.h"

namespace zeldump {
namespace {

std::string text(const ZelBytes& b)
{
    return quoted(b.data, b.length);
}

// The arguments of a command line joined by spaces.
std::string command(const ZelBytes& b)
{
    if (b.data == nullptr) return "null";
    std::string joined(reinterpret_cast<const char*>(b.data), b.length);
    for (char& c : joined) c = c == '\0' ? ' ' : c;
    return quoted(reinterpret_cast<const uint8_t*>(joined.data()), joined.size());
}

std::string hex_id(uint32_t id)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%" PRIx32, id);
    return b;
}

class Events {
  public:
    // The line of a record worth finding, if it is one.
    void see(const ZelRecord* r)
    {
        clock_.see(r);
        switch (r->type) {
        case ZEL_HEADER: header(as<ZelHeader>(r)); break;
        case ZEL_SCREEN_CHANGE:
            line(r->timestamp, "screen",
                 "size=" + size(as<ZelScreenChange>(r)->width, as<ZelScreenChange>(r)->height));
            break;
        case ZEL_LAST_INPUT:
            line(r->timestamp, "input",
                 "user=" + quoted(as<ZelLastInput>(r)->user) + " tfn=" + quoted(as<ZelLastInput>(r)->tfn));
            break;
        case ZEL_WINDOW: window(as<ZelWindow>(r)); break;
        case ZEL_INTERRUPTION: gap(as<ZelInterruption>(r)); break;
        case ZEL_DONE: end(as<ZelDone>(r)); break;
        case ZEL_SEAL: seal(as<ZelSeal>(r)); break;
        default: break;
        }
    }
    void damaged(uint64_t timestamp, uint64_t from, uint64_t to)
    {
        line(timestamp, "damaged", "bytes=" + std::to_string(from) + "-" + std::to_string(to));
    }

  private:
    void line(uint64_t timestamp, const char* kind, const std::string& fields)
    {
        const time_t seconds = static_cast<time_t>(timestamp / 1'000'000);
        struct tm utc {};
        char when[32] = "?";
        if (gmtime_r(&seconds, &utc) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
        std::printf("%10.3f %s.%03uZ %s %s\n", clock_.seconds(timestamp), when,
                    static_cast<unsigned>(timestamp / 1000 % 1000), kind, fields.c_str());
    }
    static std::string size(uint32_t w, uint32_t h) { return std::to_string(w) + "x" + std::to_string(h); }
    void header(const ZelHeader* h)
    {
        line(h->timestamp, started_ ? "screen" : "start",
             "size=" + size(h->width, h->height) + (started_ ? "" : " user=" + quoted(h->user)));
        started_ = true;
    }
    void window(const ZelWindow* w)
    {
        const std::string id = "window=" + hex_id(w->window);
        if (w->event == ZEL_WINDOW_SHOWN) titles_[w->window] = text(w->title);
        if (w->event == ZEL_WINDOW_SHOWN) return shown(w, id);
        if (w->event == ZEL_WINDOW_TITLE) {
            titles_[w->window] = text(w->title);
            line(w->timestamp, "window-title", id + " title=" + titles_[w->window]);
        }
        if (w->event != ZEL_WINDOW_GONE) return;
        auto known = titles_.find(w->window);
        line(w->timestamp, "window-gone", id + " title=" + (known != titles_.end() ? known->second : "null"));
        if (known != titles_.end()) titles_.erase(known);
    }
    void shown(const ZelWindow* w, const std::string& id)
    {
        std::string f = id + " title=" + text(w->title) + " class=" + text(w->class_name) +
                        " instance=" + text(w->instance) + " command=" + command(w->command) +
                        " pid=" + (w->pid >= 0 ? std::to_string(w->pid) : "unknown") +
                        " uid=" + (w->uid != 0xFFFFFFFFu ? std::to_string(w->uid) : "unknown") +
                        " client=" + hex_id(w->client) + " at=" + std::to_string(w->x) + "," +
                        std::to_string(w->y) + " size=" + size(w->width, w->height);
        if (w->transient_for != 0) f += " transient-for=" + hex_id(w->transient_for);
        if (w->flags & ZEL_WINDOW_OVERRIDE_REDIRECT) f += " popup";
        if (w->flags & ZEL_WINDOW_MANAGED) f += " managed";
        line(w->timestamp, "window-shown", f);
    }
    void gap(const ZelInterruption* i)
    {
        char f[96];
        std::snprintf(f, sizeof f, " from=%.3f duration=%.3f", clock_.seconds(i->from),
                      static_cast<double>(i->timestamp - i->from) / 1e6);
        line(i->timestamp, "gap",
             std::string("cause=") + zel_gap_cause_to_string(i->cause) + f + " detail=" + text(i->detail));
    }
    void end(const ZelDone* d)
    {
        std::string f = std::string("reason=") + zel_end_reason_to_string(d->reason);
        if (d->reason == ZEL_END_SIGNAL)
            f += " signal=" + std::to_string(d->signal) + " pid=" + std::to_string(d->pid) +
                 " uid=" + std::to_string(d->uid);
        line(d->timestamp, "end", f);
    }
    void seal(const ZelSeal* s)
    {
        std::string f = "bytes=" + std::to_string(s->offset) +
                        ((s->flags & ZEL_SEAL_SIGNED) ? " key=" + key_id_text(s->key_id) : " unsigned");
        line(s->timestamp, "seal", f + ((s->flags & ZEL_SEAL_FINAL) ? " final" : ""));
    }

    Clock clock_;
    bool started_ = false;
    std::map<uint32_t, std::string> titles_; // the last title of each window shown
};

} // namespace

int list_events(const Options& o)
{
    Reader reader = open_reader(o); // every frame read and checked: the exit status tells damage
    if (!reader) return exit_usage;
    Events events;
    RecordStream stream(o.file, reader.get(), false);
    while (Record r = stream.next()) {
        if (stream.after_damage())
            events.damaged(r->timestamp, stream.damage_from(), zel_reader_record_offset(reader.get()));
        events.see(r.get());
    }
    std::fflush(stdout);
    return stream.finish();
}

} // namespace zeldump
