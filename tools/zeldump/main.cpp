// zeldump: lists, checks and exports ZEL recordings.
//
//   zeldump FILE                 one line per record
//   zeldump --json FILE          one JSON object per record
//   zeldump --events FILE        one line per event worth finding
//   zeldump --stats FILE         counts, bytes, duration, compression, frames
//   zeldump --verify [--key PUBLIC_FILE] FILE
//                                exit 0 complete, 2 truncated, 3 corrupt, 4 not authentic
//   zeldump --keygen SECRET_FILE PUBLIC_FILE
//   zeldump --png DIR [--every S | --at S ...] FILE
//   zeldump --video OUT [--fps N] FILE
//   zeldump --search TEXT FILE_OR_DIR
//                                the hits in every recording, as JSON
//   zeldump --serve [--key PUBLIC_FILE] [ADDRESS:]PORT FILE_OR_DIR
//   zeldump --serve [--key PUBLIC_FILE] [ADDRESS:]PORT s3://BUCKET/PREFIX --endpoint URL [--region R]
//
// FILE may be a recording that zelship shipped to object storage,
// s3://BUCKET/PREFIX with --endpoint URL [--region R] (store.cpp).
//
// One file a command in this folder; the options are read here.
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "search.h"
#include "serve.h"
#include "store.h"
#include "zeldump.h"

using namespace zeldump;

