// zeldump --keygen SECRET_FILE PUBLIC_FILE: a new key pair for signing recordings.
#include <cstdio>

#include "zeldump.h"

namespace zeldump {

int keygen(const Options& o)
{
    char message[512];
    uint8_t id[ZEL_KEY_ID_BYTES];
    if (zel_key_generate(o.keygen_secret.c_str(), o.keygen_public.c_str(), id, message, sizeof message) !=
        0) {
        std::fprintf(stderr, "zeldump: %s\n", message);
        return exit_usage;
    }
    std::printf("key %s: secret key in %s, public key in %s\n", key_id_text(id).c_str(),
                o.keygen_secret.c_str(), o.keygen_public.c_str());
    return exit_ok;
}

} // namespace zeldump
