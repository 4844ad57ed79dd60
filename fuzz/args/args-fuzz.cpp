// Fuzzes the options module with hostile input.  The first byte chooses:
//  - even: Base64 decoding of the rest into a buffer of exactly the size
//    given (the option values use 4096 bytes with room kept for the zero
//    byte); nothing may be written past it, the status is 0..4 and the
//    decoded length fits;
//  - odd: the rest, split at zero bytes, is a command line for the word
//    scanner.  Its refusals (errx/err) come back here instead of ending the
//    process; help and version words, which print and exit, are blunted.
//    Every value taken must be a proper string, a decoded one at most 4095
//    bytes long.
//
// The console switches and the err.h exits are played here; standard input
// is /dev/null, so "--stdin" finds no line.
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "args.h"
#include "debugging.h"

namespace {

bool debug_on = false;
bool verbose_on = false;

// Where a refusal of the scanner returns to; null outside the scanner.
std::jmp_buf* refusal = nullptr;
int refusal_status = 0;

// The words live in one buffer for the whole run: the options record keeps
// pointing into it after the input is over, and a later dump may show them.
// Decoded values are kept for the whole run too (the module never frees
// them), so every input adds its decoded values to the process: command
// lines are cut at 1 KiB to keep a long run within the memory limit.  The
// 4095-byte bound of a decoded value is the decoder's, fuzzed at full size
// in the other mode.
constexpr size_t POOL_SIZE = 1024;
char pool[POOL_SIZE + 1];

[[noreturn]] void refused(int status)
{
    if (refusal == nullptr) abort();
    refusal_status = status;
    std::longjmp(*refusal, 1);
}

__attribute__((format(printf, 1, 0))) void format_away(const char* format, va_list args)
{
    char buffer[256];
    vsnprintf(buffer, sizeof buffer, format, args);
}

} // namespace

// ---- the surroundings --------------------------------------------------

bool debugging()
{
    return debug_on;
}
void debugging_set(bool on)
{
    debug_on = on;
}
bool verbose()
{
    return verbose_on;
}
void verbose_set(bool on)
{
    verbose_on = on;
}
void debug_puts(const char*, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_away(format, args);
    va_end(args);
}
void debug_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_away(format, args);
    va_end(args);
}

extern "C" {
void errx(int status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_away(format, args);
    va_end(args);
    refused(status);
}
void err(int status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_away(format, args);
    va_end(args);
    refused(status);
}
void warnx(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_away(format, args);
    va_end(args);
}
}

// ---- the two modes -------------------------------------------------------------

namespace {

void fuzz_base64(const uint8_t* data, size_t size)
{
    // two bytes choose the room, 0..4095 (4095 is what option values get)
    size_t room = 4095;
    if (size >= 2) {
        room = (static_cast<size_t>(data[0]) << 8 | data[1]) % 4096;
        if (data[0] & 0x80) room = 4095;
        data += 2;
        size -= 2;
    }
    auto* out = static_cast<unsigned char*>(malloc(room + 1));
    if (out == nullptr) abort();
    out[room] = 0xA5; // the zero byte's place: not the decoder's to write
    size_t length = room;
    int status = base64_decode(reinterpret_cast<const char*>(data), size, out, &length);
    if (status < 0 || status > 4) abort();
    if (out[room] != 0xA5) abort();
    if (status == 0 && length > room) abort();
    if (status != 0 && length != room) abort(); // untouched on failure
    free(out);
}

bool is_exit_word(std::string_view w)
{
    for (std::string_view x : {"-h", "-?", "-v", "-help", "--help", "-version", "--version"})
        if (w == x) return true;
    return false;
}

bool in_pool(const char* p)
{
    return p >= pool && p <= pool + POOL_SIZE;
}

void check_value(const char* value)
{
    if (value == nullptr) return;
    size_t n = strlen(value);
    if (!in_pool(value) && n > 4095) abort(); // a decoded value
}

void fuzz_words(const uint8_t* data, size_t size)
{
    if (size > POOL_SIZE) size = POOL_SIZE;
    memcpy(pool, data, size);
    pool[size] = '\0';
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("pelk"));
    for (size_t i = 0; i < size;) {
        char* word = pool + i;
        size_t n = strlen(word);
        if (is_exit_word(word)) word[0] = 'x';
        argv.push_back(word);
        i += n + 1;
    }
    argv.push_back(nullptr);

    debug_on = false;
    verbose_on = false;
    std::jmp_buf here;
    refusal = &here;
    refusal_status = 0;
    if (setjmp(here) == 0) {
        cli_parse_arguments(static_cast<int>(argv.size() - 1), argv.data());
        cli_validate();
    } else if (refusal_status < 1 || refusal_status > 4) {
        abort();
    }
    refusal = nullptr;

    for (const char* value : {app(), appfmt(), host(), ip(), sid(), tfn(), tid(), user()}) check_value(value);
    if (framerate() < 1 || framerate() > 100) abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    int fd = open("/dev/null", O_RDONLY);
    if (fd < 0 || dup2(fd, 0) < 0) abort();
    close(fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    if (data[0] % 2 == 0)
        fuzz_base64(data + 1, size - 1);
    else
        fuzz_words(data + 1, size - 1);
    return 0;
}