namespace {

const char* const usage_text =
    "usage: zeldump [OPTIONS] FILE\n"
    "       zeldump --keygen SECRET_FILE PUBLIC_FILE\n"
    "       zeldump --search TEXT FILE_OR_DIR\n"
    "       zeldump --serve [--key PUBLIC_FILE] [ADDRESS:]PORT FILE_OR_DIR\n"
    "       zeldump --serve [--key PUBLIC_FILE] [ADDRESS:]PORT s3://BUCKET/PREFIX --endpoint URL\n"
    "\n"
    "Lists, checks and exports a ZEL recording.\n"
    "\n"
    "  (no option)        one line per record: byte offset, type, seconds since the\n"
    "                     header's timestamp, and the record's fields\n"
    "  --json             one JSON object per record instead (strings that are not\n"
    "                     UTF-8 get U+FFFD and a NAME_base64 field with their bytes)\n"
    "  --events           one line per event worth finding, for grep: SECONDS UTC KIND\n"
    "                     FIELD=VALUE...; kinds start, screen, input, window-shown,\n"
    "                     window-title, window-gone, gap, end, seal, damaged\n"
    "  --stats            records and bytes per type, duration, frames, compression\n"
    "                     ratio, seals\n"
    "  --verify           check every checksum, decode every image, and check the hash\n"
    "                     chain and the signatures of the seals; one line says what was\n"
    "                     checked. Exit 0 complete and sealed, 2 truncated (the line says\n"
    "                     how far it is sealed), 3 corrupt (a line per damaged stretch,\n"
    "                     by bytes and time), 4 not authentic\n"
    "  --key PUBLIC_FILE  with --verify: every seal must be signed with this key (with\n"
    "                     --png or --video: for the manifest's verdict)\n"
    "  --keygen SECRET_FILE PUBLIC_FILE\n"
    "                     write a new Ed25519 key pair for signing recordings (the secret\n"
    "                     key file with mode 0600); never overwrites a file\n"
    "  --png DIR          write frames as PNG files DIR/frame-SSSSSS.mmm.png (seconds since\n"
    "                     the header), the cursor drawn; with --every SECONDS a frame at\n"
    "                     each step, with --at SECONDS (repeatable) the frame at that time,\n"
    "                     with neither the last frame\n"
    "  --video FILE       encode the recording with ffmpeg (H.264, yuv420p) at its frame\n"
    "                     rate: the median interval of its image records, or --fps N\n"
    "                     (default 10 when the recording has too few images). When the\n"
    "                     screen size changes, every frame is padded with black at the\n"
    "                     right and bottom to the largest size in the recording (rounded\n"
    "                     up to even numbers). Both write a manifest beside the export\n"
    "                     (DIR/manifest.json, FILE.manifest.json): the recording's name,\n"
    "                     its SHA-256, verdict and key id, and the time range exported\n"
    "  --no-cursor        leave the cursor out of PNG and video frames\n"
    "  --quiet            no progress lines on standard error\n"
    "  --search TEXT      find TEXT (ignoring case) in the window titles and programs,\n"
    "                     participants, footer items, gaps and end reasons of the\n"
    "                     recording, or of every *.zel file in the directory, reading\n"
    "                     only the records that hold text; prints a JSON array of\n"
    "                     {file, time, timestamp, kind, text} in time order per file,\n"
    "                     with notes (kind \"note\") about damaged or unfinished files\n"
    "  --endpoint URL     FILE is s3://BUCKET/PREFIX, a recording that zelship shipped\n"
    "                     to this object store (http(s)://HOST[:PORT]): it is read by\n"
    "                     ranges through its manifests, as if it were the file, and\n"
    "                     --verify also checks that the store holds exactly what zelship\n"
    "                     shipped. Credentials: AWS_ACCESS_KEY_ID and\n"
    "                     AWS_SECRET_ACCESS_KEY, else ~/.aws/credentials (mode 0600)\n"
    "  --region R         with --endpoint: the region to sign for (default us-east-1)\n"
    "  --serve [--key PUBLIC_FILE] [ADDRESS:]PORT FILE_OR_DIR\n"
    "                     serve the browser player and the recording(s) over HTTP\n"
    "                     (127.0.0.1 unless ADDRESS is given); prints the URL to open;\n"
    "                     with --key every recording must be signed with that key; from\n"
    "                     s3://BUCKET/PREFIX (--endpoint, --region): what zelship shipped\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 success; 1 bad usage, unreadable file or key file, or failed export;\n"
    "for listing, --json, --events, --stats and --verify 2 when the recording is\n"
    "truncated and 3 when it is corrupt (reading goes on after each damaged stretch,\n"
    "so every readable record is still listed); --verify 4 when it is not authentic.\n"
    "Exports use the intact parts (no frames, or black video frames, from a damaged\n"
    "stretch to the next whole screen) and warn about damage on standard error.\n"
    "--search exits 0 once it could open FILE_OR_DIR: damage is told in notes.\n";

bool parse_number(const char* s, double& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtod(s, &end);
    return errno == 0 && end != s && *end == '\0' && std::isfinite(out);
}

const option long_options[] = {
    {"json", no_argument, nullptr, 'j'},         {"events", no_argument, nullptr, 'E'},
    {"stats", no_argument, nullptr, 's'},        {"verify", no_argument, nullptr, 'V'},
    {"quiet", no_argument, nullptr, 'q'},        {"no-cursor", no_argument, nullptr, 'C'},
    {"help", no_argument, nullptr, 'h'},         {"key", required_argument, nullptr, 'k'},
    {"keygen", required_argument, nullptr, 'G'}, {"png", required_argument, nullptr, 'p'},
    {"video", required_argument, nullptr, 'v'},  {"every", required_argument, nullptr, 'e'},
    {"at", required_argument, nullptr, 'a'},     {"fps", required_argument, nullptr, 'f'},
    {"search", required_argument, nullptr, 'S'}, {"endpoint", required_argument, nullptr, 'P'},
    {"region", required_argument, nullptr, 'R'}, {nullptr, 0, nullptr, 0},
};

std::string option_name(int val)
{
    for (const option* o = long_options; o->name != nullptr; ++o)
        if (o->val == val) return std::string("--") + o->name;
    return std::string("-") + static_cast<char>(val);
}

// A number option's value; -1 to go on, or the exit status.
int number(int c, const char* value, Options& o)
{
    double d = 0;
    if (value == nullptr || !parse_number(value, d) || d < 0 || (c != 'a' && d <= 0))
        return usage_error(option_name(c) + " needs a positive number");
    if (c == 'a')
        o.at.push_back(d);
    else if (c == 'e')
        o.every = d;
    else
        o.fps = d;
    return -1;
}

// One option (and the values it takes); -1 to go on, or the exit status.
int parse_option(int c, int argc, char** argv, Options& o)
{
    switch (c) {
    case 'j': o.json = true; return -1;
    case 'E': o.events = true; return -1;
    case 's': o.stats = true; return -1;
    case 'V': o.verify = true; return -1;
    case 'q': o.quiet = true; return -1;
    case 'C': o.cursor = false; return -1;
    case 'k': o.key = optarg; return -1;
    case 'p': o.png_dir = optarg; return -1;
    case 'v': o.video = optarg; return -1;
    case 'P': o.endpoint = optarg; return -1;
    case 'R': o.region = optarg; return -1;
    case 'S':
        o.search = true;
        o.query = optarg;
        return -1;
    case 'h': std::fputs(usage_text, stdout); return exit_ok;
    case 'G':
        if (optind >= argc) return usage_error("--keygen needs SECRET_FILE and PUBLIC_FILE");
        o.keygen_secret = optarg;
        o.keygen_public = argv[optind++];
        return -1;
    case 'e':
    case 'a':
    case 'f': return number(c, optarg, o);
    case ':':
        if (optopt == 'G') return usage_error("--keygen needs SECRET_FILE and PUBLIC_FILE");
        if (optopt == 'e' || optopt == 'a' || optopt == 'f') return number(optopt, nullptr, o);
        return usage_error(option_name(optopt) + " needs an argument");
    default:
        return usage_error("unknown option " +
                           (optopt != 0 ? option_name(optopt) : std::string(argv[optind - 1])));
    }
}

// The command line; -1 to go on, or the exit status.
int parse(int argc, char** argv, Options& o)
{
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":h", long_options, nullptr)) != -1;)
        if (int status = parse_option(c, argc, argv, o); status >= 0) return status;
    for (int i = optind; i < argc; ++i) {
        if (!o.file.empty()) return usage_error(std::string("more than one file given (") + argv[i] + ")");
        o.file = argv[i];
    }
    return -1;
}

