// The options record: the command line and, on request, one further line of
// options read from standard input.
#include "args.h"

#include <err.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "debugging.h"

struct cli_options {
    bool ignore_suspended;
    bool no_session;
    bool stdin;
    bool use_installed_colormap;
    uint8_t framerate;
    const char* app;
    const char* appfmt;
    const char* host;
    const char* ip;
    const char* sid;
    const char* tfn;
    const char* tid;
    const char* user;
    const char* sign_key;
};

struct cli_arguments {
    char* display;
    char* filename;
};

struct cli_args {
    cli_options option;
    cli_arguments argument;
};

static cli_args cli;

// The command line's program name, shown by help and version asked for on
// the standard-input line, which has none of its own.
static const char* command_line_program;

// Decoded values are never freed: the record points into them for the whole
// run.  Values that a later option replaced stay listed here.
static char** decoded_values;
static size_t decoded_count;

static const char* build_string = __DATE__ " " __TIME__ " on " PELK_BUILD_HOST;

// ---- option table -------------------------------------------------------

namespace {

enum class OptionKind {
    END_OF_OPTIONS,
    HELP,
    VERSION,
    FLAG,
    VALUE,
    VALUE64,
    FRAMERATE,
    STDIN,
    DEBUG_MODE,
    VERBOSE_MODE,
};

struct Option {
    // Words accepted with one dash and with two.
    std::array<std::string_view, 4> names;
    // One-letter words accepted with one dash only.
    std::array<std::string_view, 2> letters;
    OptionKind kind;
    bool cli_options::*flag;
    const char* cli_options::*text;
};

constexpr Option option_table[] = {
    {{}, {}, OptionKind::END_OF_OPTIONS, nullptr, nullptr},
    {{"help"}, {"?", "h"}, OptionKind::HELP, nullptr, nullptr},
    {{"version"}, {"v"}, OptionKind::VERSION, nullptr, nullptr},
    {{"ignore-suspended"}, {}, OptionKind::FLAG, &cli_options::ignore_suspended, nullptr},
    {{"no-session", "nosession"}, {}, OptionKind::FLAG, &cli_options::no_session, nullptr},
    {{"app"}, {}, OptionKind::VALUE, nullptr, &cli_options::app},
    {{"app64"}, {}, OptionKind::VALUE64, nullptr, &cli_options::app},
    {{"appfmt"}, {}, OptionKind::VALUE, nullptr, &cli_options::appfmt},
    {{"appfmt64"}, {}, OptionKind::VALUE64, nullptr, &cli_options::appfmt},
    {{"framerate"}, {}, OptionKind::FRAMERATE, nullptr, nullptr},
    {{"host"}, {}, OptionKind::VALUE, nullptr, &cli_options::host},
    {{"ip"}, {}, OptionKind::VALUE, nullptr, &cli_options::ip},
    {{"sid", "id"}, {}, OptionKind::VALUE, nullptr, &cli_options::sid},
    {{"stdin"}, {}, OptionKind::STDIN, nullptr, nullptr},
    {{"tid"}, {}, OptionKind::VALUE, nullptr, &cli_options::tid},
    {{"tid64"}, {}, OptionKind::VALUE64, nullptr, &cli_options::tid},
    {{"tfn"}, {}, OptionKind::VALUE, nullptr, &cli_options::tfn},
    {{"tfn64"}, {}, OptionKind::VALUE64, nullptr, &cli_options::tfn},
    {{"user"}, {}, OptionKind::VALUE, nullptr, &cli_options::user},
    {{"user64"}, {}, OptionKind::VALUE64, nullptr, &cli_options::user},
    {{"sign-key"}, {}, OptionKind::VALUE, nullptr, &cli_options::sign_key},
    {{"installed-colormap"}, {}, OptionKind::FLAG, &cli_options::use_installed_colormap, nullptr},
    {{"debug"}, {}, OptionKind::DEBUG_MODE, nullptr, nullptr},
    {{"verbose"}, {}, OptionKind::VERBOSE_MODE, nullptr, nullptr},
};

bool matches(const Option& option, std::string_view word)
{
    if (option.kind == OptionKind::END_OF_OPTIONS) return word == "--";
    for (std::string_view letter : option.letters)
        if (!letter.empty() && word.size() == 1 + letter.size() && word[0] == '-' && word.substr(1) == letter)
            return true;
    for (std::string_view name : option.names) {
        if (name.empty()) continue;
        if (word.size() == 1 + name.size() && word[0] == '-' && word.substr(1) == name) return true;
        if (word.size() == 2 + name.size() && word.starts_with("--") && word.substr(2) == name) return true;
    }
    return false;
}

const Option* find_option(std::string_view word, bool allow_stdin)
{
    for (const Option& option : option_table)
        if (matches(option, word))
            return option.kind == OptionKind::STDIN && !allow_stdin ? nullptr : &option;
    return nullptr;
}

// ---- Base64 ----------------------------------------------------------------

constexpr uint8_t B64_SKIP = 64;
constexpr uint8_t B64_END = 65;
constexpr uint8_t B64_INVALID = 66;

constexpr std::array<uint8_t, 256> make_decoding_table()
{
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) entry = B64_INVALID;
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < alphabet.size(); i++)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<uint8_t>(i);
    table['\n'] = B64_SKIP;
    table['='] = B64_END;
    return table;
}

