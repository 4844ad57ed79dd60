// libFuzzer target for the reader and the verifier: any bytes in, every
// record read (keyframes and seals too), decoded, replayed and freed, the
// hash chain and seals checked along the way.  The first byte chooses:
//   bit 0  recompute the checksums first, so that the payload parsers, the
//          decompressor and the seal checks see hostile fields, not only
//          checksum failures;
//   bit 1  hide keyframes and seals;
//   bit 2  verify against a fixed public key;
//   bit 3  also run zel_verify over the same bytes.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../libzel/src/zel_internal.h"
#include "zel.h"

namespace {

void read_all(ZelReader* reader, ZelReplay* replay)
{
    std::vector<uint8_t> rgba;
    ZelRecord* r = nullptr;
    for (int records = 1; zel_reader_next(reader, &r) == ZEL_READ_RECORD; zel_record_free(r), ++records) {
        size_t n = size_t{zel_replay_width(replay)} * zel_replay_height(replay) * 4;
        if (zel_replay_apply(replay, r) == 0 && zel_replay_has_screen(replay) && records % 8 == 0 &&
            n <= (64u << 20)) {
            rgba.resize(n);
            (void)zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static uint8_t public_key[32], secret_key[64],
        seed[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
    static const bool keyed =
        sodium_init() >= 0 && crypto_sign_seed_keypair(public_key, secret_key, seed) == 0;
    if (size == 0 || !keyed) return 0;
    const uint8_t* key = (data[0] & 4) ? public_key : nullptr;
    std::vector<uint8_t> file(data + 1, data + size);
    if (data[0] & 1) zel::fix_checksums(file);
    ZelReader* reader = zel_reader_open_memory(file.data(), file.size());
    ZelVerifier* verifier = zel_verifier_new(key);
    ZelReplay* replay = zel_replay_new();
    ZelVerification v;
    if (zel_reader_set_verifier(reader, verifier) == 0) {
        zel_reader_show_keyframes(reader, data[0] & 2 ? 0 : 1);
        zel_reader_show_seals(reader, data[0] & 2 ? 0 : 1);
        read_all(reader, replay);
        zel_verifier_result(verifier, &v);
    }
    zel_reader_close(reader);
    zel_verifier_free(verifier);
    zel_replay_free(replay);
    if (data[0] & 8) {
        reader = zel_reader_open_memory(file.data(), file.size());
        (void)zel_verify(reader, key, &v);
        zel_reader_close(reader);
    }
    return 0;
}