// Options that do not go together; -1 when they do.
int check_options(const Options& o)
{
    if (o.file.empty()) return usage_error("no recording given");
    if (!o.key.empty() && !o.verify && o.png_dir.empty() && o.video.empty())
        return usage_error("--key goes with --verify, --png or --video");
    int modes = o.json + o.events + o.stats + o.verify + o.search + !o.png_dir.empty() + !o.video.empty();
    if (modes > 1)
        return usage_error("choose one of --json, --events, --stats, --verify, --search, --png, --video");
    if (o.search && (o.query.empty() || o.query.size() > zelsearch::max_query_bytes))
        return usage_error("--search needs a text of 1 to " + std::to_string(zelsearch::max_query_bytes) +
                           " bytes");
    if ((o.every > 0 || !o.at.empty()) && o.png_dir.empty())
        return usage_error("--every and --at go with --png");
    if (o.every > 0 && !o.at.empty()) return usage_error("--every and --at exclude each other");
    if (o.fps > 0 && o.video.empty()) return usage_error("--fps goes with --video");
    return check_store_options(o);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) return zeldump_serve(argc - 2, argv + 2);
    Options o;
    if (int status = parse(argc, argv, o); status >= 0) return status;
    if (!o.keygen_secret.empty())
        return o.file.empty() ? keygen(o) : usage_error("--keygen takes no recording");
    if (int status = check_options(o); status >= 0) return status;
    if (o.stats) return show_stats(o);
    if (o.verify) return verify(o);
    if (o.events) return list_events(o);
    if (o.search) return search(o);
    if (!o.video.empty()) return export_video(o);
    if (!o.png_dir.empty()) return export_png(o);
    return list_records(o);
}