constexpr std::array<uint8_t, 256> d = make_decoding_table();

// Room for a decoded value plus the zero byte that always follows it.
constexpr size_t DECODE_BUFFER_SIZE = 4096;

void keep_decoded_value(char* value)
{
    auto* grown = static_cast<char**>(realloc(decoded_values, (decoded_count + 1) * sizeof *decoded_values));
    if (grown == nullptr) err(1, "failed to keep decoded value");
    decoded_values = grown;
    decoded_values[decoded_count++] = value;
}

const char* text_or_null(const char* text)
{
    return text != nullptr ? text : "(null)";
}

} // namespace

// Decodes into out, whose usable size is *outLen on entry; on success *outLen
// is the decoded length.  Statuses: 4 a byte outside the alphabet, 3 a full
// group past the end, 2 a final three-character group past it, 1 a final
// two-character group past it.
int base64_decode(const char* in, size_t inLen, unsigned char* out, size_t* outLen)
{
    const size_t limit = *outLen;
    size_t len = 0;
    uint32_t accumulator = 0;
    int pending = 0;

    for (size_t i = 0; i < inLen; i++) {
        uint8_t c = d[static_cast<unsigned char>(in[i])];
        if (c == B64_SKIP) continue;
        if (c == B64_END) break;
        if (c == B64_INVALID) return 4;
        accumulator = accumulator * 64 + c;
        if (++pending == 4) {
            if (len + 3 > limit) return 3;
            out[len++] = static_cast<unsigned char>(accumulator >> 16);
            out[len++] = static_cast<unsigned char>(accumulator >> 8);
            out[len++] = static_cast<unsigned char>(accumulator);
            accumulator = 0;
            pending = 0;
        }
    }

    if (pending == 3) {
        if (len + 2 > limit) return 2;
        out[len++] = static_cast<unsigned char>(accumulator >> 10);
        out[len++] = static_cast<unsigned char>(accumulator >> 2);
    } else if (pending == 2) {
        if (len + 1 > limit) return 1;
        out[len++] = static_cast<unsigned char>(accumulator >> 4);
    }
    // A single pending character carries no whole byte and is dropped.
    *outLen = len;
    return 0;
}

const char* value_of_option64(const char* opt, const char* arg)
{
    unsigned char buffer[DECODE_BUFFER_SIZE] = {};
    size_t length = DECODE_BUFFER_SIZE - 1;
    int status = base64_decode(arg, strlen(arg), buffer, &length);
    if (status != 0) errx(status, "failed to decode value '%s' for '%s'", arg, opt);
    // A decoded zero byte ends the value.
    char* value = strdup(reinterpret_cast<const char*>(buffer));
    if (value == nullptr) err(1, "failed to decode value '%s' for '%s'", arg, opt);
    keep_decoded_value(value);
    return value;
}

// ---- outputs -----------------------------------------------------------------

static const char* usage_text = R"(
	record events from X display to file

USAGE: %s [OPTIONS] DISPLAY FILENAME

    DISPLAY  is the X display to record
    FILENAME serves as template for the ZEL files

