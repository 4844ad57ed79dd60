// zeldump --verify [--key PUBLIC_FILE] FILE: checksums, every record replayed, the seals.
#include <cinttypes>
#include <cstdio>

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

} // namespace

int verify(const Options& o)
{
    uint8_t key[ZEL_PUBLIC_KEY_BYTES];
    char message[512];
    if (!o.key.empty() && zel_key_read_public(o.key.c_str(), key, message, sizeof message) != 0) {
        std::fprintf(stderr, "zeldump: %s\n", message);
        return exit_usage;
    }
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    ZelVerification v;
    const char* f = o.file.c_str();
    switch (zel_verify(reader.get(), o.key.empty() ? nullptr : key, &v)) {
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
