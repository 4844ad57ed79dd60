// zeldump --verify [--key PUBLIC_FILE] FILE: checksums, every record replayed, the seals
// (of a shipped recording also what the store holds: store.cpp).
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "store.h"
#include "zeldump.h"

namespace zeldump {
namespace {

// What the seals of a readable recording prove, for the verification line.
std::string seal_text(const ZelVerification& v, bool key_given)
{
    if (v.format_version < 2) return "unsealed (format version 1)";
    std::string out = std::to_string(v.seals) + (v.seals == 1 ? " seal holds" : " seals hold");
    if (!v.is_signed) return out + ", unsigned";
    out += ", signed with key " + key_id_text(v.key_id);
    return out + (v.key_checked ? " (the given key)"
                  : key_given   ? ""
                                : " (no key given to check it against)");
}

std::string sealed_prefix(const ZelVerification& v)
{
    if (v.format_version < 2) return "unsealed (format version 1)";
    if (v.seals == 0) return "nothing is sealed";
    char b[160];
    double seconds = v.header_time > 0 && v.sealed_time >= v.header_time
                         ? static_cast<double>(v.sealed_time - v.header_time) / 1e6
                         : 0.0;
    std::snprintf(b, sizeof b, "sealed up to byte %" PRIu64 " (%.3f s), the rest is unsealed", v.sealed_bytes,
                  seconds);
    return b;
}

// Lines for the damaged spans, times from the recording's start.
void print_damage(const char* f, const Verified& v)
{
    const uint64_t base = v.result.header_time;
    auto at = [&](uint64_t t) { return t >= base ? static_cast<double>(t - base) / 1e6 : 0.0; };
    for (const ZelDamage& d : v.damage) {
        std::printf("%s: damaged bytes %" PRIu64 "-%" PRIu64 " (%" PRIu64 " bytes)", f, d.from, d.to,
                    d.to - d.from);
        if (d.time_before != 0 && d.time_after != 0)
            std::printf(" between %.6f s and %.6f s\n", at(d.time_before), at(d.time_after));
        else if (d.time_after != 0)
            std::printf(" before %.6f s\n", at(d.time_after));
        else
            std::printf(" after %.6f s, to the end\n", at(d.time_before));
    }
}

} // namespace

bool read_public_key(const Options& o, uint8_t key[ZEL_PUBLIC_KEY_BYTES])
{
    char message[512];
    if (o.key.empty() || zel_key_read_public(o.key.c_str(), key, message, sizeof message) == 0) return true;
    std::fprintf(stderr, "zeldump: %s\n", message);
    return false;
}

bool verify_file(const Options& o, const uint8_t* key, Verified& out)
{
    if (is_store_url(o.file)) return verify_store(o, key, out);
    const std::string& file = o.file;
    Reader reader = open_reader(o);
    ZelVerifier* v = reader ? zel_verifier_new(key) : nullptr;
    const bool ok = v != nullptr && zel_verifier_run(v, reader.get()) == 0;
    if (reader && !ok)
        std::fprintf(stderr, "zeldump: cannot verify %s: %s\n", file.c_str(), std::strerror(errno));
    if (ok) {
        zel_verifier_result(v, &out.result);
        out.damage.resize(zel_verifier_damage(v, nullptr, 0));
        out.damage.resize(zel_verifier_damage(v, out.damage.data(), out.damage.size()));
        out.size = zel_reader_size(reader.get());
    }
    zel_verifier_free(v);
    return ok;
}

int verify(const Options& o)
{
    uint8_t key[ZEL_PUBLIC_KEY_BYTES];
    Verified verified;
    if (!read_public_key(o, key) || !verify_file(o, o.key.empty() ? nullptr : key, verified))
        return exit_usage;
    if (!verified.store_lines.empty()) {
        std::printf("%s\n", verified.store_lines.c_str());
        return exit_not_authentic;
    }
    const ZelVerification& v = verified.result;
    const char* f = o.file.c_str();
    switch (v.verdict) {
    case ZEL_VERDICT_COMPLETE:
        std::printf("%s: complete, %" PRIu64 " records, every checksum holds, %s\n", f, v.records,
                    seal_text(v, !o.key.empty()).c_str());
        return exit_ok;
    case ZEL_VERDICT_TRUNCATED:
        std::printf("%s: truncated at byte %" PRIu64 " (%s), %" PRIu64 " good records before it; %s\n", f,
                    v.problem_offset, v.reason, v.records, sealed_prefix(v).c_str());
        return exit_truncated;
    case ZEL_VERDICT_CORRUPT:
        std::printf("%s: corrupt at byte %" PRIu64 ": %s\n", f, v.problem_offset, v.reason);
        print_damage(f, verified);
        return exit_corrupt;
    case ZEL_VERDICT_NOT_AUTHENTIC:
        std::printf("%s: not authentic: %s\n", f, v.reason);
        return exit_not_authentic;
    case ZEL_VERDICT_ERROR: break;
    }
    std::fprintf(stderr, "zeldump: %s: unreadable at byte %" PRIu64 ": %s\n", f, v.problem_offset, v.reason);
    return exit_usage;
}

} // namespace zeldump