The options are:

   -ignore-suspended
       record even if session on display is suspended (default is to exit)

   -installed-colormap
       use first installed colormap (instead of default)

   -app   APP
   -app64 APP64
       value of app

   -appfmt   APP
   -appfmt64 APP64
       value of app formatted by String::fmtTfn

   -host HOST
       value of host

   -ip IP
       value of ip

   -id  SID
   -sid SID
       session id

   -tfn   TFN
   -tfn64 TFN64
       value of tfn

   -tid   TID
   -tid64 TID64
       ticket id

   -user   USER
   -user64 USER64
       name of user

   -sign-key FILE  sign the recording with the Ed25519 secret key in FILE
   -no-session
       record even if there is no TOVEN_SESSION_STATE property

   -stdin
       scan stdin for further options and arguments

    -help
        show this help
    -version
        show the version

    -debug
        set debug mode
    -verbose
        set verbose mode

)";

static void print_version_line(const char* program)
{
    printf("%s built %s\n", program, build_string);
}

void show_usage(const char* program)
{
    print_version_line(program);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    printf(usage_text, program);
#pragma GCC diagnostic pop
    exit(0);
}

void show_version(const char* program)
{
    print_version_line(program);
    exit(0);
}

void cli_dump()
{
    const cli_options& o = cli.option;
    debug_printf("-- OPTIONS:\n");
    debug_printf("\tapp=%s\n", text_or_null(o.app));
    debug_printf("\tappfmt=%s\n", text_or_null(o.appfmt));
    debug_printf("\tframerate=%d\n", o.framerate);
    debug_printf("\thost=%s\n", text_or_null(o.host));
    debug_printf("\tip=%s\n", text_or_null(o.ip));
    debug_printf("\tsid=%s\n", text_or_null(o.sid));
    debug_printf("\ttfn=%s\n", text_or_null(o.tfn));
    debug_printf("\ttid=%s\n", text_or_null(o.tid));
    debug_printf("\tuser=%s\n", text_or_null(o.user));
    debug_printf("\n");
    debug_printf("\tignore_suspended=%d\n", o.ignore_suspended);
    debug_printf("\tno_session=%d\n", o.no_session);
    debug_printf("\n");
    debug_printf("\tdebug=%d\n", debugging());
    debug_printf("\tstdin=%d\n", o.stdin);
    debug_printf("\tverbose=%d\n", verbose());
    debug_printf("\n");
    debug_printf("-- ARGUMENTS:\n");
    debug_printf("\tdisplay=%s\n", text_or_null(cli.argument.display));
    debug_printf("\tfilename=%s\n", text_or_null(cli.argument.filename));
    debug_printf("\n");
}

// ---- scanning ----------------------------------------------------------------

static void cli_setup()
{
    cli.option.framerate = 10;
    cli.option.ignore_suspended = false;
    cli.option.no_session = false;
    cli.option.user = nullptr;
    cli.option.tfn = nullptr;
    cli.argument.display = nullptr;
    cli.argument.filename = nullptr;
}

static void set_framerate(const char* word)
{
    // Read the way atoi reads: leading blanks and a sign, up to the first non-digit.
    int value = static_cast<int>(strtol(word, nullptr, 10));
    if (value >= 1 && value <= 100)
        cli.option.framerate = static_cast<uint8_t>(value);
    else
        warnx("invalid framerate '%d'", value);
}

// A word that is no option: DISPLAY, FILENAME, or one too many.
static void take_positional(char* word)
{
    if (cli.argument.display == nullptr)
        cli.argument.display = word;
    else if (cli.argument.filename == nullptr)
        cli.argument.filename = word;
    else
        errx(1, "unknown %s '%s'", word[0] == '-' ? "option" : "argument", word);
}

// The value word after a value option.
static void take_value(const Option* option, const char* word, char* value)
{
    if (option->kind == OptionKind::FRAMERATE)
        set_framerate(value);
    else if (option->kind == OptionKind::VALUE64)
        cli.option.*(option->text) = value_of_option64(word, value);
    else
        cli.option.*(option->text) = value;
}

// Applies one option; whether it takes the next word as its value.
static bool take_option(const Option* option, const char* program, bool* options_end, bool* check_stdin)
{
    switch (option->kind) {
    case OptionKind::END_OF_OPTIONS: *options_end = true; return false;
    case OptionKind::HELP: show_usage(program);
    case OptionKind::VERSION: show_version(program);
    case OptionKind::FLAG: cli.option.*(option->flag) = true; return false;
    case OptionKind::STDIN: cli.option.stdin = *check_stdin = true; return false;
    case OptionKind::DEBUG_MODE: debugging_set(true); return false;
    case OptionKind::VERBOSE_MODE: verbose_set(true); return false;
    case OptionKind::VALUE:
    case OptionKind::VALUE64:
    case OptionKind::FRAMERATE: return true;
    }
    return false;
}

