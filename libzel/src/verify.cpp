// The verifier: hashes every byte the reader reads, checks each seal's
// offset, chain, signature and key against what came before it, and turns
// that and the reader's final status into one verdict.
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "verify.h"

namespace {

// The first thing found of one kind: where, and what.
struct Finding {
    bool found = false;
    uint64_t offset = 0;
    std::string why;
    __attribute__((format(printf, 3, 4))) void set(uint64_t at, const char* fmt, ...)
    {
        if (found) return;
        char text[200];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        found = true;
        offset = at;
        why = text;
    }
};

} // namespace

struct zel_verifier {
    bool have_key = false;
    uint8_t key[ZEL_PUBLIC_KEY_BYTES] = {};
    crypto_hash_sha256_state hash{};
    unsigned version = 0;
    uint64_t records = 0;
    bool header_seen = false;
    uint64_t header_time = 0;
    uint64_t last_time = 0;   // timestamp of the last frame read
    uint8_t last_type = 0xFF; // type of the last frame read (0xFF: none)
    uint64_t last_offset = 0; // and where it is
    uint64_t last_size = 0;
    uint64_t time_before_last = 0; // timestamp of the frame before it
    uint64_t final_offset = 0;     // of the last frame read when it is the final seal
    bool done_after_final = false; // versions 1, 2: the end-of-data record follows the final seal
    uint64_t done_offset = 0;
    bool used = false; // attached to a reader once
    // The seals so far.
    uint32_t seals = 0;
    bool is_signed = false;
    uint8_t key_id[ZEL_KEY_ID_BYTES] = {};
    bool have_public_key = false;
    uint8_t public_key[ZEL_PUBLIC_KEY_BYTES] = {};
    uint64_t sealed_bytes = 0;
    uint64_t sealed_time = 0;
    // What was found.
    Finding forged;   // a seal that does not hold, or a missing one
    Finding rejected; // a record that does not fit the screen
    Finding damaged;  // the first damaged frame the reader found
    std::vector<ZelDamage> damage;
    bool time_after_due = false; // the last span waits for the next record's time
    ZelReadStatus status = ZEL_READ_RECORD;
    uint64_t status_offset = 0;
    std::string status_why;
};

