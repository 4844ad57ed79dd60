// What an object store answers, as the shipper and zeldump read it: the first
// byte chooses the parser (S3's XML, a manifest, an object key), the rest is
// the text.  A manifest that parses must come out of manifest_json unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "manifest.h"
#include "xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string error;
    switch (data[0] % 3) {
    case 0: {
        zelship::XmlDocument doc;
        if (zelship::parse_xml(text, doc, error)) (void)doc.text("Key");
        break;
    }
    case 1: {
        zelship::Manifest m;
        if (zelship::parse_manifest(text, m, error) && zelship::manifest_json(m) != text) std::abort();
        break;
    }
    default: {
        uint64_t start = 0;
        bool manifest = false;
        (void)zelship::parse_key("recordings/host1/session.zel", text, start, manifest);
        break;
    }
    }
    return 0;
}