void cli_process(int argc, char** argv, bool allow_stdin)
{
    if (argc < 2) return;
    const char* program = argv[0] != nullptr ? argv[0] : text_or_null(command_line_program);
    bool options_end = false, check_stdin = false;
    for (int i = 1; i < argc; i++) {
        char* word = argv[i];
        const Option* option = options_end ? nullptr : find_option(word, allow_stdin);
        if (option == nullptr) {
            take_positional(word);
        } else if (take_option(option, program, &options_end, &check_stdin)) {
            if (i + 1 >= argc) errx(1, "missing value for option '%s'", word);
            take_value(option, word, argv[++i]);
        }
    }
    if (check_stdin) cli_process_stdin();
}

// The longest options line taken from standard input.
static constexpr size_t STDIN_LINE_MAX = 65536;

// Reads one line from descriptor 0, up to and including its newline, one
// byte at a time: nothing after the line may be taken from the descriptor,
// because the control messages that follow it are read from it later.
// nullptr when nothing could be read; a line longer than STDIN_LINE_MAX
// bytes ends the process.
static char* read_line_from_stdin()
{
    std::string line;
    for (;;) {
        char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (line.size() == STDIN_LINE_MAX)
            errx(1, "the options line on standard input is longer than %zu bytes", STDIN_LINE_MAX);
        line += c;
        if (c == '\n') break;
    }
    if (line.empty()) return nullptr;
    char* copy = strdup(line.c_str());
    if (copy == nullptr) err(1, "failed to allocate array for parsing stdin");
    return copy;
}

// The line and its word array stay for the whole run: the record points into them.
static char* stdin_line;
static char** stdin_words;

void cli_process_stdin()
{
    stdin_line = read_line_from_stdin();
    if (stdin_line == nullptr) {
        DEBUG_RAW("-- %s: failed to get line from stdin\n", __func__);
        return;
    }

    static constexpr const char* delimiters = " \t\n";
    // At most one word per two bytes, plus the empty leading slot and a final null.
    size_t slots = strlen(stdin_line) / 2 + 3;
    stdin_words = static_cast<char**>(calloc(slots, sizeof *stdin_words));
    if (stdin_words == nullptr) errx(1, "failed to allocate array for parsing stdin");

    int argc = 1; // slot 0 stays null: the line has no program name
    char* saved = nullptr;
    for (char* word = strtok_r(stdin_line, delimiters, &saved); word != nullptr;
         word = strtok_r(nullptr, delimiters, &saved))
        stdin_words[argc++] = word;

    cli_process(argc, stdin_words, false);
}

void cli_parse_arguments(int argc, char** argv)
{
    cli_setup();
    command_line_program = argc > 0 ? argv[0] : nullptr;
    cli_process(argc, argv, true);
    if (debugging()) cli_dump();
}

void cli_validate()
{
    if (cli.argument.display == nullptr) errx(1, "no display specified");
    if (cli.argument.filename == nullptr) errx(1, "no filename specified");
}

// ---- accessors -----------------------------------------------------------------

bool ignore_suspended()
{
    return cli.option.ignore_suspended;
}
bool no_session()
{
    return cli.option.no_session;
}
const char* app()
{
    return cli.option.app;
}
const char* appfmt()
{
    return cli.option.appfmt;
}
const char* host()
{
    return cli.option.host;
}
uint8_t framerate()
{
    return cli.option.framerate;
}
const char* ip()
{
    return cli.option.ip;
}
const char* sid()
{
    return cli.option.sid;
}
const char* tfn()
{
    return cli.option.tfn;
}
const char* tid()
{
    return cli.option.tid;
}
const char* user()
{
    return cli.option.user;
}
bool use_installed_colormap()
{
    return cli.option.use_installed_colormap;
}
const char* display_name()
{
    return cli.argument.display;
}
const char* filename()
{
    return cli.argument.filename;
}
const char* sign_key()
{
    return cli.option.sign_key;
}