namespace zel {

bool crypto_ready()
{
    if (sodium_init() >= 0) return true;
    errno = ENOSYS;
    return false;
}

size_t seal_message(uint8_t out[seal_message_max], unsigned version, uint64_t header_time,
                    const ZelSeal& seal)
{
    std::memcpy(out, "ZEL-SEAL", 8);
    put_u16(out + 8, static_cast<uint16_t>(version));
    put_u64(out + 10, header_time);
    uint8_t* p = out + 18;
    if (version >= 3) {
        put_u64(p, seal.timestamp);
        p += 8;
    }
    put_u64(p, seal.offset);
    std::memcpy(p + 8, seal.chain, ZEL_DIGEST_BYTES);
    p[8 + ZEL_DIGEST_BYTES] = seal.flags;
    return static_cast<size_t>(p + 8 + ZEL_DIGEST_BYTES + 1 - out);
}

void digest_so_far(const crypto_hash_sha256_state& state, uint8_t out[ZEL_DIGEST_BYTES])
{
    crypto_hash_sha256_state copy = state;
    crypto_hash_sha256_final(&copy, out);
    sodium_memzero(&copy, sizeof copy);
}

namespace {

std::string hex(const uint8_t* id, size_t)
{
    char text[ZEL_KEY_ID_TEXT_BYTES];
    zel_key_id_text(id, text);
    return text;
}

// The key that must have signed this seal, or nullptr (a finding is made).
const uint8_t* signing_key(ZelVerifier* v, uint64_t at, const ZelSeal* s)
{
    if (s->flags & ZEL_SEAL_PUBLIC_KEY) {
        uint8_t id[ZEL_KEY_ID_BYTES];
        zel_key_id(s->public_key, id);
        if (std::memcmp(id, s->key_id, sizeof id) != 0) {
            v->forged.set(at, "the public key in the seal at byte %" PRIu64 " does not match its key id", at);
            return nullptr;
        }
        std::memcpy(v->public_key, s->public_key, sizeof v->public_key);
        v->have_public_key = true;
    }
    if (v->have_key) {
        uint8_t id[ZEL_KEY_ID_BYTES];
        zel_key_id(v->key, id);
        const bool other_key =
            (s->flags & ZEL_SEAL_PUBLIC_KEY) && std::memcmp(s->public_key, v->key, 32) != 0;
        if (other_key || std::memcmp(id, s->key_id, sizeof id) != 0) {
            v->forged.set(at, "the seal at byte %" PRIu64 " is signed with key %s, not with the given key %s",
                          at, hex(s->key_id, 8).c_str(), hex(id, 8).c_str());
            return nullptr;
        }
        return v->key;
    }
    if (!v->have_public_key) {
        v->forged.set(at, "the seal at byte %" PRIu64 " is signed with key %s, whose public key is not known",
                      at, hex(s->key_id, 8).c_str());
        return nullptr;
    }
    return v->public_key;
}

// Every seal signed alike: all unsigned, or all with the first one's key.
bool same_signer(ZelVerifier* v, uint64_t at, const ZelSeal* s)
{
    const bool is_signed = (s->flags & ZEL_SEAL_SIGNED) != 0;
    if (v->seals == 0) {
        v->is_signed = is_signed;
        std::memcpy(v->key_id, s->key_id, sizeof v->key_id);
    }
    if (is_signed != v->is_signed)
        v->forged.set(at, "the seal at byte %" PRIu64 " is %s, unlike the seals before it", at,
                      is_signed ? "signed" : "unsigned");
    else if (is_signed && std::memcmp(s->key_id, v->key_id, sizeof v->key_id) != 0)
        v->forged.set(at, "the key id changes at the seal at byte %" PRIu64 " (%s after %s)", at,
                      hex(s->key_id, 8).c_str(), hex(v->key_id, 8).c_str());
    else if (!is_signed && v->have_key)
        v->forged.set(at, "the seal at byte %" PRIu64 " is not signed, but a key was given", at);
    return !v->forged.found;
}

void check_seal(ZelVerifier* v, uint64_t at, const ZelSeal* s)
{
    if (v->forged.found || !v->damage.empty()) return; // after damage the chain cannot hold
    if (s->offset != at)
        return v->forged.set(at, "the seal at byte %" PRIu64 " states byte %" PRIu64 " as its offset", at,
                             s->offset);
    uint8_t chain[ZEL_DIGEST_BYTES];
    digest_so_far(v->hash, chain);
    if (std::memcmp(chain, s->chain, sizeof chain) != 0)
        return v->forged.set(at, "the seal at byte %" PRIu64 " does not match the bytes before it", at);
    if (!same_signer(v, at, s)) return;
    if (s->flags & ZEL_SEAL_SIGNED) {
        const uint8_t* key = signing_key(v, at, s);
        if (key == nullptr) return;
        uint8_t message[seal_message_max];
        const size_t n = seal_message(message, v->version, v->header_time, *s);
        if (crypto_sign_verify_detached(s->signature, message, n, key) != 0)
            return v->forged.set(at, "the signature of the seal at byte %" PRIu64 " does not hold", at);
    }
    ++v->seals;
    v->sealed_bytes = at;
    v->sealed_time = v->version >= 3 ? s->timestamp : v->last_type == 0xFF ? 0 : v->last_time;
}

// Version 3: the final seal comes right after the end-of-data record, and
// only there.
void check_end_v3(ZelVerifier* v, uint64_t at, const ZelSeal* s)
{
    const bool final = (s->flags & ZEL_SEAL_FINAL) != 0, after_done = v->last_type == ZEL_DONE;
    if (after_done && !final)
        v->forged.set(at, "the seal at byte %" PRIu64 " after the end-of-data record is not final", at);
    else if (!after_done && final)
        v->forged.set(at, "the final seal at byte %" PRIu64 " does not follow the end-of-data record", at);
}

// Versions 1 and 2: the final seal comes right before the end-of-data record.
void check_end_v2(ZelVerifier* v, uint64_t offset, const ZelRecord* record)
{
    const uint64_t final_before = v->final_offset; // the frame before is the final seal
    if (final_before != 0 && record->type != ZEL_DONE)
        v->forged.set(offset, "a record follows the final seal at byte %" PRIu64, final_before);
    if (record->type == ZEL_DONE) {
        v->done_after_final = final_before != 0;
        v->done_offset = offset;
    }
    v->final_offset = 0;
    if (record->type == ZEL_SEAL && (reinterpret_cast<const ZelSeal*>(record)->flags & ZEL_SEAL_FINAL))
        v->final_offset = offset;
}

} // namespace

void verifier_file_head(ZelVerifier* v, const uint8_t* head, size_t size, unsigned version)
{
    v->version = version;
    crypto_hash_sha256_update(&v->hash, head, size);
}

void verifier_frame(ZelVerifier* v, uint64_t offset, const uint8_t* frame, size_t size,
                    const ZelRecord* record)
{
    ++v->records;
    if (v->time_after_due) v->damage.back().time_after = record->timestamp;
    v->time_after_due = false;
    const bool checking = v->damage.empty(); // after damage only the records are counted
    if (checking && v->version < 3) check_end_v2(v, offset, record);
    if (record->type == ZEL_SEAL && checking) {
        const auto* s = reinterpret_cast<const ZelSeal*>(record);
        check_seal(v, offset, s);
        if (v->version >= 3) check_end_v3(v, offset, s);
    }
    if (record->type == ZEL_HEADER && !v->header_seen) {
        v->header_seen = true;
        v->header_time = record->timestamp;
    }
    crypto_hash_sha256_update(&v->hash, frame, size);
    v->time_before_last = v->last_type == 0xFF ? 0 : v->last_time;
    v->last_type = record->type;
    v->last_time = record->timestamp;
    v->last_offset = offset;
    v->last_size = size;
}

void verifier_damage(ZelVerifier* v, uint64_t from, uint64_t to)
{
    try {
        v->damage.push_back({from, to, v->last_type == 0xFF ? 0 : v->last_time, 0});
        v->time_after_due = true;
    } catch (const std::bad_alloc&) { // the verdict stays corrupt; the list misses this span
    }
}

void verifier_status(ZelVerifier* v, ZelReadStatus status, uint64_t offset, const char* problem)
{
    if (status == ZEL_READ_CORRUPT) v->damaged.set(offset, "%s", problem);
    v->status = status;
    v->status_offset = offset;
    v->status_why = problem;
}

} // namespace zel

