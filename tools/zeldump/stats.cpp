// zeldump --stats FILE: records and bytes per type, duration, frames, compression, seals.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "zeldump.h"

namespace zeldump {
namespace {

// What --stats says about the seals (their bytes are checked by --verify).
struct SealSummary {
    uint64_t count = 0;
    uint64_t signed_count = 0;
    std::string key_ids;
    void see(const ZelSeal* s)
    {
        ++count;
        if (!(s->flags & ZEL_SEAL_SIGNED)) return;
        ++signed_count;
        std::string id = hex(s->key_id, sizeof s->key_id);
        id = id.substr(1, id.size() - 2);
        for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (key_ids.find(id) == std::string::npos) key_ids += (key_ids.empty() ? "" : ", ") + id;
    }
    std::string text(unsigned version) const
    {
        if (version < 2) return "none (format version 1)";
        std::string out = std::to_string(count);
        if (signed_count == 0) return out + ", unsigned";
        return out + ", " + std::to_string(signed_count) + " signed with key " + key_ids;
    }
};

// What --stats counts while reading.
struct Stats {
    struct PerType {
        uint64_t count = 0;
        uint64_t bytes = 0;
    };
    std::map<std::string, PerType> types;
    Clock clock;
    uint64_t records = 0, bytes = 16, first = 0, last = 0;
    uint64_t uncompressed = 0, compressed = 0, full = 0, block_frames = 0;
    std::vector<std::pair<uint16_t, uint16_t>> sizes;
    std::string format = "none";
    SealSummary seals;
    std::string end = "none";
    uint64_t shown = 0, titles = 0, gone = 0, gaps = 0, gap_time = 0;

    void image_data(uint32_t length, uint32_t compressed_length, uint64_t& frames)
    {
        uncompressed += length;
        compressed += compressed_length;
        ++frames;
    }
    void see(const ZelRecord* r, uint64_t frame_bytes)
    {
        clock.see(r);
        first = records++ == 0 ? r->timestamp : first;
        last = std::max(last, r->timestamp);
        PerType& t = types[zel_record_type_to_string(static_cast<ZelRecordType>(r->type))];
        ++t.count;
        t.bytes += frame_bytes;
        bytes += frame_bytes;
        switch (r->type) {
        case ZEL_HEADER:
            format = format_name(as<ZelHeader>(r)->pixel_format);
            sizes.emplace_back(as<ZelHeader>(r)->width, as<ZelHeader>(r)->height);
            break;
        case ZEL_SCREEN_CHANGE:
            sizes.emplace_back(as<ZelScreenChange>(r)->width, as<ZelScreenChange>(r)->height);
            break;
        case ZEL_COMPRESSED_IMAGE:
            image_data(as<ZelCompressedImage>(r)->length, as<ZelCompressedImage>(r)->compressed_length, full);
            break;
        case ZEL_COMPRESSED_IMAGE_BLOCKS:
            image_data(as<ZelCompressedImageBlocks>(r)->length,
                       as<ZelCompressedImageBlocks>(r)->compressed_length, block_frames);
            break;
        case ZEL_IMAGE: ++full; break;
        case ZEL_IMAGE_BLOCKS: ++block_frames; break;
        case ZEL_SEAL: seals.see(as<ZelSeal>(r)); break;
        case ZEL_DONE: see_end(as<ZelDone>(r)); break;
        case ZEL_WINDOW: see_window(as<ZelWindow>(r)); break;
        case ZEL_INTERRUPTION:
            ++gaps;
            gap_time += r->timestamp - as<ZelInterruption>(r)->from;
            break;
        default: break;
        }
    }
    void see_end(const ZelDone* d)
    {
        char text[96];
        std::snprintf(text, sizeof text, d->reason == ZEL_END_SIGNAL ? "%s %d from pid %d, uid %u" : "%s",
                      zel_end_reason_to_string(d->reason), d->signal, d->pid, d->uid);
        end = text;
    }
    void see_window(const ZelWindow* w)
    {
        shown += w->event == ZEL_WINDOW_SHOWN;
        titles += w->event == ZEL_WINDOW_TITLE;
        gone += w->event == ZEL_WINDOW_GONE;
    }
    void print(const std::string& file, ZelReader* reader, const RecordStream& stream) const
    {
        const ZelReadStatus s = stream.damaged() ? ZEL_READ_CORRUPT : stream.status();
        double duration = records ? static_cast<double>(last - std::min(first, clock.base)) / 1e6 : 0;
        std::printf("file: %s\nstatus: %s", file.c_str(),
                    s == ZEL_READ_END ? "complete" : zel_read_status_to_string(s));
        if (stream.damaged())
            std::printf(" at byte %" PRIu64 " (%s), %u damaged stretches read past", stream.first_damage(),
                        stream.first_problem().c_str(), stream.damaged_stretches());
        else if (s != ZEL_READ_END)
            std::printf(" at byte %" PRIu64 " (%s)", zel_reader_problem_offset(reader),
                        zel_reader_problem(reader));
        std::printf("\nrecords: %" PRIu64 "\nbytes: %" PRIu64 " of %" PRIu64 " in the file\n", records, bytes,
                    zel_reader_size(reader));
        std::printf("duration: %.3f s\npixel format: %s\nscreen sizes:", duration, format.c_str());
        for (auto [w, h] : sizes) std::printf(" %ux%u", w, h);
        std::printf("\nframes: %" PRIu64 " (%" PRIu64 " full images, %" PRIu64 " block updates)",
                    full + block_frames, full, block_frames);
        if (duration > 0)
            std::printf(", %.2f per second", static_cast<double>(full + block_frames) / duration);
        std::printf("\nimage data: %" PRIu64 " bytes uncompressed, %" PRIu64 " compressed", uncompressed,
                    compressed);
        if (compressed > 0)
            std::printf(", ratio %.2f", static_cast<double>(uncompressed) / static_cast<double>(compressed));
        std::printf("\nseals: %s", seals.text(zel_reader_format_version(reader)).c_str());
        std::printf("\nend: %s\nwindows: %" PRIu64 " shown, %" PRIu64 " title changes, %" PRIu64 " gone",
                    end.c_str(), shown, titles, gone);
        std::printf("\ninterruptions: %" PRIu64 ", %.3f s in all", gaps, static_cast<double>(gap_time) / 1e6);
        std::printf("\n%-24s %10s %14s\n", "type", "count", "bytes");
        for (const auto& [name, t] : types)
            std::printf("%-24s %10" PRIu64 " %14" PRIu64 "\n", name.c_str(), t.count, t.bytes);
    }
};

} // namespace

int show_stats(const Options& o)
{
    Reader reader = open_reader(o);
    if (!reader) return exit_usage;
    Stats stats;
    RecordStream stream(o.file, reader.get(), false);
    while (Record r = stream.next()) stats.see(r.get(), zel_reader_record_size(reader.get()));
    stats.print(o.file, reader.get(), stream);
    std::fflush(stdout);
    return stream.finish();
}

} // namespace zeldump
