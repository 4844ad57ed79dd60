// libFuzzer target for the reader and the verifier: every record read, replayed, now and then rendered,
// the seals checked.  First byte: bit 0 recompute the checksums (so that the parsers see hostile fields),
// bit 1 hide keyframes and seals, bit 2 verify against the tests' key, bit 3 also run zel_verify,
// bit 6 read on past damage (resynchronise, the replay marked damaged), bit 7 read through a source
// that gives a few bytes a call, passing the picture records over by their length (no verifier then).
// Bit 4: the rest is a key file's text instead (bit 5: a secret key's).
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../../libzel/src/zel_internal.h"

namespace {

// A source over the input that gives at most 5 bytes a call.
const ZelSource& trickle(const std::vector<uint8_t>& file)
{
    static ZelSource source;
    source = {
        const_cast<std::vector<uint8_t>*>(&file),
        [](void* c, uint64_t offset, void* buf, size_t n) -> int64_t {
            const auto* f = static_cast<const std::vector<uint8_t>*>(c);
            const size_t k = offset >= f->size() ? 0 : std::min<size_t>({n, 5, f->size() - offset});
            std::memcpy(buf, f->data() + offset, k);
            return static_cast<int64_t>(k);
        },
        [](void* c) { return static_cast<uint64_t>(static_cast<const std::vector<uint8_t>*>(c)->size()); },
        nullptr};
    return source;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static uint8_t public_key[32], secret_key[64],
        seed[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31}; // the tests' key
    static const bool keyed =
        sodium_init() >= 0 && crypto_sign_seed_keypair(public_key, secret_key, seed) == 0;
    if (size == 0 || !keyed) return 0;
    if (data[0] & 16) {
        const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        uint8_t parsed[ZEL_SECRET_KEY_BYTES];
        (void)zel::parse_key_file((data[0] & 32) != 0, text, parsed);
        return 0;
    }
    const uint8_t* key = (data[0] & 4) ? public_key : nullptr;
    std::vector<uint8_t> file(data + 1, data + size), rgba;
    if (data[0] & 1) zel::fix_checksums(file);
    ZelReader* reader = (data[0] & 128) ? zel_reader_open_source(&trickle(file))
                                        : zel_reader_open_memory(file.data(), file.size());
    ZelVerifier* verifier = zel_verifier_new(key);
    ZelReplay* replay = zel_replay_new();
    zel_reader_show_keyframes(reader, !(data[0] & 2));
    zel_reader_show_seals(reader, !(data[0] & 2));
    const uint8_t pictures[] = {ZEL_IMAGE,        ZEL_COMPRESSED_IMAGE,
                                ZEL_IMAGE_BLOCKS, ZEL_COMPRESSED_IMAGE_BLOCKS,
                                ZEL_KEYFRAME,     ZEL_COPY};
    if (data[0] & 128) zel_reader_skip_types(reader, pictures, sizeof pictures);
    ZelRecord* r = nullptr;
    int n = (data[0] & 128) ? 0 : zel_reader_set_verifier(reader, verifier);
    for (ZelReadStatus s; n >= 0; ++n) {
        if ((s = zel_reader_next(reader, &r)) != ZEL_READ_RECORD) {
            if (s != ZEL_READ_CORRUPT || !(data[0] & 64) || zel_reader_resync(reader) != 0) break;
            zel_replay_mark_damage(replay);
            continue;
        }
        const bool applied = zel_replay_apply(replay, r) == 0;
        const size_t bytes = size_t{zel_replay_width(replay)} * zel_replay_height(replay) * 4;
        if (applied && n % 8 == 7 && bytes <= (64u << 20)) {
            rgba.resize(bytes);
            (void)zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1);
        }
        zel_record_free(r);
    }
    ZelDamage spans[4];
    (void)zel_verifier_damage(verifier, spans, 4);
    ZelVerification v;
    zel_verifier_result(verifier, &v);
    zel_reader_close(reader);
    if (data[0] & 8) {
        reader = zel_reader_open_memory(file.data(), file.size());
        (void)zel_verify(reader, key, &v);
        zel_reader_close(reader);
    }
    zel_verifier_free(verifier);
    zel_replay_free(replay);
    return 0;
}