namespace {

void set_verdict(ZelVerification* out, ZelVerdict verdict, uint64_t offset, const std::string& why)
{
    out->verdict = verdict;
    out->problem_offset = offset;
    std::snprintf(out->reason, sizeof out->reason, "%s", why.c_str());
}

// The verdict from what was found, most serious first: damage, then a seal
// that does not hold, then a missing end.
void decide(const ZelVerifier* v, ZelVerification* out)
{
    const Finding &rejected = v->rejected, &damaged = v->damaged;
    if (v->status == ZEL_READ_ERROR)
        return set_verdict(out, ZEL_VERDICT_ERROR, v->status_offset, v->status_why);
    if (damaged.found && (!rejected.found || damaged.offset < rejected.offset))
        return set_verdict(out, ZEL_VERDICT_CORRUPT, damaged.offset, damaged.why);
    if (rejected.found) return set_verdict(out, ZEL_VERDICT_CORRUPT, rejected.offset, rejected.why);
    if (v->forged.found) return set_verdict(out, ZEL_VERDICT_NOT_AUTHENTIC, v->forged.offset, v->forged.why);
    if (v->have_key && v->version == 1)
        return set_verdict(out, ZEL_VERDICT_NOT_AUTHENTIC, 0,
                           "a key was given, but format version 1 has no seals");
    if (v->status != ZEL_READ_END) {
        const char* why = v->status == ZEL_READ_RECORD ? "not read to its end" : v->status_why.c_str();
        return set_verdict(out, ZEL_VERDICT_TRUNCATED, v->status_offset, why);
    }
    if (v->version == 2 && !v->done_after_final)
        return set_verdict(out, ZEL_VERDICT_NOT_AUTHENTIC, v->done_offset,
                           v->seals == 0 ? "the recording holds no seal"
                                         : "no final seal right before the end-of-data record");
    set_verdict(out, ZEL_VERDICT_COMPLETE, 0, "");
}

} // namespace

