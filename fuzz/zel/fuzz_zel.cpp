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
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    static uint8_t public_key[32];
    static const bool keyed = [] {
        uint8_t seed[32], secret[64];
        for (int i = 0; i < 32; ++i) seed[i] = static_cast<uint8_t>(i);
        return sodium_init() >= 0 && crypto_sign_seed_keypair(public_key, secret, seed) == 0;
    }();
    const uint8_t* key = (data[0] & 4) && keyed ? public_key : nullptr;
    std::vector<uint8_t> file(data + 1, data + size);
    if (data[0] & 1) zel::fix_checksums(file);
    ZelReader* reader = zel_reader_open_memory(file.data(), file.size());
    ZelVerifier* verifier = zel_verifier_new(key);
    ZelReplay* replay = zel_replay_new();
    if (reader != nullptr && verifier != nullptr && replay != nullptr &&
        zel_reader_set_verifier(reader, verifier) == 0) {
        zel_reader_show_keyframes(reader, data[0] & 2 ? 0 : 1);
        zel_reader_show_seals(reader, data[0] & 2 ? 0 : 1);
        read_all(reader, replay);
        ZelVerification v;
        zel_verifier_result(verifier, &v);
        (void)zel_reader_problem(reader);
    }
    zel_reader_close(reader);
    zel_verifier_free(verifier);
    zel_replay_free(replay);
    if (data[0] & 8) {
        ZelReader* again = zel_reader_open_memory(file.data(), file.size());
        ZelVerification v;
        (void)zel_verify(again, key, &v);
        zel_reader_close(again);
    }
    return 0;
}
