// libFuzzer target for the reader: any bytes in, every record read, decoded,
// replayed and freed.  Inputs whose first byte is odd get their checksums
// recomputed first, so that the payload parsers and the decompressor see
// hostile fields, not only checksum failures.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../libzel/src/zel_internal.h"
#include "zel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    std::vector<uint8_t> file(data + 1, data + size);
    if (data[0] & 1) zel::fix_checksums(file);
    ZelReader* reader = zel_reader_open_memory(file.data(), file.size());
    if (reader == nullptr) return 0;
    zel_reader_show_keyframes(reader, data[0] & 2 ? 1 : 0);
    ZelReplay* replay = zel_replay_new();
    std::vector<uint8_t> rgba;
    ZelRecord* r = nullptr;
    int records = 0;
    while (zel_reader_next(reader, &r) == ZEL_READ_RECORD) {
        if (zel_replay_apply(replay, r) == 0 && zel_replay_has_screen(replay) && (++records % 8) == 0) {
            size_t n = static_cast<size_t>(zel_replay_width(replay)) * zel_replay_height(replay) * 4;
            if (n <= (64u << 20)) {
                rgba.resize(n);
                (void)zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1);
            }
        }
        zel_record_free(r);
    }
    (void)zel_reader_problem(reader);
    zel_reader_close(reader);
    zel_replay_free(replay);
    return 0;
}