extern "C" {

ZelVerifier* zel_verifier_new(const uint8_t* public_key)
{
    if (!zel::crypto_ready()) return nullptr;
    auto* v = new (std::nothrow) zel_verifier;
    if (v == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    crypto_hash_sha256_init(&v->hash);
    if (public_key != nullptr) {
        v->have_key = true;
        std::memcpy(v->key, public_key, sizeof v->key);
    }
    return v;
}

void zel_verifier_free(ZelVerifier* verifier)
{
    delete verifier;
}

void zel_verifier_reject(ZelVerifier* v, uint64_t offset, const char* why)
{
    if (v == nullptr) return;
    v->rejected.set(offset, "%s", why != nullptr ? why : "");
    const bool last = v->last_type != 0xFF && offset == v->last_offset;
    try {
        v->damage.push_back(
            {offset, last ? offset + v->last_size : offset, last ? v->time_before_last : v->last_time, 0});
        v->time_after_due = true;
    } catch (const std::bad_alloc&) { // the verdict stays corrupt; the list misses this span
    }
}

size_t zel_verifier_damage(const ZelVerifier* v, ZelDamage* out, size_t n)
{
    if (v == nullptr) return 0;
    for (size_t i = 0; i < n && i < v->damage.size() && out != nullptr; ++i) out[i] = v->damage[i];
    return v->damage.size();
}

void zel_verifier_result(const ZelVerifier* v, ZelVerification* out)
{
    if (out == nullptr) return;
    *out = ZelVerification{};
    if (v == nullptr) return set_verdict(out, ZEL_VERDICT_ERROR, 0, "no verifier");
    out->format_version = v->version;
    out->records = v->records;
    out->seals = v->seals;
    out->is_signed = v->seals > 0 && v->is_signed ? 1 : 0;
    if (out->is_signed) std::memcpy(out->key_id, v->key_id, sizeof out->key_id);
    out->sealed_bytes = v->sealed_bytes;
    out->sealed_time = v->sealed_time;
    out->header_time = v->header_time;
    decide(v, out);
    out->key_checked = v->have_key && out->is_signed &&
                       (out->verdict == ZEL_VERDICT_COMPLETE || out->verdict == ZEL_VERDICT_TRUNCATED);
}

const char* zel_verdict_to_string(ZelVerdict verdict)
{
    switch (verdict) {
    case ZEL_VERDICT_COMPLETE: return "complete";
    case ZEL_VERDICT_ERROR: return "error";
    case ZEL_VERDICT_TRUNCATED: return "truncated";
    case ZEL_VERDICT_CORRUPT: return "corrupt";
    case ZEL_VERDICT_NOT_AUTHENTIC: return "not authentic";
    }
    return "unknown";
}

void zel_key_id(const uint8_t public_key[ZEL_PUBLIC_KEY_BYTES], uint8_t key_id[ZEL_KEY_ID_BYTES])
{
    uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, public_key, ZEL_PUBLIC_KEY_BYTES);
    std::memcpy(key_id, digest, ZEL_KEY_ID_BYTES);
}

void zel_key_id_text(const uint8_t key_id[ZEL_KEY_ID_BYTES], char out[ZEL_KEY_ID_TEXT_BYTES])
{
    sodium_bin2hex(out, ZEL_KEY_ID_TEXT_BYTES, key_id, ZEL_KEY_ID_BYTES);
    for (char* c = out; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
}

} // extern "C"

namespace {

bool must_fit(uint8_t type)
{
    switch (type) {
    case ZEL_HEADER:
    case ZEL_IMAGE:
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME:
    case ZEL_IMAGE_BLOCKS:
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
    case ZEL_SCREEN_CHANGE:
    case ZEL_CURSOR_IMAGE:
    case ZEL_COMPRESSED_CURSOR_IMAGE:
    case ZEL_COPY: return true;
    default: return false;
    }
}

// Applies one record; a record that must fit the screen and does not is
// damage.  false when out of memory.
bool replay_one(ZelReplay* replay, ZelReader* reader, ZelVerifier* v, const ZelRecord* r)
{
    if (zel_replay_apply(replay, r) == 0 || !must_fit(r->type)) return true;
    const int e = errno;
    char why[160];
    std::snprintf(why, sizeof why, "%s record does not decode or fit the screen: %s",
                  zel_record_type_to_string(static_cast<ZelRecordType>(r->type)), std::strerror(e));
    zel_verifier_reject(v, zel_reader_record_offset(reader), why);
    zel_replay_mark_damage(replay);
    return e != ENOMEM;
}

// Reads to the end, replaying, on past every damaged frame; false when out
// of memory.
bool replay_all(ZelReader* reader, ZelVerifier* v)
{
    ZelReplay* replay = zel_replay_new();
    if (replay == nullptr) return false;
    bool ok = true;
    for (;;) {
        ZelRecord* r = nullptr;
        const ZelReadStatus s = zel_reader_next(reader, &r);
        if (s == ZEL_READ_CORRUPT && zel_reader_resync(reader) == 0) {
            zel_replay_mark_damage(replay);
            continue;
        }
        if (s != ZEL_READ_RECORD) break;
        ok = replay_one(replay, reader, v, r);
        zel_record_free(r);
        if (!ok) break;
    }
    zel_replay_free(replay);
    return ok;
}

} // namespace

extern "C" {

int zel_verifier_run(ZelVerifier* v, ZelReader* reader)
{
    if (v == nullptr || v->used || zel_reader_set_verifier(reader, v) != 0) {
        errno = EINVAL;
        return -1;
    }
    v->used = true;
    zel_reader_show_keyframes(reader, 1);
    const bool ok = replay_all(reader, v);
    (void)zel_reader_set_verifier(reader, nullptr);
    if (ok) return 0;
    errno = ENOMEM;
    return -1;
}

ZelVerdict zel_verify(ZelReader* reader, const uint8_t* public_key, ZelVerification* out)
{
    ZelVerification ignored;
    if (out == nullptr) out = &ignored;
    ZelVerifier* v = zel_verifier_new(public_key);
    const int rc = v != nullptr ? zel_verifier_run(v, reader) : -1;
    const int e = v == nullptr ? ENOMEM : errno;
    zel_verifier_result(v, out);
    if (rc != 0)
        set_verdict(out, ZEL_VERDICT_ERROR, out->problem_offset,
                    e == ENOMEM ? "out of memory" : "the reader has been read from");
    zel_verifier_free(v);
    return out->verdict;
}

} // extern "C"
